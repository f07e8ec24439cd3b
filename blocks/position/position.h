// The position block: where along a two-ended detector element an interaction
// happened, by charge division between the element's two channels. Fed by the
// time sorting block, each packet is one coincidence group; every correlated
// pair in it gives ratio = E(lower channel) / (E(lower) + E(higher)), counted
// in a heat map (column: the element's x position, row: the ratio bin) and
// kept as a scatter point in the recent frames.
//
// Entry parameters: "positions" and "correlated_channels" (arrays indexed by
// channel), "y_positions" (ratio bins, default 256), "energy_cut_min" and
// "energy_cut_max" (bounds of the pair's energy sum). Clients address it by
// full path: "get_data" with "source" "scatter" (read and clear) or
// "heatmap", "reset", "data_get_status", "run_control".
#pragma once

#include "blocks/common/accumulating_control.h"
#include "core/block_worker.h"
#include "blocks/common/counter_grid.h"
#include "core/quarix_block.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

struct BlockContext;
class Position_Thread;
class QuarixPayload_Energy;
class TextBuilder;

class Position : public QuarixBlock {
    Q_OBJECT
public:
    Position(QObject* parent, BlockContext* context, const QJsonValue& entry);

    bool ReadParameters(const QJsonValue& entry) override;
    // The heat map's columns ("elements") and ratio bins ("bins").
    void describeView(QJsonObject& view) const override;

public slots:
    void NewDataInTheInputPin(int FifoLevel);
    void InterpretMessage(QString data_in, QString* data_out);

private:
    bool checkParameters();

    std::vector<int> m_positions;
    std::vector<int> m_correlatedChannels;
    double m_energyCutMin = 0.0;
    double m_energyCutMax = 4294967295.0;
    int64_t m_yPositions = 256;
    Position_Thread* m_thread = nullptr;   // m_worker, typed; none when the entry is unusable
};

class Position_Thread : public BlockWorker {
    Q_OBJECT
public:
    struct Layout {
        std::vector<int> positions;            // heat map column of each channel
        std::vector<int> correlatedChannels;   // partner of each channel
        int yPositions = 256;
        double energyCutMin = 0.0;
        double energyCutMax = 4294967295.0;
    };

    // The frame list keeps at most this many frames plus the newest one.
    static constexpr size_t kFrameCap = 100;

    Position_Thread(const QString& name, const QList<PinInput*>* inputs, const Layout& layout);

    AccumulatingRunState& runState() { return m_run; }
    // {"data":[{"x":[...]},{"y":[...]}]} from every frame, newest first; the frames are consumed.
    void takeScatter(TextBuilder& text);
    void appendHeatmap(TextBuilder& text) { m_heatmap.appendMatrix(text, CounterGrid::Keep); }
    // Zeroes the heat map and drops the frames.
    void clear();

protected:
    void process(PinMessage& message) override;

private:
    struct Point {
        double x;
        double ratio;
    };
    struct EventCopy {
        uint64_t timestamp;
        uint32_t channel;
        uint32_t energy_raw;
        double energy;
        uint8_t flag1;
        uint8_t flag2;
        uint32_t extra;
    };
    // The scatter points found in one packet so far, with the packet's events.
    struct Frame {
        uint64_t timestamp = 0;
        std::shared_ptr<const std::vector<EventCopy>> events;
        std::vector<Point> points;
    };

    bool hasRepeatedChannel();
    void evaluatePair(const QuarixPayload_Energy& earlier, const QuarixPayload_Energy& later, Frame& frame);
    void addFrame(const Frame& frame);

    const Layout m_layout;
    CounterGrid m_heatmap;   // a row per ratio bin, a column per element
    AccumulatingRunState m_run;

    std::mutex m_frameMutex;
    std::deque<Frame> m_frames;   // newest first

    // Worker-only scratch space, kept to avoid an allocation per packet.
    std::vector<const QuarixPayload_Energy*> m_events;
    std::vector<uint32_t> m_channels;
};
