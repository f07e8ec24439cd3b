#include "blocks/time_sorting/data_distructor_time_sorting.h"

#include "core/pin_message.h"
#include "core/quarix_payload.h"

#include <vector>

void DataDistructorTimeSorting::Release(PinMessage* message)
{
    if (!message || !message->raw_data)
        return;
    auto* list = static_cast<std::vector<QuarixPayload*>*>(message->raw_data);
    for (QuarixPayload* item : *list)
        delete item;
    delete list;
    message->raw_data = nullptr;
}
