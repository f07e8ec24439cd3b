#include "replay_endpoint.h"

#include <algorithm>

namespace replay {

namespace {

constexpr std::chrono::hours kNeverDue{1};
constexpr uint64_t kNanosecondsPerSecond = 1000000000u;

}  // namespace

ReplayEndpoint::ReplayEndpoint(const Settings& settings, std::shared_ptr<const Recording> recording, bool running)
    : Endpoint(running)
    , settings_(settings)
    , recording_(recording)
    , passTicks_(std::max(recording->lastTimestamp(), recording->firstTimestamp()) - recording->firstTimestamp() + 1)
    , reader_(recording)
    , ahead_(new RawRecord[RecordingReader::kChunkRecords])
    , runningSince_(Clock::now())
    , running_(running)
{
    finished_.store(recording_->events() == 0 && !settings_.loop);
}

void ReplayEndpoint::startedLocked(Clock::time_point now)
{
    running_ = true;
    runningSince_ = now;
}

void ReplayEndpoint::stoppedLocked(Clock::time_point now)
{
    running_ = false;
    runBefore_ += now - runningSince_;
}

void ReplayEndpoint::resetLocked(Clock::time_point now)
{
    reader_.rewind();
    aheadCount_ = 0;
    aheadAt_ = 0;
    pass_ = 0;
    sequence_ = 0;
    runBefore_ = std::chrono::nanoseconds(0);
    runningSince_ = now;
    delivered_.store(0);
    failed_.store(false);
    finished_.store(recording_->events() == 0 && !settings_.loop);
}

const RawRecord* ReplayEndpoint::nextLocked()
{
    while (aheadAt_ == aheadCount_) {
        if (ended() || recording_->events() == 0)
            return nullptr;
        const int64_t got = reader_.read(ahead_.get(), RecordingReader::kChunkRecords);
        aheadCount_ = size_t(std::max<int64_t>(got, 0));
        aheadAt_ = 0;
        if (got < 0) {
            failed_.store(true);
        } else if (got == 0 && settings_.loop) {
            reader_.rewind();
            ++pass_;
        } else if (got == 0) {
            finished_.store(true);
        }
    }
    return &ahead_[aheadAt_];
}

uint64_t ReplayEndpoint::passTimestamp(const RawRecord& record) const
{
    return record.timestamp + pass_ * passTicks_;
}

uint64_t ReplayEndpoint::ticksFromStart(const RawRecord& record) const
{
    const uint64_t time = passTimestamp(record);
    const uint64_t first = recording_->firstTimestamp();
    return time > first ? time - first : 0;
}

uint64_t ReplayEndpoint::runningNs(Clock::time_point now) const
{
    const auto running = runBefore_ + (running_ ? now - runningSince_ : Clock::duration::zero());
    return uint64_t(std::max<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(running).count(), 0));
}

Batch ReplayEndpoint::produceLocked(Clock::time_point now)
{
    // Recorded pace: the records whose ticks from the start are within the running time.
    const unsigned __int128 dueTicks = (unsigned __int128)runningNs(now) * settings_.clockHz / kNanosecondsPerSecond;
    const bool paced = settings_.pace == Pace::Recorded;
    const auto isDue = [&](const RawRecord& record) { return !paced || ticksFromStart(record) <= dueTicks; };
    const RawRecord* next = nextLocked();
    if (!next || !isDue(*next))
        return Batch();

    board_plugin::BlockLayout layout;
    const size_t entriesAt = layout.add(settings_.maxBatch * sizeof(readout::Entry));
    const size_t recordsAt = layout.add(settings_.maxBatch * sizeof(readout::EnergyEvent));
    Batch batch = spare_.valid() ? std::move(spare_) : Batch::allocate(layout.total());
    if (!batch.valid())
        return Batch();
    auto* entries = batch.at<readout::Entry>(entriesAt);
    auto* records = batch.at<readout::EnergyEvent>(recordsAt);

    uint32_t count = 0;
    for (; count < settings_.maxBatch && next && isDue(*next); next = nextLocked()) {
        readout::EnergyEvent& event = records[count];
        event = readout::EnergyEvent{};
        event.timestamp = passTimestamp(*next);
        // The upper halves, zero in the files the server writes, are dropped.
        event.channel = uint32_t(next->channel);
        event.energy_raw = uint32_t(next->energyRaw);
        event.energy = settings_.gain > 0.0 ? double(event.energy_raw) / settings_.gain : 0.0;
        event.flag1 = next->flags & 1u;
        event.flag2 = (next->flags >> 1) & 1u;
        readout::Entry& entry = entries[count];
        entry.unused = 0;
        entry.header0 = event.timestamp;
        entry.header1 = sequence_++;
        entry.record = &event;
        ++count;
        ++aheadAt_;
    }
    delivered_.fetch_add(count);
    batch.setCount(int32_t(count));
    return batch;
}

ReplayEndpoint::Clock::duration ReplayEndpoint::untilDueLocked(Clock::time_point now) const
{
    if (ended())
        return kNeverDue;
    if (settings_.pace == Pace::Fast || aheadAt_ == aheadCount_)
        return Clock::duration::zero();
    // The running time at which the next record falls due, rounded up.
    const unsigned __int128 dueNs =
        ((unsigned __int128)ticksFromStart(ahead_[aheadAt_]) * kNanosecondsPerSecond + settings_.clockHz - 1)
        / settings_.clockHz;
    const uint64_t ranNs = runningNs(now);
    if (dueNs <= ranNs)
        return Clock::duration::zero();
    const unsigned __int128 waitNs = dueNs - ranNs;
    const auto longest = std::chrono::duration_cast<std::chrono::nanoseconds>(kNeverDue).count();
    return std::chrono::nanoseconds(waitNs >= (unsigned __int128)longest ? longest : int64_t(waitNs));
}

void ReplayEndpoint::recycleLocked(Batch& batch)
{
    if (!spare_.valid())
        spare_ = std::move(batch);
}

}  // namespace replay
