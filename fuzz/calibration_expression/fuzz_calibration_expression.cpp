// Fuzzes the calibration expression: any text of at most kMaxExpressionLength
// bytes is compiled, and a text that compiles is evaluated at raw energies
// from zero to the extremes of a double. Besides the sanitizers it checks what
// the class promises: validity and error position agree with compile()'s
// answer, the position lies inside the text, blanks around the text change
// nothing, and evaluation is repeatable.
#include "blocks/source/calibration_expression.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {
// The longest expression the configuration accepts.
constexpr size_t kMaxExpressionLength = 4096;

const double kRawEnergies[] = {
    0.0, -0.0, 1.0, -1.0, 0.5, 1000.0, 65535.0, 4294967295.0, 1e308, -1e308, 5e-324,
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
    std::numeric_limits<double>::quiet_NaN(),
};

bool same(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

void fail(const char* what, const std::string& text)
{
    std::fprintf(stderr, "calibration expression: %s for the text \"%s\"\n", what, text.c_str());
    std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxExpressionLength)
        return -1;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t visible = std::min(text.size(), text.find('\0'));

    CalibrationExpression expression;
    const bool compiled = expression.compile(text);
    if (compiled != expression.isValid())
        fail("isValid() disagrees with compile()", text);
    const int position = expression.errorPosition();
    if (compiled ? position != 0 : position < 1 || size_t(position) > std::max<size_t>(visible, 1))
        fail("error position out of range", text);

    // Blanks around the text are skipped: the same answer and the same values.
    CalibrationExpression padded;
    if (padded.compile(" \t" + text.substr(0, visible) + "\r\n ") != compiled)
        fail("blanks around the text change whether it compiles", text);

    for (const double x : kRawEnergies) {
        const double value = expression.evaluate(x);
        if (!compiled && !same(value, 0.0))
            fail("an expression that did not compile evaluates to something else than 0", text);
        if (!same(value, expression.evaluate(x)) || !same(value, padded.evaluate(x)))
            fail("evaluation is not repeatable", text);
    }
    return 0;
}
