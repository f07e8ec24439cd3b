#include "blocks/common/channel_histograms.h"

#include "blocks/common/config_limits.h"
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
            size.bins = config_limits::wholeNumber(parameter.value(QLatin1String("param_value")), 0);
        else if (name == QLatin1String("ch_number"))
            size.channels = config_limits::wholeNumber(parameter.value(QLatin1String("param_value")), 0);
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
    if (bins > config_limits::kHistogramBins) {
        *key = QStringLiteral("bin_number");
        *problem = config_limits::atMost(config_limits::kHistogramBins, bins);
        return false;
    }
    if (channels > config_limits::kHistogramChannels) {
        *key = QStringLiteral("ch_number");
        *problem = config_limits::atMost(config_limits::kHistogramChannels, channels);
        return false;
    }
    if (bins * channels > config_limits::kHistogramCells) {
        *key = QStringLiteral("bin_number");
        *problem = QStringLiteral("times \"ch_number\" must be at most %1 (got %2 x %3)")
                       .arg(config_limits::kHistogramCells)
                       .arg(bins)
                       .arg(channels);
        return false;
    }
    return true;
}

ChannelHistograms::ChannelHistograms(const HistogramSize& size)
    : m_counts(static_cast<int>(size.channels), static_cast<int>(size.bins))
{
}

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
