#include "core/channel_histograms.h"

#include "core/text_builder.h"

#include <QJsonArray>
#include <QJsonObject>

HistogramSize HistogramSize::fromEntry(const QJsonValue& entry)
{
    HistogramSize size;
    const QJsonArray parameters = entry.toObject().value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& element : parameters) {
        const QJsonObject parameter = element.toObject();
        const QString name = parameter.value(QLatin1String("param_name")).toString();
        if (name == QLatin1String("bin_number"))
            size.bins = parameter.value(QLatin1String("param_value")).toInt();
        else if (name == QLatin1String("ch_number"))
            size.channels = parameter.value(QLatin1String("param_value")).toInt();
    }
    return size;
}

bool HistogramSize::isUsable(QString* key, QString* problem) const
{
    if (bins < 1) {
        *key = QStringLiteral("bin_number");
        *problem = QStringLiteral("must be at least 1 (got %1)").arg(bins);
        return false;
    }
    if (channels < 1) {
        *key = QStringLiteral("ch_number");
        *problem = QStringLiteral("must be at least 1 (got %1)").arg(channels);
        return false;
    }
    return true;
}

ChannelHistograms::ChannelHistograms(const HistogramSize& size) : m_counts(size.channels, size.bins) {}

void ChannelHistograms::answer(const QString& data_in, QString* data_out)
{
    const AccumulatingRequest request = AccumulatingRequest::parse(data_in);
    if (request.command == QLatin1String("get_data")) {
        TextBuilder text;
        m_counts.appendRowList(text, request.channels);
        data_out->append(text.toQString());
        return;
    }
    m_run.answer(request, [this] { m_counts.clear(); }, data_out);
}
