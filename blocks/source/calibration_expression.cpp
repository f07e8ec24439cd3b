#include "calibration_expression.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <utility>

// Binary operations come in five operand forms, in this order:
//   AccConst: acc = acc op constant      ConstAcc: acc = constant op acc
//   AccX:     acc = acc op x             XAcc:     acc = x op acc
//   StackAcc: acc = popped value op acc
enum class CalibrationExpression::Op : std::uint8_t {
    LoadX, LoadConstant, Push, Negate, CallUnary,
    AddAccConst, AddConstAcc, AddAccX, AddXAcc, AddStackAcc,
    SubAccConst, SubConstAcc, SubAccX, SubXAcc, SubStackAcc,
    MulAccConst, MulConstAcc, MulAccX, MulXAcc, MulStackAcc,
    DivAccConst, DivConstAcc, DivAccX, DivXAcc, DivStackAcc,
    CallAccConst, CallConstAcc, CallAccX, CallXAcc, CallStackAcc,
};

namespace {

using UnaryFunction = double (*)(double);
using BinaryFunction = double (*)(double, double);

constexpr int kMaxNesting = 100;
// Every nesting level keeps at most four values pending (sum, product, ^ and
// the first argument of a two-argument function), so this never runs out.
constexpr int kStackCapacity = 512;
static_assert(kStackCapacity >= 4 * (kMaxNesting + 1), "evaluation stack too small");

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kU32Max = 4294967295.0;
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

double add(double a, double b) { return a + b; }
double subtract(double a, double b) { return a - b; }
double multiply(double a, double b) { return a * b; }
double divide(double a, double b) { return a / b; }
double power(double a, double b) { return std::pow(a, b); }
double modulo(double a, double b) { return std::fmod(a, b); }

// fac, ncr and npr work on truncated unsigned 64-bit integers and give +inf
// as soon as an intermediate product would overflow.
double factorial(double a)
{
    if (std::isnan(a) || a < 0.0)
        return kNaN;
    if (a > kU32Max)
        return kInfinity;
    const auto n = static_cast<std::uint64_t>(a);
    std::uint64_t acc = 1;
    for (std::uint64_t i = 1; i <= n; ++i) {
        if (i > kU64Max / acc)
            return kInfinity;
        acc *= i;
    }
    return static_cast<double>(acc);
}

double combinations(double n, double r)
{
    if (std::isnan(n) || std::isnan(r) || n < 0.0 || r < 0.0 || n < r)
        return kNaN;
    if (n > kU32Max || r > kU32Max)
        return kInfinity;
    const auto whole = static_cast<std::uint64_t>(n);
    auto pick = static_cast<std::uint64_t>(r);
    if (pick > whole / 2)
        pick = whole - pick;
    std::uint64_t acc = 1;
    for (std::uint64_t i = 1; i <= pick; ++i) {
        const std::uint64_t factor = whole - pick + i;
        // Stricter than the exact result needs; kept for identical overflow points.
        if (acc > kU64Max / factor)
            return kInfinity;
        acc *= factor;
        acc /= i;
    }
    return static_cast<double>(acc);
}

double permutations(double n, double r) { return combinations(n, r) * factorial(r); }

enum class NameKind { Constant, Function1, Function2 };

struct Builtin {
    const char* name;
    NameKind kind;
    double constant;
    UnaryFunction unary;
    BinaryFunction binary;
};

constexpr Builtin kBuiltins[] = {
    {"abs", NameKind::Function1, 0, [](double a) { return std::fabs(a); }, nullptr},
    {"acos", NameKind::Function1, 0, [](double a) { return std::acos(a); }, nullptr},
    {"asin", NameKind::Function1, 0, [](double a) { return std::asin(a); }, nullptr},
    {"atan", NameKind::Function1, 0, [](double a) { return std::atan(a); }, nullptr},
    {"atan2", NameKind::Function2, 0, nullptr, [](double y, double x) { return std::atan2(y, x); }},
    {"ceil", NameKind::Function1, 0, [](double a) { return std::ceil(a); }, nullptr},
    {"cos", NameKind::Function1, 0, [](double a) { return std::cos(a); }, nullptr},
    {"cosh", NameKind::Function1, 0, [](double a) { return std::cosh(a); }, nullptr},
    {"e", NameKind::Constant, 2.71828182845904523536, nullptr, nullptr},
    {"exp", NameKind::Function1, 0, [](double a) { return std::exp(a); }, nullptr},
    {"fac", NameKind::Function1, 0, factorial, nullptr},
    {"floor", NameKind::Function1, 0, [](double a) { return std::floor(a); }, nullptr},
    {"ln", NameKind::Function1, 0, [](double a) { return std::log(a); }, nullptr},
    {"log", NameKind::Function1, 0, [](double a) { return std::log10(a); }, nullptr},
    {"log10", NameKind::Function1, 0, [](double a) { return std::log10(a); }, nullptr},
    {"ncr", NameKind::Function2, 0, nullptr, combinations},
    {"npr", NameKind::Function2, 0, nullptr, permutations},
    {"pi", NameKind::Constant, 3.14159265358979323846, nullptr, nullptr},
    {"pow", NameKind::Function2, 0, nullptr, power},
    {"sin", NameKind::Function1, 0, [](double a) { return std::sin(a); }, nullptr},
    {"sinh", NameKind::Function1, 0, [](double a) { return std::sinh(a); }, nullptr},
    {"sqrt", NameKind::Function1, 0, [](double a) { return std::sqrt(a); }, nullptr},
    {"tan", NameKind::Function1, 0, [](double a) { return std::tan(a); }, nullptr},
    {"tanh", NameKind::Function1, 0, [](double a) { return std::tanh(a); }, nullptr},
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Reads the longest number C strtod would accept in the "C" locale, without
// depending on the process locale. Returns the end of the number; for a '.'
// with no digit on either side that is `first` itself, with the value 0.
const char* scanNumber(const char* first, const char* last, double& value)
{
    value = 0.0;
    const bool hex = last - first >= 3 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X')
        && (isHexDigit(first[2]) || (first[2] == '.' && last - first >= 4 && isHexDigit(first[3])));
    const auto isMantissaDigit = hex ? isHexDigit : isDigit;
    const char* const mantissa = hex ? first + 2 : first;

    // Digit counts that tell an overflow from an underflow below.
    std::int64_t integerDigits = 0;  // from the first non-zero digit on
    std::int64_t fractionZeros = 0;  // before the first non-zero digit, if all integer digits are 0
    bool nonZeroSeen = false;
    bool anyDigit = false;
    const char* p = mantissa;
    for (; p < last && isMantissaDigit(*p); ++p) {
        anyDigit = true;
        if (nonZeroSeen || *p != '0') {
            nonZeroSeen = true;
            ++integerDigits;
        }
    }
    if (p < last && *p == '.') {
        for (++p; p < last && isMantissaDigit(*p); ++p) {
            anyDigit = true;
            if (!nonZeroSeen && *p == '0')
                ++fractionZeros;
            else
                nonZeroSeen = true;
        }
    }
    if (!anyDigit)
        return first;

    // An exponent marker without digits after it is not part of the number.
    std::int64_t exponent = 0;
    const char marker = hex ? 'p' : 'e';
    const char upperMarker = hex ? 'P' : 'E';
    if (p < last && (*p == marker || *p == upperMarker)) {
        const char* q = p + 1;
        const bool negative = q < last && *q == '-';
        if (q < last && (*q == '+' || *q == '-'))
            ++q;
        if (q < last && isDigit(*q)) {
            for (; q < last && isDigit(*q); ++q) {
                if (exponent < 1000000000)
                    exponent = exponent * 10 + (*q - '0');
            }
            if (negative)
                exponent = -exponent;
            p = q;
        }
    }

    const auto result = std::from_chars(mantissa, p, value, hex ? std::chars_format::hex : std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // from_chars reports instead of saturating: too large is +inf, too small is 0.
        const std::int64_t digits = integerDigits > 0 ? integerDigits : -fractionZeros;
        value = exponent + (hex ? 4 * digits : digits) > 0 ? kInfinity : 0.0;
    }
    return p;
}

} // namespace

// Recursive descent over the grammar with one token of lookahead. Each
// sub-expression comes back either as a known constant, as the bare variable,
// or as a program that leaves its value in the accumulator; constant parts are
// folded with the same functions evaluation would call.
class CalibrationExpression::Compiler {
public:
    Compiler(const char* text, std::size_t length) : text_(text), length_(length) {}

    bool run(std::vector<Instruction>& program)
    {
        next();
        Operand root = sequence();
        if (token_ != Token::End)
            return false;
        materialize(root);
        program = std::move(root.program);
        return true;
    }

    // Just past the token the parser stopped at; the end for a premature end.
    int errorPosition() const { return std::max(1, static_cast<int>(std::min<std::size_t>(end_, 0x7fffffff))); }

private:
    enum class Token {
        End, Number, Variable, Constant, Function1, Function2,
        Plus, Minus, Times, Divide, Caret, Percent, Open, Close, Comma, Invalid,
    };

    enum class Family { Add, Sub, Mul, Div, Call };
    enum class Form { AccConst, ConstAcc, AccX, XAcc, StackAcc };

    struct Operand {
        enum class Kind { Constant, Variable, Program } kind = Kind::Constant;
        double value = kNaN;
        std::vector<Instruction> program;
        int depth = 0;  // stack slots the program needs
    };

    struct BinaryOperator {
        Family family;
        BinaryFunction function;
    };

    void next()
    {
        while (end_ < length_ && isSpace(text_[end_]))
            ++end_;
        if (end_ == length_) {
            token_ = Token::End;
            return;
        }
        const std::size_t start = end_;
        const char c = text_[start];
        if (isDigit(c) || c == '.') {
            token_ = Token::Number;
            end_ = static_cast<std::size_t>(scanNumber(text_ + start, text_ + length_, number_) - text_);
            return;
        }
        if (isLetter(c)) {
            do
                ++end_;
            while (end_ < length_ && (isLetter(text_[end_]) || isDigit(text_[end_]) || text_[end_] == '_'));
            lookUpName(text_ + start, end_ - start);
            return;
        }
        end_ = start + 1;
        switch (c) {
        case '+': token_ = Token::Plus; break;
        case '-': token_ = Token::Minus; break;
        case '*': token_ = Token::Times; break;
        case '/': token_ = Token::Divide; break;
        case '^': token_ = Token::Caret; break;
        case '%': token_ = Token::Percent; break;
        case '(': token_ = Token::Open; break;
        case ')': token_ = Token::Close; break;
        case ',': token_ = Token::Comma; break;
        default: token_ = Token::Invalid; break;
        }
    }

    void lookUpName(const char* name, std::size_t length)
    {
        const std::string_view word(name, length);
        if (word == "x") {
            token_ = Token::Variable;
            return;
        }
        for (const Builtin& builtin : kBuiltins) {
            if (word == builtin.name) {
                token_ = builtin.kind == NameKind::Constant ? Token::Constant
                    : builtin.kind == NameKind::Function1   ? Token::Function1
                                                            : Token::Function2;
                number_ = builtin.constant;
                unary_ = builtin.unary;
                binary_ = builtin.binary;
                return;
            }
        }
        token_ = Token::Invalid;
    }

    // Stops parsing here: no rule accepts Invalid, so the position stays put.
    void fail() { token_ = Token::Invalid; }

    Operand sequence()
    {
        Operand result = sum();
        // Nothing has side effects, so the values before a comma are dropped.
        while (token_ == Token::Comma) {
            next();
            result = sum();
        }
        return result;
    }

    Operand sum()
    {
        Operand result = product();
        while (token_ == Token::Plus || token_ == Token::Minus) {
            const BinaryOperator op = token_ == Token::Plus ? BinaryOperator{Family::Add, add}
                                                            : BinaryOperator{Family::Sub, subtract};
            next();
            result = combine(op, std::move(result), product());
        }
        return result;
    }

    Operand product()
    {
        Operand result = powerChain();
        while (token_ == Token::Times || token_ == Token::Divide || token_ == Token::Percent) {
            const BinaryOperator op = token_ == Token::Times ? BinaryOperator{Family::Mul, multiply}
                : token_ == Token::Divide                  ? BinaryOperator{Family::Div, divide}
                                                           : BinaryOperator{Family::Call, modulo};
            next();
            result = combine(op, std::move(result), powerChain());
        }
        return result;
    }

    Operand powerChain()
    {
        Operand result = signedPrimary();
        while (token_ == Token::Caret) {
            next();
            result = combine({Family::Call, power}, std::move(result), signedPrimary());
        }
        return result;
    }

    Operand signedPrimary()
    {
        bool negative = false;
        while (token_ == Token::Plus || token_ == Token::Minus) {
            negative ^= token_ == Token::Minus;
            next();
        }
        Operand result = primary();
        if (!negative)
            return result;
        if (result.kind == Operand::Kind::Constant) {
            result.value = -result.value;
            return result;
        }
        materialize(result);
        result.program.push_back({Op::Negate, 0.0, nullptr, nullptr});
        return result;
    }

    Operand primary()
    {
        Operand result;
        switch (token_) {
        case Token::Number:
            result.value = number_;
            next();
            return result;
        case Token::Variable:
            result.kind = Operand::Kind::Variable;
            next();
            return result;
        case Token::Constant:
            // pi and e may be written as calls without arguments.
            result.value = number_;
            next();
            if (token_ == Token::Open) {
                next();
                if (token_ == Token::Close)
                    next();
                else
                    fail();
            }
            return result;
        case Token::Function1:
        case Token::Function2:
        case Token::Open:
            if (nesting_ == kMaxNesting) {
                fail();
                return result;
            }
            ++nesting_;
            result = nested();
            --nesting_;
            return result;
        default:
            fail();
            return result;
        }
    }

    Operand nested()
    {
        if (token_ == Token::Open) {
            next();
            Operand inner = sequence();
            if (token_ == Token::Close)
                next();
            else
                fail();
            return inner;
        }
        if (token_ == Token::Function1) {
            const UnaryFunction function = unary_;
            next();
            Operand argument = signedPrimary();
            if (argument.kind == Operand::Kind::Constant) {
                argument.value = function(argument.value);
                return argument;
            }
            materialize(argument);
            argument.program.push_back({Op::CallUnary, 0.0, function, nullptr});
            return argument;
        }
        // A two-argument function: "(" sum "," sum ")".
        const BinaryFunction function = binary_;
        next();
        if (token_ != Token::Open) {
            fail();
            return {};
        }
        Operand arguments[2];
        int i = 0;
        for (; i < 2; ++i) {
            next();
            arguments[i] = sum();
            if (token_ != Token::Comma)
                break;
        }
        if (token_ != Token::Close || i != 1) {
            fail();
            return {};
        }
        next();
        return combine({Family::Call, function}, std::move(arguments[0]), std::move(arguments[1]));
    }

    static void materialize(Operand& operand)
    {
        if (operand.kind == Operand::Kind::Constant)
            operand.program.push_back({Op::LoadConstant, operand.value, nullptr, nullptr});
        else if (operand.kind == Operand::Kind::Variable)
            operand.program.push_back({Op::LoadX, 0.0, nullptr, nullptr});
        operand.kind = Operand::Kind::Program;
    }

    static void emit(Operand& target, BinaryOperator op, Form form, double constant)
    {
        static constexpr Op kFirst[] = {Op::AddAccConst, Op::SubAccConst, Op::MulAccConst, Op::DivAccConst, Op::CallAccConst};
        const auto code = static_cast<Op>(static_cast<int>(kFirst[static_cast<int>(op.family)]) + static_cast<int>(form));
        target.program.push_back({code, constant, nullptr, op.function});
    }

    Operand combine(BinaryOperator op, Operand left, Operand right)
    {
        using Kind = Operand::Kind;
        if (left.kind == Kind::Constant && right.kind == Kind::Constant) {
            left.value = op.function(left.value, right.value);
            return left;
        }
        if (right.kind != Kind::Program) {
            materialize(left);
            emit(left, op, right.kind == Kind::Constant ? Form::AccConst : Form::AccX, right.value);
            return left;
        }
        if (left.kind != Kind::Program) {
            emit(right, op, left.kind == Kind::Constant ? Form::ConstAcc : Form::XAcc, left.value);
            return right;
        }
        left.program.push_back({Op::Push, 0.0, nullptr, nullptr});
        left.program.insert(left.program.end(), right.program.begin(), right.program.end());
        emit(left, op, Form::StackAcc, 0.0);
        left.depth = std::max(left.depth, right.depth + 1);
        if (left.depth > kStackCapacity)
            fail();
        return left;
    }

    const char* const text_;
    const std::size_t length_;
    std::size_t end_ = 0;  // just past the lookahead token
    Token token_ = Token::End;
    double number_ = 0.0;  // value of a Number or Constant token
    UnaryFunction unary_ = nullptr;
    BinaryFunction binary_ = nullptr;
    int nesting_ = 0;
};

bool CalibrationExpression::compile(const std::string& latin1Text)
{
    program_.clear();
    // The text ends at its first NUL byte, as a C string would.
    Compiler compiler(latin1Text.c_str(), std::min(latin1Text.size(), latin1Text.find('\0')));
    if (!compiler.run(program_)) {
        program_.clear();
        errorPosition_ = compiler.errorPosition();
        return false;
    }
    program_.shrink_to_fit();
    errorPosition_ = 0;
    return true;
}

bool CalibrationExpression::isValid() const
{
    // Every compiled program loads at least one value.
    return !program_.empty();
}

int CalibrationExpression::errorPosition() const
{
    return errorPosition_;
}

#define QUARIX_BINARY_FORMS(Name, apply)                                     \
    case Op::Name##AccConst: acc = apply(acc, step.constant); break;         \
    case Op::Name##ConstAcc: acc = apply(step.constant, acc); break;         \
    case Op::Name##AccX: acc = apply(acc, x); break;                         \
    case Op::Name##XAcc: acc = apply(x, acc); break;                         \
    case Op::Name##StackAcc: acc = apply(stack[--top], acc); break;

#define QUARIX_ADD(a, b) ((a) + (b))
#define QUARIX_SUB(a, b) ((a) - (b))
#define QUARIX_MUL(a, b) ((a) * (b))
#define QUARIX_DIV(a, b) ((a) / (b))
#define QUARIX_CALL(a, b) step.binary((a), (b))

double CalibrationExpression::evaluate(double x) const
{
    double stack[kStackCapacity];
    int top = 0;
    double acc = 0.0;  // also the result of an expression that did not compile
    for (const Instruction& step : program_) {
        switch (step.op) {
        case Op::LoadX: acc = x; break;
        case Op::LoadConstant: acc = step.constant; break;
        case Op::Push: stack[top++] = acc; break;
        case Op::Negate: acc = -acc; break;
        case Op::CallUnary: acc = step.unary(acc); break;
        QUARIX_BINARY_FORMS(Add, QUARIX_ADD)
        QUARIX_BINARY_FORMS(Sub, QUARIX_SUB)
        QUARIX_BINARY_FORMS(Mul, QUARIX_MUL)
        QUARIX_BINARY_FORMS(Div, QUARIX_DIV)
        QUARIX_BINARY_FORMS(Call, QUARIX_CALL)
        }
    }
    return acc;
}

#undef QUARIX_BINARY_FORMS
#undef QUARIX_ADD
#undef QUARIX_SUB
#undef QUARIX_MUL
#undef QUARIX_DIV
#undef QUARIX_CALL
