// The spectrum block: one energy spectrum per board channel. Every energy
// event is counted in the bin of its raw energy times the gain, while a
// client has set the block running ("run_control" with "freerun").
//
// Entry parameters: "bin_number", "ch_number" (both at least 1), "gain",
// "energy_cut_min", "energy_cut_max" (the cuts apply to the bin after gain).
// Clients address it by full path: "get_data" with "channels", "reset",
// "data_get_status", "run_control".
#pragma once

#include "core/block_worker.h"
#include "core/channel_histograms.h"
#include "core/quarix_block.h"

struct BlockContext;
class Histogram_Thread;

class Histogram : public QuarixBlock {
    Q_OBJECT
public:
    Histogram(QObject* parent, BlockContext* context, const QJsonValue& entry);

    // Reads "gain" and the two cuts, printing each cut to standard output.
    bool ReadParameters(const QJsonValue& entry) override;

public slots:
    void NewDataInTheInputPin(int FifoLevel);
    void InterpretMessage(QString data_in, QString* data_out);

private:
    HistogramSize m_size;
    double m_gain = 1.0;
    double m_energyCutMin = 0.0;
    double m_energyCutMax = 4294967295.0;
    Histogram_Thread* m_thread = nullptr;   // m_worker, typed; none when the entry is unusable
};

class Histogram_Thread : public BlockWorker {
    Q_OBJECT
public:
    struct EnergyBinning {
        double gain = 1.0;
        double energyCutMin = 0.0;
        double energyCutMax = 4294967295.0;
    };

    Histogram_Thread(const QString& name, const QList<PinInput*>* inputs, const HistogramSize& size,
                     const EnergyBinning& binning);
    ~Histogram_Thread() override;

    ChannelHistograms& histograms() { return m_histograms; }

protected:
    void process(PinMessage& message) override;

private:
    int binOf(uint32_t energyRaw) const;

    ChannelHistograms m_histograms;
    const EnergyBinning m_binning;
};
