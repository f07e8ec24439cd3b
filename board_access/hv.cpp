#include "board_access/hv.h"

#include "board_access/board.h"
#include "board_access/board_parameter.h"
#include "core/block_context.h"
#include "core/block_message.h"
#include "blocks/common/config_limits.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>

namespace {
const char* const kBoardNotConnected = "{\"response\":\"error\", \"reason\":\"Board not connected\"}";

bool isArrayType(int valueType)
{
    return valueType == BoardParameter::BoolArray || valueType == BoardParameter::ListArray ||
           valueType == BoardParameter::U32Array;
}

bool isScalarType(int valueType)
{
    return valueType == BoardParameter::Boolean || valueType == BoardParameter::List ||
           valueType == BoardParameter::U32;
}

// Replies are built as QString, not TextBuilder: they hold no numbers of
// their own, only parameter names (any text) and values as the plugin wrote them.
QString quoted(const QString& name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}
}  // namespace

HV::HV(QObject* parent, BlockContext* context, const QJsonValue& entry) : QuarixBlock(parent)
{
    if (context)
        m_boards = context->boards;
    readConfiguration(entry);
}

bool HV::readConfiguration(const QJsonValue& entry)
{
    if (!m_boards)
        return true;
    const QJsonObject object = entry.toObject();
    setName(object.value(QLatin1String("name")).toString());
    m_dataType = object.value(QLatin1String("data_type")).toString();
    m_board = nullptr;

    bool allFound = true;
    const QJsonArray sources = object.value(QLatin1String("sources")).toArray();
    for (const QJsonValue& source : sources) {
        const QString boardName = source.toObject().value(QLatin1String("source")).toString();
        Board* found = nullptr;
        for (Board* board : *m_boards) {
            if (board->name == boardName) {
                found = board;
                break;
            }
        }
        if (found) {
            m_board = found;
        } else {
            qInfo() << "Warning: a hv source block " << Name()
                    << " has been detected but the related board has not been found";
            allFound = false;
        }
        // Clients address the block by the board it serves, not by its chain.
        setFullPath(QStringLiteral("Hardware/") + boardName);
    }
    const bool parametersRead = ReadParameters(entry);
    return allFound && parametersRead;
}

void HV::describeView(QJsonObject& view) const
{
    view.insert(QLatin1String("board"), m_board ? m_board->name : QString());
    view.insert(QLatin1String("channels"), m_nChannels);
}

bool HV::ReadParameters(const QJsonValue& entry)
{
    const QJsonArray parameters = entry.toObject().value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& element : parameters) {
        const QJsonObject parameter = element.toObject();
        const QJsonValue name = parameter.value(QLatin1String("param_name"));
        if (!name.isString() || name.toString() != QLatin1String("n_channels"))
            continue;
        // Every channel is one board call per reply: the bound keeps a reply short.
        const int64_t channels = config_limits::wholeNumber(parameter.value(QLatin1String("param_value")), 0);
        if (channels > config_limits::kHvChannels) {
            setConfigurationError(QStringLiteral("n_channels"), config_limits::atMost(config_limits::kHvChannels, channels));
            return false;
        }
        m_nChannels = static_cast<int>(qMax<int64_t>(0, channels));
    }
    return true;
}

void HV::InterpretMessage(QString data_in, QString* data_out)
{
    if (!data_out)
        return;
    const QJsonArray args = block_message::args(block_message::parse(data_in));
    const QString cmd = block_message::lastString(args, QStringLiteral("cmd"));
    const QString param = block_message::lastString(args, QStringLiteral("param"));

    if (cmd == QLatin1String("hv_global_on")) {
        globalCommand(QStringLiteral("commands\\global_on"));
    } else if (cmd == QLatin1String("hv_global_off")) {
        globalCommand(QStringLiteral("commands\\global_off"));
    } else if (cmd == QLatin1String("get_all_ch_values")) {
        if (!m_board)
            data_out->append(QLatin1String(kBoardNotConnected));
        else if (param == QLatin1String("all"))
            data_out->append(valuesReply());
        else if (param == QLatin1String("read_only"))
            data_out->append(dataReply());
    }
}

void HV::globalCommand(const QString& commandPath)
{
    if (!m_board)
        return;
    m_board->SendCommand(commandPath);
    // The board's outputs follow its stored configuration again after the switch.
    m_board->ConfigureBoard();
}

QString HV::parameterValue(const BoardParameter& parameter) const
{
    if (isScalarType(parameter.value_type)) {
        QString value;
        m_board->GetValue(parameter.path, value);
        return value;
    }
    QString list = QStringLiteral("[");
    for (int channel = 0; channel < m_nChannels; ++channel) {
        if (channel > 0)
            list += QLatin1Char(',');
        QString value;
        m_board->GetValue(BoardParameter::channelPath(parameter.path, channel), value);
        list += value;
    }
    list += QLatin1Char(']');
    return list;
}

QString HV::valuesReply() const
{
    QStringList members;
    for (const BoardParameter& parameter : m_board->parameters) {
        if (isArrayType(parameter.value_type) || isScalarType(parameter.value_type))
            members << quoted(parameter.name) + QLatin1Char(':') + parameterValue(parameter);
    }
    if (members.isEmpty())
        return QStringLiteral("{\"response\":\"ok\"}");
    return QStringLiteral("{\"response\":\"ok\",") + members.join(QLatin1Char(',')) + QLatin1Char('}');
}

QString HV::dataReply() const
{
    QStringList entries;
    for (const BoardParameter& parameter : m_board->parameters) {
        if (parameter.writable)
            continue;
        if (isArrayType(parameter.value_type) || isScalarType(parameter.value_type))
            entries << QLatin1Char('{') + quoted(parameter.name) + QLatin1Char(':') + parameterValue(parameter) +
                           QLatin1Char('}');
    }
    return QStringLiteral("{\"data\":[") + entries.join(QLatin1Char(',')) + QStringLiteral("]}");
}
