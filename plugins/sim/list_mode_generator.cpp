#include "list_mode_generator.h"

#include "detector_model.h"
#include "rate_counter_bank.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace sim {

namespace {

// Rate that spaces the timestamps when the rate is 0 (as fast as possible).
constexpr double kNominalRatePerUnit = 10000.0;
constexpr double kPileUpDeadTimes = 3.0;
constexpr uint32_t kMaxRawEnergy = 16383;
constexpr double kNoArrival = -std::numeric_limits<double>::infinity();

}  // namespace

ListModeGenerator::ListModeGenerator(const GeneratorContext& context, uint64_t seed,
                                     const std::vector<double>& unitWeights, uint32_t channelsPerUnit,
                                     size_t recordBytes)
    : GammaGenerator(context, seed)
    , channelsPerUnit_(channelsPerUnit)
    , recordBytes_(recordBytes)
    , unitWeightSum_(std::accumulate(unitWeights.begin(), unitWeights.end(), 0.0))
    , lastArrival_(unitWeights.size(), kNoArrival)
    , inCounts_(unitWeights.size(), 0)
    , outCounts_(unitWeights.size(), 0)
{
    units_.build(unitWeights);
    deadTicks_ = context.settings.deadTimeNs * 1e-9 * double(context.settings.clockHz);
}

void ListModeGenerator::reset(Clock::time_point now)
{
    GammaGenerator::reset(now);
    std::fill(lastArrival_.begin(), lastArrival_.end(), kNoArrival);
}

double ListModeGenerator::arrivalsPerSecond() const
{
    return tunables_.rate * unitWeightSum_;
}

Batch ListModeGenerator::produce(Clock::time_point now)
{
    if (units_.size() == 0)
        return Batch();

    const uint64_t unlimited = std::numeric_limits<uint64_t>::max();
    uint64_t target;
    uint64_t arrivals = unlimited;
    if (tunables_.fixedBatch > 0) {
        target = tunables_.fixedBatch;
    } else if (tunables_.rate <= 0.0) {
        target = context_.settings.maxBatch;
    } else {
        arrivals = pacer_.take(now, arrivalsPerSecond(), context_.settings.maxBatch);
        target = arrivals;
    }
    if (target == 0)
        return Batch();

    BlockLayout layout;
    const size_t entriesAt = layout.add(target * sizeof(readout::Entry));
    const size_t recordsAt = layout.add(target * recordBytes_);
    Batch batch = Batch::allocate(layout.total());
    if (!batch.valid())
        return Batch();
    readout::Entry* entries = batch.at<readout::Entry>(entriesAt);
    unsigned char* records = batch.at<unsigned char>(recordsAt);

    const double perSecond = tunables_.rate > 0.0 ? arrivalsPerSecond() : kNominalRatePerUnit * unitWeightSum_;
    const double meanGapTicks = double(context_.settings.clockHz) / perSecond;
    const double pileUpTicks = kPileUpDeadTimes * deadTicks_;

    uint64_t delivered = 0;
    for (uint64_t used = 0; delivered < target && used < arrivals; ++used) {
        ticks_ += meanGapTicks * random_.exponential();
        const uint32_t unit = units_.sample(random_);
        const double gap = ticks_ - lastArrival_[unit];
        lastArrival_[unit] = ticks_;
        ++inCounts_[unit];
        if (gap < deadTicks_)
            continue;
        ++outCounts_[unit];
        void* record = records + delivered * recordBytes_;
        writeRecord(record, unit, ticks_, gap < pileUpTicks);
        readout::Entry& entry = entries[delivered];
        entry.unused = 0;
        entry.header0 = uint64_t(ticks_);
        entry.header1 = sequence_++;
        entry.record = record;
        ++delivered;
    }

    context_.counters.add(inCounts_, outCounts_, channelsPerUnit_);
    std::fill(inCounts_.begin(), inCounts_.end(), 0);
    std::fill(outCounts_.begin(), outCounts_.end(), 0);

    batch.setCount(int32_t(delivered));
    return batch;
}

RecordGenerator::Clock::duration ListModeGenerator::untilDue(Clock::time_point now) const
{
    if (tunables_.fixedBatch > 0 || tunables_.rate <= 0.0)
        return Clock::duration::zero();
    return pacer_.untilDue(now, arrivalsPerSecond());
}

uint32_t ListModeGenerator::rawEnergy(double keV, bool& overRange) const
{
    const double raw = std::round(keV * context_.settings.gain);
    overRange = raw > double(kMaxRawEnergy);
    return overRange ? kMaxRawEnergy : uint32_t(raw);
}

uint32_t ListModeGenerator::fineTime(double ticks)
{
    return uint32_t((ticks - std::floor(ticks)) * 1024.0) & 1023u;
}

EnergyGenerator::EnergyGenerator(const GeneratorContext& context, uint64_t seed)
    : ListModeGenerator(context, seed, context.model.channelRateWeights(), 1, sizeof(readout::EnergyEvent))
{
}

void EnergyGenerator::writeRecord(void* record, uint32_t unit, double ticks, bool pileUp)
{
    const double keV = spectrum_.sampleKeV(random_, unit);
    bool overRange = false;
    readout::EnergyEvent event{};
    event.timestamp = uint64_t(ticks);
    event.channel = unit;
    event.energy_raw = rawEnergy(keV, overRange);
    event.energy = keV;
    event.flag1 = pileUp ? 1 : 0;
    event.flag2 = overRange ? 1 : 0;
    event.extra = fineTime(ticks);
    *static_cast<readout::EnergyEvent*>(record) = event;
}

PairGenerator::PairGenerator(const GeneratorContext& context, uint64_t seed)
    : ListModeGenerator(context, seed, context.model.pairRateWeights(), 2, sizeof(readout::EnergyPair))
    , crystals_(context.settings.pairs)
{
    for (uint32_t p = 0; p < context.settings.pairs; ++p)
        crystals_[p].build(context.model.crystalWeights(p));
}

void PairGenerator::writeRecord(void* record, uint32_t unit, double ticks, bool pileUp)
{
    constexpr double kSpotWidth = 0.012;     // spread of the position within one crystal
    constexpr double kGainNoise = 0.01;      // relative noise of each end's share
    const uint32_t crystal = crystals_[unit].sample(random_);
    const double u = std::clamp(context_.model.crystalCentre(unit, crystal) + kSpotWidth * random_.normal(), 0.01, 0.99);
    const double keV = spectrum_.sampleKeV(random_, 2 * unit);
    const double low = std::max(keV * u * (1.0 + kGainNoise * random_.normal()), 0.0);
    const double high = std::max(keV * (1.0 - u) * (1.0 + kGainNoise * random_.normal()), 0.0);

    bool lowOver = false;
    bool highOver = false;
    readout::EnergyPair pair{};
    pair.timestamp = uint64_t(ticks);
    pair.pair_index = unit;
    pair.energy_raw[0] = rawEnergy(low, lowOver);
    pair.energy_raw[1] = rawEnergy(high, highOver);
    pair.energy[0] = low;
    pair.energy[1] = high;
    pair.flag1 = pileUp ? 1 : 0;
    pair.flag2 = (lowOver || highOver) ? 1 : 0;
    pair.extra = fineTime(ticks);
    *static_cast<readout::EnergyPair*>(record) = pair;
}

}  // namespace sim
