// High-voltage block: gives clients the global on/off commands of one board
// and the values of its configured parameters, channel by channel.
//
//   {"path": "Hardware/HV1", "args": [{"cmd": "get_all_ch_values"}, {"param": "all"}]}
//     -> {"response":"ok","VSet":100,"ISet":[1,2]}
//   {"args": [{"cmd": "get_all_ch_values", "param": "read_only"}]}
//     -> {"data":[{"VMon":[99,101]}]}
//   {"args": [{"cmd": "hv_global_on"}]}      (no reply; the commands block sends it on "hv_on")
//
// Everything runs in InterpretMessage on the main thread; no pins, no worker.
#pragma once

#include "core/quarix_block.h"

#include <QJsonValue>
#include <QList>
#include <QString>

class Board;
struct BlockContext;
struct BoardParameter;

class HV : public QuarixBlock {
    Q_OBJECT
public:
    HV(QObject* parent, BlockContext* context, const QJsonValue& entry);

    // Reads "n_channels", the number of channels queried for array parameters.
    bool ReadParameters(const QJsonValue& entry) override;

    Board* board() const { return m_board; }
    int channelCount() const { return m_nChannels; }
    // The "board" served (empty when it was not found) and its "channels" (0 when not configured).
    void describeView(QJsonObject& view) const override;

public slots:
    void InterpretMessage(QString data_in, QString* data_out);

private:
    bool readConfiguration(const QJsonValue& entry);
    void globalCommand(const QString& commandPath);
    QString valuesReply() const;
    QString dataReply() const;
    // Scalar: the value as the plugin answers it; array: "[v0,v1,...]"; empty for other types.
    QString parameterValue(const BoardParameter& parameter) const;

    QList<Board*>* m_boards = nullptr;
    QString m_dataType;
    Board* m_board = nullptr;
    int m_nChannels = 0;
};
