// What the file writers share about their files: the file type strings and
// their extensions and record forms, file naming, creation time stamps, and
// opening a stream with the failure logged the same way by every writer.
#pragma once

#include <QString>

#include <cstdint>
#include <fstream>
#include <memory>
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

// "Unable to open file " <name> " errno: " <text> ". Acquisition disabled in
// order to prevent software crash", at info level.
void logUnableToOpen(const QString& fileName, int errorNumber);

}  // namespace dump_file
