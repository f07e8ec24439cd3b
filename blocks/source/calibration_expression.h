#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A user calibration formula in the raw energy x, compiled once and then
// evaluated per event. The language: numbers (decimal and C hex floats), x,
// pi, e, + - * / % ^, unary signs, the comma operator, and the functions abs
// acos asin atan atan2 ceil cos cosh exp fac floor ln log log10 ncr npr pow
// sin sinh sqrt tan tanh. Unary signs bind tighter than ^, ^ chains to the
// left, one-argument functions take a single signed operand (so `sqrt 4+5` is
// 7), and arithmetic follows IEEE doubles without ever failing at run time.
//
//     CalibrationExpression calibration;
//     if (calibration.compile("x*0.125+3.5"))
//         energy = calibration.evaluate(raw);   // 128.5 for raw == 1000
//
// evaluate() neither allocates nor throws and may run concurrently on one
// object; the text ends at its first NUL byte. Expressions nested more than
// 100 levels deep (parentheses and function calls) are rejected.
class CalibrationExpression {
public:
    bool compile(const std::string& latin1Text);  // false on a syntax error
    bool isValid() const;
    double evaluate(double x) const;               // 0.0 unless compiled

    // After a failed compile: the byte offset just past the token where
    // parsing stopped (at least 1). Otherwise 0.
    int errorPosition() const;

private:
    // One step of the compiled program; the running value lives in an
    // accumulator, and only a compound right operand spills it to a stack.
    enum class Op : std::uint8_t;
    struct Instruction {
        Op op;
        double constant;                   // immediate operand
        double (*unary)(double);           // called function, one argument
        double (*binary)(double, double);  // called function, two arguments
    };
    class Compiler;

    std::vector<Instruction> program_;  // empty unless compiled
    int errorPosition_ = 0;
};
