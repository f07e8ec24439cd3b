// Orders events by their board timestamp and releases them as coincidence
// groups. Every incoming event is stamped with its wall-clock arrival time and
// held in one sorted order buffer; when a message arrives and the oldest event
// has waited more than 5 ms, the oldest events leave in one packet per group of
// timestamps within 100 units of the group's first event. When no data comes
// for longer than the hold, everything buffered has waited that long and
// leaves the same way, so the last events of an acquisition are not kept back
// until the next one begins.
//
//     {"block_type": "time_sorting", "name": "sorter", "data_type": "energy",
//      "parameters": [{"param_name": "n_windows", "param_value": 4},
//                     {"param_name": "timestamp_delta", "param_value": 250}]}
//
// n_windows and timestamp_delta are kept with the block but do not change the
// ordering. "order_buffer_limit" (default 10000, at most kMaxBufferLimit)
// raises the order buffer's cap for boards that deliver more than 10000 events
// within the hold time plus one read period. Events refused by a full buffer
// are counted (droppedEvents()).
#pragma once

#include "core/block_worker.h"
#include "core/quarix_block.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

struct BlockContext;
struct DataPacket;
class DataDistructor;
class DataDistructorTimeSorting;
class PinOutput;
class QuarixPayload;

class Time_Sorting_Thread : public BlockWorker {
    Q_OBJECT
public:
    static constexpr int kBufferLimit = 10000;          // default cap, tested before each packet is added
    static constexpr int kMaxBufferLimit = 10000000;
    static constexpr double kHoldMicroseconds = 5000.0;
    static constexpr double kGroupWidth = 100.0;        // timestamp units

    Time_Sorting_Thread(const QString& name, const QList<PinInput*>* inputs, const QList<PinOutput*>* outputs,
                        int nWindows, double timestampDelta, DataDistructor* deleter,
                        int bufferLimit = kBufferLimit);
    // Stops the thread, then destroys what is still buffered (never emitted).
    ~Time_Sorting_Thread() override;

    int nWindows() const { return m_nWindows; }
    double timestampDelta() const { return m_timestampDelta; }
    int bufferLimit() const { return m_bufferLimit; }
    // Events destroyed because the order buffer was full.
    uint64_t droppedEvents() const { return m_droppedEvents.load(std::memory_order_relaxed); }

protected:
    void process(PinMessage& message) override;
    // Wall clock, microseconds since 1970-01-01; read once per message. A test
    // clock overrides it (and must stop the thread in its own destructor).
    virtual quint64 nowMicroseconds() const;
    int64_t idleMicroseconds() const override;
    void idle() override;

private:
    void take(DataPacket* packet, quint64 now);
    void release(quint64 now);
    // Moves the group starting at the oldest buffered event to m_released.
    void releaseFirstGroup();
    void pushReleased();

    const QList<PinOutput*>* m_outputs;
    const int m_nWindows;
    const double m_timestampDelta;
    DataDistructor* const m_deleter;   // kept for the block; not used by the ordering
    const int m_bufferLimit;
    std::deque<QuarixPayload*> m_buffer;   // sorted by timestamp; touched by the worker thread only
    std::vector<PinMessage> m_released;    // the groups of one release step, pushed as one batch
    std::atomic<uint64_t> m_droppedEvents{0};
};

class Process_Time_Sorting : public QuarixBlock {
    Q_OBJECT
public:
    Process_Time_Sorting(QObject* parent, BlockContext* context, const QJsonValue& entry);
    ~Process_Time_Sorting() override;

    bool ReadParameters(const QJsonValue& entry) override;
    void appendLosses(BlockLosses& losses) const override;

    int nWindows() const { return m_nWindows; }
    double timestampDelta() const { return m_timestampDelta; }
    const Time_Sorting_Thread* worker() const { return static_cast<const Time_Sorting_Thread*>(m_worker); }

public slots:
    void NewDataInTheInputPin(int FifoLevel);

private:
    int m_nWindows = 0;
    double m_timestampDelta = 0.0;
    int m_bufferLimit = Time_Sorting_Thread::kBufferLimit;
    DataDistructorTimeSorting* m_deleter = nullptr;
};
