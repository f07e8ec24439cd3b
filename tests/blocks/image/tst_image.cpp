// The image block as a client sees it: channels map to pixels row by row; the
// immediate image is cleared by reading it, the cumulative one by "reset".
#include "accumulating_block_harness.h"
#include "blocks/image/image.h"

#include <QtTest>

using namespace analysis_test;
using ImageHarness = BlockHarness<Image>;

namespace {
const QString kTrue = QStringLiteral(R"([{"response": true}])");
const QString kIdle = QStringLiteral(R"([{"response": true, "status":"idle"}])");
const QString kFreerun = QStringLiteral(R"([{"response": true, "status":"freerun"}])");

QJsonArray labels(int count)
{
    QJsonArray list;
    for (int i = 0; i < count; ++i)
        list.append(QStringLiteral("p%1").arg(i));
    return list;
}

QJsonObject imageEntry(int columns, int rows)
{
    QJsonArray parameters{arrayParameter("x_positions", labels(columns))};
    if (rows > 0)
        parameters.append(arrayParameter("y_positions", labels(rows)));
    return blockEntry("img", parameters);
}

QString getData(const QString& source)
{
    return request(QJsonArray{QJsonObject{{"cmd", "get_data"}, {"source", source}}});
}

// An image block over the test's pin, counting ("freerun") unless told otherwise.
class ImageRig : public ImageHarness {
public:
    ImageRig(int columns, int rows, bool running = true) : ImageHarness(imageEntry(columns, rows))
    {
        if (running)
            ask(runControl("freerun"));
    }
    // Pushes one packet of events on these channels and waits until the block has handled it.
    void feed(const std::vector<Event>& events)
    {
        push(events);
        QVERIFY(waitUntilConsumed());
    }
    QString immediate() { return ask(getData("immediate")); }
    QString cumulative() { return ask(getData("cumulative")); }
};
}  // namespace

class TestImage : public QObject {
    Q_OBJECT
private slots:
    void mapsChannelsRowByRow();
    void ignoresChannelsOutsideTheImage_data();
    void ignoresChannelsOutsideTheImage();
    void immediateReadClearsOnlyTheImmediateImage();
    void resetClearsOnlyTheCumulativeImage();
    void immediateReadsWhileCountingLoseNoEvent();
    void withoutRowsBothViewsAreEmpty();
    void freshBlockIsIdleAndIgnoresEvents();
    void labelsOfAnyTypeCountAndAccumulate();
    void answersNothingToUnknownViews_data();
    void answersNothingToUnknownViews();
    void refusesAnImageWithoutColumns_data();
    void refusesAnImageWithoutColumns();
};

void TestImage::mapsChannelsRowByRow()
{
    ImageRig image(8, 3);
    image.feed({{0}, {7}, {8}, {21}, {21}});
    QCOMPARE(image.cumulative(),
             QStringLiteral(R"({"data":[[1,0,0,0,0,0,0,1],[1,0,0,0,0,0,0,0],[0,0,0,0,0,2,0,0]]})"));
}

void TestImage::ignoresChannelsOutsideTheImage_data()
{
    QTest::addColumn<uint>("channel");
    QTest::addColumn<QString>("image");   // 4 columns, 2 rows

    const QString empty = R"({"data":[[0,0,0,0],[0,0,0,0]]})";
    QTest::newRow("channel 7 is the last pixel") << 7u << R"({"data":[[0,0,0,0],[0,0,0,1]]})";
    QTest::newRow("channel 8 is row 2") << 8u << empty;
    QTest::newRow("channel 9 is row 2") << 9u << empty;
    QTest::newRow("channel -1") << 0xFFFFFFFFu << empty;
    QTest::newRow("channel -2^31") << 0x80000000u << empty;
}

void TestImage::ignoresChannelsOutsideTheImage()
{
    QFETCH(uint, channel);
    QFETCH(QString, image);

    ImageRig rig(4, 2);
    rig.feed({{channel}});
    QCOMPARE(rig.cumulative(), image);
    QCOMPARE(rig.immediate(), image);
}

void TestImage::immediateReadClearsOnlyTheImmediateImage()
{
    ImageRig image(3, 2);
    image.feed({{1}, {1}, {1}, {1}, {2}, {3}, {3}});

    QCOMPARE(image.immediate(), QStringLiteral(R"({"data":[[0,4,1],[2,0,0]]})"));
    QCOMPARE(image.immediate(), QStringLiteral(R"({"data":[[0,0,0],[0,0,0]]})"));
    QCOMPARE(image.cumulative(), QStringLiteral(R"({"data":[[0,4,1],[2,0,0]]})"));

    image.feed({{5}});
    QCOMPARE(image.immediate(), QStringLiteral(R"({"data":[[0,0,0],[0,0,1]]})"));
    QCOMPARE(image.cumulative(), QStringLiteral(R"({"data":[[0,4,1],[2,0,1]]})"));
}

void TestImage::resetClearsOnlyTheCumulativeImage()
{
    ImageRig image(2, 1);
    image.feed({{0}, {1}, {1}});

    QCOMPARE(image.ask(command("reset")), kTrue);
    QCOMPARE(image.cumulative(), QStringLiteral(R"({"data":[[0,0]]})"));
    QCOMPARE(image.immediate(), QStringLiteral(R"({"data":[[1,2]]})"));
    QCOMPARE(image.ask(command("data_get_status")), kFreerun);
}

void TestImage::immediateReadsWhileCountingLoseNoEvent()
{
    auto total = [](const QString& reply) {
        int sum = 0;
        for (const QJsonValue& row : QJsonDocument::fromJson(reply.toUtf8()).object().value("data").toArray()) {
            for (const QJsonValue& count : row.toArray())
                sum += count.toInt();
        }
        return sum;
    };
    ImageRig image(4, 4);
    int taken = 0;
    for (uint32_t packet = 0; packet < 200; ++packet) {
        std::vector<Event> events;
        for (uint32_t i = 0; i < 20; ++i)
            events.push_back({(packet + i) % 16});
        image.push(events);
        taken += total(image.immediate());
    }
    QVERIFY(image.waitUntilConsumed());
    taken += total(image.immediate());
    QCOMPARE(taken, 200 * 20);
    QCOMPARE(total(image.cumulative()), 200 * 20);
}

void TestImage::withoutRowsBothViewsAreEmpty()
{
    ImageRig image(4, 0);
    QVERIFY(image.block().configurationError().isEmpty());
    image.feed({{0}, {3}});
    QCOMPARE(image.immediate(), QStringLiteral(R"({"data":[]})"));
    QCOMPARE(image.cumulative(), QStringLiteral(R"({"data":[]})"));
}

void TestImage::freshBlockIsIdleAndIgnoresEvents()
{
    ImageRig image(2, 1, false);
    QCOMPARE(image.ask(command("data_get_status")), kIdle);
    image.feed({{0}});
    QCOMPARE(image.cumulative(), QStringLiteral(R"({"data":[[0,0]]})"));

    QCOMPARE(image.ask(runControl("freerun")), kTrue);
    QCOMPARE(image.ask(command("data_get_status")), kFreerun);
    image.feed({{0}});
    QCOMPARE(image.cumulative(), QStringLiteral(R"({"data":[[1,0]]})"));

    QCOMPARE(image.ask(runControl("")), kTrue);
    QCOMPARE(image.ask(command("data_get_status")), kIdle);
    image.feed({{1}});
    QCOMPARE(image.cumulative(), QStringLiteral(R"({"data":[[1,0]]})"));
}

void TestImage::labelsOfAnyTypeCountAndAccumulate()
{
    // Two lists of columns make three columns; numbers count as (empty) labels.
    ImageHarness image(blockEntry("img", {arrayParameter("x_positions", {1, 2}), arrayParameter("x_positions", {"c"}),
                                          arrayParameter("y_positions", {"r"}),
                                          parameter("y_positions", QJsonArray{"ignored without the array type"})}));
    QCOMPARE(image.ask(getData("cumulative")), QStringLiteral(R"({"data":[[0,0,0]]})"));
}

void TestImage::answersNothingToUnknownViews_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown source") << R"({"args":[{"cmd":"get_data","source":"heatmap"}]})";
    QTest::newRow("no source") << R"({"args":[{"cmd":"get_data"}]})";
    QTest::newRow("unknown cmd") << R"({"args":[{"cmd":"start_dump"}]})";
    QTest::newRow("not JSON") << "]";
}

void TestImage::answersNothingToUnknownViews()
{
    QFETCH(QString, message);
    ImageHarness image(imageEntry(2, 2));
    QCOMPARE(image.ask(message), QString());
}

void TestImage::refusesAnImageWithoutColumns_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::newRow("no x_positions") << QJsonArray{arrayParameter("y_positions", {"a", "b"})};
    QTest::newRow("empty x_positions") << QJsonArray{arrayParameter("x_positions", {})};
    QTest::newRow("x_positions without the array type") << QJsonArray{parameter("x_positions", QJsonArray{"a"})};
}

void TestImage::refusesAnImageWithoutColumns()
{
    QFETCH(QJsonArray, parameters);
    ImageHarness image(blockEntry("img", parameters));
    QCOMPARE(image.block().configurationError(),
             QStringLiteral(R"(key "x_positions": must list at least one column)"));
    QCOMPARE(image.ask(command("data_get_status")), QString());
    QCOMPARE(image.block().blockType(), QStringLiteral("image"));
}

QTEST_GUILESS_MAIN(TestImage)
#include "tst_image.moc"
