#include "waveform_generator.h"

#include "detector_model.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr double kNominalGroupsPerSecond = 1000.0;  // spaces timestamps when wave_rate is 0
constexpr double kAdcPerKeV = 2.0;
constexpr double kNoiseAdc = 4.0;
constexpr double kRiseSamples = 3.0;
constexpr double kDecaySamples = 40.0;
constexpr double kCoincidenceChance = 0.4;
constexpr uint32_t kTriggerWidth = 4;
constexpr uint32_t kGateLead = 8;
constexpr uint32_t kGateLength = 200;
constexpr uint32_t kTriggerBit = 1u << 0;
constexpr uint32_t kGateBit = 1u << 1;

}  // namespace

WaveformGenerator::WaveformGenerator(const GeneratorContext& context, uint64_t seed) : GammaGenerator(context, seed)
{
}

RecordGenerator::Clock::duration WaveformGenerator::untilDue(Clock::time_point now) const
{
    if (tunables_.fixedBatch > 0 || tunables_.waveRate <= 0.0)
        return Clock::duration::zero();
    return pacer_.untilDue(now, tunables_.waveRate);
}

Batch WaveformGenerator::produce(Clock::time_point now)
{
    uint64_t groups;
    if (tunables_.fixedBatch > 0)
        groups = tunables_.fixedBatch;
    else if (tunables_.waveRate <= 0.0)
        groups = kGroupsPerRead;
    else
        groups = pacer_.take(now, tunables_.waveRate, kGroupsPerRead);
    if (groups == 0)
        return Batch();

    const uint32_t traces = context_.settings.traces;
    const uint32_t samples = context_.settings.samples;
    const size_t samplesPerGroup = size_t(traces) * samples;
    BlockLayout layout;
    const size_t entriesAt = layout.add(groups * sizeof(readout::Entry));
    const size_t recordsAt = layout.add(groups * sizeof(readout::Waveform));
    const size_t blocksAt = layout.add(groups * sizeof(readout::TraceBlock));
    const size_t analogAt = layout.add(groups * samplesPerGroup * sizeof(int32_t));
    const size_t digitalAt = layout.add(groups * samplesPerGroup * sizeof(uint32_t));
    Batch batch = Batch::allocate(layout.total());
    if (!batch.valid())
        return Batch();

    const double perSecond = tunables_.waveRate > 0.0 ? tunables_.waveRate : kNominalGroupsPerSecond;
    const double meanGapTicks = double(context_.settings.clockHz) / perSecond;
    const uint32_t triggerSample = samples / 4;

    for (uint64_t g = 0; g < groups; ++g) {
        ticks_ += meanGapTicks * random_.exponential();
        int32_t* analog = samplesPerGroup ? batch.at<int32_t>(analogAt) + g * samplesPerGroup : nullptr;
        uint32_t* digital = samplesPerGroup ? batch.at<uint32_t>(digitalAt) + g * samplesPerGroup : nullptr;
        const uint32_t pulses = samplesPerGroup ? fillGroup(analog, digital, triggerSample) : 0;
        const uint64_t timestamp = uint64_t(ticks_);

        readout::TraceBlock& block = batch.at<readout::TraceBlock>(blocksAt)[g];
        block = readout::TraceBlock{};
        block.header32a = triggerSample;
        block.header64 = timestamp;
        block.header32b = pulses;
        block.analog = analog;
        block.digital = digital;

        readout::Waveform& wave = batch.at<readout::Waveform>(recordsAt)[g];
        wave = readout::Waveform{};
        wave.timestamp = timestamp;
        wave.header64 = sequence_;
        wave.n_samples = int32_t(samples);
        wave.header32a = triggerSample;
        wave.header32b = pulses;
        wave.n_traces = int32_t(traces);
        wave.traces = &block;

        readout::Entry& entry = batch.at<readout::Entry>(entriesAt)[g];
        entry.unused = 0;
        entry.header0 = timestamp;
        entry.header1 = sequence_++;
        entry.record = &wave;
    }
    batch.setCount(int32_t(groups));
    return batch;
}

uint32_t WaveformGenerator::fillGroup(int32_t* analog, uint32_t* digital, uint32_t triggerSample)
{
    const uint32_t traces = context_.settings.traces;
    const uint32_t samples = context_.settings.samples;
    // Peak of exp(-t/decay) - exp(-t/rise), to scale pulses to their amplitude.
    const double peakTime = std::log(kDecaySamples / kRiseSamples) * kDecaySamples * kRiseSamples /
                            (kDecaySamples - kRiseSamples);
    const double peakValue = std::exp(-peakTime / kDecaySamples) - std::exp(-peakTime / kRiseSamples);

    uint32_t pulses = 0;
    for (uint32_t t = 0; t < traces; ++t) {
        const bool hasPulse = t == 0 || random_.uniform() < kCoincidenceChance;
        const double amplitude = hasPulse ? kAdcPerKeV * spectrum_.sampleKeV(random_, t) / peakValue : 0.0;
        if (hasPulse && t < 32)
            pulses |= 1u << t;
        const double baseline = context_.model.traceBaseline(t);
        int32_t* a = analog + size_t(t) * samples;
        uint32_t* d = digital + size_t(t) * samples;
        const uint32_t gateBegin = triggerSample > kGateLead ? triggerSample - kGateLead : 0;
        for (uint32_t s = 0; s < samples; ++s) {
            double value = baseline + kNoiseAdc * random_.normal();
            uint32_t lines = 0;
            if (hasPulse) {
                if (s >= triggerSample) {
                    const double dt = double(s - triggerSample);
                    value += amplitude * (std::exp(-dt / kDecaySamples) - std::exp(-dt / kRiseSamples));
                }
                if (s >= triggerSample && s < triggerSample + kTriggerWidth)
                    lines |= kTriggerBit;
                if (s >= gateBegin && s < triggerSample + kGateLength)
                    lines |= kGateBit;
            }
            a[s] = int32_t(std::lround(value));
            d[s] = lines;
        }
    }
    return pulses;
}

}  // namespace sim
