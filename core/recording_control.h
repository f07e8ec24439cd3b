// The run control of a block that records to files (the list-event dumper,
// the oscilloscope, the rate-counter sink), as the commands block drives it.
// A recording block derives from it beside QuarixBlock; the commands block
// finds it with dynamic_cast, so a renamed or changed operation fails to
// compile instead of being skipped at run time.
#pragma once

#include <QString>

class RecordingControl {
public:
    // Which switch of the "storage" section takes the block into a run:
    // "enable_list", "enable_wave", "enable_mcs".
    enum class Records { ListEvents, Waveforms, RateCounters };

    virtual ~RecordingControl() = default;

    virtual Records records() const = 0;
    // The "storage" settings of a run start; dumpTimeMs ("wavedump_time_interval")
    // concerns waveform recording only.
    virtual void configureRecording(int eventsPerFile, int dumpTimeMs, const QString& fileType,
                                    const QString& folder) = 0;
    virtual void startRecording(const QString& runId) = 0;
    virtual void stopRecording() = 0;
    virtual void pauseRecording() = 0;
    virtual void restartRecording() = 0;
    // Appends the block's run information object; false when it keeps none.
    virtual bool appendRunInfo(QString* out)
    {
        Q_UNUSED(out)
        return false;
    }
};
