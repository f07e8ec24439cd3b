#include "detector_model.h"

#include "sim_random.h"

#include <cmath>
#include <cstddef>

namespace sim {

namespace {

std::vector<double> normalisedWeights(SimRandom& random, uint32_t count, double spread)
{
    std::vector<double> weights(count);
    double sum = 0.0;
    for (double& w : weights) {
        w = random.uniform(1.0 - spread, 1.0 + spread);
        sum += w;
    }
    for (double& w : weights)
        w *= double(count) / sum;
    return weights;
}

}  // namespace

DetectorModel::DetectorModel(const SimSettings& settings)
    : crystals_(settings.crystals)
{
    SimRandom random(SimRandom::derive(settings.seed, "detector model"));
    channelRateWeights_ = normalisedWeights(random, settings.channels, 0.2);
    channelResolutionScales_.resize(settings.channels);
    for (double& scale : channelResolutionScales_)
        scale = random.uniform(0.85, 1.15);
    pairRateWeights_ = normalisedWeights(random, settings.pairs, 0.2);

    // Crystals read out by charge division appear compressed towards the
    // middle of the element and slightly shifted from element to element.
    const double squeeze = std::tanh(1.1);
    crystalCentres_.resize(size_t(settings.pairs) * crystals_);
    crystalWeights_.resize(crystalCentres_.size());
    for (uint32_t p = 0; p < settings.pairs; ++p) {
        const double shift = random.uniform(-0.03, 0.03);
        const double width = random.uniform(0.34, 0.40);
        for (uint32_t k = 0; k < crystals_; ++k) {
            const double v = (k + 0.5) / crystals_ - 0.5;
            crystalCentres_[p * crystals_ + k] = 0.5 + shift + width * std::tanh(2.2 * v) / squeeze;
            crystalWeights_[p * crystals_ + k] = random.uniform(0.6, 1.4);
        }
    }

    traceBaselines_.resize(settings.traces);
    for (double& baseline : traceBaselines_)
        baseline = std::round(random.uniform(900.0, 1100.0));
}

std::vector<double> DetectorModel::crystalWeights(uint32_t pair) const
{
    const auto first = crystalWeights_.begin() + std::ptrdiff_t(pair) * crystals_;
    return std::vector<double>(first, first + crystals_);
}

}  // namespace sim
