// Drives an accumulating block (spectrum, time-of-flight, position, image) the
// way the server does, in-process: packets of energy events arrive through an
// output pin the harness owns, and replies are read through the block's
// InterpretMessage slot, reached by name like the WebSocket server reaches it.
//
//     BlockHarness<Histogram> spectrum(
//         blockEntry("spectrum", {parameter("bin_number", 8), parameter("ch_number", 2)}));
//     spectrum.ask(R"({"args":[{"cmd":"run_control","status":"freerun"}]})");
//     spectrum.push({{0, 7}});                 // channel 0, raw energy 7
//     QVERIFY(spectrum.waitUntilConsumed());
//     QCOMPARE(spectrum.ask(R"({"args":[{"cmd":"get_data","channels":[0]}]})"), ...);
#pragma once

#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_block.h"
#include "core/quarix_payload_energy.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace analysis_test {

struct Event {
    uint32_t channel = 0;
    uint32_t energy_raw = 0;
    uint64_t timestamp = 0;
};

// An energy event that counts its own destruction. A block destroys every
// payload once it has handled its packet, so the count tells a test that the
// worker is done, also with packets that change nothing.
class TrackedEnergy : public QuarixPayload_Energy {
public:
    TrackedEnergy(const Event& event, std::atomic<int>* destroyed) : m_destroyed(destroyed)
    {
        channel = event.channel;
        energy_raw = event.energy_raw;
        timestamp = event.timestamp;
    }
    ~TrackedEnergy() override { m_destroyed->fetch_add(1); }

private:
    std::atomic<int>* m_destroyed;
};

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

inline QString command(const QString& cmd)
{
    return request(QJsonArray{QJsonObject{{"cmd", cmd}}});
}

inline QString runControl(const QString& status)
{
    return request(QJsonArray{QJsonObject{{"cmd", "run_control"}, {"status", status}}});
}

template <typename Block>
class BlockHarness {
public:
    explicit BlockHarness(const QJsonObject& entry)
    {
        m_context.boards = &m_boards;
        m_context.blocks = &m_blocks;
        m_context.full_path = QStringLiteral("processing/0/filter_chain/main/chain/block");
        m_block.reset(new Block(nullptr, &m_context, entry));
        if (!m_block->inputPins().isEmpty())
            m_block->inputPins().at(0)->Connect(&m_output);
    }

    Block& block() { return *m_block; }
    PinOutput& output() { return m_output; }

    // Pushes one packet holding the events, in order.
    void push(const std::vector<Event>& events, uint64_t packetTimestamp = 0)
    {
        auto* packet = new DataPacket(QStringLiteral("energy"), packetTimestamp);
        for (const Event& event : events)
            packet->items.push_back(new TrackedEnergy(event, &m_destroyed));
        pushPacket(packet, static_cast<int>(events.size()));
    }

    // Pushes a packet built by the test; trackedItems is how many of its items
    // are TrackedEnergy events made with destroyedCounter().
    void pushPacket(DataPacket* packet, int trackedItems)
    {
        PinMessage message;
        message.data_type = QStringLiteral("energy");
        message.packet = packet;
        m_pushed += trackedItems;
        m_output.Push(message);
    }

    std::atomic<int>* destroyedCounter() { return &m_destroyed; }

    // True once the block has destroyed every tracked event pushed so far.
    bool waitUntilConsumed(int timeoutMs = 5000)
    {
        return QTest::qWaitFor([this] { return m_destroyed.load() >= m_pushed; }, timeoutMs);
    }

    QString ask(const QString& message)
    {
        QString reply;
        if (!QuarixBlock::interpret(m_block.get(), message, &reply))
            return QStringLiteral("<no InterpretMessage slot>");
        return reply;
    }

private:
    // Declared first: the block and the pin destroy events until the very end.
    std::atomic<int> m_destroyed{0};
    int m_pushed = 0;
    QList<Board*> m_boards;
    QList<QuarixBlock*> m_blocks;
    BlockContext m_context;
    PinOutput m_output{nullptr, QStringLiteral("energy")};
    std::unique_ptr<Block> m_block;   // destroyed before the pin it pops from
};

}  // namespace analysis_test
