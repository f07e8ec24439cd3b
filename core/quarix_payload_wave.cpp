#include "core/quarix_payload_wave.h"

QuarixPayload_Wave::QuarixPayload_Wave() : QuarixPayload(QString(), 0) {}

QuarixPayload_Wave::QuarixPayload_Wave(const QuarixPayload_Wave& other)
    : QuarixPayload(other),
      trace_header32a(other.trace_header32a),
      trace_header64(other.trace_header64),
      trace_header32b(other.trace_header32b),
      analog(other.analog ? new std::vector<double>(*other.analog) : nullptr),
      digital(other.digital ? new std::vector<uint32_t>(*other.digital) : nullptr)
{
}

QuarixPayload_Wave::~QuarixPayload_Wave()
{
    delete analog;
    delete digital;
}

QuarixPayload* QuarixPayload_Wave::Clone() const
{
    return new QuarixPayload_Wave(*this);
}

bool QuarixPayload_Wave::Serialize(int, std::ostream&) const
{
    return false;
}
