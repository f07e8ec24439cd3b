// The counters shared by a counting worker and the replying main thread.
#include "core/counter_grid.h"
#include "core/text_builder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {
using Cell = QPair<int, int>;

QString matrix(CounterGrid& grid, CounterGrid::ReadMode mode)
{
    TextBuilder text;
    grid.appendMatrix(text, mode);
    return text.toQString();
}

QString rowList(const CounterGrid& grid, const std::vector<int>& rows)
{
    TextBuilder text;
    grid.appendRowList(text, rows);
    return text.toQString();
}

qint64 sumOfMatrix(const QString& reply)
{
    qint64 sum = 0;
    const QJsonArray rows = QJsonDocument::fromJson(reply.toUtf8()).object().value("data").toArray();
    for (const QJsonValue& row : rows) {
        for (const QJsonValue& count : row.toArray())
            sum += count.toInt();
    }
    return sum;
}
}  // namespace

class TestCounterGrid : public QObject {
    Q_OBJECT
private slots:
    void writesRowsAsNestedArrays_data();
    void writesRowsAsNestedArrays();
    void takeAndClearAndClearZeroTheCounters();
    void listsRequestedRowsOnceInAscendingOrder_data();
    void listsRequestedRowsOnceInAscendingOrder();
    void appendsAfterExistingText();
    void takeAndClearLosesNoCountWhileAnotherThreadCounts();
};

void TestCounterGrid::writesRowsAsNestedArrays_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("columns");
    QTest::addColumn<QList<Cell>>("increments");
    QTest::addColumn<QString>("reply");

    QTest::newRow("2x3") << 2 << 3 << QList<Cell>{{0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 2}, {1, 0}, {1, 0}}
                         << R"({"data":[[0,4,1],[2,0,0]]})";
    QTest::newRow("one cell") << 1 << 1 << QList<Cell>{{0, 0}} << R"({"data":[[1]]})";
    QTest::newRow("no rows") << 0 << 4 << QList<Cell>{} << R"({"data":[]})";
    QTest::newRow("negative rows") << -2 << 4 << QList<Cell>{} << R"({"data":[]})";
    QTest::newRow("no columns") << 2 << 0 << QList<Cell>{} << R"({"data":[[],[]]})";
}

void TestCounterGrid::writesRowsAsNestedArrays()
{
    QFETCH(int, rows);
    QFETCH(int, columns);
    QFETCH(QList<Cell>, increments);
    QFETCH(QString, reply);

    CounterGrid grid(rows, columns);
    for (const Cell& cell : increments)
        grid.increment(cell.first, cell.second);
    QCOMPARE(matrix(grid, CounterGrid::Keep), reply);
    QCOMPARE(matrix(grid, CounterGrid::Keep), reply);
}

void TestCounterGrid::takeAndClearAndClearZeroTheCounters()
{
    CounterGrid grid(3, 2);
    grid.increment(0, 1);
    grid.increment(1, 0);
    grid.increment(1, 0);
    QCOMPARE(matrix(grid, CounterGrid::TakeAndClear), QStringLiteral(R"({"data":[[0,1],[2,0],[0,0]]})"));
    QCOMPARE(grid.value(1, 0), 0u);
    for (int row = 0; row < 3; ++row)
        grid.increment(row, 1);
    grid.clear();
    QCOMPARE(matrix(grid, CounterGrid::Keep), QStringLiteral(R"({"data":[[0,0],[0,0],[0,0]]})"));
    grid.increment(2, 1);
    QCOMPARE(grid.value(2, 1), 1u);
}

void TestCounterGrid::listsRequestedRowsOnceInAscendingOrder_data()
{
    QTest::addColumn<std::vector<int>>("rows");
    QTest::addColumn<QString>("reply");

    // Row 0 holds [1,0], row 1 is empty, row 2 holds [0,3].
    QTest::newRow("descending") << std::vector<int>{2, 0} << R"([{"data":[1,0]},{"data":[0,3]}])";
    QTest::newRow("repeated") << std::vector<int>{1, 1, 1} << R"([{"data":[0,0]}])";
    QTest::newRow("outside") << std::vector<int>{-1, 3, 2} << R"([{"data":[0,3]}])";
    QTest::newRow("nothing requested") << std::vector<int>{} << "[]";
}

void TestCounterGrid::listsRequestedRowsOnceInAscendingOrder()
{
    QFETCH(std::vector<int>, rows);
    QFETCH(QString, reply);

    CounterGrid grid(3, 2);
    grid.increment(0, 0);
    for (int i = 0; i < 3; ++i)
        grid.increment(2, 1);
    QCOMPARE(rowList(grid, rows), reply);
}

void TestCounterGrid::appendsAfterExistingText()
{
    CounterGrid grid(1, 2);
    TextBuilder text;
    text.append("reply:");
    grid.appendRowList(text, {0});
    grid.appendMatrix(text, CounterGrid::Keep);
    QCOMPARE(text.toQString(), QStringLiteral(R"(reply:[{"data":[0,0]}]{"data":[[0,0]]})"));
}

void TestCounterGrid::takeAndClearLosesNoCountWhileAnotherThreadCounts()
{
    // The counting thread keeps going until the reader has taken the grid
    // many times, so reads and increments overlap.
    constexpr int kReads = 200;
    CounterGrid grid(4, 4);
    std::atomic<int> reads{0};
    std::atomic<bool> counting{false};
    qint64 increments = 0;
    std::thread worker([&] {
        for (int i = 0; i == 0 || reads.load() < kReads; ++i) {
            grid.increment(i % 4, (i / 4) % 4);
            ++increments;
            counting.store(true);
        }
    });
    while (!counting.load())
        std::this_thread::yield();
    qint64 taken = 0;
    for (; reads.load() < kReads; reads.fetch_add(1))
        taken += sumOfMatrix(matrix(grid, CounterGrid::TakeAndClear));
    worker.join();
    taken += sumOfMatrix(matrix(grid, CounterGrid::TakeAndClear));
    QCOMPARE(taken, increments);
}

QTEST_GUILESS_MAIN(TestCounterGrid)
#include "tst_counter_grid.moc"
