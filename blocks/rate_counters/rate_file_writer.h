// The rate file of a recorded run: one record per rate-counter snapshot, in
// the run folder as <name>_0 + extension (".dat" for an unknown type, which
// gets no header and no records). T in a record is the milliseconds since the
// file was opened, not the snapshot's own timestamp.
//
//   BIN   "QRXR", 4 zero bytes, creation time (u64); records of 12 + 24*n bytes
//   CSV   a fixed 133-column header line; one line per record
//   JSON  "[" + records separated by "," + "]" at close
#pragma once

#include "blocks/common/dump_file.h"

#include <QString>

#include <cstdint>

class QuarixPayload_RateCounters;
class TextBuilder;

class RateFileWriter {
public:
    // ".bin", ".csv", ".json", or ".dat" for any other type.
    static const char* extension(dump_file::Type type);
    // The CSV header line, without its line end.
    static void appendCsvHeader(TextBuilder& text);

    // Creates the file, new (never an existing file), and writes the type's
    // header. False when the file cannot be created (errorNumber() holds the
    // reason, EEXIST when the name is taken).
    bool open(const dump_file::FileTarget& file, dump_file::Type type);
    bool isOpen() const { return m_stream.isOpen(); }

    void write(int64_t elapsedMs, const QuarixPayload_RateCounters& snapshot);
    // Writes the closing text (JSON "]") and closes the file.
    void close();

    int errorNumber() const { return m_stream.errorNumber(); }

private:
    dump_file::BufferedStream m_stream;
    dump_file::Type m_type = dump_file::Type::Other;
    int64_t m_records = 0;
};
