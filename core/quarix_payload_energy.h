// One list-mode energy event.
#pragma once

#include "core/block_pool.h"
#include "core/quarix_payload.h"

// One allocation per event, from the block pool.
class QuarixPayload_Energy : public QuarixPayload, public PooledObject<QuarixPayload_Energy> {
public:
    QuarixPayload_Energy();
    QuarixPayload_Energy(const QuarixPayload_Energy&) = default;

    QuarixPayload* Clone() const override;
    bool Serialize(int format, std::ostream& out) const override;
    const QuarixPayload_Energy* asEnergy() const override { return this; }

    uint32_t channel = 0;     // as delivered; analysis blocks compare it as signed
    uint32_t energy_raw = 0;
    double energy = 0.0;      // calibrated
    uint8_t flag1 = 0;
    uint8_t flag2 = 0;
    uint32_t extra = 0;
};
