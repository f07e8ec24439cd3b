// One list-mode energy event.
#pragma once

#include "core/quarix_payload.h"

class QuarixPayload_Energy : public QuarixPayload {
public:
    QuarixPayload_Energy();
    QuarixPayload_Energy(const QuarixPayload_Energy&) = default;

    QuarixPayload* Clone() const override;
    bool Serialize(int format, std::ostream& out) const override;

    uint32_t channel = 0;     // as delivered; analysis blocks compare it as signed
    uint32_t energy_raw = 0;
    double energy = 0.0;      // calibrated
    uint8_t flag1 = 0;
    uint8_t flag2 = 0;
    uint32_t extra = 0;
};
