// The spectrum block: one energy spectrum per board channel. Every energy
// event is counted in the bin of its raw energy times the gain, while a
// client has set the block running ("run_control" with "freerun").
//
// Entry parameters: "bin_number", "ch_number" (both at least 1), "gain",
// "energy_cut_min", "energy_cut_max" (the cuts apply to the bin after gain).
// Clients address it by full path: "get_data" with "channels", "reset",
// "data_get_status", "run_control".
#pragma once

#include "blocks/common/channel_histogram_block.h"

class Histogram : public ChannelHistogramBlock {
    Q_OBJECT
public:
    Histogram(QObject* parent, BlockContext* context, const QJsonValue& entry);

    // Reads "gain" and the two cuts, printing each cut to standard output.
    bool ReadParameters(const QJsonValue& entry) override;
    // Sizes and "gain": an event's bin is its raw energy times the gain.
    void describeView(QJsonObject& view) const override;

private:
    double m_gain = 1.0;
    double m_energyCutMin = 0.0;
    double m_energyCutMax = 4294967295.0;
};

class Histogram_Thread : public ChannelHistogramWorker {
    Q_OBJECT
public:
    struct EnergyBinning {
        double gain = 1.0;
        double energyCutMin = 0.0;
        double energyCutMax = 4294967295.0;
    };

    Histogram_Thread(const QString& name, const QList<PinInput*>* inputs, const HistogramSize& size,
                     const EnergyBinning& binning);

protected:
    int binOf(const QuarixPayload_Energy& event) const override;

private:
    const EnergyBinning m_binning;
};
