#include "plugins/common/endpoint.h"

#include "plugins/common/plugin_status.h"

#include <algorithm>

namespace board_plugin {

void Endpoint::start()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) {
            running_ = true;
            startedLocked(Clock::now());
        }
    }
    stateChanged_.notify_all();
}

void Endpoint::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_) {
            running_ = false;
            stoppedLocked(Clock::now());
        }
    }
    stateChanged_.notify_all();
}

void Endpoint::reset()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        resetLocked(Clock::now());
    }
    stateChanged_.notify_all();
}

void Endpoint::runControl(const std::string& verb)
{
    if (verb == "start")
        start();
    else if (verb == "stop")
        stop();
    else if (verb == "reset")
        reset();
}

int32_t Endpoint::read(int32_t timeoutMs, readout::DataList* list)
{
    list->entries = nullptr;
    list->count = 0;

    std::unique_lock<std::mutex> lock(mutex_);
    Batch batch = deliverLocked(Clock::now());
    if (batch.empty() && timeoutMs > 0) {
        const auto now = Clock::now();
        auto wait = std::min<Clock::duration>(kLongestWait, std::chrono::milliseconds(timeoutMs));
        if (running_)
            wait = std::min(wait, untilDueLocked(now));
        // A start, stop or reset ends the wait early; whatever is due then is delivered.
        stateChanged_.wait_for(lock, wait);
        batch = deliverLocked(Clock::now());
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

int32_t Endpoint::release(readout::DataList* list)
{
    Batch taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!outstanding_.takeBack(list->entries, &taken))
            return kUnknownBatch;
        recycleLocked(taken);
    }
    list->entries = nullptr;
    list->count = 0;
    return kOk;
}

size_t Endpoint::outstanding() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_.size();
}

}  // namespace board_plugin
