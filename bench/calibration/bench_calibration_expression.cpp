// Evaluations per second of compiled calibration expressions, next to the same
// formula written in C++. Reports figures only; nothing here is asserted.

#include "blocks/source/calibration_expression.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// Raw energies as a batch would deliver them: 14-bit values.
std::vector<double> rawEnergies(std::size_t count)
{
    std::vector<double> raw(count);
    std::uint32_t state = 12345;
    for (double& value : raw) {
        state = state * 1664525u + 1013904223u;
        value = static_cast<double>(state >> 18);
    }
    return raw;
}

template <typename Evaluate>
void report(const char* label, const std::vector<double>& raw, int rounds, Evaluate evaluate)
{
    double sink = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        for (const double x : raw)
            sink += evaluate(x);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const double evaluations = static_cast<double>(raw.size()) * rounds;
    std::printf("%-58s %8.1f M/s  %6.2f ns each  (checksum %.6g)\n", label,
                evaluations / elapsed.count() / 1e6, elapsed.count() / evaluations * 1e9, sink);
}

void benchmark(const char* text, const std::vector<double>& raw, int rounds)
{
    CalibrationExpression expression;
    if (!expression.compile(text)) {
        std::printf("%s: does not compile (position %d)\n", text, expression.errorPosition());
        return;
    }
    report(text, raw, rounds, [&](double x) { return expression.evaluate(x); });
}

} // namespace

int main()
{
    const std::vector<double> raw = rawEnergies(1 << 16);
    const int rounds = 300;

    benchmark("x*0.125+3.5", raw, rounds);
    report("  same formula in C++", raw, rounds, [](double x) { return x * 0.125 + 3.5; });

    benchmark("0.5+0.25*x+1.5e-5*x^2-2e-9*x^3", raw, rounds / 4);
    benchmark("(x-12.5)/3.25*(1+2e-6*(x-12.5))+sqrt(x)*ln(x+1)/100", raw, rounds / 4);
    return 0;
}
