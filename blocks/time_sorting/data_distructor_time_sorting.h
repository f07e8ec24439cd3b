// Frees a list of heap payloads that a message's raw data pointer refers to:
// every payload, then the list. The time sorting block holds one for its
// worker; its own data path never needs it.
#pragma once

#include "core/data_packet.h"

class DataDistructorTimeSorting : public DataDistructor {
public:
    void Release(PinMessage* message) override;
};
