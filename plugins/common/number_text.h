// Locale-independent number texts: the plugin runs inside a process whose C
// locale may use a decimal comma, so strtod/printf are not used for values.
#pragma once

#include <cstdint>
#include <string>

namespace board_plugin {

class NumberText {
public:
    // The whole text must be the number (no sign for unsigned values).
    static bool parse(const std::string& text, uint64_t& value);
    static bool parse(const std::string& text, double& value);
    // Shortest text that reads back as the same double ("2.5", "1000").
    static std::string format(double value);
    // Fixed notation with `decimals` digits after the point.
    static std::string formatFixed(double value, int decimals);
    static std::string trimmed(const std::string& text);
};

}  // namespace board_plugin
