// The fixed character of one simulated board, drawn once from its seed: how
// busy and how sharp each channel is, where the crystals of each two-ended
// element sit, and the baseline of each waveform trace.
#pragma once

#include "sim_settings.h"

#include <cstdint>
#include <vector>

namespace sim {

class DetectorModel {
public:
    explicit DetectorModel(const SimSettings& settings);

    // Relative event rate of each channel (mean 1).
    const std::vector<double>& channelRateWeights() const { return channelRateWeights_; }
    // Factor on the configured energy resolution, per channel.
    const std::vector<double>& channelResolutionScales() const { return channelResolutionScales_; }
    // Relative rate of each pair element (mean 1).
    const std::vector<double>& pairRateWeights() const { return pairRateWeights_; }
    // Charge-division position of crystal k of element p, in (0, 1).
    double crystalCentre(uint32_t pair, uint32_t crystal) const { return crystalCentres_[pair * crystals_ + crystal]; }
    // Relative weights of the crystals of element p.
    std::vector<double> crystalWeights(uint32_t pair) const;
    double traceBaseline(uint32_t trace) const { return traceBaselines_[trace]; }

private:
    uint32_t crystals_;
    std::vector<double> channelRateWeights_;
    std::vector<double> channelResolutionScales_;
    std::vector<double> pairRateWeights_;
    std::vector<double> crystalCentres_;
    std::vector<double> crystalWeights_;
    std::vector<double> traceBaselines_;
};

}  // namespace sim
