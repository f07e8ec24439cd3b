// Settings of one scripted board, taken from the connection string given to Open.
//
// Syntax: key=value pairs separated by ';', no quoting, no spaces trimmed;
// empty pairs are ignored and a later key overrides an earlier one. Keys:
//   script=<file>        JSON script of the board (absent: an empty script)
//   log=<file>           call log, appended to (absent: calls are not logged)
//   open_status=<int>    status returned by Open (default 0; the handle is written anyway)
//   handle=<uint>        handle to give the board (default: the next free one, from 1)
//   open_delay_ms=<uint> Open takes this long, like a board that is slow to answer (default 0)
// Example: "script=/tmp/t/board.script.json;log=/tmp/t/board.calls.log;open_status=-3"
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

struct ConnectionOptions {
    QByteArray scriptPath;
    QByteArray logPath;
    int32_t openStatus = 0;
    bool hasHandle = false;
    uint32_t handle = 0;
    uint32_t openDelayMs = 0;

    // Fills what it can; false with a readable error on an unknown key or a bad number.
    static bool parse(const QByteArray& text, ConnectionOptions* options, QString* error);
};
