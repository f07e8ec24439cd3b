// The oscilloscope: keeps the latest waveform of every channel in a fixed set
// of trace buffers, answers "require_data" with the traces of the enabled
// channels, and while a run is recorded writes a snapshot of the buffers to
// waveform files at most once per dump_time milliseconds.
//
// Geometry from "parameters": "sample_number" (S), "ch_digital" (D, at most 32:
// one bit of a 32-bit word each), "ch_analog" (A), "ch_number" (N), all at
// least 1. Channel c owns the trace buffers c*(A+D) .. c*(A+D)+A+D-1: its A
// analog traces, then its D digital traces.
#pragma once

#include "blocks/oscilloscope/waveform_file_writer.h"
#include "core/block_worker.h"
#include "blocks/common/dump_control.h"
#include "core/quarix_block.h"
#include "blocks/common/recording_block.h"

#include <QElapsedTimer>

#include <cstdint>
#include <mutex>
#include <vector>

struct BlockContext;
class QuarixPayload_Waves;

struct OscilloscopeGeometry {
    int samples = 0;    // S
    int channels = 0;   // N
    int analog = 0;     // A
    int digital = 0;    // D
};

class Oscilloscope_Thread;

class Oscilloscope : public RecordingBlock {
    Q_OBJECT
public:
    Oscilloscope(QObject* parent, BlockContext* context, const QJsonValue& entry);

    Records records() const override { return Records::Waveforms; }

    bool ReadParameters(const QJsonValue& entry) override;
    // The geometry: "channels", "samples", "analog" and "digital" traces per channel.
    void describeView(QJsonObject& view) const override;

public slots:
    void NewDataInTheInputPin(int FifoLevel);
    void InterpretMessage(QString data_in, QString* data_out);
    void ConfigureDump(int dump_events, int dump_time, QString file_type, QString file_path);

private:
    void appendTraces(QString* data_out) const;
    void setChannels(const QJsonValue& flags);

    OscilloscopeGeometry m_geometry;
    std::vector<uint8_t> m_enabled;       // control side only
    Oscilloscope_Thread* m_scope = nullptr;   // the worker, owned through m_worker
};

class Oscilloscope_Thread : public BlockWorker {
    Q_OBJECT
public:
    Oscilloscope_Thread(const QString& name, const QList<PinInput*>* inputs, DumpControl* control,
                        const OscilloscopeGeometry& geometry);

    // Appends the A + D traces of every enabled channel (S values each), in
    // channel order, to `out`. Safe from any thread.
    void copyTraces(const std::vector<uint8_t>& enabled, std::vector<double>& out) const;

protected:
    void process(PinMessage& message) override;
    void finish() override;

private:
    void updateTraces(const QuarixPayload_Waves& group);
    void dumpStep(const DumpSettings& settings);
    bool openWaveFile(const DumpSettings& settings);
    void takeSnapshot();
    size_t traceOffset(size_t channel, size_t trace) const;

    DumpControl* const m_control;
    const OscilloscopeGeometry m_geometry;

    // Written by the worker only, under the mutex; read under it by copyTraces.
    mutable std::mutex m_traceMutex;
    std::vector<double> m_traces;

    // Worker-local recording state.
    WaveformFileWriter m_file;
    WaveformSnapshot m_snapshot;
    int m_fileIndex = 0;
    bool m_newFile = true;
    int64_t m_recordsInFile = 0;
    QElapsedTimer m_dumpTimer;
    uint32_t m_lastChannels = 0;
    uint64_t m_lastTimestamp = 0;
};
