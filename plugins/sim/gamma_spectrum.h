// Energies of gamma-ray events as a scintillation detector sees them:
// Gaussian photopeaks of the configured lines, their Compton continua (Klein-
// Nishina shape up to the Compton edge) and backscatter bumps, on top of a
// falling background; every energy is smeared by the channel's resolution.
#pragma once

#include "sim_random.h"
#include "sim_settings.h"

#include <cstdint>
#include <vector>

namespace sim {

class GammaSpectrum {
public:
    // resolutionScales: one factor per channel on the configured resolution.
    void configure(const SimTunables& tunables, const std::vector<double>& resolutionScales);

    // One energy in keV (always at least 1 keV) as seen by `channel`.
    double sampleKeV(SimRandom& random, uint32_t channel) const;

private:
    struct Line {
        double keV;
        double comptonEdge;
        std::vector<double> comptonQuantiles;  // energy at equally spaced quantiles
    };

    static Line makeLine(double keV);
    static double sampleQuantiles(const std::vector<double>& quantiles, double u);

    std::vector<Line> lines_;
    std::vector<double> sigmaPerRootKeV_;  // per channel: sigma(E) = factor * sqrt(E)
    double backgroundFraction_ = 0.0;
};

}  // namespace sim
