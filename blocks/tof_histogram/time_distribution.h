// The time-of-flight histogram block: one histogram per board channel of the
// event timestamps, in bins "binning" timestamp units wide. The sister of the
// spectrum block: same size parameters, counters, control messages and
// replies; it bins timestamp / binning rounded to nearest, drops negative
// bins and has no cuts. Like the spectrum it counts only while running.
//
// Entry parameters: "bin_number", "ch_number" (both at least 1), "binning"
// (0 or absent: nothing is counted).
#pragma once

#include "blocks/common/channel_histogram_block.h"

#include <atomic>

class time_distribution_Thread;

class time_distribution : public ChannelHistogramBlock {
    Q_OBJECT
public:
    time_distribution(QObject* parent, BlockContext* context, const QJsonValue& entry);

    // Reads "binning"; a running worker takes the new width at once.
    bool ReadParameters(const QJsonValue& entry) override;
    // Sizes and the width of a bin in timestamp units.
    void describeView(QJsonObject& view) const override;

private:
    double m_binning = 0.0;
    time_distribution_Thread* m_thread = nullptr;   // m_worker, typed; none when the entry is unusable
};

class time_distribution_Thread : public ChannelHistogramWorker {
    Q_OBJECT
public:
    time_distribution_Thread(const QString& name, const QList<PinInput*>* inputs, const HistogramSize& size,
                             double binning);

    void setBinning(double binning) { m_binning.store(binning, std::memory_order_relaxed); }

protected:
    int binOf(const QuarixPayload_Energy& event) const override;

private:
    std::atomic<double> m_binning;
};
