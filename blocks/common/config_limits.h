// Upper bounds of every size a configuration sets. Each lies far above what a
// detector set-up needs and low enough that a block at its limits still fits
// in memory and answers a client in reasonable time; the start-up refuses a
// value beyond it, naming the block and the key. The README lists them.
#pragma once

#include <QJsonValue>
#include <QString>

#include <cmath>
#include <cstdint>

namespace config_limits {

constexpr int kHistogramBins = 1 << 20;          // spectrum / time-of-flight "bin_number"
constexpr int kHistogramChannels = 4096;         // spectrum / time-of-flight "ch_number"
constexpr int64_t kHistogramCells = 1 << 23;     // bins x channels: 64 MiB of counters
constexpr int kLabels = 4096;                    // image label lists, position "positions" and "y_positions"
constexpr int64_t kMapCells = 1 << 22;           // image and position map cells
constexpr int kScopeSamples = 1 << 16;           // oscilloscope "sample_number"
constexpr int kScopeChannels = 1024;             // oscilloscope "ch_number"
constexpr int64_t kScopeValues = 1 << 22;        // oscilloscope channels x samples
constexpr int kTeeOutputs = 64;                  // tee "output_count"
constexpr int kHvChannels = 1024;                // hv "n_channels"
constexpr int kExpressionLength = 4096;          // source "energy_calibration_expression", characters
constexpr int kInputCount = 64;                  // any block's "input_count"

// A JSON number that is a whole number within +-2^53, else `fallback`. Unlike
// QJsonValue::toInt() it keeps values beyond 32 bits, so that a bound check
// sees 10000000000 as what it is.
inline int64_t wholeNumber(const QJsonValue& value, int64_t fallback)
{
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    if (!(std::fabs(number) <= 9007199254740992.0) || std::trunc(number) != number)
        return fallback;
    return static_cast<int64_t>(number);
}

// The problem text of a value beyond its bound: "must be at most <limit> (got <value>)".
inline QString atMost(int64_t limit, int64_t value)
{
    return QStringLiteral("must be at most %1 (got %2)").arg(limit).arg(value);
}

}  // namespace config_limits
