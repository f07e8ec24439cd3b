// The packet of payloads one pin message carries, and the producer's deleter.
#pragma once

#include "core/block_pool.h"

#include <QString>

#include <vector>

class QuarixPayload;
struct PinMessage;

// The items of a packet; short lists come from the block pool.
using PayloadList = std::vector<QuarixPayload*, PoolAllocator<QuarixPayload*>>;

// Holds its items: destroying the packet releases every item, in list order
// (an item no other packet shares is destroyed).
struct DataPacket : PooledObject<DataPacket> {
    QString name;                        // the data type of its items, e.g. "energy"
    quint64 timestamp = 0;
    PayloadList items;

    DataPacket() = default;
    DataPacket(const QString& packetName, quint64 packetTimestamp) : name(packetName), timestamp(packetTimestamp) {}
    ~DataPacket();
    DataPacket(const DataPacket&) = delete;
    DataPacket& operator=(const DataPacket&) = delete;

    // Hands the items over to the caller: the packet is left empty.
    PayloadList takeItems();
};

// Frees producer-owned data behind a message's raw data pointer. Owned by the
// producer that creates it; no pin calls it.
class DataDistructor {
public:
    virtual ~DataDistructor() = default;
    virtual void Release(PinMessage* message) = 0;
};
