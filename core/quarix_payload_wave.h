// The traces of one board channel within a waveform group. The group carries
// the time; a wave has an empty type and counts no events.
#pragma once

#include "core/quarix_payload.h"

#include <vector>

class QuarixPayload_Wave : public QuarixPayload {
public:
    QuarixPayload_Wave();
    QuarixPayload_Wave(const QuarixPayload_Wave& other);
    ~QuarixPayload_Wave() override;
    QuarixPayload_Wave& operator=(const QuarixPayload_Wave&) = delete;

    QuarixPayload* Clone() const override;
    bool Serialize(int format, std::ostream& out) const override;

    // Copied unchanged from the board's trace header; not interpreted here.
    uint32_t trace_header32a = 0;
    uint64_t trace_header64 = 0;
    uint32_t trace_header32b = 0;
    std::vector<double>* analog = nullptr;     // one entry per sample, owned
    std::vector<uint32_t>* digital = nullptr;  // bit d of word s is line d at sample s, owned
};
