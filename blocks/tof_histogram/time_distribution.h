// The time-of-flight histogram block: one histogram per board channel of the
// event timestamps, in bins "binning" timestamp units wide. The sister of the
// spectrum block: same size parameters, counters, control messages and
// replies; it bins timestamp / binning rounded to nearest, drops negative
// bins and has no cuts. Like the spectrum it counts only while running.
//
// Entry parameters: "bin_number", "ch_number" (both at least 1), "binning"
// (0 or absent: nothing is counted).
#pragma once

#include "core/block_worker.h"
#include "core/channel_histograms.h"
#include "core/quarix_block.h"

#include <atomic>

struct BlockContext;
class time_distribution_Thread;

class time_distribution : public QuarixBlock {
    Q_OBJECT
public:
    time_distribution(QObject* parent, BlockContext* context, const QJsonValue& entry);

    // Reads "binning"; a running worker takes the new width at once.
    bool ReadParameters(const QJsonValue& entry) override;

public slots:
    void NewDataInTheInputPin(int FifoLevel);
    void InterpretMessage(QString data_in, QString* data_out);

private:
    HistogramSize m_size;
    double m_binning = 0.0;
    time_distribution_Thread* m_thread = nullptr;   // m_worker, typed; none when the entry is unusable
};

class time_distribution_Thread : public BlockWorker {
    Q_OBJECT
public:
    time_distribution_Thread(const QString& name, const QList<PinInput*>* inputs, const HistogramSize& size,
                             double binning);
    ~time_distribution_Thread() override;

    ChannelHistograms& histograms() { return m_histograms; }
    void setBinning(double binning) { m_binning.store(binning, std::memory_order_relaxed); }

protected:
    void process(PinMessage& message) override;

private:
    ChannelHistograms m_histograms;
    std::atomic<double> m_binning;
};
