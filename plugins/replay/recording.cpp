#include "recording.h"

#include "plugins/common/number_text.h"
#include "replay_status.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace replay {

namespace {

constexpr char kMagic[] = "QRXS";
constexpr size_t kMagicBytes = 4;
constexpr size_t kMostDigits = 20;  // digits of the largest 64-bit number
constexpr size_t kTimeDigits = 10;  // digits of a creation time from 2001 to 2286

uint64_t loadLE64(const unsigned char* bytes)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

RawRecord decode(const unsigned char* bytes)
{
    return RawRecord{loadLE64(bytes), loadLE64(bytes + 8), loadLE64(bytes + 16), bytes[24]};
}

// pread of exactly `bytes` bytes (retried after EINTR and short reads).
bool readAt(int fd, void* out, size_t bytes, uint64_t offset)
{
    auto* to = static_cast<unsigned char*>(out);
    while (bytes > 0) {
        const ssize_t got = ::pread(fd, to, bytes, off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        to += got;
        bytes -= size_t(got);
        offset += uint64_t(got);
    }
    return true;
}

// The header length of a list file of `size` bytes whose first bytes are
// `head` (at most kMagicBytes + kMostDigits of them); or kNotListFile, kCutFile.
int32_t headerLength(const unsigned char* head, size_t headBytes, uint64_t size, uint64_t& length)
{
    if (headBytes < kMagicBytes || std::memcmp(head, kMagic, kMagicBytes) != 0)
        return kNotListFile;
    size_t digits = 0;
    while (kMagicBytes + digits < headBytes && head[kMagicBytes + digits] >= '0' && head[kMagicBytes + digits] <= '9')
        ++digits;
    if (digits == 0)
        return kNotListFile;
    // The longest header of at least kTimeDigits digits (all of them when
    // there are fewer) after which the rest is whole records.
    for (size_t d = digits; d >= std::min(digits, kTimeDigits); --d) {
        if ((size - kMagicBytes - d) % Recording::kRecordBytes == 0) {
            length = kMagicBytes + d;
            return kOk;
        }
    }
    return kCutFile;
}

// Checks an opened file and fills its header size and record count; its
// first and last records are read for the run's time span.
int32_t inspectOpened(int fd, RecordedFile& file, RawRecord& first, RawRecord& last)
{
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return kCannotRead;
    const uint64_t size = uint64_t(info.st_size);
    unsigned char head[kMagicBytes + kMostDigits];
    const size_t headBytes = size_t(std::min<uint64_t>(size, sizeof head));
    if (!readAt(fd, head, headBytes, 0))
        return kCannotRead;
    const int32_t status = headerLength(head, headBytes, size, file.headerBytes);
    if (status != kOk)
        return status;
    file.records = (size - file.headerBytes) / Recording::kRecordBytes;
    if (file.records == 0)
        return kOk;
    unsigned char record[Recording::kRecordBytes];
    if (!readAt(fd, record, sizeof record, file.headerBytes))
        return kCannotRead;
    first = decode(record);
    if (!readAt(fd, record, sizeof record, file.headerBytes + (file.records - 1) * Recording::kRecordBytes))
        return kCannotRead;
    last = decode(record);
    return kOk;
}

int32_t inspect(RecordedFile& file, RawRecord& first, RawRecord& last)
{
    const int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return kCannotRead;
    const int32_t status = inspectOpened(fd, file, first, last);
    ::close(fd);
    return status;
}

// The files <block>_<index>.bin of a run folder in index order; kIndexGap
// unless the indices are 0, 1, 2 ... without a gap.
int32_t runFiles(const std::string& folder, const std::string& block, std::vector<RecordedFile>& files)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return kCannotRead;
    const std::string prefix = block + "_";
    const std::string suffix = ".bin";
    std::vector<std::pair<uint64_t, std::string>> found;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name(entry->d_name);
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0
            || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        // Indices as the dumper writes them: decimal, no leading zero.
        uint64_t index = 0;
        if ((digits.size() > 1 && digits[0] == '0') || digits.find_first_not_of("0123456789") != std::string::npos
            || !board_plugin::NumberText::parse(digits, index))
            continue;
        found.emplace_back(index, folder + "/" + name);
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end());
    if (found.empty())
        return kIndexGap;
    for (size_t i = 0; i < found.size(); ++i) {
        if (found[i].first != i)
            return kIndexGap;
        files.push_back(RecordedFile{found[i].second, 0, 0});
    }
    return kOk;
}

}  // namespace

int32_t Recording::open(const Settings& settings, std::shared_ptr<const Recording>& out)
{
    auto recording = std::make_shared<Recording>();
    if (settings.file.empty()) {
        const int32_t status = runFiles(settings.run, settings.block, recording->files_);
        if (status != kOk)
            return status;
    } else {
        recording->files_.push_back(RecordedFile{settings.file, 0, 0});
    }
    bool anyRecord = false;
    for (RecordedFile& file : recording->files_) {
        RawRecord first{}, last{};
        const int32_t status = inspect(file, first, last);
        if (status != kOk)
            return status;
        if (file.records == 0)
            continue;
        if (!anyRecord)
            recording->first_ = first.timestamp;
        recording->last_ = last.timestamp;
        recording->events_ += file.records;
        anyRecord = true;
    }
    out = std::move(recording);
    return kOk;
}

RecordingReader::RecordingReader(std::shared_ptr<const Recording> recording)
    : recording_(std::move(recording))
    , buffer_(kChunkRecords * Recording::kRecordBytes)
{
}

RecordingReader::~RecordingReader()
{
    closeFile();
}

void RecordingReader::closeFile()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void RecordingReader::rewind()
{
    closeFile();
    file_ = 0;
    record_ = 0;
}

int64_t RecordingReader::read(RawRecord* out, size_t n)
{
    const std::vector<RecordedFile>& files = recording_->files();
    n = std::min(n, kChunkRecords);
    size_t done = 0;
    while (done < n && file_ < files.size()) {
        const RecordedFile& file = files[file_];
        if (record_ == file.records) {
            closeFile();
            ++file_;
            record_ = 0;
            continue;
        }
        if (fd_ < 0)
            fd_ = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
        const size_t count = size_t(std::min<uint64_t>(n - done, file.records - record_));
        if (fd_ < 0
            || !readAt(fd_, buffer_.data(), count * Recording::kRecordBytes,
                       file.headerBytes + record_ * Recording::kRecordBytes))
            return -1;
        for (size_t i = 0; i < count; ++i)
            out[done + i] = decode(buffer_.data() + i * Recording::kRecordBytes);
        done += count;
        record_ += count;
    }
    return int64_t(done);
}

}  // namespace replay
