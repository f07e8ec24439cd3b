// What the file writers share about their files: the file type strings and
// their extensions and record forms, file naming, creation time stamps, and
// opening a stream with the failure logged the same way by every writer.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <fstream>
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

// Seconds since the Unix epoch, for file headers.
uint64_t creationTime();

// Appends the low `bytes` bytes of value, least significant first.
void appendLE(std::string& out, uint64_t value, int bytes);
// The 16-byte header of the waveform and rate BIN files: the four-character
// magic, four zero bytes, the creation time as unsigned 64-bit seconds.
std::string binaryHeader(const char (&magic)[5]);

// A file stream with a large write buffer. The buffer outlives the stream's
// use of it because both live and die together here.
class BufferedStream {
public:
    static constexpr std::size_t kBufferBytes = 1 << 18;

    // Creates (truncates) or, with append, extends the file. On failure
    // returns false and errorNumber() holds the system's error number.
    bool open(const QString& fileName, bool append = false);
    bool isOpen() const { return m_out.is_open(); }
    void close();
    std::ofstream& stream() { return m_out; }
    int errorNumber() const { return m_errno; }

private:
    std::unique_ptr<char[]> m_buffer;
    std::ofstream m_out;
    int m_errno = 0;
};

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

    BufferedFile();
    ~BufferedFile() override;
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;

    // Creates (truncates) the file. On failure returns false and
    // errorNumber() holds the system's error number.
    bool open(const QString& fileName);
    bool isOpen() const { return m_fd >= 0; }
    // Writes what is buffered and closes the file.
    void close();

    // The write pointer, with at least `bytes` (at most kBufferBytes)
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

    std::unique_ptr<char[]> m_buffer;
    std::ostream m_stream;
    int m_fd = -1;
    int64_t m_written = 0;   // bytes handed to the system
    bool m_failed = false;
    int m_errno = 0;
};

// "Unable to open file " <name> " errno: " <text> ". Acquisition disabled in
// order to prevent software crash", at info level.
void logUnableToOpen(const QString& fileName, int errorNumber);

}  // namespace dump_file
