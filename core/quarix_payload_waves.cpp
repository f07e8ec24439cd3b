#include "core/quarix_payload_waves.h"

#include "core/quarix_payload_wave.h"

QuarixPayload_Waves::QuarixPayload_Waves() : QuarixPayload(QStringLiteral("waveform"), 0) {}

QuarixPayload_Waves::QuarixPayload_Waves(const QuarixPayload_Waves& other)
    : QuarixPayload(other),
      header64(other.header64),
      n_samples(other.n_samples),
      header32a(other.header32a),
      header32b(other.header32b)
{
    waves.reserve(other.waves.size());
    for (const QuarixPayload_Wave* wave : other.waves)
        waves.push_back(wave ? static_cast<QuarixPayload_Wave*>(wave->Clone()) : nullptr);
}

QuarixPayload_Waves::~QuarixPayload_Waves()
{
    for (QuarixPayload_Wave* wave : waves)
        delete wave;
    waves.clear();
}

QuarixPayload* QuarixPayload_Waves::Clone() const
{
    return new QuarixPayload_Waves(*this);
}

bool QuarixPayload_Waves::Serialize(int, std::ostream&) const
{
    return false;
}
