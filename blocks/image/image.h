// The image block: the hit pattern of a pixelated detector whose pixels are
// read by consecutive channels, row by row (channel = row × columns + column).
// Every event counts in two images: the immediate one, which a read returns
// and clears, and the cumulative one, which grows until "reset".
//
// Entry parameters: "x_positions" and "y_positions", arrays of column and row
// labels (only their number is used; at least one column). Clients address it
// by full path: "get_data" with "source" "immediate" or "cumulative",
// "reset", "data_get_status", "run_control".
#pragma once

#include "blocks/common/accumulating_control.h"
#include "core/block_worker.h"
#include "blocks/common/counter_grid.h"
#include "core/quarix_block.h"

#include <QStringList>

struct BlockContext;
class Image_Thread;

class Image : public QuarixBlock {
    Q_OBJECT
public:
    Image(QObject* parent, BlockContext* context, const QJsonValue& entry);

    bool ReadParameters(const QJsonValue& entry) override;
    // "rows" (y labels) and "cols" (x labels).
    void describeView(QJsonObject& view) const override;

public slots:
    void NewDataInTheInputPin(int FifoLevel);
    void InterpretMessage(QString data_in, QString* data_out);

private:
    QStringList m_xPositions;
    QStringList m_yPositions;
    Image_Thread* m_thread = nullptr;   // m_worker, typed; none when the entry is unusable
};

class Image_Thread : public BlockWorker {
    Q_OBJECT
public:
    Image_Thread(const QString& name, const QList<PinInput*>* inputs, int columns, int rows);

    AccumulatingRunState& runState() { return m_run; }
    CounterGrid& immediate() { return m_immediate; }
    CounterGrid& cumulative() { return m_cumulative; }

protected:
    void process(PinMessage& message) override;

private:
    CounterGrid m_immediate;
    CounterGrid m_cumulative;
    AccumulatingRunState m_run;
};
