// Drives an accumulating block (spectrum, time-of-flight, position, image) the
// way the server does, in-process: packets of energy events arrive through an
// output pin the harness owns, and replies come from the block's
// InterpretMessage slot, reached by name like the WebSocket server reaches it.
//
//     BlockHarness<Histogram> spectrum(
//         blockEntry("h", {parameter("bin_number", 8), parameter("ch_number", 2)}), kRunning);
//     spectrum.feed({{0, 7}});                 // channel 0, raw energy 7; waits until handled
//     QCOMPARE(spectrum.ask(getChannels({0})), R"([{"data":[0,0,0,0,0,0,0,1]}])");
#pragma once

#include "block_test_rig.h"

#include <QJsonDocument>

namespace analysis_test {

using block_test::TrackedEnergy;

const QString kTrue = QStringLiteral(R"([{"response": true}])");
const QString kIdle = QStringLiteral(R"([{"response": true, "status":"idle"}])");
const QString kFreerun = QStringLiteral(R"([{"response": true, "status":"freerun"}])");
constexpr bool kRunning = true;

struct Event { uint32_t channel = 0, energy_raw = 0; uint64_t timestamp = 0; };

inline QJsonObject parameter(const QString& name, const QJsonValue& value)
{
    return QJsonObject{{"param_name", name}, {"param_value", value}};
}

inline QJsonObject arrayParameter(const QString& name, const QJsonArray& values)
{
    return QJsonObject{{"param_name", name}, {"param_type", "array"}, {"param_value", values}};
}

inline QJsonObject blockEntry(const QString& name, const QJsonArray& parameters)
{
    return QJsonObject{{"name", name}, {"data_type", "energy"}, {"parameters", parameters}};
}

// {"path": ..., "args": [...]}, as a client sends it over "query_by_json".
inline QString request(const QJsonArray& args)
{
    const QJsonObject message{{"path", "processing/0/filter_chain/main/chain/block"}, {"args", args}};
    return QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

inline QString command(const QString& cmd) { return request({QJsonObject{{"cmd", cmd}}}); }
inline QString runControl(const QString& status) { return request({QJsonObject{{"cmd", "run_control"}, {"status", status}}}); }
inline QString getChannels(const QJsonArray& channels) { return request({QJsonObject{{"cmd", "get_data"}, {"channels", channels}}}); }
inline QString getView(const QString& source) { return request({QJsonObject{{"cmd", "get_data"}, {"source", source}}}); }

// The harness of any block type; BlockHarness<Block> builds one and gives the block its type.
class AccumulatingHarness {
public:
    virtual ~AccumulatingHarness() = default;
    QuarixBlock& block() { return *m_block; }

    // Pushes one packet holding the events, in order.
    void push(const std::vector<Event>& events)
    {
        auto* packet = new DataPacket(QStringLiteral("energy"), 0);
        for (const Event& event : events)
            packet->items.push_back(new TrackedEnergy(event.timestamp, event.channel, event.energy_raw));
        pushPacket(packet);
    }
    void pushPacket(DataPacket* packet) { m_output.Push(PinMessage{"energy", QString(), 0, 0, packet}); }
    // True once the block has destroyed every event pushed so far: it is done with their packets.
    bool waitUntilConsumed() { return QTest::qWaitFor([] { return TrackedEnergy::aliveCount() == 0; }, 5000); }
    void feed(const std::vector<Event>& events)
    {
        push(events);
        QVERIFY(waitUntilConsumed());
    }

    QString ask(const QString& message)
    {
        QString reply;
        if (!QuarixBlock::interpret(m_block.get(), message, &reply))
            return QStringLiteral("<no InterpretMessage slot>");
        return reply;
    }

protected:
    template <typename Block>
    void create(const QJsonObject& entry, bool running)
    {
        BlockContext context;
        context.full_path = QStringLiteral("processing/0/filter_chain/main/chain/block");
        m_block.reset(new Block(nullptr, &context, entry));
        m_block->inputPins().at(0)->Connect(&m_output);
        if (running)
            ask(runControl("freerun"));
    }

private:
    PinOutput m_output{nullptr, QStringLiteral("energy")};
    std::unique_ptr<QuarixBlock> m_block;   // destroyed before the pin it pops from
};

template <typename Block>
class BlockHarness : public AccumulatingHarness {
public:
    explicit BlockHarness(const QJsonObject& entry, bool running = false) { create<Block>(entry, running); }
    Block& block() { return static_cast<Block&>(AccumulatingHarness::block()); }
};

}  // namespace analysis_test
