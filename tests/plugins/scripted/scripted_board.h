// In-process control of the scripted board plugin (libVRAXDig2Scripted).
//
// A test that opens Board objects on the plugin inside its own process gets
// the plugin's one Control object and scripts what the board does:
//
//   scripted::Control* board = scripted::control();      // same instance the Board loads
//   board->clear();
//   board->setValue("\\par\\Gain", "5");                  // GetValue answers (SetValue also stores)
//   board->failCall("SendCommand", "\\cmd\\Start", -3);   // that call returns -3
//   board->queue("endpoints\\events", {{scripted::energy({1000, 3, 4000, 12.5, 1, 0, {}, 7}, 11, 12)}});
//   board->queue("endpoints\\events", scripted::failedRead(-7));
//   ... run the code under test ...
//   QTRY_COMPARE(board->outstanding(), 0);
//   QCOMPARE(board->calls("FreePointer").size(), size_t(1));
//
// Reads of an endpoint deliver its queued batches in order, one per read
// (a batch with a non-zero status fails that read and delivers nothing). A
// read with nothing queued -- and nothing generated, see scripted_data.h --
// pauses min(timeout, 5 ms) and returns 0 with count 0. A delivered batch is
// owned by the plugin until FreePointer gets the same data list on the same
// handle and path: only then is its memory released (a read after the free is
// a use after free; a free that never comes stays in outstanding()).
//
// Call record, in call order: every Open, SetValue, GetValue, SendCommand and
// FreePointer, and every ReadData that delivered something or failed (empty
// reads of an idle board are not recorded, the server polls all the time).
// Statuses of the plugin's own: -1 unknown handle, data list or null argument,
// -2 a free on another handle or path than its read, -3 GetValue of a path
// that has no value.
//
// Link the test with quarix_test_plugins: it defines QUARIX_SCRIPTED_PLUGIN
// (the library's path) and QUARIX_PARTIAL_PLUGIN (a library exporting only Open).
#pragma once

#include "board_access/readout_records.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#ifdef QUARIX_SCRIPTED_PLUGIN
#include <QLibrary>
#include <QString>
#endif

namespace scripted {

// One waveform record with a single trace block; the plugin points
// head.traces at block and block.analog/digital at the vectors (an empty
// vector gives a null array). head.n_samples and n_traces are delivered as set.
struct Wave {
    readout::Waveform head{};
    readout::TraceBlock block{};
    std::vector<int32_t> analog;
    std::vector<uint32_t> digital;
};

// One rate-counter snapshot; an empty vector gives a null array.
struct Rates {
    uint32_t n_channels = 0;
    std::vector<uint64_t> rates_in, rates_out, counters_in, counters_out;
};

// std::monostate delivers an entry whose record pointer is null.
using Record = std::variant<std::monostate, readout::EnergyEvent, readout::EnergyPair, Wave, Rates>;

struct Item {
    uint64_t header0 = 0;
    uint64_t header1 = 0;
    Record record;
};

struct Batch {
    int32_t status = 0;   // non-zero: the read returns it and delivers nothing
    std::vector<Item> items;

    Batch() = default;
    Batch(std::initializer_list<Item> list) : items(list) {}
};

inline Item energy(const readout::EnergyEvent& e, uint64_t header0 = 0, uint64_t header1 = 0)
{
    return Item{header0, header1, e};
}
inline Item pair(const readout::EnergyPair& p, uint64_t header0 = 0, uint64_t header1 = 0)
{
    return Item{header0, header1, p};
}
inline Item wave(Wave w, uint64_t header0 = 0, uint64_t header1 = 0) { return Item{header0, header1, std::move(w)}; }
inline Item rates(Rates r, uint64_t header0 = 0, uint64_t header1 = 0) { return Item{header0, header1, std::move(r)}; }
inline Item nullRecord(uint64_t header0 = 0, uint64_t header1 = 0) { return Item{header0, header1, {}}; }
inline Batch failedRead(int32_t status)
{
    Batch b;
    b.status = status;
    return b;
}

struct Call {
    std::string function;   // "Open", "SetValue", "GetValue", "SendCommand", "ReadData", "FreePointer"
    uint32_t handle = 0;    // Open: the handle given
    std::string path;       // Open: the connection string
    std::string value;      // SetValue: the value sent; GetValue: the value answered
    int32_t status = 0;     // what the call returned
    int32_t count = 0;      // ReadData: entries delivered
};

struct Delivered;   // plugin side: a batch between its read and its free
struct Generator;   // plugin side: the generated streams of one board

class Control {
public:
    // --- test side ----------------------------------------------------------
    void queue(const std::string& path, Batch batch)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_[path].push_back(std::move(batch));
    }
    void setValue(const std::string& path, const std::string& value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        values_[path] = value;
    }
    // SetValue, GetValue, SendCommand or ReadData on `path` returns `status` (and does nothing else).
    void failCall(const std::string& function, const std::string& path, int32_t status)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_[{function, path}] = status;
    }
    std::vector<Call> calls(const std::string& function = std::string()) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Call> out;
        for (const Call& c : calls_)
            if (function.empty() || c.function == function)
                out.push_back(c);
        return out;
    }
    // Delivered batches not freed yet.
    int outstanding() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(outstanding_.size());
    }
    // Batches of the path not read yet.
    int queued(const std::string& path) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = queued_.find(path);
        return it == queued_.end() ? 0 : static_cast<int>(it->second.size());
    }
    void clearCalls()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }
    // Forgets queued batches, values, failures and the call record (outstanding
    // batches stay until freed); open boards keep their handles.
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_.clear();
        values_.clear();
        failures_.clear();
        calls_.clear();
    }

    // --- plugin side: the entry points (defined in the plugin) ----------------
    int32_t open(const char* connection, uint32_t* handle);
    int32_t setValueCall(uint32_t handle, const char* path, const char* value);
    int32_t getValueCall(uint32_t handle, const char* path, char* value);
    int32_t sendCommand(uint32_t handle, const char* path);
    int32_t readData(uint32_t handle, const char* path, int32_t timeoutMs, void* dataList);
    int32_t freePointer(uint32_t handle, const char* path, void* dataList);

private:
    // What a call on `path` returns before it does anything: -1 for a bad
    // argument or handle, else a status set by failCall(), else 0. Locked.
    int32_t precheck(const char* function, uint32_t handle, const std::string& path, bool arguments) const;

    mutable std::mutex mutex_;
    std::map<std::string, std::deque<Batch>> queued_;
    std::map<std::string, std::string> values_;
    std::map<std::pair<std::string, std::string>, int32_t> failures_;
    std::vector<Call> calls_;
    std::map<const void*, std::shared_ptr<Delivered>> outstanding_;   // by delivered entry array
    std::map<uint32_t, std::shared_ptr<Generator>> boards_;           // by handle
    uint32_t nextHandle_ = 1;
};

#ifdef QUARIX_SCRIPTED_PLUGIN
inline QString pluginPath() { return QStringLiteral(QUARIX_SCRIPTED_PLUGIN); }
inline QString partialPluginPath() { return QStringLiteral(QUARIX_PARTIAL_PLUGIN); }

// The Control of the plugin loaded from `library` (the very file a Board
// loads, so both see one instance); null if the library does not load.
inline Control* control(const QString& library = pluginPath())
{
    using Get = Control* (*)();
    const auto get = reinterpret_cast<Get>(QLibrary::resolve(library, "quarix_scripted_control"));
    return get ? get() : nullptr;
}
#endif

}  // namespace scripted
