// Set-up shared by the in-process block tests: a block whose input is fed by
// an output pin the test owns, a temporary storage folder with run folders,
// the bytes of the files a block writes, and energy events that know whether
// they are still alive.
//
//     RunStorage storage;
//     UpstreamRig<DataDumper> rig("processing/0/filter_chain/rec/chain/list",
//                                 blockEntry("dumper", "list", "energy"));
//     rig.block().ConfigureDump(1000, "CSV", storage.path());
//     rig.push(packet);
//     QTRY_COMPARE(readFile(storage.runFolder("7") + "/list_0.csv"), expected);
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
#include <QJsonObject>
#include <QTemporaryDir>
#include <QVector>
#include <QtTest>

#include <cstring>
#include <memory>
#include <mutex>
#include <set>

namespace block_test {

// The low `bytes` bytes of value, least significant first.
inline QByteArray le(quint64 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
    return out;
}

inline QByteArray leDouble(double value)
{
    quint64 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return le(bits, 8);
}

// The whole file, or "<missing>" when it cannot be opened.
inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A fresh storage folder ("file_path"), removed with the object.
class RunStorage {
public:
    QString path() const { return m_dir.path(); }
    // Creates the run folder (the file writers create none) and returns its path.
    QString runFolder(const QString& runId) const
    {
        const QString folder = m_dir.path() + QLatin1Char('/') + runId;
        QDir().mkpath(folder);
        return folder;
    }
    QStringList filesIn(const QString& runId) const { return QDir(m_dir.path() + '/' + runId).entryList(QDir::Files); }

private:
    QTemporaryDir m_dir;
};

inline QJsonObject blockEntry(const QString& type, const QString& name, const QString& dataType,
                              const QJsonArray& parameters = {})
{
    return QJsonObject{{"block_type", type}, {"name", name}, {"data_type", dataType}, {"parameters", parameters}};
}

// A block built from an entry, its input pin 0 fed by an output pin of the test.
template <typename Block>
class UpstreamRig {
public:
    UpstreamRig(const QString& fullPath, const QJsonObject& entry, bool connectNow = true)
        : m_upstream(nullptr, entry.value("data_type").toString())
    {
        BlockContext context;
        context.full_path = fullPath;
        m_block = std::make_unique<Block>(nullptr, &context, entry);
        if (connectNow)
            connectUpstream();
    }

    Block& block() { return *m_block; }
    PinOutput& upstream() { return m_upstream; }
    void connectUpstream() { m_block->inputPins().at(0)->Connect(&m_upstream); }

    void push(const PinMessage& message) { QVERIFY(m_upstream.Push(message)); }
    void push(DataPacket* packet) { push(PinMessage{m_upstream.name(), QString(), 0, 0, packet}); }

    // The reply of the block's InterpretMessage slot, reached by name like the server reaches it.
    QString command(const QString& text, const QString& initial = QString())
    {
        QString reply = initial;
        if (!QuarixBlock::interpret(m_block.get(), text, &reply))
            return QStringLiteral("<no InterpretMessage slot>");
        return reply;
    }

private:
    PinOutput m_upstream;   // declared first: outlives the block's worker
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

// Energy events that know which of them are alive, from any thread, so a
// test can see what a block destroys, copies, or has not handled yet.
class TrackedEnergy : public QuarixPayload_Energy {
public:
    explicit TrackedEnergy(uint64_t ts, uint32_t channelNumber = 0, uint32_t raw = 0)
    {
        timestamp = ts;
        channel = channelNumber;
        energy_raw = raw;
        track(this, 1);
    }
    TrackedEnergy(const TrackedEnergy& other) : QuarixPayload_Energy(other) { track(this, 1); }
    ~TrackedEnergy() override { track(this, -1); }
    QuarixPayload* Clone() const override { return new TrackedEnergy(*this); }

    static size_t aliveCount() { return track(nullptr, 0); }
    static bool isAlive(const void* object) { return track(object, 0) == 1; }

private:
    // change 1 adds, -1 removes; with change 0 it answers: the count of all, or whether object is alive.
    static size_t track(const void* object, int change)
    {
        static std::mutex mutex;
        static std::set<const void*> alive;
        std::lock_guard<std::mutex> lock(mutex);
        if (change > 0)
            alive.insert(object);
        else if (change < 0)
            alive.erase(object);
        return object ? alive.count(object) : alive.size();
    }
};

}  // namespace block_test
