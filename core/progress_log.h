// The log category of routine progress lines: a board parameter set or
// applied, a board being connected, a waveform read, a recording's
// statistics tick, a rate file opened. They are info lines like any other,
// written without the category's name; the server's quiet option switches
// the category off, and warnings, problems and the server's own start, ready
// and closing lines remain.
//
//     qCInfo(quarixProgress) << "Set" << path << value;
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(quarixProgress)
