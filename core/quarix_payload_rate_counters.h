// One snapshot of a board's rate counters.
#pragma once

#include "core/quarix_payload.h"

#include <vector>

class QuarixPayload_RateCounters : public QuarixPayload {
public:
    QuarixPayload_RateCounters();
    explicit QuarixPayload_RateCounters(int32_t channels);
    QuarixPayload_RateCounters(const QuarixPayload_RateCounters& other);
    ~QuarixPayload_RateCounters() override;
    QuarixPayload_RateCounters& operator=(const QuarixPayload_RateCounters&) = delete;

    QuarixPayload* Clone() const override;
    bool Serialize(int format, std::ostream& out) const override;

    int32_t nchannels = 0;
    // Owned, nchannels entries each, zero-filled at construction.
    std::vector<double>* rates_in = nullptr;
    std::vector<uint64_t>* counters_in = nullptr;
    std::vector<double>* rates_out = nullptr;
    std::vector<uint64_t>* counters_out = nullptr;
    std::vector<double>* rates_out_start = nullptr;   // counters_out / elapsed_time
    std::vector<double>* rates_in_start = nullptr;    // counters_in / elapsed_time
    double elapsed_time = 0.0;   // seconds since the counters were last reset, plus 0.001
};
