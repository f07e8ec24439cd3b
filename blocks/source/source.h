// Where acquired data enters a chain. The source is bound to one endpoint of
// one board; its worker polls that endpoint forever, turns every delivered
// batch into payloads (one packet per batch, or per record for energy pairs
// and rate counters), pushes them into output pin 0 and hands the batch back
// to the plugin.
//
//     {"block_type": "source", "name": "src", "data_type": "energy",
//      "sources": [{"source": "digitizer", "pin": "endpoints\\events"}],
//      "parameters": [{"param_name": "download_interval", "param_value": 10},
//                     {"param_name": "energy_calibration_expression", "param_value": "x*0.125+3.5"},
//                     {"param_name": "use_board_kev", "param_value": false}]}
//
// The worker is created with the block but started by Run(); Start(), Stop()
// and Flush() send the endpoint's command lists and never stop the polling.
#pragma once

#include "blocks/source/record_conversion.h"
#include "core/block_worker.h"
#include "core/quarix_block.h"
#include "core/source_control.h"

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/pin_message.h"

class Board;
class DataDistructor;
class DataDistructorSource;
class PinOutput;
struct BlockContext;
struct BoardEndpoint;

namespace readout {
struct DataList;
}

// The source's reader: a worker without input pin whose idle step reads the
// endpoint once, converts and frees what came, then pauses for the download
// interval; a stop request cuts the pause short (stopAndWait()).
class Source_Thread : public BlockWorker {
    Q_OBJECT
public:
    // downloadInterval points at the block's pause in milliseconds, read at
    // every pause; without one the worker keeps its own 10 ms.
    Source_Thread(const QString& name, Board* board, const QString& endpointPath, int endpointIndex,
                  const QString& dataType, const QList<PinOutput*>* outputs, DataDistructor* deleter,
                  const std::atomic<double>* downloadInterval, QObject* parent);

    void setCalibrationExpression(const QString& expression);
    void setUseBoardKev(bool useBoardKev);
    double downloadInterval() const { return m_downloadInterval->load(); }

    // The time base of the mean rates of rate-counter snapshots; restarted
    // from the main thread, read by the worker.
    void restartElapsedTimer();
    qint64 elapsedMilliseconds() const;

    // Reads the board answered with an error; delivered records that could
    // not be converted and were skipped.
    uint64_t readErrors() const { return m_readErrors.load(std::memory_order_relaxed); }
    uint64_t badRecords() const { return m_badRecords.load(std::memory_order_relaxed); }

protected:
    // One read cycle: read, convert and free, pause. A stop request ends the
    // loop after the current cycle (a pause is cut short, a delivered batch
    // is still converted and freed).
    void idle() override;
    int64_t idleMicroseconds() const override { return 0; }
    // The reader has no input pin: nothing ever arrives to process.
    void process(PinMessage& message) override;
    void started() override;

private:
    void prepareCalibration(EnergyCalibration& calibration) const;
    void convert(readout::DataList& list);
    // Hands the packets of one batch to output pin 0 at once (or destroys
    // them when nothing is wired).
    void pushBatch(std::vector<PinMessage>& messages);
    void pause(qint64 milliseconds);

    Board* const m_board;
    const QString m_endpointPath;
    const QByteArray m_endpointPathLatin1;
    const int m_endpointIndex;
    RecordConverter m_converter;   // worker thread only
    const QList<PinOutput*>* const m_outputs;
    DataDistructor* const m_deleter;   // kept for the block; each batch is freed by the loop itself
    std::atomic<double> m_ownInterval{10.0};
    const std::atomic<double>* const m_downloadInterval;

    mutable std::mutex m_settingsMutex;   // guards the two calibration settings
    std::string m_expressionLatin1;
    bool m_useBoardKev = false;

    std::atomic<int64_t> m_timerStartNs;   // steady clock

    std::atomic<uint64_t> m_readErrors{0};
    std::atomic<uint64_t> m_badRecords{0};
    std::vector<PinMessage> m_batch;   // worker thread only
};

class Source : public QuarixBlock, public SourceControl {
    Q_OBJECT
public:
    Source(QObject* parent, BlockContext* context, const QJsonValue& entry);
    ~Source() override;

    void runReader() override;
    void stopEndpoint() override;
    void flushEndpoint() override;
    void startEndpoint() override;

    bool ReadParameters(const QJsonValue& entry) override;
    void appendLosses(BlockLosses& losses) const override;
    // The "board" and "endpoint" read, the "calibration" expression and "use_board_kev".
    void describeView(QJsonObject& view) const override;

    bool hasWorker() const { return m_thread != nullptr; }
    Source_Thread* worker() const { return m_thread; }
    Board* board() const { return m_board; }
    const QString& endpointPath() const { return m_endpointPath; }
    int endpointIndex() const { return m_endpointIndex; }
    double downloadInterval() const { return m_downloadInterval.load(); }

public slots:
    void Run() { runReader(); }
    void Stop() { stopEndpoint(); }
    void Flush() { flushEndpoint(); }
    void Start() { startEndpoint(); }

private:
    bool readConfiguration(const QJsonValue& entry);
    // The block's endpoint as the board holds it now.
    BoardEndpoint endpoint() const;

    QList<Board*>* m_boards = nullptr;
    QList<QuarixBlock*>* m_blocks = nullptr;
    QString m_dataType;
    Board* m_board = nullptr;
    QString m_endpointPath;
    int m_endpointIndex = -1;
    std::atomic<double> m_downloadInterval{10.0};   // read by the worker at every pause
    QString m_expression;
    bool m_useBoardKev = false;
    DataDistructorSource* m_deleter = nullptr;
    Source_Thread* m_thread = nullptr;   // m_worker, typed
};
