#include "rate_snapshot_generator.h"

#include "rate_counter_bank.h"

#include <algorithm>
#include <cmath>

namespace sim {

RateSnapshotGenerator::RateSnapshotGenerator(const GeneratorContext& context)
    : context_(context)
    , fixedBatch_(context.settings.tunables.fixedBatch)
    , previousTime_(context.boardOpened)
    , previousIn_(context.counters.channels(), 0)
    , previousOut_(context.counters.channels(), 0)
{
}

void RateSnapshotGenerator::applyTunables(const SimTunables& tunables)
{
    fixedBatch_ = tunables.fixedBatch;
}

void RateSnapshotGenerator::rememberBaseline(Clock::time_point now)
{
    previousTime_ = now;
    context_.counters.snapshot(previousIn_.data(), previousOut_.data());
}

void RateSnapshotGenerator::start(Clock::time_point now)
{
    rememberBaseline(now);
}

void RateSnapshotGenerator::reset(Clock::time_point now)
{
    context_.counters.clear();
    sequence_ = 0;
    rememberBaseline(now);
}

RecordGenerator::Clock::duration RateSnapshotGenerator::untilDue(Clock::time_point now) const
{
    if (fixedBatch_ > 0)
        return Clock::duration::zero();
    const auto due = previousTime_ + kInterval;
    return due > now ? due - now : Clock::duration::zero();
}

Batch RateSnapshotGenerator::produce(Clock::time_point now)
{
    if (fixedBatch_ == 0 && now - previousTime_ < kInterval)
        return Batch();

    const uint32_t n = context_.counters.channels();
    BlockLayout layout;
    const size_t entryAt = layout.add(sizeof(readout::Entry));
    const size_t recordAt = layout.add(sizeof(readout::RateCounters));
    const size_t ratesInAt = layout.add(n * sizeof(uint64_t));
    const size_t ratesOutAt = layout.add(n * sizeof(uint64_t));
    const size_t countersInAt = layout.add(n * sizeof(uint64_t));
    const size_t countersOutAt = layout.add(n * sizeof(uint64_t));
    Batch batch = Batch::allocate(layout.total());
    if (!batch.valid())
        return Batch();

    uint64_t* ratesIn = batch.at<uint64_t>(ratesInAt);
    uint64_t* ratesOut = batch.at<uint64_t>(ratesOutAt);
    uint64_t* countersIn = batch.at<uint64_t>(countersInAt);
    uint64_t* countersOut = batch.at<uint64_t>(countersOutAt);
    context_.counters.snapshot(countersIn, countersOut);

    const double seconds = std::chrono::duration<double>(now - previousTime_).count();
    for (uint32_t c = 0; c < n; ++c) {
        // A counter below its previous value was cleared in between: count from 0.
        const uint64_t newIn = countersIn[c] >= previousIn_[c] ? countersIn[c] - previousIn_[c] : countersIn[c];
        const uint64_t newOut = countersOut[c] >= previousOut_[c] ? countersOut[c] - previousOut_[c] : countersOut[c];
        ratesIn[c] = seconds > 0.0 ? uint64_t(std::llround(double(newIn) / seconds)) : 0;
        ratesOut[c] = seconds > 0.0 ? uint64_t(std::llround(double(newOut) / seconds)) : 0;
    }
    std::copy(countersIn, countersIn + n, previousIn_.begin());
    std::copy(countersOut, countersOut + n, previousOut_.begin());
    previousTime_ = now;

    readout::RateCounters& record = *batch.at<readout::RateCounters>(recordAt);
    record = readout::RateCounters{};
    record.n_channels = n;
    record.rates_in = ratesIn;
    record.rates_out = ratesOut;
    record.counters_in = countersIn;
    record.counters_out = countersOut;

    const double sinceOpen = std::chrono::duration<double>(now - context_.boardOpened).count();
    readout::Entry& entry = *batch.at<readout::Entry>(entryAt);
    entry.unused = 0;
    entry.header0 = uint64_t(sinceOpen * double(context_.settings.clockHz));
    entry.header1 = sequence_++;
    entry.record = &record;
    batch.setCount(1);
    return batch;
}

}  // namespace sim
