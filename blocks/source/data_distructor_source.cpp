#include "blocks/source/data_distructor_source.h"

#include "board_access/board.h"
#include "core/pin_message.h"

DataDistructorSource::DataDistructorSource(Board* board, const QString& endpointPath)
    : m_board(board), m_endpointPath(endpointPath.toLatin1())
{
}

void DataDistructorSource::Release(PinMessage* message)
{
    if (!m_board || !message || !message->raw_data)
        return;
    m_board->FreePointer(m_endpointPath, message->raw_data);
    message->raw_data = nullptr;
}
