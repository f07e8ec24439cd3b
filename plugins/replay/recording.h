// A recorded run of list events in the data dumper's BIN form, and reading it
// back in bounded pieces.
//
// A file: the four bytes "QRXS", the file's creation time in decimal ASCII
// digits (ten today), then 25-byte records: timestamp, channel and raw
// energy as unsigned 64-bit little-endian numbers and the flags byte
// (bit 0 flag1, bit 1 flag2). Nothing marks where the digits end, and the
// first record may begin with digit bytes. The header is "QRXS" and all the
// leading digits when there are at most ten (a creation time from 2001 to
// 2286 has ten); with more, the longest run of at least ten digits after
// which the rest of the file is whole records. At most one length of ten to
// twenty digits leaves whole records, as they differ by less than a record.
// A file whose rest is not whole records ends inside one: it was cut short.
//
// A run folder holds the files <block>_0.bin, <block>_1.bin, ... of one
// dumper block, one after the other in index order.
#pragma once

#include "replay_settings.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace replay {

struct RecordedFile {
    std::string path;
    uint64_t headerBytes = 0;
    uint64_t records = 0;
};

// One record as the file holds it.
struct RawRecord {
    uint64_t timestamp;
    uint64_t channel;
    uint64_t energyRaw;
    uint8_t flags;
};

class Recording {
public:
    static constexpr size_t kRecordBytes = 25;

    // Finds and checks the files the settings name (run folder or one file):
    // kOk with `out` set, or kCannotRead, kIndexGap, kNotListFile, kCutFile.
    // Reads each file's header and its first and last records only.
    static int32_t open(const Settings& settings, std::shared_ptr<const Recording>& out);

    const std::vector<RecordedFile>& files() const { return files_; }
    uint64_t events() const { return events_; }
    // Timestamps of the first and the last record of the run (0 without records).
    uint64_t firstTimestamp() const { return first_; }
    uint64_t lastTimestamp() const { return last_; }

private:
    std::vector<RecordedFile> files_;
    uint64_t events_ = 0;
    uint64_t first_ = 0;
    uint64_t last_ = 0;
};

// Reads a recording's records in file order, at most kChunkRecords at a time
// through one buffer of its own; holds one file open at a time.
class RecordingReader {
public:
    static constexpr size_t kChunkRecords = 65536;

    explicit RecordingReader(std::shared_ptr<const Recording> recording);
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    // Back to the first record.
    void rewind();
    // Decodes up to min(n, kChunkRecords) records from the position into
    // `out` and moves past them: their number, 0 at the end of the recording,
    // -1 when a file can no longer be read as it was when the recording was
    // opened.
    int64_t read(RawRecord* out, size_t n);

private:
    void closeFile();

    const std::shared_ptr<const Recording> recording_;
    std::vector<unsigned char> buffer_;  // kChunkRecords records
    size_t file_ = 0;                    // index of the file at the position
    uint64_t record_ = 0;                // record at the position within that file
    int fd_ = -1;                        // that file, once opened
};

}  // namespace replay
