#include "blocks/source/calibration_expression.h"

#include <QtTest>

#include <atomic>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
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
    if (std::isnan(expected))
        return std::isnan(actual);
    return std::memcmp(&actual, &expected, sizeof actual) == 0;
}

// The text as a row name, with control and non-ASCII bytes spelled out.
QByteArray rowName(const char* text)
{
    QByteArray name;
    for (const char* c = text; *c; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte < 0x7f)
            name += *c;
        else
            name += "\\x" + QByteArray::number(byte, 16);
    }
    return name.isEmpty() ? QByteArray("(empty)") : name;
}

void addValue(const char* text, double x, double expected)
{
    QTest::newRow(rowName(text).constData()) << QByteArray(text) << x << expected;
}

void addError(const char* text, int position)
{
    QTest::newRow(rowName(text).constData()) << QByteArray(text) << position;
}

std::string repeated(const std::string& piece, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += piece;
    return text;
}

} // namespace

class TestCalibrationExpression : public QObject {
    Q_OBJECT

private:
    void addValueColumns()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("expected");
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

private slots:
    void readsNumberLiterals_data()
    {
        addValueColumns();
        addValue("010", 0, 10);
        addValue(".5", 0, 0.5);
        addValue("5.", 0, 5);
        addValue("5.e2", 0, 500);
        addValue("1.25e-1", 0, 0.125);
        addValue("2E3", 0, 2000);
        addValue("2e+3", 0, 2000);
        addValue(" \t\r\n42 \n", 0, 42);
        addValue("3.14159265358979323846264338327950288", 0, 3.14159265358979323846);
        addValue("100000000000000000000000000000000000000000000000000000000000e-60", 0, 0.1);
        addValue("0x10", 0, 16);
        addValue("0X1A", 0, 26);
        addValue("0x1p4", 0, 16);
        addValue("0x1P-2", 0, 0.25);
        addValue("0x.8", 0, 0.5);
        addValue("0x1.8", 0, 1.5);
        addValue("0x1e3", 0, 483);
        addValue("0x1e+3", 0, 33);
        addValue("0x1p+3", 0, 8);
        addValue("1e309", 0, infinity);
        addValue("1000e306", 0, infinity);
        addValue("1e99999999999999999999", 0, infinity);
        addValue("0x1p1024", 0, infinity);
        addValue("0x1000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                 "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                 "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000p-10",
                 0, infinity);
        addValue("0.00001e313", 0, 1e308);
        addValue("1000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000e-50",
                 0, infinity);
        addValue("0.000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                 "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                 "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                 "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000001e50",
                 0, 0.0);
        addValue("1e-320", 0, 1e-320);
        addValue("1e-400", 0, 0.0);
        addValue("1e-99999999999999999999", 0, 0.0);
        addValue("2.4703282292062328e-324", 0, std::numeric_limits<double>::denorm_min());
        addValue("2.4703282292062327e-324", 0, 0.0);
        addValue("0x1p-1074", 0, std::numeric_limits<double>::denorm_min());
        addValue("0x1p-1075", 0, 0.0);
        addValue("0x1.8p-1075", 0, std::numeric_limits<double>::denorm_min());
    }
    void readsNumberLiterals() { verifyValue(); }

    void appliesPrecedenceAndSigns_data()
    {
        addValueColumns();
        addValue("-2^2", 0, 4);
        addValue("-x^2", 3, 9);
        addValue("-2^0.5", 0, notANumber);
        addValue("0-x^2", 3, -9);
        addValue("-(x^2)", 3, -9);
        addValue("2^-2", 0, 0.25);
        addValue("-2^-2", 0, 0.25);
        addValue("2^3^2", 0, 64);
        addValue("2^-3^2", 0, 0.015625);
        addValue("2*-3", 0, -6);
        addValue("2--3", 0, 5);
        addValue("2---3", 0, -1);
        addValue("-+-+3", 0, 3);
        addValue("+x", 7, 7);
        addValue("-x", 0, -0.0);
        addValue("-x", -0.0, 0.0);
        addValue("0-x", 0, 0.0);
        addValue("--x", 0, 0.0);
        addValue("-0", 0, -0.0);
        addValue("-7%3", 0, -1);
        addValue("7%-3", 0, 1);
        addValue("5.5%2", 0, 1.5);
        addValue("2*7%3", 0, 2);
        addValue("7%3*2", 0, 2);
        addValue("100%7^2", 0, 2);
        addValue("x%3", -7, -1);
        addValue("1-2-3", 0, -4);
        addValue("x-2-3", 1, -4);
        addValue("8/4/2", 0, 1);
        addValue("x/2*3", 4, 6);
        addValue("2+3*4", 0, 14);
        addValue("(2+3)*4", 0, 20);
        addValue("2*3^2", 0, 18);
        addValue("2^x^2", 3, 64);
        addValue("-x*-x", 3, 9);
        addValue("x-x*2", 3, -3);
        addValue("1-(x-(2-x))", 5, -7);
    }
    void appliesPrecedenceAndSigns() { verifyValue(); }

    void callsFunctionsAndConstants_data()
    {
        addValueColumns();
        const double pi = 3.14159265358979323846;
        const double e = 2.71828182845904523536;
        addValue("sin x", 0.5, std::sin(runtime(0.5)));
        addValue("sin(x)", 0.5, std::sin(runtime(0.5)));
        addValue("sqrt 16", 0, 4);
        addValue("fac 5", 0, 120);
        addValue("log 100", 0, 2);
        addValue("abs-3", 0, 3);
        addValue("sin -x", 0.5, std::sin(runtime(-0.5)));
        addValue("sqrt sqrt 16", 0, 2);
        addValue("ln exp 2", 0, std::log(std::exp(runtime(2))));
        addValue("sin.5", 0, std::sin(runtime(0.5)));
        addValue("sin 2^2", 0, std::pow(std::sin(runtime(2)), 2.0));
        addValue("sqrt 4+5", 0, 7);
        addValue("sqrt 16^0.5", 0, 2);
        addValue("2*sin x^2", 1.5, 2 * std::pow(std::sin(runtime(1.5)), 2.0));
        addValue("abs -2*3", 0, 6);
        addValue("fac 3 + 1", 0, 7);
        addValue("floor x/2", 7, 3.5);
        addValue("-sqrt(4)^2", 0, 4);
        addValue("-sin 2^2", 0, std::pow(-std::sin(runtime(2)), 2.0));
        addValue("sin(0,1)", 0, std::sin(runtime(1)));
        addValue("sqrt(16,25)", 0, 5);
        addValue("pow((2,3),4)", 0, 81);
        addValue("pow(2,10)", 0, 1024);
        addValue("pow( x , 0.5 )", 2, std::pow(runtime(2), 0.5));
        addValue("atan2(1,2)", 0, std::atan2(runtime(1), runtime(2)));
        addValue("atan2 (x, 2)", 1, std::atan2(runtime(1), runtime(2)));
        addValue("atan2(2,x)", 1, std::atan2(runtime(2), runtime(1)));
        addValue("pi", 0, pi);
        addValue("pi()", 0, pi);
        addValue("pi ( )", 0, pi);
        addValue("e", 0, e);
        addValue("e()", 0, e);
        addValue("2*pi*x", 0.5, pi);
        addValue("e^x", 1, e);
        addValue("abs x", -2.5, 2.5);
        addValue("acos x", 0.5, std::acos(runtime(0.5)));
        addValue("asin x", 0.5, std::asin(runtime(0.5)));
        addValue("atan x", 0.5, std::atan(runtime(0.5)));
        addValue("ceil x", 2.1, 3);
        addValue("ceil x", -2.5, -2);
        addValue("cos x", 0.5, std::cos(runtime(0.5)));
        addValue("cos 0", 0, 1);
        addValue("cosh x", 0.5, std::cosh(runtime(0.5)));
        addValue("exp x", 0.5, std::exp(runtime(0.5)));
        addValue("floor x", -2.1, -3);
        addValue("ln x", 10, std::log(runtime(10)));
        addValue("ln 1", 0, 0);
        addValue("log x", 1000, std::log10(runtime(1000)));
        addValue("log10 x", 1000, std::log10(runtime(1000)));
        addValue("sinh x", 0.5, std::sinh(runtime(0.5)));
        addValue("sqrt x", 2, std::sqrt(runtime(2)));
        addValue("tan x", 0.5, std::tan(runtime(0.5)));
        addValue("tanh x", 0.5, std::tanh(runtime(0.5)));
    }
    void callsFunctionsAndConstants() { verifyValue(); }

    void yieldsTheLastValueOfACommaSequence_data()
    {
        addValueColumns();
        addValue("1,2,3", 0, 3);
        addValue("1,2+3", 0, 5);
        addValue("(1,2)*3", 0, 6);
        addValue("1+(2,3)", 0, 4);
        addValue("2*(1,x)", 5, 10);
        addValue("x,1", 5, 1);
        addValue("(x,x,2)^2", 5, 4);
    }
    void yieldsTheLastValueOfACommaSequence() { verifyValue(); }

    void followsIeeeArithmeticWithoutFailing_data()
    {
        addValueColumns();
        addValue("1/0", 0, infinity);
        addValue("-1/0", 0, -infinity);
        addValue("0/0", 0, notANumber);
        addValue("sqrt(-1)", 0, notANumber);
        addValue("log(-1)", 0, notANumber);
        addValue("acos(2)", 0, notANumber);
        addValue("(-8)^(1/3)", 0, notANumber);
        addValue("1%0", 0, notANumber);
        addValue("log(0)", 0, -infinity);
        addValue("exp(1000)", 0, infinity);
        addValue("0^-1", 0, infinity);
        addValue("1/x", 0, infinity);
        addValue("1/x", -0.0, -infinity);
        addValue("x*0", -1, -0.0);
        addValue("x-x", infinity, notANumber);
        addValue("x+1", notANumber, notANumber);
    }
    void followsIeeeArithmeticWithoutFailing() { verifyValue(); }

    void computesFactorialsAndCombinationsOnIntegers_data()
    {
        addValueColumns();
        addValue("fac(2.9)", 0, 2);
        addValue("fac(0.5)", 0, 1);
        addValue("fac 0", 0, 1);
        addValue("fac(20)", 0, 2432902008176640000.0);
        addValue("fac(21)", 0, infinity);
        addValue("fac(-1)", 0, notANumber);
        addValue("fac(-0.5)", 0, notANumber);
        addValue("fac(4294967295)", 0, infinity);
        addValue("fac(4294967296)", 0, infinity);
        addValue("fac(1e300)", 0, infinity);
        addValue("fac x", 5, 120);
        addValue("fac x", 21, infinity);
        addValue("ncr(62,31)", 0, 465428353255261088.0);
        addValue("ncr(63,31)", 0, infinity);
        addValue("ncr(5.9,2.9)", 0, 10);
        addValue("ncr(5.5,5.9)", 0, notANumber);
        addValue("ncr(-1,0)", 0, notANumber);
        addValue("ncr(5,-1)", 0, notANumber);
        addValue("ncr(10,0)", 0, 1);
        addValue("ncr(10,10)", 0, 1);
        addValue("ncr(10,7)", 0, 120);
        addValue("ncr(52,5)", 0, 2598960);
        addValue("ncr(4294967295,1)", 0, 4294967295.0);
        addValue("ncr(4294967295,4294967295)", 0, 1);
        addValue("ncr(4294967296,1)", 0, infinity);
        addValue("ncr(x,2)", 6, 15);
        addValue("npr(4,2.5)", 0, 12);
        addValue("npr(5,6)", 0, notANumber);
        addValue("npr(5,2)", 0, 20);
        addValue("npr(10,3)", 0, 720);
        addValue("npr(30,21)", 0, infinity);
        addValue("npr(x,2)", 5, 20);
    }
    void computesFactorialsAndCombinationsOnIntegers() { verifyValue(); }

    void calibratesRawEnergies_data()
    {
        addValueColumns();
        addValue("x*0.125+3.5", 1000, 128.5);
        addValue("2*x", 1000, 2000);
        addValue("x", 4294967295.0, 4294967295.0);
        addValue("0.5+0.25*x+1.5e-5*x^2", 1000,
                 runtime(0.5) + runtime(0.25) * 1000 + runtime(1.5e-5) * std::pow(runtime(1000), 2.0));
        addValue("(x - 12.5) / 3.25", 1000, (runtime(1000) - 12.5) / runtime(3.25));
        addValue("\tx *\r\n 2 ", 21, 42);
    }
    void calibratesRawEnergies() { verifyValue(); }

    void rejectsMalformedTextWhereParsingStops_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("position");
        // Empty input and premature ends stop at the end of the text.
        addError("", 1);
        addError("   ", 3);
        addError("(5+5", 4);
        addError("1+", 2);
        addError("1 +", 3);
        addError("2^", 2);
        addError("-", 1);
        addError("-x-", 3);
        addError("1,", 2);
        addError("(1", 2);
        addError("sin", 3);
        addError("sin(1", 5);
        addError("pi(", 3);
        addError("atan2", 5);
        // Unbalanced or empty parentheses and missing operands.
        addError("1)", 2);
        addError("(1))", 4);
        addError("()", 2);
        addError("^2", 1);
        addError(",1", 1);
        addError("1,,2", 3);
        addError("(1,)", 4);
        addError("2**3", 3);
        addError("2^^3", 3);
        addError("sin()", 5);
        // Operands next to each other.
        addError("2x", 2);
        addError("2(3)", 2);
        addError("x x", 3);
        addError("2 3", 3);
        addError("2pi", 3);
        addError("sin(x)cos(x)", 9);
        addError("x(2)", 2);
        addError("1.2.3", 5);
        // Constants take nothing but "()", two-argument functions exactly two.
        addError("pi(1)", 4);
        addError("pi()()", 5);
        addError("atan2(1)", 8);
        addError("atan2(1,2,3)", 10);
        addError("atan2()", 7);
        addError("atan2 1,2", 7);
        addError("pow 2", 5);
        // Unknown names stop at the end of the whole name.
        addError("foo(1)", 3);
        addError("1 e3", 4);
        addError("inf", 3);
        addError("nan", 3);
        addError("infinity", 8);
        addError("X", 1);
        addError("PI", 2);
        addError("Sin", 3);
        addError("Sin(x)", 3);
        addError("y", 1);
        addError("x1", 2);
        addError("x_1", 3);
        addError("sqr", 3);
        addError("sine", 4);
        addError("sine x", 4);
        addError("sqr 4", 3);
        addError("ta(1)", 2);
        addError("sin2", 4);
        addError("log100", 6);
        // Number tails that are not part of the number.
        addError("1e", 2);
        addError("1.5e", 4);
        addError("1e+", 2);
        addError("0x", 2);
        addError("0xg", 3);
        // A lone '.' stops at its own index (at least 1).
        addError(".", 1);
        addError("1+.", 2);
        addError(".e2", 1);
        addError("pi(.)", 3);
        // Characters outside the token table stop just after themselves.
        addError("1+#", 3);
        addError("3!", 2);
        addError("x\v", 2);
        addError("\fx", 1);
        addError("x\xA0", 2);
        addError("\xB5", 1);
        addError("_x", 1);
        addError("x=1", 2);
        addError("x;", 2);
        addError("$x", 1);
        addError("x[0]", 2);
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

    void endsTheTextAtTheFirstNulByte()
    {
        CalibrationExpression expression;
        QVERIFY(expression.compile(std::string("2*x\0junk", 8)));
        QCOMPARE(expression.evaluate(1000), 2000.0);
        QVERIFY(!expression.compile(std::string("\0x", 2)));
        QCOMPARE(expression.errorPosition(), 1);
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

    void calibratesEveryRawValueLikeTheCompiledFormula()
    {
        CalibrationExpression expression;
        QVERIFY(expression.compile("x*0.125+3.5"));
        int mismatches = 0;
        for (std::uint32_t raw = 0; raw < 70000; ++raw) {
            const double x = runtime(raw);
            if (!sameDouble(expression.evaluate(x), x * 0.125 + 3.5))
                ++mismatches;
        }
        QCOMPARE(mismatches, 0);
    }

    void acceptsLongFlatExpressions()
    {
        CalibrationExpression expression;
        QVERIFY(expression.compile("x" + repeated("+x", 9999)));
        QCOMPARE(expression.evaluate(1), 10000.0);
        QVERIFY(expression.compile(repeated("1+", 10000) + "x"));
        QCOMPARE(expression.evaluate(0.5), 10000.5);
        QVERIFY(expression.compile(repeated("1,", 10000) + "x"));
        QCOMPARE(expression.evaluate(3), 3.0);
        QVERIFY(expression.compile(repeated("-", 10001) + "x"));
        QCOMPARE(expression.evaluate(3), -3.0);

        const double x = runtime(1.001);
        QVERIFY(expression.compile(repeated("x*", 1000) + "1"));
        double product = x;
        for (int i = 1; i < 1000; ++i)
            product = product * x;
        QVERIFY(sameDouble(expression.evaluate(x), product * 1));

        QVERIFY(expression.compile(repeated("sin x+", 5000) + "0"));
        const double s = std::sin(x);
        double sum = s;
        for (int i = 1; i < 5000; ++i)
            sum = sum + s;
        QVERIFY(sameDouble(expression.evaluate(x), sum + 0));
    }

    void acceptsNestingUpToOneHundredLevels()
    {
        CalibrationExpression expression;
        QVERIFY(expression.compile(repeated("(", 100) + "x" + repeated(")", 100)));
        QCOMPARE(expression.evaluate(4), 4.0);
        QVERIFY(expression.compile(repeated("sqrt ", 100) + "x"));
        QCOMPARE(expression.evaluate(1), 1.0);

        QVERIFY(!expression.compile(repeated("(", 101) + "x" + repeated(")", 101)));
        QCOMPARE(expression.errorPosition(), 101);
        QVERIFY(!expression.compile(repeated("sqrt ", 101) + "x"));
        QCOMPARE(expression.errorPosition(), 504);
        QVERIFY(!expression.compile(repeated("(", 100000)));
        QCOMPARE(expression.errorPosition(), 101);
    }

    // Every level keeps four values pending: a sum, a product, a power and the
    // first argument of atan2, all of them computed.
    void evaluatesTheDeepestNestingThatStacksValues()
    {
        std::string text = "x";
        for (int level = 0; level < 99; ++level)
            text = "sin x+sin x*sin x^atan2(sin x," + text + ")";
        CalibrationExpression expression;
        QVERIFY(expression.compile(text));

        const double x = runtime(0.75);
        const double s = std::sin(x);
        double expected = x;
        for (int level = 0; level < 99; ++level)
            expected = s + s * std::pow(s, std::atan2(s, expected));
        QVERIFY(sameDouble(expression.evaluate(x), expected));
    }

    void evaluationDoesNotAllocate()
    {
        CalibrationExpression expression;
        QVERIFY(expression.compile("(x*0.125+3.5)*sin x+atan2(x,(x-1)*(x+1))-fac 5"));

        const long beforeProbe = allocationCount.load();
        auto* probe = new int(7);
        const long afterProbe = allocationCount.load();
        delete probe;
        QCOMPARE(afterProbe, beforeProbe + 1);  // the counter sees allocations

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
