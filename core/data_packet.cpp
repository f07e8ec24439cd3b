#include "core/data_packet.h"

#include "core/quarix_payload.h"

DataPacket::~DataPacket()
{
    for (QuarixPayload* item : items)
        QuarixPayload::release(item);
}

PayloadList DataPacket::takeItems()
{
    PayloadList taken;
    taken.swap(items);
    return taken;
}
