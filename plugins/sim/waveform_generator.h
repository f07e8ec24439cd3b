// "waveform": one group of T traces of S samples per entry. Trace 0 always
// carries the triggering pulse, every other trace a coincident pulse with
// probability 0.4; a pulse is a fast rise and exponential decay on a noisy
// baseline. Digital line 0 (bit 0) marks the trigger, line 1 (bit 1) the
// integration gate of each trace that has a pulse.
#pragma once

#include "gamma_generator.h"

#include <cstdint>

namespace sim {

class WaveformGenerator final : public GammaGenerator {
public:
    WaveformGenerator(const GeneratorContext& context, uint64_t seed);

    Batch produce(Clock::time_point now) override;
    Clock::duration untilDue(Clock::time_point now) const override;

    // Groups per read at most, unless a fixed batch size is set.
    static constexpr uint32_t kGroupsPerRead = 4;

private:
    // Fills the samples of one group; returns the mask of traces that got a pulse.
    uint32_t fillGroup(int32_t* analog, uint32_t* digital, uint32_t triggerSample);
};

}  // namespace sim
