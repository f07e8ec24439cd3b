// Turns one batch a board plugin delivered (readout::DataList entries) into
// pin messages, reading each record as the source's data type says.
//
//     RecordConverter converter(QStringLiteral("energy"), QStringLiteral("endpoints\\list"));
//     converter.convert(list.entries, list.count, calibration, elapsedSeconds, messages);
//     // messages: one energy packet; converter.badRecords() counts what was skipped
//
// The records carry no description of themselves, so a record of another
// kind (a source configured for waveforms on an energy endpoint) or a
// damaged one would be read as garbage. Before anything is read through a
// record's pointers its counts are checked against the limits below; a record
// beyond them, or with a null record pointer, is skipped and counted, never
// dereferenced. Within the limits the plugin's promise holds: every pointer
// is valid for the counts the record declares.
#pragma once

#include "blocks/source/calibration_expression.h"
#include "core/pin_message.h"

#include <QString>

#include <cstdint>
#include <vector>

// How the raw energy of an event becomes its calibrated energy.
struct EnergyCalibration {
    bool useBoardKev = false;   // take the board's own calibrated value
    bool compiled = false;
    CalibrationExpression expression;

    double energy(uint32_t raw, double boardValue) const
    {
        if (useBoardKev)
            return boardValue;
        return compiled ? expression.evaluate(static_cast<double>(raw)) : 0.0;
    }
};

class RecordConverter {
public:
    enum class Kind { Other, Energy, EnergyPair, Waveform, RateCounters };

    // Limits of what a record may declare. A batch of more entries than
    // kMaxEntries is skipped whole (one bad record).
    static constexpr int32_t kMaxEntries = 1 << 20;
    static constexpr int32_t kMaxSamples = 1 << 16;        // per trace
    static constexpr int32_t kMaxTraces = 64;              // per waveform record
    static constexpr int64_t kMaxBatchSamples = 1 << 24;   // all traces of one batch
    static constexpr uint32_t kMaxRateChannels = 1 << 16;
    static constexpr uint32_t kMaxPairIndex = (1u << 31) - 1;   // 2 * index + 1 fits a channel

    static Kind kindOf(const QString& dataType);

    RecordConverter(const QString& dataType, const QString& endpointPath);

    Kind kind() const { return m_kind; }
    // Converts `count` entries starting at `entries` and appends the messages
    // to `out`: one packet for energy events and waveforms, one per pair and
    // per rate snapshot. elapsedSeconds is the time base of the mean rates.
    void convert(const void* entries, int32_t count, const EnergyCalibration& calibration, double elapsedSeconds,
                 std::vector<PinMessage>& out);
    // Records skipped since construction. Read by the converting thread only;
    // the source publishes it.
    uint64_t badRecords() const { return m_badRecords; }

private:
    void convertEnergy(const char* entries, int32_t count, const EnergyCalibration& calibration,
                       std::vector<PinMessage>& out);
    void convertEnergyPairs(const char* entries, int32_t count, const EnergyCalibration& calibration,
                            std::vector<PinMessage>& out);
    void convertWaveforms(const char* entries, int32_t count, std::vector<PinMessage>& out);
    void convertRateCounters(const char* entries, int32_t count, double elapsedSeconds, std::vector<PinMessage>& out);
    PinMessage message(const QString& dataType, quint64 header0, quint64 header1, DataPacket* packet) const;

    const QString m_dataType;
    const QString m_energyType;
    const QString m_endpointPath;
    const Kind m_kind;
    uint64_t m_badRecords = 0;
};
