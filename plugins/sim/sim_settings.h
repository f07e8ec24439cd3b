// What a simulated board is opened with. SimSettings is fixed at open;
// SimTunables can also be changed later through the "sim\<key>" values.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

struct SimTunables {
    double rate = 1000.0;          // events per second per channel (per element for pairs); 0 = as fast as possible
    double waveRate = 5.0;         // waveform groups per second
    uint32_t fixedBatch = 0;       // > 0: exactly this many entries per read, whatever the time
    std::vector<double> linesKeV = {662.0, 1173.2, 1332.5};
    double resolutionPercent = 4.0;  // FWHM at 662 keV
    double backgroundFraction = 0.25;
};

struct SimSettings {
    uint64_t seed = 1;
    uint32_t channels = 16;
    uint32_t pairs = 8;            // channels / 2 unless given
    uint32_t crystals = 8;         // interaction spots along each pair element
    uint32_t maxBatch = 10000;     // entries per read at most
    uint32_t samples = 512;        // per waveform trace
    uint32_t traces = 4;           // per waveform group
    uint64_t clockHz = 100000000;  // timestamp units per second
    double gain = 4.0;             // raw energy bins per keV
    double deadTimeNs = 1000.0;    // a second event on a channel within this time is lost
    bool autostart = false;        // endpoints start running when first used
    SimTunables tunables;
};

}  // namespace sim
