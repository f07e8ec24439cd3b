// What the benchmarks print beside their figures.
#pragma once

#include <cstdio>
#include <string>

// The first fields of /proc/loadavg: load averages over 1, 5 and 15 minutes,
// running/total threads, last process id.
inline std::string loadAverage()
{
    std::string text;
    if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
        char line[128] = {};
        if (std::fgets(line, sizeof line, file))
            text = line;
        std::fclose(file);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? std::string("unknown") : text;
}
