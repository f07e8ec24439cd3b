// What the file writers share about their files: the file type strings and
// their extensions and record forms, file naming, creation time stamps, the
// storage folder every file is made below, the checks of what clients name
// (run ids, folders), and opening a file with the failure logged the same way
// by every writer.
//
// Recorded data is never overwritten: a data file is always created new
// (O_CREAT|O_EXCL). A name that is taken fails to open with EEXIST, which the
// writer logs (logUnableToOpen) before it stops its run.
#pragma once

#include <QJsonValue>
#include <QString>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

namespace dump_file {

// "BIN", "CSV" and "JSON", compared exactly (case-sensitive); anything else is Other.
enum class Type { Bin, Csv, Json, Other };

Type typeOf(const QString& fileType);
// ".bin", ".csv", ".json"; empty for Other.
const char* extension(Type type);
// The QuarixPayload::Serialize form of the type: 0, 1, 2; -1 for Other.
int payloadFormat(Type type);

// file_path + "/" + run_id + "/" + block name + "_" + index (no extension).
QString baseName(const QString& filePath, const QString& runId, const QString& blockName, int fileIndex);

// A run id names one folder: 1 to kMaxRunIdLength letters, digits, "-", "_"
// and ".", and neither "." nor "..". False, with the reason, otherwise.
constexpr int kMaxRunIdLength = 128;
bool isValidRunId(const QString& runId, QString* reason = nullptr);

// The storage folder of the recordings, opened once as a directory. Files
// and folders are made below it with openat2(2) and RESOLVE_BENEATH, so that
// neither ".." nor a symbolic link, not even one planted inside the folder
// after a check, leads outside it. Where the kernel lacks openat2 (ENOSYS)
// the canonical path of the parent folder is checked instead, and the last
// component is not followed. Immutable once opened: shared by threads.
class StorageRoot {
public:
    // Null when `path` is empty or cannot be opened as a folder.
    static std::shared_ptr<const StorageRoot> open(const QString& path);
    ~StorageRoot();
    StorageRoot(const StorageRoot&) = delete;
    StorageRoot& operator=(const StorageRoot&) = delete;

    const QString& path() const { return m_path; }               // as given
    const QString& canonicalPath() const { return m_canonical; }  // symbolic links and ".." resolved

    // Whether `folder` (absolute, or relative to the working folder) is this
    // folder or lies below it once its symbolic links and ".." are resolved;
    // `relative` then receives its path below this one ("" for this one).
    // The parts of it that do not exist yet are taken as written.
    bool contains(const QString& folder, QString* relative) const;

    // open(2) of `relative` below this folder (O_CLOEXEC added): the file
    // descriptor, or -1 with errno set (EXDEV when the path leads outside).
    int openBelow(const QString& relative, int flags, mode_t mode = 0666) const;

    // Creates the folder `relative` below this folder, its parent folders too
    // when `parents` is set. 0, or the errno of the failure: EEXIST when the
    // last component exists already (whatever it is).
    int makeFolder(const QString& relative, bool parents = false) const;

private:
    StorageRoot() = default;

    int m_fd = -1;
    QString m_path;
    QString m_canonical;
};

// A file to be made below a storage root: its path below the root, and its
// full name as messages show it.
struct FileTarget {
    std::shared_ptr<const StorageRoot> root;
    QString relative;
    QString name;

    FileTarget withSuffix(const char* suffix) const
    {
        return FileTarget{root, relative + QLatin1String(suffix), name + QLatin1String(suffix)};
    }
};

// Opens the target with open(2) `flags` below its root: the file descriptor,
// or -1 with errno set (EACCES when no root is known).
int openTarget(const FileTarget& target, int flags);

// A client's value in a log line: a string as a JSON string (escaped, cut
// after 64 characters with "..." after the quote), any other JSON value in its
// compact JSON form.
QString shownValue(const QString& text);
QString shownValue(const QJsonValue& value);
// A JSON string literal of the text, quotes included.
QString jsonString(const QString& text);
// "Refused <what> <shown value>: <reason>", at info level.
void logRefused(const QString& what, const QString& shown, const QString& reason);

// Seconds since the Unix epoch, for file headers.
uint64_t creationTime();

// Appends the low `bytes` bytes of value, least significant first.
void appendLE(std::string& out, uint64_t value, int bytes);
// The 16-byte header of the waveform and rate BIN files: the four-character
// magic, four zero bytes, the creation time as unsigned 64-bit seconds.
std::string binaryHeader(const char (&magic)[5]);

// A file written through one large owned buffer with plain write(2) calls of
// about kBufferBytes. Records can be put straight into the buffer (room(),
// then advanceTo()) or through stream(), an std::ostream over the same buffer,
// so both kinds mix in file order. Flushing the stream (as a text line end
// does) hands the buffered bytes to the system at once.
//
//     dump_file::BufferedFile file;
//     file.open(name);
//     char* p = file.room(25);       // at least 25 writable bytes
//     ... fill p[0..24] ...
//     file.advanceTo(p + 25);
//     payload.Serialize(0, file.stream());
//
// After a failed write the file keeps failing: later bytes are dropped and
// position() reads -1, as a failed std::ofstream's tellp() does.
class BufferedFile : private std::streambuf {
public:
    static constexpr std::size_t kBufferBytes = 1 << 20;

    // Writes of at least `directBytes` bytes go to the file at once, after
    // what is buffered; smaller ones wait in the buffer.
    explicit BufferedFile(std::size_t bufferBytes = kBufferBytes, std::size_t directBytes = kBufferBytes);
    ~BufferedFile() override;
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;

    // Creates the file new, below its storage root; a file of that name is
    // never reused (EEXIST). On failure returns false and errorNumber() holds
    // the system's error number.
    bool open(const FileTarget& target);
    bool isOpen() const { return m_fd >= 0; }
    // Writes what is buffered and closes the file.
    void close();

    // The write pointer, with at least `bytes` (at most the buffer's size)
    // writable bytes behind it; writes out the buffer first when it lacks them.
    char* room(std::size_t bytes)
    {
        if (static_cast<std::size_t>(epptr() - pptr()) < bytes)
            writeBuffer();
        return pptr();
    }
    // The end of the writable part of the buffer: the bytes from room() up
    // to limit() can be filled before the next room() call.
    char* limit() const { return epptr(); }
    // Marks the bytes from the write pointer up to `end` as written.
    void advanceTo(char* end) { pbump(static_cast<int>(end - pptr())); }
    void append(const char* data, std::size_t bytes);

    std::ostream& stream() { return m_stream; }
    // Bytes written to the file so far, buffered ones included; -1 after a failed write.
    int64_t position() const;
    int errorNumber() const { return m_errno; }

private:
    // Hands the buffered bytes to the system; false after a failed write.
    bool writeBuffer();
    // Writes bytes from outside the buffer, all of them or (failing) stops.
    bool writeOut(const char* data, std::size_t bytes);

    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int sync() override;

    const std::size_t m_bufferBytes;
    const std::size_t m_directBytes;
    std::unique_ptr<char[]> m_buffer;
    std::ostream m_stream;
    int m_fd = -1;
    int64_t m_written = 0;   // bytes handed to the system
    bool m_failed = false;
    int m_errno = 0;
};

// A BufferedFile with a smaller buffer, for writers of fewer, larger records
// that are read while the run goes on: a write of a kilobyte or more reaches
// the file at once (as with a std::ofstream), smaller ones are buffered.
class BufferedStream {
public:
    static constexpr std::size_t kBufferBytes = 1 << 18;
    static constexpr std::size_t kDirectBytes = 1 << 10;

    // As BufferedFile::open: a new file below the target's root, never an existing one.
    bool open(const FileTarget& target) { return m_file.open(target); }
    bool isOpen() const { return m_file.isOpen(); }
    void close() { m_file.close(); }
    std::ostream& stream() { return m_file.stream(); }
    int errorNumber() const { return m_file.errorNumber(); }

private:
    BufferedFile m_file{kBufferBytes, kDirectBytes};
};

// "Unable to open file " <name> " errno: " <text> ". Acquisition disabled in
// order to prevent software crash", at info level.
void logUnableToOpen(const QString& fileName, int errorNumber);

}  // namespace dump_file
