#include "blocks/common/accumulating_control.h"

#include "core/block_message.h"

#include <QJsonArray>
#include <QJsonObject>

AccumulatingRequest AccumulatingRequest::parse(const QString& data_in)
{
    const QJsonArray args = block_message::args(block_message::parse(data_in));
    AccumulatingRequest request;
    request.source = block_message::lastString(args, QStringLiteral("source"));
    request.command = block_message::lastString(args, QStringLiteral("cmd"));
    request.status = block_message::lastString(args, QStringLiteral("status"));
    for (const QJsonValue& element : args) {
        const QJsonArray channels = element.toObject().value(QLatin1String("channels")).toArray();
        for (const QJsonValue& channel : channels)
            request.channels.push_back(channel.toInt());
    }
    return request;
}

bool AccumulatingRunState::answer(const AccumulatingRequest& request, const std::function<void()>& clearCounts,
                                  QString* data_out)
{
    if (request.command == QLatin1String("reset")) {
        clearCounts();
        data_out->append(QLatin1String(block_message::kTrue));
    } else if (request.command == QLatin1String("data_get_status")) {
        data_out->append(QLatin1String(isRunning() ? block_message::kStatusFreerun : block_message::kStatusIdle));
    } else if (request.command == QLatin1String("run_control")) {
        m_running.store(request.status == QLatin1String("freerun"), std::memory_order_relaxed);
        data_out->append(QLatin1String(block_message::kTrue));
    } else {
        return false;
    }
    return true;
}
