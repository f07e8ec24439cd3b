#include "gamma_spectrum.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr double kElectronMassKeV = 511.0;
constexpr double kFwhmToSigma = 1.0 / 2.3548;
constexpr double kReferenceKeV = 662.0;
constexpr double kPhotopeakShare = 0.32;     // of a line's events
constexpr double kBackscatterShare = 0.05;
constexpr double kBackscatterWidthKeV = 18.0;
constexpr double kBackgroundMeanKeV = 300.0;
constexpr double kBackgroundThresholdKeV = 25.0;
constexpr int kComptonGrid = 1024;
constexpr int kComptonQuantiles = 256;

// Klein-Nishina cross-section per recoil energy T, up to a constant, for a photon of energy E.
double kleinNishina(double keV, double recoilKeV)
{
    const double alpha = keV / kElectronMassKeV;
    const double s = recoilKeV / keV;
    const double r = s / (1.0 - s);
    return 2.0 + r * r / (alpha * alpha) + r * (s - 2.0 / alpha);
}

}  // namespace

GammaSpectrum::Line GammaSpectrum::makeLine(double keV)
{
    Line line;
    line.keV = keV;
    const double alpha = keV / kElectronMassKeV;
    line.comptonEdge = keV * 2.0 * alpha / (1.0 + 2.0 * alpha);

    // Cumulative distribution of the recoil energy on a grid, inverted at
    // equally spaced quantiles so that one draw costs one table look-up.
    std::vector<double> cumulative(kComptonGrid + 1, 0.0);
    double previous = kleinNishina(keV, 0.0);
    for (int i = 1; i <= kComptonGrid; ++i) {
        const double current = kleinNishina(keV, line.comptonEdge * i / kComptonGrid);
        cumulative[i] = cumulative[i - 1] + 0.5 * (previous + current);
        previous = current;
    }
    line.comptonQuantiles.resize(kComptonQuantiles + 1);
    int cell = 0;
    for (int q = 0; q <= kComptonQuantiles; ++q) {
        const double target = cumulative[kComptonGrid] * q / kComptonQuantiles;
        while (cell < kComptonGrid - 1 && cumulative[cell + 1] < target)
            ++cell;
        const double span = cumulative[cell + 1] - cumulative[cell];
        const double within = span > 0.0 ? std::clamp((target - cumulative[cell]) / span, 0.0, 1.0) : 0.0;
        line.comptonQuantiles[q] = line.comptonEdge * (cell + within) / kComptonGrid;
    }
    return line;
}

void GammaSpectrum::configure(const SimTunables& tunables, const std::vector<double>& resolutionScales)
{
    lines_.clear();
    for (double keV : tunables.linesKeV)
        lines_.push_back(makeLine(keV));
    backgroundFraction_ = tunables.backgroundFraction;
    // FWHM scales with the square root of the energy: r% at 662 keV.
    const double atReference = tunables.resolutionPercent / 100.0 * std::sqrt(kReferenceKeV) * kFwhmToSigma;
    sigmaPerRootKeV_.resize(resolutionScales.size());
    for (size_t c = 0; c < resolutionScales.size(); ++c)
        sigmaPerRootKeV_[c] = atReference * resolutionScales[c];
}

double GammaSpectrum::sampleQuantiles(const std::vector<double>& quantiles, double u)
{
    const double position = u * (quantiles.size() - 1);
    const size_t index = std::min(size_t(position), quantiles.size() - 2);
    const double within = position - double(index);
    return quantiles[index] + within * (quantiles[index + 1] - quantiles[index]);
}

double GammaSpectrum::sampleKeV(SimRandom& random, uint32_t channel) const
{
    double keV;
    if (lines_.empty() || random.uniform() < backgroundFraction_) {
        keV = kBackgroundThresholdKeV + kBackgroundMeanKeV * random.exponential();
    } else {
        const Line& line = lines_[random.below(uint32_t(lines_.size()))];
        const double kind = random.uniform();
        if (kind < kPhotopeakShare)
            keV = line.keV;
        else if (kind < kPhotopeakShare + kBackscatterShare)
            keV = line.keV - line.comptonEdge + kBackscatterWidthKeV * random.normal();
        else
            keV = sampleQuantiles(line.comptonQuantiles, random.uniform());
    }
    const double sigma = channel < sigmaPerRootKeV_.size() ? sigmaPerRootKeV_[channel] : 0.0;
    keV += sigma * std::sqrt(std::max(keV, 1.0)) * random.normal();
    return std::max(keV, 1.0);
}

}  // namespace sim
