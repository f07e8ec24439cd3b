// What the endpoints that deliver detector pulses share (list-mode events,
// pairs and waveforms): gamma energies drawn from the board's spectrum, a
// random stream of their own, pacing against wall time, and the board clock
// and record sequence that a reset sets back to zero.
#pragma once

#include "gamma_spectrum.h"
#include "pacer.h"
#include "record_generator.h"
#include "sim_random.h"

#include <cstdint>

namespace sim {

class GammaGenerator : public RecordGenerator {
public:
    void applyTunables(const SimTunables& tunables) override;
    void start(Clock::time_point now) override;
    void reset(Clock::time_point now) override;

protected:
    GammaGenerator(const GeneratorContext& context, uint64_t seed);

    const GeneratorContext context_;
    SimRandom random_;
    GammaSpectrum spectrum_;
    SimTunables tunables_;
    Pacer pacer_;
    double ticks_ = 0.0;     // board clock
    uint64_t sequence_ = 0;  // records delivered since the last reset
};

}  // namespace sim
