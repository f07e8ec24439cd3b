// Common engine of the endpoints that deliver one event per entry (single
// channels or pair elements): Poisson arrivals on the board clock, per-unit
// dead time and pile-up flag, pacing against wall time, and the input and
// output counts handed to the board's rate counters.
//
// Of every arrival on a unit, one that follows the unit's previous arrival
// within the dead time is lost: counted as input only. One within three dead
// times is delivered with the pile-up flag (bit 0 of flag1).
#pragma once

#include "alias_table.h"
#include "gamma_generator.h"

#include <cstdint>
#include <vector>

namespace sim {

class ListModeGenerator : public GammaGenerator {
public:
    void reset(Clock::time_point now) override;
    Batch produce(Clock::time_point now) override;
    Clock::duration untilDue(Clock::time_point now) const override;

protected:
    // units: channels or pair elements, each covering channelsPerUnit channels.
    ListModeGenerator(const GeneratorContext& context, uint64_t seed, const std::vector<double>& unitWeights,
                      uint32_t channelsPerUnit, size_t recordBytes);

    // Fills the record of one delivered event of `unit` at time `ticks`.
    virtual void writeRecord(void* record, uint32_t unit, double ticks, bool pileUp) = 0;

    // Raw energy for `keV`: rounded gain × keV, at most 16383 (flagged as over range).
    uint32_t rawEnergy(double keV, bool& overRange) const;
    // Sub-tick part of a timestamp in 1/1024 of a tick, carried in the extra word.
    static uint32_t fineTime(double ticks);

private:
    double arrivalsPerSecond() const;

    const uint32_t channelsPerUnit_;
    const size_t recordBytes_;
    const double unitWeightSum_;
    AliasTable units_;
    double deadTicks_ = 0.0;
    std::vector<double> lastArrival_;
    std::vector<uint64_t> inCounts_;
    std::vector<uint64_t> outCounts_;
};

// "energy": one EnergyEvent per entry, spread over all channels.
class EnergyGenerator final : public ListModeGenerator {
public:
    EnergyGenerator(const GeneratorContext& context, uint64_t seed);

private:
    void writeRecord(void* record, uint32_t unit, double ticks, bool pileUp) override;
};

// "energy_pair": one EnergyPair per entry. Element p reads out channels 2p
// (share u of the energy) and 2p + 1 (the rest), where u is the position of
// the crystal that was hit, so a charge-division map shows the crystal grid.
class PairGenerator final : public ListModeGenerator {
public:
    PairGenerator(const GeneratorContext& context, uint64_t seed);

private:
    void writeRecord(void* record, uint32_t unit, double ticks, bool pileUp) override;

    std::vector<AliasTable> crystals_;  // per element
};

}  // namespace sim
