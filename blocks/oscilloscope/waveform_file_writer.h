// One waveform file of the oscilloscope: header, one record per dump
// interval, closing text. The file is written as raw bytes ("\n" is 0x0A).
//
//   BIN   "QRXO", 4 zero bytes, creation time (u64); records of 32 + N*S*12 bytes
//   CSV   one line per record, every value followed by ","
//   JSON  "[" + records separated by "," + "]" at close
#pragma once

#include "blocks/common/dump_file.h"

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

// The traces a record holds: for each of `channels` channels its first analog
// trace and its digital words (bit d = digital trace d), `samples` values each.
struct WaveformSnapshot {
    uint32_t channels = 0;
    uint32_t samples = 0;
    uint32_t analogTraces = 0;
    uint32_t digitalTraces = 0;
    uint64_t timestamp = 0;
    std::vector<double> analog;      // channels × samples, channel after channel
    std::vector<uint32_t> digital;   // channels × samples, channel after channel
};

class WaveformFileWriter {
public:
    // Creates the base file + the type's extension, new (never an existing
    // file), and writes the header. False when the type is none of the three
    // (errorNumber() 0: nothing to open) or when the file cannot be created
    // (errorNumber() set, EEXIST when the name is taken).
    bool open(const dump_file::FileTarget& base, dump_file::Type type);
    bool isOpen() const { return m_stream.isOpen(); }

    void write(const WaveformSnapshot& snapshot);
    // Writes the closing text (JSON "]") and closes the file.
    void close();

    const QString& fileName() const { return m_fileName; }
    int errorNumber() const { return m_stream.errorNumber(); }

    // The record bytes of a snapshot in a form; exposed for the benchmarks.
    static void encode(const WaveformSnapshot& snapshot, dump_file::Type type, std::string& out);

private:
    dump_file::BufferedStream m_stream;
    dump_file::Type m_type = dump_file::Type::Other;
    QString m_fileName;
    int64_t m_records = 0;
    std::string m_record;   // reused for every record
};
