// Fans one stream out: every packet arriving on the input is copied in full,
// payloads included, once for each output pin, so that each consumer owns what
// it receives. Works in its slot on the main thread; it has no worker.
//
//     {"block_type": "tee", "name": "fan", "data_type": "energy", "output_count": 2,
//      "input_count": 1, "sources": [{"source": "sorter", "pin": "0"}]}
#pragma once

#include "core/quarix_block.h"

struct BlockContext;

class Process_Tee : public QuarixBlock {
    Q_OBJECT
public:
    Process_Tee(QObject* parent, BlockContext* context, const QJsonValue& entry);

    int outputCount() const { return m_outputCount; }

    // Forwards whatever is still queued on the input.
    void shutdown() override;

public slots:
    void NewDataInTheInputPin(int FifoLevel);

private:
    int m_outputCount = 0;
};
