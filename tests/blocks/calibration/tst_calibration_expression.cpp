// The calibration language: each row is a text and x, and either the value it
// evaluates to or the position where compiling it stops.
#include "blocks/source/calibration_expression.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {
const double inf = std::numeric_limits<double>::infinity();
const double notANumber = std::numeric_limits<double>::quiet_NaN();
constexpr int kValue = 0;   // the row's expected result is a value, not an error position

// Keeps library calls in expected values at run time, as in the evaluator.
double rt(double value)
{
    volatile double hidden = value;
    return hidden;
}

// NaN matches any NaN; everything else bit for bit (-0 is not 0).
bool sameDouble(double a, double b)
{
    return std::isnan(b) ? std::isnan(a) : std::memcmp(&a, &b, sizeof a) == 0;
}

struct Row { const char* text; double x; double value; int errorAt; };
}  // namespace

class TestCalibrationExpression : public QObject {
    Q_OBJECT
private slots:
    void evaluatesOrStopsAt_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("errorAt");
        const Row rows[] = {
            // numbers
            {"010", 0, 10, kValue}, {".5", 0, 0.5, kValue}, {"5.e2", 0, 500, kValue}, {"1.25e-1", 0, 0.125, kValue},
            {"0x1A", 0, 26, kValue}, {"0x1.8p1", 0, 3, kValue}, {"0x1e3", 0, 483, kValue}, {"1e309", 0, inf, kValue},
            {" \t\r\n42 \n", 0, 42, kValue},
            // precedence, associativity, signs (a sign binds tighter than ^; ^ chains to the left)
            {"2+3*4", 0, 14, kValue}, {"(2+3)*4", 0, 20, kValue}, {"2*3^2", 0, 18, kValue}, {"1-2-3", 0, -4, kValue},
            {"8/4/2", 0, 1, kValue}, {"x/2*3", 4, 6, kValue}, {"2^3^2", 0, 64, kValue}, {"2^-3^2", 0, 0.015625, kValue},
            {"-2^2", 0, 4, kValue}, {"-x^2", 3, 9, kValue}, {"0-x^2", 3, -9, kValue}, {"2^-2", 0, 0.25, kValue},
            {"2--3", 0, 5, kValue}, {"2---3", 0, -1, kValue}, {"-x", 0, -0.0, kValue}, {"0-x", 0, 0.0, kValue},
            {"-7%3", 0, -1, kValue}, {"7%-3", 0, 1, kValue}, {"2*7%3", 0, 2, kValue}, {"100%7^2", 0, 2, kValue},
            {"5.5%2", 0, 1.5, kValue}, {"1-(x-(2-x))", 5, -7, kValue}, {"x-x*2", 3, -3, kValue},
            // functions take one signed operand; constants; the comma operator
            {"sqrt 4+5", 0, 7, kValue}, {"sqrt 16^0.5", 0, 2, kValue}, {"abs -2*3", 0, 6, kValue},
            {"sin 2^2", 0, std::pow(std::sin(rt(2)), 2.0), kValue}, {"-sqrt(4)^2", 0, 4, kValue},
            {"floor x/2", 7, 3.5, kValue}, {"ceil x", -2.5, -2, kValue}, {"ln 1", 0, 0, kValue}, {"log 100", 0, 2, kValue},
            {"log10 x", 1000, 3, kValue}, {"exp x", 0.5, std::exp(rt(0.5)), kValue}, {"cos 0", 0, 1, kValue},
            {"atan2(1,2)", 0, std::atan2(rt(1), rt(2)), kValue}, {"atan2(2,x)", 1, std::atan2(rt(2), rt(1)), kValue},
            {"pow(2,10)", 0, 1024, kValue}, {"pi()", 0, 3.14159265358979323846, kValue}, {"e^x", 1, 2.71828182845904523536, kValue},
            {"tanh x", 0.5, std::tanh(rt(0.5)), kValue}, {"asin x", 0.5, std::asin(rt(0.5)), kValue},
            {"1,2+3", 0, 5, kValue}, {"(1,2)*3", 0, 6, kValue}, {"sqrt(16,25)", 0, 5, kValue},
            {"fac 5", 0, 120, kValue}, {"fac(2.9)", 0, 2, kValue}, {"fac(21)", 0, inf, kValue}, {"fac(-1)", 0, notANumber, kValue},
            {"ncr(52,5)", 0, 2598960, kValue}, {"ncr(10,10)", 0, 1, kValue}, {"ncr(5,-1)", 0, notANumber, kValue},
            {"npr(10,3)", 0, 720, kValue}, {"npr(5,6)", 0, notANumber, kValue},
            // IEEE arithmetic, never a failure
            {"1/0", 0, inf, kValue}, {"1/x", -0.0, -inf, kValue}, {"0/0", 0, notANumber, kValue}, {"1%0", 0, notANumber, kValue},
            {"sqrt(-1)", 0, notANumber, kValue}, {"log(0)", 0, -inf, kValue}, {"(-8)^(1/3)", 0, notANumber, kValue},
            // calibrations
            {"x*0.125+3.5", 1000, 128.5, kValue}, {"x", 4294967295.0, 4294967295.0, kValue},
            {"0.5+0.25*x+1.5e-5*x^2", 1000, rt(0.5) + rt(0.25) * 1000 + rt(1.5e-5) * std::pow(rt(1000), 2.0), kValue},
            // errors: the position just past the token where parsing stopped
            {"", 0, 0, 1}, {"(5+5", 0, 0, 4}, {"1+", 0, 0, 2}, {"1)", 0, 0, 2}, {"()", 0, 0, 2}, {"2**3", 0, 0, 3},
            {"2x", 0, 0, 2}, {"x x", 0, 0, 3}, {"1.2.3", 0, 0, 5}, {"pi(1)", 0, 0, 4}, {"atan2(1)", 0, 0, 8},
            {"atan2(1,2,3)", 0, 0, 10}, {"foo(1)", 0, 0, 3}, {"X", 0, 0, 1}, {"Sin(x)", 0, 0, 3}, {"sine x", 0, 0, 4},
            {"1e", 0, 0, 2}, {"0x", 0, 0, 2}, {".", 0, 0, 1}, {"1+#", 0, 0, 3}, {"x=1", 0, 0, 2},
        };
        for (const Row& row : rows)
            QTest::newRow(*row.text ? row.text : "(empty)") << QByteArray(row.text) << row.x << row.value << row.errorAt;
        // Nesting: 100 levels are accepted, 101 refused.
        QTest::newRow("100 parentheses") << QByteArray(100, '(') + "x" + QByteArray(100, ')') << 4.0 << 4.0 << kValue;
        QTest::newRow("101 parentheses") << QByteArray(101, '(') + "x" + QByteArray(101, ')') << 0.0 << 0.0 << 101;
    }
    void evaluatesOrStopsAt()
    {
        QFETCH(QByteArray, text);
        QFETCH(double, x);
        QFETCH(double, value);
        QFETCH(int, errorAt);
        CalibrationExpression expression;
        QCOMPARE(expression.compile(text.toStdString()), errorAt == kValue);
        QCOMPARE(expression.isValid(), errorAt == kValue);
        QCOMPARE(expression.errorPosition(), errorAt);
        const double actual = expression.evaluate(x);
        const double expected = errorAt == kValue ? value : 0.0;   // an invalid expression evaluates to 0
        QVERIFY2(sameDouble(actual, expected), qPrintable(QString::asprintf("got %.17g, expected %.17g", actual, expected)));
    }

    // A decimal comma in the process locale must not change how numbers are read.
    void readsNumbersTheSameUnderADecimalCommaLocale()
    {
        const QByteArray previous = std::setlocale(LC_NUMERIC, nullptr);
        QTemporaryDir localeDir;
        bool found = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
        if (!found && QProcess::execute("localedef", {"-i", "de_DE", "-f", "UTF-8", localeDir.filePath("de_DE.UTF-8")}) >= 0) {
            qputenv("LOCPATH", QFile::encodeName(localeDir.path()));
            found = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
        }
        if (!found)
            QSKIP("no decimal-comma locale is installed, and localedef cannot make one");
        const bool comma = std::strcmp(std::localeconv()->decimal_point, ",") == 0;
        CalibrationExpression expression;
        const bool compiled = expression.compile("1.5*x+0x1.8p1+2.5e-1");
        const double value = expression.evaluate(2);
        std::setlocale(LC_NUMERIC, previous.constData());
        qunsetenv("LOCPATH");
        QVERIFY(comma);
        QVERIFY(compiled);
        QCOMPARE(value, 6.25);
    }
};

QTEST_GUILESS_MAIN(TestCalibrationExpression)
#include "tst_calibration_expression.moc"
