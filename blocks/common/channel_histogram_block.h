// The block side the spectrum and time-of-flight blocks share: reading the
// size ("bin_number", "ch_number") and refusing an unusable one, a worker that
// counts energy events into one histogram per channel while the block runs,
// and the control messages answered from those histograms.
//
// A derived block reads its own parameters in ReadParameters and starts its
// worker; a derived worker only says which bin an event goes to.
#pragma once

#include "core/block_worker.h"
#include "blocks/common/channel_histograms.h"
#include "core/quarix_block.h"

struct BlockContext;
class QuarixPayload_Energy;

class ChannelHistogramWorker : public BlockWorker {
    Q_OBJECT
public:
    ChannelHistogramWorker(const QString& name, const QList<PinInput*>* inputs, const HistogramSize& size);

    ChannelHistograms& histograms() { return m_histograms; }
    const ChannelHistograms& histograms() const { return m_histograms; }

protected:
    // The bin of one event (the worker clamps it to the last bin), or -1 when
    // the event is not counted.
    virtual int binOf(const QuarixPayload_Energy& event) const = 0;

private:
    void process(PinMessage& message) final;

    ChannelHistograms m_histograms;
};

class ChannelHistogramBlock : public QuarixBlock {
    Q_OBJECT
public:
    // "bins" and "channels"; the derived blocks add their scale.
    void describeView(QJsonObject& view) const override;

public slots:
    void NewDataInTheInputPin(int FifoLevel);
    void InterpretMessage(QString data_in, QString* data_out);

protected:
    explicit ChannelHistogramBlock(QObject* parent) : QuarixBlock(parent) {}

    // The common construction up to the worker: common keys, size,
    // ReadParameters, the input pin. False when no worker may start (the size
    // is unusable, which is also reported as a configuration error).
    bool setUp(BlockContext* context, const QJsonValue& entry);
    // Takes ownership of the worker and starts it.
    void startWorker(ChannelHistogramWorker* worker);

    HistogramSize m_size;

private:
    ChannelHistogramWorker* m_histogramWorker = nullptr;   // m_worker, typed
};
