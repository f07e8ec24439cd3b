#include "burst_board.h"

#include "plugins/common/board_plugin_exports.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace burst {

namespace {

constexpr std::chrono::milliseconds kLongestWait{20};
constexpr std::chrono::milliseconds kProgressReportEvery{500};
constexpr const char* kEndpointPrefix = "endpoints\\";

std::string trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return std::string();
    const size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

bool readUnsigned(const std::string& text, uint64_t low, uint64_t high, uint64_t& out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool readReal(const std::string& text, double low, double high, double& out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(value >= low && value <= high))
        return false;
    out = value;
    return true;
}

int32_t applyItem(const std::string& key, const std::string& value, Settings& s)
{
    uint64_t number = 0;
    if (key == "events") {
        if (!readUnsigned(value, 1, 1000000000000ULL, number))
            return kBadKeyValue;
        s.events = number;
    } else if (key == "rate") {
        if (!readReal(value, 0.0, 1e10, s.rate))
            return kBadKeyValue;
    } else if (key == "channels") {
        if (!readUnsigned(value, 1, 65536, number))
            return kBadKeyValue;
        s.channels = uint32_t(number);
    } else if (key == "spacing") {
        if (!readUnsigned(value, 0, 1000000000000ULL, number))
            return kBadKeyValue;
        s.spacing = number;
    } else if (key == "max_batch") {
        if (!readUnsigned(value, 1, 10000000, number))
            return kBadKeyValue;
        s.maxBatch = uint32_t(number);
    } else if (key == "delay_ms") {
        if (!readUnsigned(value, 0, 3600000, number))
            return kBadKeyValue;
        s.delayMs = uint32_t(number);
    } else if (key == "report") {
        s.report = value;
    } else {
        return kUnknownKey;
    }
    return kOk;
}

// "endpoints\<name>" with a non-empty name and nothing after it.
bool isEndpointPath(const char* path)
{
    if (!path || std::strncmp(path, kEndpointPrefix, std::strlen(kEndpointPrefix)) != 0)
        return false;
    const char* name = path + std::strlen(kEndpointPrefix);
    return *name != '\0' && std::strchr(name, '\\') == nullptr;
}

// The run-control word of a command path: the last segment of
// "endpoints\<name>\<word>" or "commands\<word>"; empty for anything else.
std::string controlWord(const char* path)
{
    if (!path)
        return std::string();
    const std::string text(path);
    const size_t last = text.rfind('\\');
    if (last == std::string::npos)
        return std::string();
    const std::string head = text.substr(0, last);
    if (head == "commands" || isEndpointPath(head.c_str()))
        return text.substr(last + 1);
    return std::string();
}

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Now on the system clock, for the report: a driver compares it with its own clock.
double epochSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

int32_t Settings::parse(const char* text, Settings& out)
{
    if (!text)
        return kNullArgument;
    const std::string all(text);
    const std::string scheme = "burst";
    if (all.compare(0, scheme.size(), scheme) != 0)
        return kUnknownScheme;
    Settings s;
    if (all.size() == scheme.size()) {
        out = s;
        return kOk;
    }
    if (all[scheme.size()] != ':')
        return kUnknownScheme;
    size_t begin = scheme.size() + 1;
    while (begin <= all.size()) {
        size_t end = all.find(';', begin);
        if (end == std::string::npos)
            end = all.size();
        const std::string item = trimmed(all.substr(begin, end - begin));
        begin = end + 1;
        if (item.empty())
            continue;
        const size_t equals = item.find('=');
        if (equals == std::string::npos)
            return kMalformedConnection;
        const std::string key = trimmed(item.substr(0, equals));
        if (key.empty())
            return kMalformedConnection;
        const int32_t status = applyItem(key, trimmed(item.substr(equals + 1)), s);
        if (status != kOk)
            return status;
    }
    out = s;
    return kOk;
}

readout::EnergyEvent burstEvent(uint64_t k, uint32_t channels, uint64_t spacing)
{
    readout::EnergyEvent event;
    std::memset(&event, 0, sizeof event);
    event.timestamp = k * spacing;
    event.channel = uint32_t(k % channels);
    event.energy_raw = uint32_t((k * 7919) % 4096 + 1);
    event.energy = double(event.energy_raw);
    event.extra = uint32_t(k & 0xffffffffu);
    return event;
}

struct BurstBoard::ReportData {
    Settings settings;
    uint64_t delivered = 0;
    uint64_t deliveredTotal = 0;
    bool complete = false;
    bool started = false;
    bool running = false;
    double startEpoch = 0.0;
    double firstDeliveryS = -1.0;
    double lastDeliveryS = -1.0;
    double runningS = 0.0;
    uint64_t reads = 0;
    uint64_t fullReads = 0;
    uint32_t resets = 0;
    uint32_t starts = 0;
    std::vector<float> lagsMs;
    double maxLagAtS = -1.0;
};

BurstBoard::BurstBoard(const Settings& settings) : settings_(settings) {}

int32_t BurstBoard::open(const char* connection, std::unique_ptr<BurstBoard>& board)
{
    return board_plugin::openFrom(&Settings::parse, connection, board);
}

int32_t BurstBoard::getValue(const char*, char* value)
{
    if (value)
        std::strcpy(value, "0");
    return kOk;
}

int64_t BurstBoard::runningNsLocked(Clock::time_point now) const
{
    int64_t ns = runNsBefore_;
    if (running_)
        ns += std::chrono::duration_cast<std::chrono::nanoseconds>(now - runningSince_).count();
    return ns;
}

int64_t BurstBoard::dueNs(uint64_t k) const
{
    const int64_t delay = int64_t(settings_.delayMs) * 1000000;
    if (settings_.rate <= 0.0)
        return delay;
    return delay + int64_t(std::floor(double(k) * 1e9 / settings_.rate));
}

uint64_t BurstBoard::dueCount(int64_t t) const
{
    const int64_t sinceFirst = t - int64_t(settings_.delayMs) * 1000000;
    if (sinceFirst < 0)
        return 0;
    if (settings_.rate <= 0.0)
        return settings_.events;
    const double count = std::floor(double(sinceFirst) * settings_.rate / 1e9) + 1.0;
    return count >= double(settings_.events) ? settings_.events : uint64_t(count);
}

BurstBoard::Clock::duration BurstBoard::untilNextDueLocked(Clock::time_point now) const
{
    if (!running_ || next_ >= settings_.events)
        return kLongestWait;
    const int64_t wait = dueNs(next_) - runningNsLocked(now);
    return std::chrono::nanoseconds(std::max<int64_t>(wait, 0));
}

void BurstBoard::startLocked(Clock::time_point now)
{
    if (running_)
        return;
    running_ = true;
    runningSince_ = now;
    ++starts_;
    if (!startedSinceReset_) {
        startedSinceReset_ = true;
        firstStart_ = now;
        firstStartEpoch_ = epochSeconds();
    }
}

void BurstBoard::stopLocked(Clock::time_point now)
{
    if (!running_)
        return;
    runNsBefore_ = runningNsLocked(now);
    running_ = false;
}

// Back to event 0; a running burst starts again from now.
void BurstBoard::resetLocked(Clock::time_point now)
{
    next_ = 0;
    runNsBefore_ = 0;
    runningSince_ = now;
    reads_ = 0;
    fullReads_ = 0;
    ++resets_;
    lagsMs_.clear();
    maxLagMs_ = -1.0f;
    maxLagAtS_ = -1.0;
    firstDelivery_ = Clock::time_point();
    lastDelivery_ = Clock::time_point();
    startedSinceReset_ = running_;
    if (running_) {
        firstStart_ = now;
        firstStartEpoch_ = epochSeconds();
    }
}

int32_t BurstBoard::sendCommand(const char* path)
{
    const std::string word = controlWord(path);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = Clock::now();
        if (word == "start")
            startLocked(now);
        else if (word == "stop")
            stopLocked(now);
        else if (word == "reset")
            resetLocked(now);
        else
            return kOk;   // accepted, no effect
    }
    changed_.notify_all();
    return kOk;
}

namespace {
constexpr size_t kSpareBlocks = 2;
}  // namespace

int32_t BurstBoard::read(const char* path, int32_t timeoutMs, readout::DataList* list)
{
    if (!list)
        return kNullArgument;
    list->entries = nullptr;
    list->count = 0;
    if (!isEndpointPath(path))
        return kUnknownPath;

    std::unique_lock<std::mutex> lock(mutex_);
    auto now = Clock::now();
    // Stopped, nothing is due; the events already due wait for the next start.
    auto available = [&] {
        const uint64_t due = running_ ? dueCount(runningNsLocked(now)) : next_;
        return due > next_ ? due - next_ : 0;
    };
    uint64_t count = available();
    if (count == 0 && timeoutMs > 0) {
        const auto wait = std::min<Clock::duration>({kLongestWait, std::chrono::milliseconds(timeoutMs),
                                                     untilNextDueLocked(now)});
        // A start, stop or reset ends the wait early.
        changed_.wait_for(lock, wait);
        now = Clock::now();
        count = available();
    }

    bool writeNow = false;
    if (count > 0) {
        const uint64_t n = std::min<uint64_t>(count, settings_.maxBatch);
        const size_t bytes = size_t(n) * (sizeof(readout::Entry) + sizeof(readout::EnergyEvent));
        Block block;
        for (size_t i = 0; i < spare_.size(); ++i) {
            if (spare_[i].size >= bytes) {
                block = std::move(spare_[i]);
                spare_.erase(spare_.begin() + long(i));
                break;
            }
        }
        if (!block.bytes) {
            // Room for the largest batch, so that every later read can reuse it.
            const size_t capacity = std::max(bytes, size_t(settings_.maxBatch) * (sizeof(readout::Entry) +
                                                                                  sizeof(readout::EnergyEvent)));
            block.bytes.reset(new (std::nothrow) unsigned char[capacity]);
            block.size = capacity;
        }
        if (!block.bytes)
            return kOk;   // nothing delivered; the events stay due
        auto* entries = reinterpret_cast<readout::Entry*>(block.bytes.get());
        auto* records = reinterpret_cast<readout::EnergyEvent*>(block.bytes.get() + n * sizeof(readout::Entry));
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t k = next_ + i;
            records[i] = burstEvent(k, settings_.channels, settings_.spacing);
            entries[i].unused = 0;
            entries[i].header0 = records[i].timestamp;
            entries[i].header1 = k;
            entries[i].record = &records[i];
        }
        const float lagMs = float(double(runningNsLocked(now) - dueNs(next_)) / 1e6);
        lagsMs_.push_back(lagMs);
        if (lagMs > maxLagMs_) {
            maxLagMs_ = lagMs;
            maxLagAtS_ = seconds(now - firstStart_);
        }
        if (reads_ == 0)
            firstDelivery_ = now;
        lastDelivery_ = now;
        ++reads_;
        if (n == settings_.maxBatch)
            ++fullReads_;
        next_ += n;
        deliveredTotal_ += n;
        list->entries = entries;
        list->count = int32_t(n);
        outstanding_.lend(entries, std::move(block));
        writeNow = next_ >= settings_.events;
    }
    if (!settings_.report.empty()) {
        const bool complete = next_ >= settings_.events;
        if (complete || writeNow || (startedSinceReset_ && now - lastReport_ >= kProgressReportEvery)) {
            lastReport_ = now;
            const ReportData data = snapshotLocked(now);
            lock.unlock();
            writeReport(data);
        }
    }
    return kOk;
}

int32_t BurstBoard::release(const char* path, readout::DataList* list)
{
    if (!list)
        return kNullArgument;
    if (!isEndpointPath(path))
        return kUnknownPath;
    Block taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!outstanding_.takeBack(list->entries, &taken))
            return kUnknownBatch;
        if (spare_.size() < kSpareBlocks) {
            spare_.push_back(std::move(taken));
        }
    }
    list->entries = nullptr;
    list->count = 0;
    return kOk;
}

BurstBoard::ReportData BurstBoard::snapshotLocked(Clock::time_point now) const
{
    ReportData data;
    data.settings = settings_;
    data.delivered = next_;
    data.deliveredTotal = deliveredTotal_;
    data.complete = next_ >= settings_.events;
    data.started = startedSinceReset_;
    data.running = running_;
    data.startEpoch = startedSinceReset_ ? firstStartEpoch_ : 0.0;
    if (reads_ > 0) {
        data.firstDeliveryS = seconds(firstDelivery_ - firstStart_);
        data.lastDeliveryS = seconds(lastDelivery_ - firstStart_);
    }
    data.runningS = double(runningNsLocked(now)) / 1e9;
    data.reads = reads_;
    data.fullReads = fullReads_;
    data.resets = resets_;
    data.starts = starts_;
    data.lagsMs = lagsMs_;
    data.maxLagAtS = maxLagAtS_;
    return data;
}

// Written to a side file and renamed, so a reader never sees half a report.
void BurstBoard::writeReport(const ReportData& d) const
{
    std::vector<float> lags = d.lagsMs;
    std::sort(lags.begin(), lags.end());
    auto percentile = [&](double p) -> double {
        if (lags.empty())
            return -1.0;
        size_t rank = size_t(std::ceil(p / 100.0 * double(lags.size())));
        rank = std::min(std::max<size_t>(rank, 1), lags.size());
        return lags[rank - 1];
    };
    const double span = d.settings.rate > 0.0
                            ? double(d.settings.delayMs) / 1e3 + double(d.settings.events - 1) / d.settings.rate
                            : double(d.settings.delayMs) / 1e3;
    char text[2048];
    const int length = std::snprintf(
        text, sizeof text,
        "{\"events\": %llu, \"delivered\": %llu, \"delivered_total\": %llu, \"complete\": %s, "
        "\"started\": %s, \"running\": %s, \"rate\": %.17g, \"channels\": %u, \"spacing\": %llu, "
        "\"max_batch\": %u, \"delay_ms\": %u, \"start_epoch_s\": %.6f, \"due_span_s\": %.6f, "
        "\"running_s\": %.6f, \"first_delivery_s\": %.6f, \"last_delivery_s\": %.6f, "
        "\"reads\": %llu, \"full_reads\": %llu, \"starts\": %u, \"resets\": %u, "
        "\"max_lag_ms\": %.3f, \"max_lag_at_s\": %.6f, \"p50_lag_ms\": %.3f, \"p90_lag_ms\": %.3f, \"p99_lag_ms\": %.3f}\n",
        (unsigned long long)d.settings.events, (unsigned long long)d.delivered,
        (unsigned long long)d.deliveredTotal, d.complete ? "true" : "false", d.started ? "true" : "false",
        d.running ? "true" : "false", d.settings.rate, d.settings.channels, (unsigned long long)d.settings.spacing,
        d.settings.maxBatch, d.settings.delayMs, d.startEpoch, span, d.runningS, d.firstDeliveryS, d.lastDeliveryS,
        (unsigned long long)d.reads, (unsigned long long)d.fullReads, d.starts, d.resets,
        lags.empty() ? -1.0 : double(lags.back()), d.maxLagAtS, percentile(50), percentile(90), percentile(99));
    if (length <= 0 || size_t(length) >= sizeof text)
        return;
    const std::string side = d.settings.report + ".part";
    FILE* file = std::fopen(side.c_str(), "wb");
    if (!file)
        return;
    const bool written = std::fwrite(text, 1, size_t(length), file) == size_t(length);
    if (std::fclose(file) == 0 && written)
        std::rename(side.c_str(), d.settings.report.c_str());
}

}  // namespace burst

// The library's exports: the six entry points of every board plugin.
static_assert(burst::kNullArgument == board_plugin::kNullArgument && burst::kUnknownHandle == board_plugin::kUnknownHandle,
              "the burst board's statuses agree with the shared ones");
QUARIX_BOARD_PLUGIN_EXPORTS(board_plugin::Boards<burst::BurstBoard>);
