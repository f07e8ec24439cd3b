// One waveform group: the waves of the board's channels for one trigger.
#pragma once

#include "core/quarix_payload.h"

#include <vector>

class QuarixPayload_Wave;

class QuarixPayload_Waves : public QuarixPayload {
public:
    QuarixPayload_Waves();
    QuarixPayload_Waves(const QuarixPayload_Waves& other);
    ~QuarixPayload_Waves() override;
    QuarixPayload_Waves& operator=(const QuarixPayload_Waves&) = delete;

    QuarixPayload* Clone() const override;
    bool Serialize(int format, std::ostream& out) const override;

    uint64_t header64 = 0;   // copied unchanged from the board's waveform record
    int32_t n_samples = 0;
    uint32_t header32a = 0;
    uint32_t header32b = 0;
    std::vector<QuarixPayload_Wave*> waves;   // owned; null entries are skipped
};
