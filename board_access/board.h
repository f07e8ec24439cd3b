// One opened acquisition board: its identity from the configuration file, the
// plugin library that drives it, and its parameters, endpoints and commands.
//
// Every hardware access goes through one of the plugin's six entry points,
// looked up by name at each call (a missing one gives -15). The object has no
// lock: the main thread and the source workers call it concurrently and the
// plugin must allow that. The parameter, endpoint and command lists are only
// written on the main thread (start-up and reconfiguration).
#pragma once

#include "board_access/board_command.h"
#include "board_access/board_endpoint.h"
#include "board_access/board_parameter.h"

#include <QJsonObject>
#include <QList>
#include <QString>

class QLibrary;

class Board {
public:
    static constexpr int kMissingEntryPoint = -15;
    static constexpr int kAlreadyOpen = -4;

    explicit Board(QLibrary* library = nullptr);

    quint32 handle = 0;
    qint32 id = 0;
    QString name;
    QString board_type;
    QString board_family;
    QString board_plugin;
    QLibrary* library = nullptr;
    QList<BoardParameter> parameters;
    QList<BoardEndpoint> endpoints;
    QList<BoardCommand> commands;
    bool connected = false;

    int Open(const QString& connection_string);
    int SetValue(const QString& path, const QString& value);
    int GetValue(const QString& path, QString& value);
    int SendCommand(const QString& path);
    // path must be Latin-1 already: these run on the data path of every read.
    int ReadData(const QByteArray& path, void* data_list);
    int FreePointer(const QByteArray& path, void* data_list);

    void LoadConfigs(const QJsonObject& entry);
    void LoadEndpoints(const QJsonObject& entry);
    void LoadCommands(const QJsonObject& entry);

    void ConfigureBoard();
    void StopEndpoints();
    void StartEndpoints();

    // Sends every command of the list, in order; statuses are not examined.
    void SendCommands(const QList<BoardCommand>& list);

private:
    void* resolve(const char* symbol) const;
};
