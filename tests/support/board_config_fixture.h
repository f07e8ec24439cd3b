// Boards opened in-process on the scripted board plugin, and the configuration
// entries tests give them. Link quarix_test_plugins.
//
//     ScriptedBoards boards;                       // the plugin starts with nothing scripted
//     boards.plugin->setValue("\\VSet", "100");
//     Board* hv = boards.open("HV1", configsEntry({boardParameter("VSet", "\\VSet", "u32")}));
//     BlockContext context = boards.context(&blocks, "processing/0/filter_chain/main/chain/hv");
//     ... a block built with the context ...
//     QCOMPARE(boards.briefs(hv), QStringList({"GetValue \\VSet"}));
//
// All boards share the plugin's one Control (boards.plugin); briefs() tells
// them apart by handle. The call record starts empty after each open().
#pragma once

#include "board_access/board.h"
#include "core/block_context.h"
#include "scripted_board.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLibrary>
#include <QStringList>

// A board parameter element of a "configs" group; extra keys are added as given.
inline QJsonObject boardParameter(const QString& name, const QString& path, const QString& type,
                                  const QJsonObject& extra = {})
{
    QJsonObject element = extra;
    element.insert("name", name);
    element.insert("path", path);
    element.insert("value_type", type);
    return element;
}

// A board entry whose one "configs" group holds the elements.
inline QJsonObject configsEntry(const QJsonArray& elements)
{
    return QJsonObject{{"configs", QJsonArray{QJsonObject{{"elements", elements}}}}};
}

// One element of a block's "parameters" list.
inline QJsonObject blockParameter(const QString& name, const QJsonValue& value)
{
    return QJsonObject{{"param_name", name}, {"param_value", value}};
}

class ScriptedBoards {
public:
    ScriptedBoards()
    {
        library.load();
        if (plugin)
            plugin->clear();
    }
    ~ScriptedBoards() { qDeleteAll(boards); }
    ScriptedBoards(const ScriptedBoards&) = delete;
    ScriptedBoards& operator=(const ScriptedBoards&) = delete;

    // Opens a board named `name` with the connection string and reads the
    // entry's configs, endpoints and commands; null if Open fails.
    Board* open(const QString& name, const QJsonObject& entry = {}, const QString& connection = QString())
    {
        auto* board = new Board(&library);
        board->name = name;
        if (board->Open(connection) != 0) {
            delete board;
            return nullptr;
        }
        board->LoadConfigs(entry);
        board->LoadEndpoints(entry);
        board->LoadCommands(entry);
        boards.append(board);
        plugin->clearCalls();
        return board;
    }

    // "SetValue <path> <value>" or "<function> <path>" for each recorded call
    // of the board (any board when null) whose function is listed (any when empty).
    QStringList briefs(const Board* board = nullptr, const QStringList& functions = {}) const
    {
        QStringList out;
        for (const scripted::Call& c : plugin->calls()) {
            const QString function = QString::fromStdString(c.function);
            if ((!board || c.handle == board->handle) && (functions.isEmpty() || functions.contains(function)))
                out << function + ' ' + QString::fromLatin1(c.path.c_str()) +
                           (c.function == "SetValue" ? ' ' + QString::fromLatin1(c.value.c_str()) : QString());
        }
        return out;
    }

    // The context a block is built with; the block list belongs to the test.
    BlockContext context(QList<QuarixBlock*>* blocks, const QString& fullPath = QString())
    {
        return BlockContext{&boards, blocks, fullPath, QString(), QString()};
    }

    QLibrary library{scripted::pluginPath()};
    scripted::Control* const plugin = scripted::control();
    QList<Board*> boards;
};
