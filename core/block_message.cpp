#include "core/block_message.h"

#include <QJsonDocument>
#include <QSet>

#include <vector>

namespace block_message {

const char* const kTrue = "[{\"response\": true}]";
const char* const kStatusFreerun = "[{\"response\": true, \"status\":\"freerun\"}]";
const char* const kStatusIdle = "[{\"response\": true, \"status\":\"idle\"}]";

QJsonObject parse(const QString& data_in)
{
    return QJsonDocument::fromJson(data_in.toUtf8()).object();
}

namespace {
// Decodes the JSON string starting at text[at] == '"'; `at` ends just past it.
// False on an unterminated string or an unknown escape.
bool readString(const QString& text, int& at, QString* out)
{
    out->clear();
    for (++at; at < text.size(); ++at) {
        const QChar c = text.at(at);
        if (c == QLatin1Char('"')) {
            ++at;
            return true;
        }
        if (c != QLatin1Char('\\')) {
            out->append(c);
            continue;
        }
        if (++at >= text.size())
            return false;
        const char escape = text.at(at).toLatin1();
        switch (escape) {
        case '"': case '\\': case '/': out->append(QLatin1Char(escape)); break;
        case 'b': out->append(QLatin1Char('\b')); break;
        case 'f': out->append(QLatin1Char('\f')); break;
        case 'n': out->append(QLatin1Char('\n')); break;
        case 'r': out->append(QLatin1Char('\r')); break;
        case 't': out->append(QLatin1Char('\t')); break;
        case 'u': {
            bool ok = false;
            const ushort unit = text.mid(at + 1, 4).toUShort(&ok, 16);
            if (!ok || at + 4 >= text.size())
                return false;
            out->append(QChar(unit));
            at += 4;
            break;
        }
        default: return false;
        }
    }
    return false;
}
}  // namespace

bool hasDuplicateKey(const QString& json)
{
    // One entry per open container: the keys seen so far for an object,
    // nothing for an array (isObject false).
    struct Open {
        bool isObject;
        QSet<QString> keys;
    };
    std::vector<Open> open;
    bool expectKey = false;
    QString string;
    int at = 0;
    while (at < json.size()) {
        const QChar c = json.at(at);
        if (c == QLatin1Char('"')) {
            if (!readString(json, at, &string))
                return false;
            if (expectKey && !open.empty() && open.back().isObject) {
                if (open.back().keys.contains(string))
                    return true;
                open.back().keys.insert(string);
            }
            expectKey = false;
            continue;
        }
        if (c == QLatin1Char('{')) {
            open.push_back({true, {}});
            expectKey = true;
        } else if (c == QLatin1Char('[')) {
            open.push_back({false, {}});
            expectKey = false;
        } else if (c == QLatin1Char('}') || c == QLatin1Char(']')) {
            if (!open.empty())
                open.pop_back();
            expectKey = false;
        } else if (c == QLatin1Char(',')) {
            expectKey = !open.empty() && open.back().isObject;
        }
        ++at;
    }
    return false;
}

QJsonArray args(const QJsonObject& message)
{
    return message.value(QLatin1String("args")).toArray();
}

QString lastString(const QJsonArray& list, const QString& key)
{
    QString result;
    for (const QJsonValue& element : list) {
        const QJsonValue value = element.toObject().value(key);
        if (value.isString())
            result = value.toString();
    }
    return result;
}

QString command(const QJsonObject& message)
{
    return message.value(QLatin1String("cmd")).toString();
}

}  // namespace block_message
