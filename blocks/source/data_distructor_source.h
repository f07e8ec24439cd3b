// Hands a board data list back to the board plugin: the list that a message's
// raw data pointer refers to is freed on the endpoint path it was read from.
// The source worker frees every batch itself, so the data path never calls it.
#pragma once

#include "core/data_packet.h"

#include <QByteArray>
#include <QString>

class Board;

class DataDistructorSource : public DataDistructor {
public:
    DataDistructorSource(Board* board, const QString& endpointPath);

    void Release(PinMessage* message) override;

private:
    Board* m_board;
    QByteArray m_endpointPath;   // Latin-1, as the plugin receives it
};
