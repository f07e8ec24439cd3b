// Boards opened in-process on the scripted plugin, and the configuration
// entries the tests of blocks and watchers give them. Link quarix_test_plugins.
//
//     ScriptedBoards boards;
//     ScriptPluginFixture* hv = boards.open("HV1", configsEntry({boardParameter("VSet", "\\VSet", "u32")}),
//                                           {{"\\VSet", "100"}});
//     ... a block built with boards.context() ...
//     QCOMPARE(hv->paths("GetValue"), QStringList({"\\VSet"}));
#pragma once

#include "board_access/board.h"
#include "core/block_context.h"
#include "script_plugin_fixture.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLibrary>
#include <QMap>
#include <QTemporaryDir>

#include <memory>
#include <vector>

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
    ScriptedBoards() { library.load(); }
    ~ScriptedBoards() { qDeleteAll(boards); }
    ScriptedBoards(const ScriptedBoards&) = delete;
    ScriptedBoards& operator=(const ScriptedBoards&) = delete;

    // A new script with its own files, to fill before open().
    ScriptPluginFixture& script()
    {
        m_scripts.push_back(std::make_unique<ScriptPluginFixture>(dir.path(), QStringLiteral("b%1").arg(m_scripts.size())));
        return *m_scripts.back();
    }

    // Writes the script, opens a board named `name` on it and reads the entry's
    // configs, endpoints and commands; the call log then starts empty. Null on failure.
    Board* open(ScriptPluginFixture& script, const QString& name, const QJsonObject& entry = {})
    {
        if (!script.write())
            return nullptr;
        auto* board = new Board(&library);
        board->name = name;
        if (board->Open(script.connectionString()) != 0) {
            delete board;
            return nullptr;
        }
        board->LoadConfigs(entry);
        board->LoadEndpoints(entry);
        board->LoadCommands(entry);
        boards.append(board);
        script.clearLog();
        return board;
    }

    // A board on a new script that answers GetValue with `values`; its script, or null.
    ScriptPluginFixture* open(const QString& name, const QJsonObject& entry = {},
                              const QMap<QString, QString>& values = {})
    {
        ScriptPluginFixture& fixture = script();
        for (auto it = values.begin(); it != values.end(); ++it)
            fixture.setValue(it.key(), it.value());
        return open(fixture, name, entry) ? &fixture : nullptr;
    }

    // The context a block is built with; the block list belongs to the test.
    BlockContext context(QList<QuarixBlock*>* blocks, const QString& fullPath = QString())
    {
        BlockContext context;
        context.boards = &boards;
        context.blocks = blocks;
        context.full_path = fullPath;
        return context;
    }

    QTemporaryDir dir;
    QLibrary library{ScriptPluginFixture::pluginPath()};
    QList<Board*> boards;

private:
    std::vector<std::unique_ptr<ScriptPluginFixture>> m_scripts;
};
