// Set-up shared by the in-process block tests: a block built from its entry
// whose input pin 0 is fed by an output pin the test owns, replies through
// the block's InterpretMessage slot, a temporary storage folder, file bytes,
// and energy events that count how many of them are alive.
//
//     block_test::Rig<Histogram> rig(block_test::entry("spectrum", {block_test::parameter("bin_number", 8)}));
//     rig.push(block_test::energyPacket({{0, 7}}));
//     QVERIFY(rig.waitUntilConsumed());
//     QCOMPARE(rig.ask(block_test::request({{{"cmd", "get_data"}, {"channels", QJsonArray{0}}}})), ...);
#pragma once

#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_message.h"
#include "core/pin_output.h"
#include "core/quarix_block.h"
#include "core/quarix_payload_energy.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <memory>

namespace block_test {

// The low `bytes` bytes of value, least significant first.
inline QByteArray le(quint64 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
    return out;
}

template <typename Float>
QByteArray leFloat(Float value)
{
    typename std::conditional<sizeof(Float) == 8, quint64, quint32>::type bits;
    std::memcpy(&bits, &value, sizeof bits);
    return le(bits, int(sizeof bits));
}

// The whole file, or "<missing>" when it cannot be opened.
inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A fresh storage folder, removed with the object.
class RunStorage {
public:
    QString path() const { return m_dir.path(); }
    // Creates a run folder (the writers create none) and returns its path.
    QString runFolder(const QString& runId) const
    {
        QDir().mkpath(m_dir.filePath(runId));
        return m_dir.filePath(runId);
    }

private:
    QTemporaryDir m_dir;
};

inline QJsonObject parameter(const QString& name, const QJsonValue& value, const QString& type = QString())
{
    QJsonObject p{{"param_name", name}, {"param_value", value}};
    if (!type.isEmpty())
        p.insert("param_type", type);
    return p;
}

inline QJsonObject entry(const QString& name, const QJsonArray& parameters = {}, const QString& dataType = "energy")
{
    return QJsonObject{{"name", name}, {"data_type", dataType}, {"parameters", parameters}};
}

// {"path": ..., "args": [...]}, as a client sends it to an accumulating or rate block.
inline QString request(const QJsonArray& args)
{
    return QString::fromUtf8(QJsonDocument(QJsonObject{{"path", "p"}, {"args", args}}).toJson(QJsonDocument::Compact));
}
inline QString command(const QString& cmd) { return request({QJsonObject{{"cmd", cmd}}}); }

// Energy events that count how many of them are alive, from any thread.
class TrackedEnergy : public QuarixPayload_Energy {
public:
    explicit TrackedEnergy(uint64_t ts, uint32_t channelNumber = 0, uint32_t raw = 0)
    {
        timestamp = ts;
        channel = channelNumber;
        energy_raw = raw;
        ++counter();
    }
    TrackedEnergy(const TrackedEnergy& other) : QuarixPayload_Energy(other) { ++counter(); }
    ~TrackedEnergy() override { --counter(); }
    QuarixPayload* Clone() const override { return new TrackedEnergy(*this); }
    static int alive() { return counter().load(); }

private:
    static std::atomic<int>& counter()
    {
        static std::atomic<int> count{0};
        return count;
    }
};

struct Event { uint32_t channel = 0, energy_raw = 0; uint64_t timestamp = 0; };

inline DataPacket* energyPacket(std::initializer_list<Event> events)
{
    auto* packet = new DataPacket(QStringLiteral("energy"), 0);
    for (const Event& e : events)
        packet->items.push_back(new TrackedEnergy(e.timestamp, e.channel, e.energy_raw));
    return packet;
}

// A block built from an entry, its input pin 0 fed by an output pin of the test.
template <typename Block>
class Rig {
public:
    explicit Rig(const QJsonObject& blockEntry, const QString& storagePath = QString())
    {
        BlockContext context;
        context.full_path = QStringLiteral("processing/0/filter_chain/main/chain/") + blockEntry.value("name").toString();
        context.storage_path = storagePath;
        m_block = std::make_unique<Block>(nullptr, &context, blockEntry);
        m_block->inputPins().at(0)->Connect(&m_upstream);
    }
    // The worker stops (draining its queue) before the block's members go.
    ~Rig() { m_block->shutdown(); }

    Block& block() { return *m_block; }
    PinOutput& upstream() { return m_upstream; }
    void push(DataPacket* packet) { QVERIFY(m_upstream.Push(PinMessage{"energy", QString(), 0, 0, packet})); }
    // True once every tracked event pushed so far is destroyed: the block is done with them.
    static bool waitUntilConsumed() { return QTest::qWaitFor([] { return TrackedEnergy::alive() == 0; }, 5000); }

    // The reply of the block's InterpretMessage slot, reached by name as the server reaches it.
    QString ask(const QString& text)
    {
        QString reply;
        return QuarixBlock::interpret(m_block.get(), text, &reply) ? reply : QStringLiteral("<no InterpretMessage>");
    }

private:
    PinOutput m_upstream{nullptr, QStringLiteral("energy")};   // outlives the block's worker
    std::unique_ptr<Block> m_block;
};

// Everything queued on an output pin, in order.
inline QVector<PinMessage> drain(PinOutput* output)
{
    PinInput reader(nullptr, QStringLiteral("reader"));
    reader.Connect(output);
    QVector<PinMessage> messages;
    PinMessage message;
    while (reader.Pop(message) == PinInput::Taken)
        messages.append(message);
    return messages;
}

}  // namespace block_test
