#include "core/data_packet.h"

#include "core/quarix_payload.h"

DataPacket::~DataPacket()
{
    for (QuarixPayload* item : items)
        delete item;
}

PayloadList DataPacket::takeItems()
{
    PayloadList taken;
    taken.swap(items);
    return taken;
}
