#include "sim_endpoint.h"

#include "shared_tunables.h"
#include "sim_status.h"

#include <algorithm>

namespace sim {

SimEndpoint::SimEndpoint(std::unique_ptr<RecordGenerator> generator, const SharedTunables& tunables, bool running)
    : tunables_(tunables)
    , generator_(std::move(generator))
    , running_(running)
{
    generator_->applyTunables(tunables_.current(tunablesVersion_));
    if (running_)
        generator_->start(Clock::now());
}

void SimEndpoint::start()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) {
            running_ = true;
            generator_->start(Clock::now());
        }
    }
    stateChanged_.notify_all();
}

void SimEndpoint::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    stateChanged_.notify_all();
}

void SimEndpoint::reset()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        generator_->reset(Clock::now());
    }
    stateChanged_.notify_all();
}

Batch SimEndpoint::produceLocked(Clock::time_point now)
{
    if (!running_)
        return Batch();
    if (tunables_.version() != tunablesVersion_)
        generator_->applyTunables(tunables_.current(tunablesVersion_));
    return generator_->produce(now);
}

int32_t SimEndpoint::read(int32_t timeoutMs, readout::DataList* list)
{
    list->entries = nullptr;
    list->count = 0;

    std::unique_lock<std::mutex> lock(mutex_);
    Batch batch = produceLocked(Clock::now());
    if (batch.empty() && timeoutMs > 0) {
        const auto now = Clock::now();
        auto wait = std::min<Clock::duration>(kLongestWait, std::chrono::milliseconds(timeoutMs));
        if (running_)
            wait = std::min(wait, generator_->untilDue(now));
        // A start, stop or reset ends the wait early; whatever is due then is delivered.
        stateChanged_.wait_for(lock, wait);
        batch = produceLocked(Clock::now());
    }
    if (batch.empty())
        return kOk;

    readout::Entry* entries = batch.entries();
    const int32_t count = batch.count();
    outstanding_.lend(entries, std::move(batch));
    list->entries = entries;
    list->count = count;
    return kOk;
}

int32_t SimEndpoint::release(readout::DataList* list)
{
    Batch taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!outstanding_.takeBack(list->entries, &taken))
            return kUnknownBatch;
    }
    list->entries = nullptr;
    list->count = 0;
    return kOk;
}

size_t SimEndpoint::outstanding() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_.size();
}

}  // namespace sim
