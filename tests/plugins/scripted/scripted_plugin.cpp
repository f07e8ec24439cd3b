// The scripted board plugin: queued batches and generated streams behind the
// six board entry points (formats in scripted_board.h and scripted_data.h).
#include "board_access/vraxdig2_api.h"
#include "scripted_board.h"
#include "scripted_data.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <type_traits>

namespace scripted {

struct Delivered {
    uint32_t handle = 0;
    std::string path;
    Batch batch;                                // the records, in place until the free
    std::vector<readout::Entry> entries;        // point into batch
    std::vector<readout::RateCounters> heads;   // of the Rates records, sized once
};

enum Kind { kEnergy, kPair, kWave, kRates };

struct Generator {
    uint64_t counts[4] = {0, 0, 0, 0};   // records per endpoint, by Kind
    uint32_t channels = 8, samples = 16, traces = 2, batch = 100;
    int32_t fail = 0;
    std::string after;
    bool released = true;
    std::map<std::string, uint64_t> next;   // records delivered per endpoint
};

namespace {

Kind kindOf(std::string path)
{
    std::transform(path.begin(), path.end(), path.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    const auto has = [&](const char* word) { return path.find(word) != std::string::npos; };
    return has("pair") ? kPair : has("wave") ? kWave : has("rate") || has("counter") ? kRates : kEnergy;
}

// Fills g from the connection string; false on an unknown key or a bad number.
bool parseConnection(std::string text, Generator& g, int32_t& openStatus, long long& handle)
{
    if (text.rfind("scripted", 0) == 0)
        text.erase(0, text.size() > 8 && text[8] == ':' ? 9 : 8);
    const std::map<std::string, uint64_t*> counts{
        {"events", &g.counts[kEnergy]}, {"pairs", &g.counts[kPair]}, {"waves", &g.counts[kWave]}, {"rates", &g.counts[kRates]}};
    const std::map<std::string, uint32_t*> sizes{
        {"channels", &g.channels}, {"samples", &g.samples}, {"traces", &g.traces}, {"batch", &g.batch}};
    for (size_t start = 0, end = 0; start <= text.size(); start = end + 1) {
        end = std::min(text.find(';', start), text.size());
        const std::string item = text.substr(start, end - start);
        const size_t eq = item.find('=');
        if (item.empty())
            continue;
        const std::string key = item.substr(0, eq), value = eq == std::string::npos ? "" : item.substr(eq + 1);
        char* rest = nullptr;
        const long long n = std::strtoll(value.c_str(), &rest, 10);
        if (key == "after" && eq != std::string::npos) {
            g.after = value;
            g.released = value.empty();
        } else if (value.empty() || *rest != '\0') {
            return false;
        } else if (key == "open_status") {
            openStatus = int32_t(n);
        } else if (key == "fail") {
            g.fail = int32_t(n);
        } else if (key == "handle") {
            handle = n;
        } else if (counts.count(key) && n >= 0) {
            *counts.at(key) = uint64_t(n);
        } else if (sizes.count(key) && n >= (key == "channels" || key == "batch" ? 1 : 0)) {
            *sizes.at(key) = uint32_t(n);
        } else {
            return false;
        }
    }
    return true;
}

// Record i of a generated stream of the given kind.
Item generate(const Generator& g, Kind kind, uint64_t i)
{
    if (kind == kEnergy)
        return energy(energyEvent(i, g.channels), energyHeader0(i), energyHeader1(i));
    if (kind == kPair)
        return pair(energyPair(i, g.channels), pairHeader0(i), pairHeader1(i));
    if (kind == kRates) {
        Rates r;
        r.n_channels = g.channels;
        for (uint32_t c = 0; c < g.channels; ++c) {
            r.rates_in.push_back(rateIn(i, c));
            r.rates_out.push_back(rateOut(i, c));
            r.counters_in.push_back(counterIn(i, c));
            r.counters_out.push_back(counterOut(i, c));
        }
        return rates(std::move(r), rateTimestamp(i), rateHeader1(i));
    }
    Wave w;
    w.head = readout::Waveform{waveTimestamp(i), waveHeader64(i), int32_t(g.samples), waveHeader32a(i),
                               waveHeader32b(i), int32_t(g.traces), nullptr};
    w.block = readout::TraceBlock{traceHeader32a(i), 0, traceHeader64(i), traceHeader32b(i), 0, nullptr, nullptr};
    for (uint32_t t = 0; t < g.traces; ++t)
        for (uint32_t s = 0; s < g.samples; ++s) {
            w.analog.push_back(analogSample(i, t, s));
            w.digital.push_back(digitalSample(i, t, s));
        }
    return wave(std::move(w), waveHeader0(i), waveHeader1(i));
}

// Points the entry at the item's record (and the record at its arrays).
const void* recordOf(Item& item, std::vector<readout::RateCounters>& heads)
{
    if (auto* e = std::get_if<readout::EnergyEvent>(&item.record))
        return e;
    if (auto* p = std::get_if<readout::EnergyPair>(&item.record))
        return p;
    if (auto* w = std::get_if<Wave>(&item.record)) {
        w->block.analog = w->analog.empty() ? nullptr : w->analog.data();
        w->block.digital = w->digital.empty() ? nullptr : w->digital.data();
        w->head.traces = &w->block;
        return &w->head;
    }
    if (auto* r = std::get_if<Rates>(&item.record)) {
        const auto array = [](const std::vector<uint64_t>& v) { return v.empty() ? nullptr : v.data(); };
        heads.push_back({r->n_channels, 0, array(r->rates_in), array(r->rates_out), array(r->counters_in),
                         array(r->counters_out)});
        return &heads.back();
    }
    return nullptr;
}

}  // namespace

int32_t Control::precheck(const char* function, uint32_t handle, const std::string& path, bool arguments) const
{
    if (!arguments || !boards_.count(handle))
        return -1;
    const auto failure = failures_.find({function, path});
    return failure == failures_.end() ? 0 : failure->second;
}

int32_t Control::open(const char* connection, uint32_t* handle)
{
    auto g = std::make_shared<Generator>();
    int32_t status = 0;
    long long wanted = -1;
    if (!connection || !handle || !parseConnection(connection, *g, status, wanted))
        status = status ? status : -1;
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t h = wanted >= 0 ? uint32_t(wanted) : nextHandle_++;
    if (handle)
        *handle = h;
    boards_[h] = g;
    calls_.push_back({"Open", h, connection ? connection : "", "", status, 0});
    return status;
}

int32_t Control::setValueCall(uint32_t handle, const char* path, const char* value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string p = path ? path : "", v = value ? value : "";
    const int32_t status = precheck("SetValue", handle, p, path && value);
    if (status == 0)
        values_[p] = v;
    calls_.push_back({"SetValue", handle, p, v, status, 0});
    return status;
}

int32_t Control::getValueCall(uint32_t handle, const char* path, char* value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string p = path ? path : "";
    int32_t status = precheck("GetValue", handle, p, path && value);
    const auto it = values_.find(p);
    if (status == 0 && it == values_.end())
        status = -3;
    const std::string answer = status == 0 ? it->second.substr(0, 63) : std::string();
    if (value)
        std::memcpy(value, answer.c_str(), answer.size() + 1);
    calls_.push_back({"GetValue", handle, p, answer, status, 0});
    return status;
}

int32_t Control::sendCommand(uint32_t handle, const char* path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string p = path ? path : "";
    const int32_t status = precheck("SendCommand", handle, p, path);
    if (status == 0) {
        Generator& g = *boards_.at(handle);
        const size_t n = g.after.size();
        g.released = g.released || (p.size() >= n && p.compare(p.size() - n, n, g.after) == 0);
    }
    calls_.push_back({"SendCommand", handle, p, "", status, 0});
    return status;
}

int32_t Control::readData(uint32_t handle, const char* path, int32_t timeoutMs, void* dataList)
{
    auto* list = static_cast<readout::DataList*>(dataList);
    std::unique_lock<std::mutex> lock(mutex_);
    const std::string p = path ? path : "";
    if (const int32_t status = precheck("ReadData", handle, p, path && list)) {
        calls_.push_back({"ReadData", handle, p, "", status, 0});
        return status;
    }
    Generator& g = *boards_.at(handle);
    auto& queue = queued_[p];
    const Kind kind = kindOf(p);
    uint64_t& next = g.next[p];
    const uint64_t n = g.released ? std::min<uint64_t>(g.batch, g.counts[kind] - std::min(g.counts[kind], next)) : 0;
    auto d = std::make_shared<Delivered>();
    if (!queue.empty()) {
        d->batch = std::move(queue.front());
        queue.pop_front();
    } else if (g.released && g.fail != 0) {
        d->batch.status = g.fail;
    } else if (n > 0) {
        for (uint64_t i = next; i < next + n; ++i)
            d->batch.items.push_back(generate(g, kind, i));
        next += n;
    } else {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, std::min(timeoutMs, 5))));
        return 0;
    }
    if (d->batch.status != 0 || d->batch.items.empty()) {
        calls_.push_back({"ReadData", handle, p, "", d->batch.status, 0});
        return d->batch.status;
    }
    d->handle = handle;
    d->path = p;
    d->heads.reserve(d->batch.items.size());
    for (Item& item : d->batch.items)
        d->entries.push_back({0, item.header0, item.header1, recordOf(item, d->heads)});
    list->entries = d->entries.data();
    list->count = static_cast<int32_t>(d->entries.size());
    outstanding_[list->entries] = d;
    calls_.push_back({"ReadData", handle, p, "", 0, list->count});
    return 0;
}

int32_t Control::freePointer(uint32_t handle, const char* path, void* dataList)
{
    auto* list = static_cast<readout::DataList*>(dataList);
    std::shared_ptr<Delivered> released;   // destroyed after the lock is dropped
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string p = path ? path : "";
    const auto it = list ? outstanding_.find(list->entries) : outstanding_.end();
    int32_t status = it == outstanding_.end() ? -1 : it->second->handle == handle && it->second->path == p ? 0 : -2;
    if (status == 0) {
        released = it->second;
        outstanding_.erase(it);
    }
    calls_.push_back({"FreePointer", handle, p, "", status, 0});
    return status;
}

}  // namespace scripted

namespace {
scripted::Control& instance()
{
    static scripted::Control control;
    return control;
}
}  // namespace

extern "C" {
VRAXDIG2_EXPORT scripted::Control* quarix_scripted_control() { return &instance(); }
VRAXDIG2_EXPORT int32_t VRAXDig2_Open(const char* c, uint32_t* h) { return instance().open(c, h); }
VRAXDIG2_EXPORT int32_t VRAXDig2_SetValueByQuery(uint32_t h, const char* p, const char* v) { return instance().setValueCall(h, p, v); }
VRAXDIG2_EXPORT int32_t VRAXDig2_GetValueByQuery(uint32_t h, const char* p, char* v) { return instance().getValueCall(h, p, v); }
VRAXDIG2_EXPORT int32_t VRAXDig2_SendCommandByQuery(uint32_t h, const char* p) { return instance().sendCommand(h, p); }
VRAXDIG2_EXPORT int32_t VRAXDig2_ReadDataByQuery(uint32_t h, const char* p, int32_t t, void* l) { return instance().readData(h, p, t, l); }
VRAXDIG2_EXPORT int32_t VRAXDig2_FreePointerByQuery(uint32_t h, const char* p, void* l) { return instance().freePointer(h, p, l); }
}  // extern "C"

static_assert(std::is_same<decltype(&VRAXDig2_ReadDataByQuery), VRAXDig2_ReadDataByQuery_t>::value, "Read signature");
static_assert(std::is_same<decltype(&VRAXDig2_FreePointerByQuery), VRAXDig2_FreePointerByQuery_t>::value,
              "Free signature");
