// One list-event data file of the data dumper: header, records in the form
// of the file type, and the closing text.
//
//   BIN   "QRXS" + creation time in decimal ASCII digits, then 25-byte records
//   CSV   one line per event, no header
//   JSON  "[" + records separated by ",\n" + "]" at close
//
// A BIN record of an energy event (timestamp, channel and energy_raw as
// unsigned 64-bit little-endian numbers, then the byte flag2 * 2 + flag1) is
// put straight into the file's buffer; every other record is the payload's
// own Serialize form, written through the same buffer in file order.
#pragma once

#include "blocks/common/dump_file.h"

#include <QString>

#include <cstdint>

class QuarixPayload;

class ListFileWriter {
public:
    static constexpr int kBinaryRecordBytes = 25;

    // Creates the base file + the type's extension, new (never an existing
    // file), and writes the header. False when the type is none of the three
    // (errorNumber() 0) or when the file cannot be created (errorNumber() the
    // system's error number, EEXIST when the name is taken).
    bool open(const dump_file::FileTarget& base, dump_file::Type type);
    bool isOpen() const { return m_file.isOpen(); }
    // True once a record has been written since the file was opened.
    bool hasRecords() const { return m_hasRecords; }

    // Writes the payload's record in `recordType`. In JSON a record after the
    // first of the file is preceded by "," and a line end. A payload without
    // that form writes nothing but still counts as a record.
    void write(const QuarixPayload& payload, dump_file::Type recordType);
    // Writes the records of the payloads [first, last) in order, as write()
    // does one by one (null entries are skipped), and returns the list events
    // they stand for: the sum of their event_count.
    int64_t write(const QuarixPayload* const* first, const QuarixPayload* const* last, dump_file::Type recordType);

    // The write position: bytes written to the file so far, buffered ones
    // included (-1 once a write has failed).
    int64_t position();
    // Writes the closing text of the file's type (JSON "]") and closes it.
    void close();

    const QString& fileName() const { return m_fileName; }
    int errorNumber() const { return m_file.errorNumber(); }

private:
    int64_t writeBinary(const QuarixPayload* const* first, const QuarixPayload* const* last);

    dump_file::BufferedFile m_file;
    dump_file::Type m_type = dump_file::Type::Other;
    QString m_fileName;
    bool m_hasRecords = false;
};
