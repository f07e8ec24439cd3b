// What the fuzz targets of the server share: a Qt application object with the
// log silenced, a temporary folder for the storage and the configuration
// file, and boards opened once on the simulated board plugin.
//
//     static fuzz_support::Workspace& workspace = fuzz_support::workspace();
//     QList<Board*>& boards = workspace.boards();   // "digitizer" and "hv"
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

class Board;
class QLibrary;

namespace fuzz_support {

// The fuzz input as the text of a client message: decoded from UTF-8, with
// invalid sequences replaced (a WebSocket text message is valid UTF-8).
QString text(const uint8_t* data, size_t size);

class Workspace {
public:
    Workspace();
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    // The temporary folder; removed when the process ends normally, or else
    // by the next fuzzer run.
    QString path() const { return m_dir.path(); }
    // "storage"."file_path" of the configuration file: <path>/storage.
    QString storagePath() const { return m_dir.path() + QStringLiteral("/storage"); }
    // A configuration file with that storage section, the two boards'
    // "Hardware" entries and no processing.
    QString configPath() const { return m_dir.path() + QStringLiteral("/quarix_config.json"); }

    // The opened boards, in the order of hardwareEntries(): "digitizer" (endpoints
    // list, pairs, wave and rates, as in the demo configuration) and "hv".
    QList<Board*>& boards() { return m_boards; }
    static QJsonArray hardwareEntries();

private:
    QTemporaryDir m_dir;
    QLibrary* m_library = nullptr;
    QList<Board*> m_boards;
};

// The one workspace of the process, made at the first call (which also makes
// the application object and silences the log).
Workspace& workspace();

}  // namespace fuzz_support
