#include "blocks/source/calibration_expression.h"

#include <QtTest>

#include <atomic>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

// Every heap allocation of this test binary is counted, so a test can show
// that evaluation allocates nothing.
namespace {
std::atomic<long> allocationCount{0};
}

void* operator new(std::size_t size)
{
    ++allocationCount;
    if (void* memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    std::abort();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

const double infinity = std::numeric_limits<double>::infinity();
const double notANumber = std::numeric_limits<double>::quiet_NaN();
const double pi = 3.14159265358979323846;
const double e = 2.71828182845904523536;

// Hides a value from the compiler, so library functions in expected values
// run at test time, as they do inside the evaluator.
double runtime(double value)
{
    volatile double hidden = value;
    return hidden;
}

// NaN matches any NaN; everything else must match bit for bit (-0 is not 0).
bool sameDouble(double actual, double expected)
{
    return std::isnan(expected) ? std::isnan(actual) : std::memcmp(&actual, &expected, sizeof actual) == 0;
}

// The text as a row name, with control and non-ASCII bytes spelled out.
QByteArray rowName(const std::string& text)
{
    QByteArray name;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        name += (byte >= 0x20 && byte < 0x7f) ? QByteArray(1, c) : "\\x" + QByteArray::number(byte, 16);
    }
    return name.isEmpty() ? QByteArray("(empty)") : name;
}

std::string repeated(const std::string& piece, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += piece;
    return text;
}

struct ValueCase { std::string text; double x, expected; };

void addValues(std::initializer_list<ValueCase> cases)
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("expected");
    for (const ValueCase& c : cases)
        QTest::newRow(rowName(c.text).constData()) << QByteArray::fromStdString(c.text) << c.x << c.expected;
}

void verifyValue()
{
    QFETCH(QByteArray, text);
    QFETCH(double, x);
    QFETCH(double, expected);
    CalibrationExpression expression;
    QVERIFY2(expression.compile(text.toStdString()),
             qPrintable(QStringLiteral("rejected at %1").arg(expression.errorPosition())));
    QVERIFY(expression.isValid());
    QCOMPARE(expression.errorPosition(), 0);
    const double actual = expression.evaluate(x);
    QVERIFY2(sameDouble(actual, expected),
             qPrintable(QString::asprintf("got %a (%.17g), expected %a (%.17g)", actual, actual, expected, expected)));
}

}  // namespace

class TestCalibrationExpression : public QObject {
    Q_OBJECT

private slots:
    void readsNumberLiterals_data()
    {
        addValues({
            {"010", 0, 10}, {".5", 0, 0.5}, {"5.", 0, 5}, {"5.e2", 0, 500}, {"1.25e-1", 0, 0.125}, {"2E3", 0, 2000},
            {"2e+3", 0, 2000}, {" \t\r\n42 \n", 0, 42},
            {"3.14159265358979323846264338327950288", 0, 3.14159265358979323846},
            {"100000000000000000000000000000000000000000000000000000000000e-60", 0, 0.1}, {"0x10", 0, 16},
            {"0X1A", 0, 26}, {"0x1p4", 0, 16}, {"0x1P-2", 0, 0.25}, {"0x.8", 0, 0.5}, {"0x1.8", 0, 1.5},
            {"0x1e3", 0, 483}, {"0x1e+3", 0, 33}, {"0x1p+3", 0, 8}, {"1e309", 0, infinity}, {"1000e306", 0, infinity},
            {"1e99999999999999999999", 0, infinity}, {"0x1p1024", 0, infinity},
            {"0x1" + std::string(303, '0') + "p-10", 0, infinity}, {"0.00001e313", 0, 1e308},
            {"1" + std::string(411, '0') + "e-50", 0, infinity}, {"0." + std::string(411, '0') + "1e50", 0, 0.0},
            {"1e-320", 0, 1e-320}, {"1e-400", 0, 0.0}, {"1e-99999999999999999999", 0, 0.0},
            {"2.4703282292062328e-324", 0, std::numeric_limits<double>::denorm_min()},
            {"2.4703282292062327e-324", 0, 0.0}, {"0x1p-1074", 0, std::numeric_limits<double>::denorm_min()},
            {"0x1p-1075", 0, 0.0}, {"0x1.8p-1075", 0, std::numeric_limits<double>::denorm_min()},
        });
    }
    void readsNumberLiterals() { verifyValue(); }

    void appliesPrecedenceAndSigns_data()
    {
        addValues({
            {"-2^2", 0, 4}, {"-x^2", 3, 9}, {"-2^0.5", 0, notANumber}, {"0-x^2", 3, -9}, {"-(x^2)", 3, -9},
            {"2^-2", 0, 0.25}, {"-2^-2", 0, 0.25}, {"2^3^2", 0, 64}, {"2^-3^2", 0, 0.015625}, {"2*-3", 0, -6},
            {"2--3", 0, 5}, {"2---3", 0, -1}, {"-+-+3", 0, 3}, {"+x", 7, 7}, {"-x", 0, -0.0}, {"-x", -0.0, 0.0},
            {"0-x", 0, 0.0}, {"--x", 0, 0.0}, {"-0", 0, -0.0}, {"-7%3", 0, -1}, {"7%-3", 0, 1}, {"5.5%2", 0, 1.5},
            {"2*7%3", 0, 2}, {"7%3*2", 0, 2}, {"100%7^2", 0, 2}, {"x%3", -7, -1}, {"1-2-3", 0, -4}, {"x-2-3", 1, -4},
            {"8/4/2", 0, 1}, {"x/2*3", 4, 6}, {"2+3*4", 0, 14}, {"(2+3)*4", 0, 20}, {"2*3^2", 0, 18}, {"2^x^2", 3, 64},
            {"-x*-x", 3, 9}, {"x-x*2", 3, -3}, {"1-(x-(2-x))", 5, -7},
        });
    }
    void appliesPrecedenceAndSigns() { verifyValue(); }

    void callsFunctionsAndConstants_data()
    {
        addValues({
            {"sin x", 0.5, std::sin(runtime(0.5))}, {"sin(x)", 0.5, std::sin(runtime(0.5))}, {"sqrt 16", 0, 4},
            {"fac 5", 0, 120}, {"log 100", 0, 2}, {"abs-3", 0, 3}, {"sin -x", 0.5, std::sin(runtime(-0.5))},
            {"sqrt sqrt 16", 0, 2}, {"ln exp 2", 0, std::log(std::exp(runtime(2)))},
            {"sin.5", 0, std::sin(runtime(0.5))}, {"sin 2^2", 0, std::pow(std::sin(runtime(2)), 2.0)},
            {"sqrt 4+5", 0, 7}, {"sqrt 16^0.5", 0, 2}, {"2*sin x^2", 1.5, 2 * std::pow(std::sin(runtime(1.5)), 2.0)},
            {"abs -2*3", 0, 6}, {"fac 3 + 1", 0, 7}, {"floor x/2", 7, 3.5}, {"-sqrt(4)^2", 0, 4},
            {"-sin 2^2", 0, std::pow(-std::sin(runtime(2)), 2.0)}, {"sin(0,1)", 0, std::sin(runtime(1))},
            {"sqrt(16,25)", 0, 5}, {"pow((2,3),4)", 0, 81}, {"pow(2,10)", 0, 1024},
            {"pow( x , 0.5 )", 2, std::pow(runtime(2), 0.5)}, {"atan2(1,2)", 0, std::atan2(runtime(1), runtime(2))},
            {"atan2 (x, 2)", 1, std::atan2(runtime(1), runtime(2))},
            {"atan2(2,x)", 1, std::atan2(runtime(2), runtime(1))}, {"pi", 0, pi}, {"pi()", 0, pi}, {"pi ( )", 0, pi},
            {"e", 0, e}, {"e()", 0, e}, {"2*pi*x", 0.5, pi}, {"e^x", 1, e}, {"abs x", -2.5, 2.5},
            {"acos x", 0.5, std::acos(runtime(0.5))}, {"asin x", 0.5, std::asin(runtime(0.5))},
            {"atan x", 0.5, std::atan(runtime(0.5))}, {"ceil x", 2.1, 3}, {"ceil x", -2.5, -2},
            {"cos x", 0.5, std::cos(runtime(0.5))}, {"cos 0", 0, 1}, {"cosh x", 0.5, std::cosh(runtime(0.5))},
            {"exp x", 0.5, std::exp(runtime(0.5))}, {"floor x", -2.1, -3}, {"ln x", 10, std::log(runtime(10))},
            {"ln 1", 0, 0}, {"log x", 1000, std::log10(runtime(1000))}, {"log10 x", 1000, std::log10(runtime(1000))},
            {"sinh x", 0.5, std::sinh(runtime(0.5))}, {"sqrt x", 2, std::sqrt(runtime(2))},
            {"tan x", 0.5, std::tan(runtime(0.5))}, {"tanh x", 0.5, std::tanh(runtime(0.5))},
        });
    }
    void callsFunctionsAndConstants() { verifyValue(); }

    void yieldsTheLastValueOfACommaSequence_data()
    {
        addValues({
            {"1,2,3", 0, 3}, {"1,2+3", 0, 5}, {"(1,2)*3", 0, 6}, {"1+(2,3)", 0, 4}, {"2*(1,x)", 5, 10}, {"x,1", 5, 1},
            {"(x,x,2)^2", 5, 4},
        });
    }
    void yieldsTheLastValueOfACommaSequence() { verifyValue(); }

    void followsIeeeArithmeticWithoutFailing_data()
    {
        addValues({
            {"1/0", 0, infinity}, {"-1/0", 0, -infinity}, {"0/0", 0, notANumber}, {"sqrt(-1)", 0, notANumber},
            {"log(-1)", 0, notANumber}, {"acos(2)", 0, notANumber}, {"(-8)^(1/3)", 0, notANumber},
            {"1%0", 0, notANumber}, {"log(0)", 0, -infinity}, {"exp(1000)", 0, infinity}, {"0^-1", 0, infinity},
            {"1/x", 0, infinity}, {"1/x", -0.0, -infinity}, {"x*0", -1, -0.0}, {"x-x", infinity, notANumber},
            {"x+1", notANumber, notANumber},
        });
    }
    void followsIeeeArithmeticWithoutFailing() { verifyValue(); }

    void computesFactorialsAndCombinationsOnIntegers_data()
    {
        addValues({
            {"fac(2.9)", 0, 2}, {"fac(0.5)", 0, 1}, {"fac 0", 0, 1}, {"fac(20)", 0, 2432902008176640000.0},
            {"fac(21)", 0, infinity}, {"fac(-1)", 0, notANumber}, {"fac(-0.5)", 0, notANumber},
            {"fac(4294967295)", 0, infinity}, {"fac(4294967296)", 0, infinity}, {"fac(1e300)", 0, infinity},
            {"fac x", 5, 120}, {"fac x", 21, infinity}, {"ncr(62,31)", 0, 465428353255261088.0},
            {"ncr(63,31)", 0, infinity}, {"ncr(5.9,2.9)", 0, 10}, {"ncr(5.5,5.9)", 0, notANumber},
            {"ncr(-1,0)", 0, notANumber}, {"ncr(5,-1)", 0, notANumber}, {"ncr(10,0)", 0, 1}, {"ncr(10,10)", 0, 1},
            {"ncr(10,7)", 0, 120}, {"ncr(52,5)", 0, 2598960}, {"ncr(4294967295,1)", 0, 4294967295.0},
            {"ncr(4294967295,4294967295)", 0, 1}, {"ncr(4294967296,1)", 0, infinity}, {"ncr(x,2)", 6, 15},
            {"npr(4,2.5)", 0, 12}, {"npr(5,6)", 0, notANumber}, {"npr(5,2)", 0, 20}, {"npr(10,3)", 0, 720},
            {"npr(30,21)", 0, infinity}, {"npr(x,2)", 5, 20},
        });
    }
    void computesFactorialsAndCombinationsOnIntegers() { verifyValue(); }

    void calibratesRawEnergies_data()
    {
        addValues({
            {"x*0.125+3.5", 1000, 128.5}, {"2*x", 1000, 2000}, {"x", 4294967295.0, 4294967295.0},
            {"0.5+0.25*x+1.5e-5*x^2", 1000,
             runtime(0.5) + runtime(0.25) * 1000 + runtime(1.5e-5) * std::pow(runtime(1000), 2.0)},
            {"(x - 12.5) / 3.25", 1000, (runtime(1000) - 12.5) / runtime(3.25)}, {"\tx *\r\n 2 ", 21, 42},
            {std::string("2*x\0junk", 8), 1000, 2000},   // the text ends at the first NUL byte
        });
    }
    void calibratesRawEnergies() { verifyValue(); }

    void acceptsLongAndDeeplyNestedExpressions_data()
    {
        const double x = runtime(1.001);
        const double s = std::sin(x);
        double product = x, sum = s, stacked = runtime(0.75);
        for (int i = 1; i < 1000; ++i)
            product = product * x;
        for (int i = 1; i < 5000; ++i)
            sum = sum + s;
        // Every level keeps four values pending: a sum, a product, a power and
        // the first argument of atan2, all of them computed.
        std::string deep = "x";
        const double s75 = std::sin(runtime(0.75));
        for (int level = 0; level < 99; ++level) {
            deep = "sin x+sin x*sin x^atan2(sin x," + deep + ")";
            stacked = s75 + s75 * std::pow(s75, std::atan2(s75, stacked));
        }
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("expected");
        auto add = [](const char* name, const std::string& text, double x, double expected) {
            QTest::newRow(name) << QByteArray::fromStdString(text) << x << expected;
        };
        add("10000 sums", "x" + repeated("+x", 9999), 1, 10000);
        add("10000 sums right to left", repeated("1+", 10000) + "x", 0.5, 10000.5);
        add("10000 commas", repeated("1,", 10000) + "x", 3, 3);
        add("10001 signs", repeated("-", 10001) + "x", 3, -3);
        add("1000 products", repeated("x*", 1000) + "1", x, product * 1);
        add("5000 function calls", repeated("sin x+", 5000) + "0", x, sum + 0);
        add("100 parentheses", repeated("(", 100) + "x" + repeated(")", 100), 4, 4);
        add("100 nested functions", repeated("sqrt ", 100) + "x", 1, 1);
        add("99 levels stacking four values", deep, 0.75, stacked);
    }
    void acceptsLongAndDeeplyNestedExpressions() { verifyValue(); }

    void rejectsMalformedTextWhereParsingStops_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("position");
        struct ErrorCase { std::string text; int position; };
        const ErrorCase cases[] = {
            // Empty input and premature ends stop at the end of the text.
            {"", 1}, {"   ", 3}, {"(5+5", 4}, {"1+", 2}, {"1 +", 3}, {"2^", 2}, {"-", 1}, {"-x-", 3}, {"1,", 2}, {"(1", 2},
            {"sin", 3}, {"sin(1", 5}, {"pi(", 3}, {"atan2", 5},
            // Unbalanced or empty parentheses and missing operands.
            {"1)", 2}, {"(1))", 4}, {"()", 2}, {"^2", 1}, {",1", 1}, {"1,,2", 3}, {"(1,)", 4}, {"2**3", 3}, {"2^^3", 3},
            {"sin()", 5},
            // Operands next to each other.
            {"2x", 2}, {"2(3)", 2}, {"x x", 3}, {"2 3", 3}, {"2pi", 3}, {"sin(x)cos(x)", 9}, {"x(2)", 2}, {"1.2.3", 5},
            // Constants take nothing but "()", two-argument functions exactly two.
            {"pi(1)", 4}, {"pi()()", 5}, {"atan2(1)", 8}, {"atan2(1,2,3)", 10}, {"atan2()", 7}, {"atan2 1,2", 7},
            {"pow 2", 5},
            // Unknown names stop at the end of the whole name.
            {"foo(1)", 3}, {"1 e3", 4}, {"inf", 3}, {"nan", 3}, {"infinity", 8}, {"X", 1}, {"PI", 2}, {"Sin", 3},
            {"Sin(x)", 3}, {"y", 1}, {"x1", 2}, {"x_1", 3}, {"sqr", 3}, {"sine", 4}, {"sine x", 4}, {"sqr 4", 3},
            {"ta(1)", 2}, {"sin2", 4}, {"log100", 6},
            // Number tails that are not part of the number.
            {"1e", 2}, {"1.5e", 4}, {"1e+", 2}, {"0x", 2}, {"0xg", 3},
            // A lone '.' stops at its own index (at least 1).
            {".", 1}, {"1+.", 2}, {".e2", 1}, {"pi(.)", 3},
            // Characters outside the token table stop just after themselves.
            {"1+#", 3}, {"3!", 2}, {"x\v", 2}, {"\fx", 1}, {"x\xA0", 2}, {"\xB5", 1}, {"_x", 1}, {"x=1", 2}, {"x;", 2},
            {"$x", 1}, {"x[0]", 2},
            // Nesting deeper than one hundred levels, and a NUL byte before anything.
            {repeated("(", 101) + "x" + repeated(")", 101), 101}, {repeated("sqrt ", 101) + "x", 504},
            {repeated("(", 100000), 101}, {std::string("\0x", 2), 1},
        };
        for (const ErrorCase& c : cases)
            QTest::newRow(rowName(c.text).left(40).constData()) << QByteArray::fromStdString(c.text) << c.position;
    }
    void rejectsMalformedTextWhereParsingStops()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, position);
        CalibrationExpression expression;
        QVERIFY(!expression.compile(text.toStdString()));
        QVERIFY(!expression.isValid());
        QCOMPARE(expression.errorPosition(), position);
        QVERIFY(sameDouble(expression.evaluate(1000), 0.0));
    }

    void evaluatesToZeroUntilSomethingCompiles()
    {
        CalibrationExpression expression;
        QVERIFY(!expression.isValid());
        QCOMPARE(expression.errorPosition(), 0);
        QVERIFY(sameDouble(expression.evaluate(1000), 0.0));
        QVERIFY(expression.compile("2*x"));
        QCOMPARE(expression.evaluate(1000), 2000.0);
        QVERIFY(!expression.compile("2*"));
        QVERIFY(!expression.isValid());
        QCOMPARE(expression.errorPosition(), 2);
        QVERIFY(sameDouble(expression.evaluate(1000), 0.0));
        QVERIFY(expression.compile("x"));
        QCOMPARE(expression.errorPosition(), 0);
        QCOMPARE(expression.evaluate(1000), 1000.0);
    }

    void copiesAndMovesKeepTheirOwnProgram()
    {
        CalibrationExpression original;
        QVERIFY(original.compile("x*0.125+3.5"));
        CalibrationExpression copy(original);
        QVERIFY(original.compile("2*x"));
        QCOMPARE(copy.evaluate(1000), 128.5);
        QCOMPARE(original.evaluate(1000), 2000.0);
        CalibrationExpression moved(std::move(copy));
        QVERIFY(moved.isValid());
        QCOMPARE(moved.evaluate(1000), 128.5);
        CalibrationExpression assigned;
        assigned = original;
        QCOMPARE(assigned.evaluate(8), 16.0);
        assigned = std::move(moved);
        QCOMPARE(assigned.evaluate(1000), 128.5);
        CalibrationExpression broken;
        QVERIFY(!broken.compile("2*"));
        assigned = broken;
        QVERIFY(!assigned.isValid());
        QCOMPARE(assigned.errorPosition(), 2);
        QVERIFY(sameDouble(assigned.evaluate(1000), 0.0));
    }

    // Each operand form of the compiled program (constant, variable, pushed
    // value, either side) must give what folding the same value as a literal gives.
    void evaluatingMatchesFoldingTheSameValue_data()
    {
        QTest::addColumn<QByteArray>("text");
        const char* const texts[] = {
            "x*0.125+3.5", "3.5+0.125*x", "-x^2", "x^-x", "x^x^x", "2^-x^2", "sqrt x+5", "sin x*cos x",
            "atan2(x,2)+x%3", "atan2(2,x)-3%x", "atan2(x*x,x-1)", "pow(x,x)/pow(2,x)", "fac x", "ncr(x,2)",
            "npr(x+1,x)", "(x,1)*x", "1-(x-(x-(1-x)))", "x/(x+1)/(x-1)", "(x+1)*(x-1)-(x*x-1)",
            "-sin -x", "abs x - x", "x%(x/2+1)", "(x*2)^(x/2)", "e^x - pi*x",
        };
        for (const char* text : texts)
            QTest::newRow(text) << QByteArray(text);
    }
    void evaluatingMatchesFoldingTheSameValue()
    {
        QFETCH(QByteArray, text);
        CalibrationExpression withVariable;
        QVERIFY(withVariable.compile(text.toStdString()));
        for (const double x : {0.0, -0.0, 1.5, 3.0, 7.0, -2.5, 1000.0, 1e-3}) {
            // QByteArray::number() drops the sign of -0.
            const QByteArray literal = "(" + (std::signbit(x) && x == 0 ? QByteArray("-0") : QByteArray::number(x, 'g', 17)) + ")";
            QByteArray folded = text;
            folded.replace("x", literal);
            CalibrationExpression constant;
            QVERIFY2(constant.compile(folded.toStdString()), folded.constData());
            const double actual = withVariable.evaluate(x);
            const double expected = constant.evaluate(0);
            QVERIFY2(sameDouble(actual, expected),
                     qPrintable(QString::asprintf("x=%a: got %a, folded %s gives %a", x, actual, folded.constData(), expected)));
        }
    }

    void evaluationDoesNotAllocate()
    {
        CalibrationExpression expression;
        QVERIFY(expression.compile("(x*0.125+3.5)*sin x+atan2(x,(x-1)*(x+1))-fac 5"));

        const long beforeProbe = allocationCount.load();
        auto* probe = new int(7);   // kept until after the count: the allocation cannot be left out
        const long afterProbe = allocationCount.load();
        delete probe;
        QCOMPARE(afterProbe, beforeProbe + 1);   // the counter sees allocations

        double sum = 0;
        const long before = allocationCount.load();
        for (int raw = 0; raw < 100000; ++raw)
            sum += expression.evaluate(raw);
        const long after = allocationCount.load();
        QCOMPARE(after, before);
        QVERIFY(std::isfinite(sum));
    }

    void readsNumbersTheSameUnderADecimalCommaLocale()
    {
        const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
        const char* found = nullptr;
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8", "fr_FR"}) {
            if (std::setlocale(LC_NUMERIC, name)) {
                found = name;
                break;
            }
        }
        if (!found)
            QSKIP("no locale with a decimal comma is installed");
        const bool commaLocale = std::strcmp(std::localeconv()->decimal_point, ",") == 0;
        CalibrationExpression expression;
        const bool compiled = expression.compile("1.5*x+0x1.8p1");
        const double value = expression.evaluate(2);
        std::setlocale(LC_NUMERIC, previous.c_str());
        QVERIFY2(commaLocale, found);
        QVERIFY(compiled);
        QCOMPARE(value, 6.0);
    }
};

QTEST_GUILESS_MAIN(TestCalibrationExpression)
#include "tst_calibration_expression.moc"
