#include "board_script.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

constexpr double kLargestExactInteger = 9007199254740992.0;   // 2^53

// Walks the JSON script; the first problem found is kept with its location.
class ScriptReader {
public:
    QString error;

    bool fail(const QString& where, const QString& what)
    {
        if (error.isEmpty())
            error = where + QStringLiteral(": ") + what;
        return false;
    }

    bool onlyKeys(const QJsonObject& object, std::initializer_list<const char*> allowed, const QString& where)
    {
        for (auto it = object.begin(); it != object.end(); ++it) {
            bool known = false;
            for (const char* key : allowed)
                known = known || it.key() == QLatin1String(key);
            if (!known)
                return fail(where, QStringLiteral("unknown key \"%1\"").arg(it.key()));
        }
        return true;
    }

    template <typename T>
    bool integer(const QJsonValue& value, T* out, const QString& where)
    {
        static_assert(std::is_integral<T>::value, "integer fields only");
        if (value.isUndefined()) {
            *out = 0;
            return true;
        }
        if (value.isDouble()) {
            const double d = value.toDouble();
            if (d != std::floor(d) || std::fabs(d) > kLargestExactInteger)
                return fail(where, QStringLiteral("not an exact integer (write large values as strings)"));
            if (d < static_cast<double>(std::numeric_limits<T>::min()) ||
                d > static_cast<double>(std::numeric_limits<T>::max()))
                return fail(where, QStringLiteral("out of range"));
            *out = static_cast<T>(d);
            return true;
        }
        if (value.isString()) {
            const QString text = value.toString();
            bool ok = false;
            if (std::is_signed<T>::value) {
                const qlonglong v = text.toLongLong(&ok, 10);
                ok = ok && v >= static_cast<qlonglong>(std::numeric_limits<T>::min()) &&
                     v <= static_cast<qlonglong>(std::numeric_limits<T>::max());
                *out = static_cast<T>(v);
            } else {
                const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
                const qulonglong v = hex ? text.mid(2).toULongLong(&ok, 16) : text.toULongLong(&ok, 10);
                ok = ok && v <= static_cast<qulonglong>(std::numeric_limits<T>::max());
                *out = static_cast<T>(v);
            }
            return ok || fail(where, QStringLiteral("bad integer \"%1\"").arg(text));
        }
        return fail(where, QStringLiteral("expected an integer"));
    }

    bool real(const QJsonValue& value, double* out, const QString& where)
    {
        if (value.isUndefined()) {
            *out = 0.0;
            return true;
        }
        if (value.isDouble()) {
            *out = value.toDouble();
            return true;
        }
        bool ok = false;
        if (value.isString())
            *out = value.toString().toDouble(&ok);
        return ok || fail(where, QStringLiteral("expected a number"));
    }

    template <typename T>
    bool integers(const QJsonValue& value, std::vector<T>* out, const QString& where)
    {
        if (!value.isArray())
            return fail(where, QStringLiteral("expected an array"));
        const QJsonArray array = value.toArray();
        out->resize(static_cast<size_t>(array.size()));
        for (int i = 0; i < array.size(); ++i) {
            if (!integer(array.at(i), &(*out)[static_cast<size_t>(i)], where + QStringLiteral("[%1]").arg(i)))
                return false;
        }
        return true;
    }

    template <typename T, size_t N>
    bool integerPair(const QJsonValue& value, T (&out)[N], const QString& where)
    {
        std::vector<T> values;
        if (!integers(value.isUndefined() ? QJsonValue(QJsonArray{0, 0}) : value, &values, where))
            return false;
        if (values.size() != N)
            return fail(where, QStringLiteral("expected %1 elements").arg(N));
        std::copy(values.begin(), values.end(), out);
        return true;
    }

    bool energy(const QJsonObject& o, readout::EnergyEvent* r, const QString& where)
    {
        return onlyKeys(o, {"timestamp", "channel", "energy_raw", "energy", "flag1", "flag2", "extra"}, where) &&
               integer(o.value("timestamp"), &r->timestamp, where + ".timestamp") &&
               integer(o.value("channel"), &r->channel, where + ".channel") &&
               integer(o.value("energy_raw"), &r->energy_raw, where + ".energy_raw") &&
               real(o.value("energy"), &r->energy, where + ".energy") &&
               integer(o.value("flag1"), &r->flag1, where + ".flag1") &&
               integer(o.value("flag2"), &r->flag2, where + ".flag2") &&
               integer(o.value("extra"), &r->extra, where + ".extra");
    }

    bool energyPair(const QJsonObject& o, readout::EnergyPair* r, const QString& where)
    {
        if (!onlyKeys(o, {"timestamp", "pair_index", "energy_raw", "energy", "flag1", "flag2", "extra"}, where) ||
            !integer(o.value("timestamp"), &r->timestamp, where + ".timestamp") ||
            !integer(o.value("pair_index"), &r->pair_index, where + ".pair_index") ||
            !integerPair(o.value("energy_raw"), r->energy_raw, where + ".energy_raw") ||
            !integer(o.value("flag1"), &r->flag1, where + ".flag1") ||
            !integer(o.value("flag2"), &r->flag2, where + ".flag2") ||
            !integer(o.value("extra"), &r->extra, where + ".extra"))
            return false;
        const QJsonValue energies = o.value("energy");
        if (energies.isUndefined()) {
            r->energy[0] = r->energy[1] = 0.0;
            return true;
        }
        if (!energies.isArray() || energies.toArray().size() != 2)
            return fail(where + ".energy", QStringLiteral("expected 2 elements"));
        return real(energies.toArray().at(0), &r->energy[0], where + ".energy[0]") &&
               real(energies.toArray().at(1), &r->energy[1], where + ".energy[1]");
    }

    bool waveform(const QJsonObject& o, WaveformRecord* r, const QString& where)
    {
        if (!onlyKeys(o, {"timestamp", "header64", "n_samples", "header32a", "header32b", "n_traces", "traces"}, where) ||
            !integer(o.value("timestamp"), &r->head.timestamp, where + ".timestamp") ||
            !integer(o.value("header64"), &r->head.header64, where + ".header64") ||
            !integer(o.value("n_samples"), &r->head.n_samples, where + ".n_samples") ||
            !integer(o.value("header32a"), &r->head.header32a, where + ".header32a") ||
            !integer(o.value("header32b"), &r->head.header32b, where + ".header32b") ||
            !integer(o.value("n_traces"), &r->head.n_traces, where + ".n_traces"))
            return false;
        if (r->head.n_samples < 0 || r->head.n_traces < 0)
            return fail(where, QStringLiteral("negative sample or trace count"));
        const QString at = where + ".traces";
        const QJsonObject t = o.value("traces").toObject();
        if (!onlyKeys(t, {"header32a", "header64", "header32b", "analog", "digital"}, at) ||
            !integer(t.value("header32a"), &r->block.header32a, at + ".header32a") ||
            !integer(t.value("header64"), &r->block.header64, at + ".header64") ||
            !integer(t.value("header32b"), &r->block.header32b, at + ".header32b") ||
            !integers(t.value("analog").isUndefined() ? QJsonValue(QJsonArray()) : t.value("analog"), &r->analog,
                      at + ".analog") ||
            !integers(t.value("digital").isUndefined() ? QJsonValue(QJsonArray()) : t.value("digital"), &r->digital,
                      at + ".digital"))
            return false;
        const size_t samples = static_cast<size_t>(r->head.n_samples) * static_cast<size_t>(r->head.n_traces);
        if (r->analog.size() != samples || r->digital.size() != samples)
            return fail(at, QStringLiteral("analog and digital need n_traces * n_samples = %1 elements").arg(samples));
        return true;
    }

    bool rateCounters(const QJsonObject& o, RateCountersRecord* r, const QString& where)
    {
        static const char* const names[4] = {"rates_in", "rates_out", "counters_in", "counters_out"};
        if (!onlyKeys(o, {"n_channels", names[0], names[1], names[2], names[3]}, where) ||
            !integer(o.value("n_channels"), &r->nChannels, where + ".n_channels"))
            return false;
        for (int i = 0; i < 4; ++i) {
            const QJsonValue array = o.value(QLatin1String(names[i]));
            r->present[i] = !array.isUndefined() && !array.isNull();
            if (!r->present[i])
                continue;
            const QString at = where + "." + names[i];
            if (!integers(array, &r->arrays[i], at))
                return false;
            if (r->arrays[i].size() != r->nChannels)
                return fail(at, QStringLiteral("expected n_channels = %1 elements").arg(r->nChannels));
        }
        return true;
    }

    bool entry(const QJsonValue& value, RecordKind kind, ScriptEntry* entry, const QString& where)
    {
        const QJsonObject o = value.toObject();
        if (!value.isObject())
            return fail(where, QStringLiteral("expected an object"));
        if (!onlyKeys(o, {"header0", "header1", "record"}, where) ||
            !integer(o.value("header0"), &entry->header0, where + ".header0") ||
            !integer(o.value("header1"), &entry->header1, where + ".header1"))
            return false;
        const QJsonObject record = o.value("record").toObject();
        const QString at = where + ".record";
        switch (kind) {
        case RecordKind::Energy: {
            readout::EnergyEvent r;
            std::memset(&r, kUnreadByte, sizeof r);
            entry->record = r;
            return energy(record, &std::get<readout::EnergyEvent>(entry->record), at);
        }
        case RecordKind::EnergyPair: {
            readout::EnergyPair r;
            std::memset(&r, kUnreadByte, sizeof r);
            entry->record = r;
            return energyPair(record, &std::get<readout::EnergyPair>(entry->record), at);
        }
        case RecordKind::Waveform: {
            WaveformRecord r;
            std::memset(&r.head, kUnreadByte, sizeof r.head);
            std::memset(&r.block, kUnreadByte, sizeof r.block);
            entry->record = std::move(r);
            return waveform(record, &std::get<WaveformRecord>(entry->record), at);
        }
        case RecordKind::RateCounters:
            entry->record = RateCountersRecord();
            return rateCounters(record, &std::get<RateCountersRecord>(entry->record), at);
        case RecordKind::None:
            break;
        }
        return fail(where, QStringLiteral("entries need the endpoint's \"kind\""));
    }

    bool batch(const QJsonValue& value, RecordKind kind, ScriptBatch* batch, const QString& where)
    {
        const QJsonObject o = value.toObject();
        if (!value.isObject())
            return fail(where, QStringLiteral("expected an object"));
        if (!onlyKeys(o, {"status", "entries", "after_command", "after_command_count"}, where) ||
            !integer(o.value("status"), &batch->status, where + ".status"))
            return false;
        batch->afterCommand = o.value("after_command").toString().toLatin1();
        batch->afterCommandCount = 1;
        if (o.contains("after_command_count") &&
            !integer(o.value("after_command_count"), &batch->afterCommandCount, where + ".after_command_count"))
            return false;
        const QJsonArray entries = o.value("entries").toArray();
        batch->entries.resize(static_cast<size_t>(entries.size()));
        for (int i = 0; i < entries.size(); ++i) {
            if (!entry(entries.at(i), kind, &batch->entries[static_cast<size_t>(i)],
                       where + QStringLiteral(".entries[%1]").arg(i)))
                return false;
        }
        return true;
    }

    bool endpoint(const QJsonValue& value, ScriptEndpoint* endpoint, const QString& where)
    {
        const QJsonObject o = value.toObject();
        if (!value.isObject())
            return fail(where, QStringLiteral("expected an object"));
        if (!onlyKeys(o, {"kind", "batches"}, where))
            return false;
        const QString kind = o.value("kind").toString();
        if (kind == QLatin1String("energy"))
            endpoint->kind = RecordKind::Energy;
        else if (kind == QLatin1String("energy_pair"))
            endpoint->kind = RecordKind::EnergyPair;
        else if (kind == QLatin1String("waveform"))
            endpoint->kind = RecordKind::Waveform;
        else if (kind == QLatin1String("rate_counters"))
            endpoint->kind = RecordKind::RateCounters;
        else if (o.contains("kind"))
            return fail(where + ".kind", QStringLiteral("unknown kind \"%1\"").arg(kind));
        const QJsonArray batches = o.value("batches").toArray();
        endpoint->batches.resize(static_cast<size_t>(batches.size()));
        for (int i = 0; i < batches.size(); ++i) {
            if (!batch(batches.at(i), endpoint->kind, &endpoint->batches[static_cast<size_t>(i)],
                       where + QStringLiteral(".batches[%1]").arg(i)))
                return false;
        }
        return true;
    }

    bool statuses(const QJsonObject& o, std::map<QByteArray, int32_t>* out, const QString& where)
    {
        for (auto it = o.begin(); it != o.end(); ++it) {
            int32_t status = 0;
            if (!integer(it.value(), &status, where + "[\"" + it.key() + "\"]"))
                return false;
            (*out)[it.key().toLatin1()] = status;
        }
        return true;
    }

    bool script(const QJsonObject& o, BoardScript* script)
    {
        if (!onlyKeys(o, {"values", "set_status", "command_status", "endpoints"}, QStringLiteral("script")))
            return false;
        const QJsonObject values = o.value("values").toObject();
        for (auto it = values.begin(); it != values.end(); ++it) {
            if (!it.value().isString())
                return fail("values[\"" + it.key() + "\"]", QStringLiteral("expected a string"));
            script->values[it.key().toLatin1()] = it.value().toString().toLatin1();
        }
        if (!statuses(o.value("set_status").toObject(), &script->setStatus, QStringLiteral("set_status")) ||
            !statuses(o.value("command_status").toObject(), &script->commandStatus, QStringLiteral("command_status")))
            return false;
        const QJsonObject endpoints = o.value("endpoints").toObject();
        for (auto it = endpoints.begin(); it != endpoints.end(); ++it) {
            if (!endpoint(it.value(), &script->endpoints[it.key().toLatin1()], "endpoints[\"" + it.key() + "\"]"))
                return false;
        }
        return true;
    }
};

}  // namespace

bool BoardScript::load(const QByteArray& fileName, BoardScript* script, QString* error)
{
    *script = BoardScript();
    if (fileName.isEmpty())
        return true;
    QFile file(QFile::decodeName(fileName));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read script %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        *error = QStringLiteral("script %1 is not a JSON object: %2").arg(file.fileName(), parseError.errorString());
        return false;
    }
    ScriptReader reader;
    if (!reader.script(document.object(), script)) {
        *error = QStringLiteral("script %1: %2").arg(file.fileName(), reader.error);
        return false;
    }
    return true;
}
