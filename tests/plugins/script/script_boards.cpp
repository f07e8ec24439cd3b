#include "script_boards.h"

#include "connection_options.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr int32_t kBadArgument = -1;
constexpr int32_t kWrongHandleOrPath = -2;
constexpr int32_t kBadSetup = -90;

QByteArray bytes(const char* text) { return text ? QByteArray(text) : QByteArray("<null>"); }
QByteArray number(qint64 value) { return QByteArray::number(value); }

void idlePause() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

}  // namespace

ScriptBoards& ScriptBoards::instance()
{
    static ScriptBoards boards;
    return boards;
}

std::shared_ptr<ScriptBoards::Board> ScriptBoards::find(uint32_t handle, CallLog* log)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = boards_.find(handle);
    if (it == boards_.end()) {
        *log = lastLog_;
        return nullptr;
    }
    *log = it->second->log;
    return it->second;
}

int32_t ScriptBoards::open(const char* connection, uint32_t* handle)
{
    if (!connection || !handle)
        return kBadArgument;
    const QByteArray text(connection);
    ConnectionOptions options;
    auto board = std::make_shared<Board>();
    QString error;
    const bool usable = ConnectionOptions::parse(text, &options, &error) &&
                        BoardScript::load(options.scriptPath, &board->script, &error);
    board->log = CallLog(options.logPath);
    if (!usable) {
        *handle = 0;
        std::fprintf(stderr, "VRAXDig2Script: %s\n", error.toLocal8Bit().constData());
        board->log.append({"ScriptError", "0", error.toUtf8()});
        board->log.append({"Open", "0", text, number(kBadSetup)});
        return kBadSetup;
    }

    if (options.openDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(options.openDelayMs));

    uint32_t assigned = options.handle;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!options.hasHandle) {
            while (boards_.count(nextHandle_) || nextHandle_ == 0)
                ++nextHandle_;
            assigned = nextHandle_++;
        }
        boards_[assigned] = board;
        lastLog_ = board->log;
    }
    *handle = assigned;
    board->log.append({"Open", number(assigned), text, number(options.openStatus)});
    return options.openStatus;
}

int32_t ScriptBoards::setValue(uint32_t handle, const char* path, const char* value)
{
    CallLog log;
    const std::shared_ptr<Board> board = find(handle, &log);
    int32_t status = kBadArgument;
    if (board && path && value) {
        const auto scripted = board->script.setStatus.find(path);
        status = scripted == board->script.setStatus.end() ? 0 : scripted->second;
        if (status == 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            board->storedValues[path] = value;
        }
    }
    log.append({"SetValue", number(handle), bytes(path), bytes(value), number(status)});
    return status;
}

int32_t ScriptBoards::getValue(uint32_t handle, const char* path, char* value)
{
    CallLog log;
    const std::shared_ptr<Board> board = find(handle, &log);
    int32_t status = kBadArgument;
    QByteArray answer;
    if (board && path && value) {
        status = 0;
        const auto scripted = board->script.values.find(path);
        if (scripted != board->script.values.end()) {
            answer = scripted->second;
        } else {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto stored = board->storedValues.find(path);
            if (stored != board->storedValues.end())
                answer = stored->second;
        }
        answer.truncate(63);   // the server's buffer holds 64 bytes with the NUL
        std::memcpy(value, answer.constData(), static_cast<size_t>(answer.size()) + 1);
    }
    log.append({"GetValue", number(handle), bytes(path), answer, number(status)});
    return status;
}

int32_t ScriptBoards::sendCommand(uint32_t handle, const char* path)
{
    CallLog log;
    const std::shared_ptr<Board> board = find(handle, &log);
    int32_t status = kBadArgument;
    if (board && path) {
        const auto scripted = board->script.commandStatus.find(path);
        status = scripted == board->script.commandStatus.end() ? 0 : scripted->second;
        std::lock_guard<std::mutex> lock(mutex_);
        ++board->commandsReceived[path];
    }
    log.append({"SendCommand", number(handle), bytes(path), number(status)});
    return status;
}

int32_t ScriptBoards::readData(uint32_t handle, const char* path, int32_t timeoutMs, void* dataList)
{
    CallLog log;
    const std::shared_ptr<Board> board = find(handle, &log);
    auto* list = static_cast<readout::DataList*>(dataList);
    if (!board || !path || !list) {
        idlePause();
        log.append({"ReadData", number(handle), bytes(path), number(timeoutMs), number(kBadArgument), "0", "-1"});
        return kBadArgument;
    }
    list->entries = nullptr;
    list->count = 0;

    const ScriptBatch* batch = nullptr;
    size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto endpoint = board->script.endpoints.find(path);
        if (endpoint != board->script.endpoints.end()) {
            index = board->nextBatch[path];
            const std::vector<ScriptBatch>& batches = endpoint->second.batches;
            if (index < batches.size()) {
                const ScriptBatch& next = batches[index];
                const bool held = !next.afterCommand.isEmpty() &&
                                  board->commandsReceived[next.afterCommand] < next.afterCommandCount;
                if (!held) {
                    batch = &next;
                    board->nextBatch[path] = index + 1;
                }
            }
        }
    }
    if (!batch) {
        idlePause();
        return 0;
    }

    // The script is never changed after Open and the board is held by pointer,
    // so the batch can be laid out without the lock.
    if (batch->status == 0 && !batch->entries.empty()) {
        auto delivered = std::make_unique<DeliveredBatch>(batch->entries);
        list->entries = delivered->entries();
        list->count = delivered->count();
        std::lock_guard<std::mutex> lock(mutex_);
        outstanding_[list->entries] = Outstanding{handle, path, static_cast<int>(index), std::move(delivered)};
    }
    log.append({"ReadData", number(handle), path, number(timeoutMs), number(batch->status), number(list->count),
                number(static_cast<qint64>(index))});
    return batch->status;
}

int32_t ScriptBoards::freePointer(uint32_t handle, const char* path, void* dataList)
{
    CallLog log;
    find(handle, &log);
    auto* list = static_cast<readout::DataList*>(dataList);
    int32_t status = kBadArgument;
    int batchIndex = -1;
    std::unique_ptr<DeliveredBatch> released;
    if (path && list) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = outstanding_.find(list->entries);
        if (it != outstanding_.end()) {
            batchIndex = it->second.batchIndex;
            if (it->second.handle != handle || it->second.path != path) {
                status = kWrongHandleOrPath;
            } else {
                status = 0;
                released = std::move(it->second.batch);
                outstanding_.erase(it);
            }
        }
    }
    if (released) {
        released.reset();
        list->entries = nullptr;
        list->count = 0;
    }
    log.append({"FreePointer", number(handle), bytes(path), number(status), number(batchIndex)});
    return status;
}

int32_t ScriptBoards::outstanding(uint32_t handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int32_t count = 0;
    for (const auto& item : outstanding_)
        count += item.second.handle == handle ? 1 : 0;
    if (count == 0 && !boards_.count(handle))
        return -1;
    return count;
}
