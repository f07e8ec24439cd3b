// Fans one stream out: every output pin receives each packet arriving on the
// input, the last one the packet itself, the others a packet of their own
// listing the same payloads, which they share read-only (a payload lives until
// its last holder releases it). Copying every event for every output would
// cost more than all the consumers' own work.
//
// The tee forwards in place: it is its input pin's consumer, so a push drains
// the input on the producer's thread and forwards everything taken as one
// batch per output (one lock and one wake-up per output). Its
// NewDataInTheInputPin slot does the same on the main thread; one forwarding
// runs at a time, so the order of the stream is kept on every output.
//
//     {"block_type": "tee", "name": "fan", "data_type": "energy", "output_count": 2,
//      "input_count": 1, "sources": [{"source": "sorter", "pin": "0"}]}
#pragma once

#include "core/pin_consumer.h"
#include "core/pin_message.h"
#include "core/quarix_block.h"

#include <mutex>
#include <vector>

struct BlockContext;

class Process_Tee : public QuarixBlock, public PinConsumer {
    Q_OBJECT
public:
    Process_Tee(QObject* parent, BlockContext* context, const QJsonValue& entry);
    ~Process_Tee() override;

    int outputCount() const { return m_outputCount; }

    void dataArrived() override { forward(); }
    // Forwards whatever is still queued on the input.
    void shutdown() override;

public slots:
    void NewDataInTheInputPin(int FifoLevel);

private:
    void forward();

    int m_outputCount = 0;
    std::mutex m_forwardMutex;            // one forwarding at a time; guards the two batches
    std::vector<PinMessage> m_taken;
    std::vector<PinMessage> m_outgoing;
};
