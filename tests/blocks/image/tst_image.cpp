// The image block as a client sees it: channels map to pixels row by row; the
// immediate image is cleared by reading it, the cumulative one by "reset".
#include "accumulating_block_harness.h"
#include "blocks/image/image.h"

#include <QtTest>

using namespace analysis_test;

namespace {
QJsonArray labels(int count)
{
    QJsonArray list;
    for (int i = 0; i < count; ++i)
        list.append(QStringLiteral("p%1").arg(i));
    return list;
}

// An image block over the test's pin, counting unless told otherwise.
struct ImageRig : BlockHarness<Image> {
    ImageRig(int columns, int rows, bool running = true)
        : BlockHarness(blockEntry("img", {arrayParameter("x_positions", labels(columns)), arrayParameter("y_positions", labels(rows))}), running) {}
    void feed(std::initializer_list<uint32_t> channels)
    {
        std::vector<Event> events;
        for (uint32_t channel : channels)
            events.push_back({channel});
        BlockHarness::feed(events);
    }
    QString immediate() { return ask(getView("immediate")); }
    QString cumulative() { return ask(getView("cumulative")); }
};

int total(const QString& reply)
{
    int sum = 0;
    for (const QJsonValue& row : QJsonDocument::fromJson(reply.toUtf8()).object().value("data").toArray())
        for (const QJsonValue& count : row.toArray())
            sum += count.toInt();
    return sum;
}
}  // namespace

class TestImage : public QObject {
    Q_OBJECT
private slots:
    void ignoresChannelsOutsideTheImage_data()
    {
        QTest::addColumn<uint>("channel");
        QTest::addColumn<QString>("image");   // 4 columns, 2 rows
        const QString empty = R"({"data":[[0,0,0,0],[0,0,0,0]]})";
        QTest::newRow("7 is the last pixel") << 7u << R"({"data":[[0,0,0,0],[0,0,0,1]]})";
        QTest::newRow("-1") << 0xFFFFFFFFu << empty;
        QTest::newRow("-2^31") << 0x80000000u << empty;
    }
    void ignoresChannelsOutsideTheImage()
    {
        QFETCH(uint, channel);
        QFETCH(QString, image);
        ImageRig rig(4, 2);
        rig.feed({channel});
        QCOMPARE(rig.cumulative(), image);
        QCOMPARE(rig.immediate(), image);
    }

    void resetClearsOnlyTheCumulativeImage()
    {
        ImageRig image(2, 1);
        image.feed({0, 1, 1});
        QCOMPARE(image.ask(command("reset")), kTrue);
        QCOMPARE(image.cumulative(), QStringLiteral(R"({"data":[[0,0]]})"));
        QCOMPARE(image.immediate(), QStringLiteral(R"({"data":[[1,2]]})"));
        QCOMPARE(image.ask(command("data_get_status")), kFreerun);
    }

    void immediateReadsWhileCountingLoseNoEvent()
    {
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
        QCOMPARE(taken + total(image.immediate()), 200 * 20);
        QCOMPARE(total(image.cumulative()), 200 * 20);
    }

    void countsOnlyWhileFreerun()
    {
        ImageRig image(2, 1, false);
        image.feed({0});
        QCOMPARE(image.cumulative(), QStringLiteral(R"({"data":[[0,0]]})"));
        QCOMPARE(image.ask(runControl("freerun")), kTrue);
        image.feed({0});
        QCOMPARE(image.cumulative(), QStringLiteral(R"({"data":[[1,0]]})"));
    }

    // Repeated lists add up and labels of any type count; without rows both views are empty.
    void sizesComeFromTheLabelLists_data()
    {
        QTest::addColumn<QJsonArray>("parameters");
        QTest::addColumn<QString>("image");
        QTest::newRow("3 columns")
            << QJsonArray{arrayParameter("x_positions", {1, 2}), arrayParameter("x_positions", {"c"}), arrayParameter("y_positions", {"r"}),
                                                 parameter("y_positions", QJsonArray{"ignored without the array type"})} << R"({"data":[[1,0,0]]})";
        QTest::newRow("no rows") << QJsonArray{arrayParameter("x_positions", {"a", "b", "c", "d"})} << R"({"data":[]})";
    }
    void sizesComeFromTheLabelLists()
    {
        QFETCH(QJsonArray, parameters);
        QFETCH(QString, image);
        BlockHarness<Image> rig(blockEntry("img", parameters), kRunning);
        QVERIFY(rig.block().configurationError().isEmpty());
        rig.feed({{0}, {3}});
        QCOMPARE(rig.ask(getView("cumulative")), image);
        QCOMPARE(rig.ask(getView("immediate")), image);
    }

    void answersNothingToUnknownViews_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown source") << R"({"args":[{"cmd":"get_data","source":"heatmap"}]})";
        QTest::newRow("no source") << R"({"args":[{"cmd":"get_data"}]})";
        QTest::newRow("unknown cmd") << R"({"args":[{"cmd":"start_dump"}]})";
    }
    void answersNothingToUnknownViews()
    {
        QFETCH(QString, message);
        QCOMPARE(ImageRig(2, 2).ask(message), QString());
    }

    void refusesAnImageWithoutColumns_data()
    {
        QTest::addColumn<QJsonArray>("parameters");
        QTest::newRow("absent") << QJsonArray{arrayParameter("y_positions", {"a", "b"})};
        QTest::newRow("empty") << QJsonArray{arrayParameter("x_positions", {})};
        QTest::newRow("no array type") << QJsonArray{parameter("x_positions", QJsonArray{"a"})};
    }
    void refusesAnImageWithoutColumns()
    {
        QFETCH(QJsonArray, parameters);
        BlockHarness<Image> image(blockEntry("img", parameters));
        QCOMPARE(image.block().configurationError(), QStringLiteral(R"(key "x_positions": must list at least one column)"));
        QCOMPARE(image.ask(command("data_get_status")), QString());
    }
};

QTEST_GUILESS_MAIN(TestImage)
#include "tst_image.moc"
