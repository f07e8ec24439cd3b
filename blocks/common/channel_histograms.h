// What the spectrum and time-of-flight blocks share: the size read from their
// entry ("bin_number", "ch_number"), one histogram per channel, the run state,
// and the answers to their control messages ("get_data" with "channels",
// "reset", "data_get_status", "run_control").
//
// The worker owns the histograms and counts; InterpretMessage, on the main
// thread, hands the client's text to answer(). Neither ever waits for the other.
#pragma once

#include "blocks/common/accumulating_control.h"
#include "blocks/common/counter_grid.h"

#include <QJsonValue>
#include <QString>

#include <cstdint>

struct HistogramSize {
    int64_t bins = 0;       // "bin_number"
    int64_t channels = 0;   // "ch_number"

    // Reads both from the entry's "parameters" (0 when absent or not a number);
    // a later element overrides an earlier one.
    static HistogramSize fromEntry(const QJsonValue& entry);

    // True when both are at least 1 and within the configuration limits;
    // otherwise names the offending key and why.
    bool isUsable(QString* key, QString* problem) const;
};

class ChannelHistograms {
public:
    explicit ChannelHistograms(const HistogramSize& size);

    int bins() const { return m_counts.columns(); }
    int channels() const { return m_counts.rows(); }
    bool isRunning() const { return m_run.isRunning(); }

    // Counts one event. Channels are clamped to the first and last histogram;
    // bin must already lie inside 0 .. bins() - 1.
    void count(int32_t channel, int bin)
    {
        const int last = m_counts.rows() - 1;
        m_counts.increment(channel < 0 ? 0 : (channel > last ? last : channel), bin);
    }
    uint32_t value(int channel, int bin) const { return m_counts.value(channel, bin); }

    // Appends the reply to a client's message; nothing for an unknown command.
    void answer(const QString& data_in, QString* data_out);

private:
    CounterGrid m_counts;   // a row per channel, a column per bin
    AccumulatingRunState m_run;
};
