// The element of an output pin's queue: a small record copied by value. Only
// the pointer to the packet moves; whoever holds the message last destroys it.
#pragma once

#include <QString>

struct DataPacket;

struct PinMessage {
    QString data_type;   // e.g. "energy" or "waveform"; empty for blocks that make new messages
    QString source;      // where the data came from (a source puts its endpoint path here)
    quint64 header0 = 0;
    quint64 header1 = 0;
    DataPacket* packet = nullptr;
    void* raw_data = nullptr;   // producer-owned data behind the payloads (none in this system)
    quint64 reserved = 0;
};
