// Where the maths functions and operators of CFormula fail: the boundaries of
// every rule, and (with the GNU C library) the rules against the library's
// own errno reports over many arguments.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/bessel.h"
#include "formula/formula.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A formula whose x is +infinity, y -infinity and n a NaN.
struct Evaluation {
    double value;
    bool failed;
};
Evaluation Evaluate(const std::string& text, double x = kInf) {
    CFormula formula;
    formula.SetVariable('x' - 'A', x);
    formula.SetVariable('y' - 'A', -kInf);
    formula.SetVariable('n' - 'A', kNaN);
    double value = formula.Calculate(text.c_str());
    return {value, formula.status == 2};
}

// Each rule on both sides of its boundary; true where the call fails.
TEST(FormulaFailures, BoundariesOfEveryRule) {
    struct Case {
        const char* text;
        bool fails;
    };
    const Case cases[] = {
        // sqrt: below zero; -0 and NaN pass
        {"sqrt(-1e-310)", true},
        {"sqrt(-0)", false},
        {"sqrt(n)", false},
        {"sqrt(y)", true},
        // log, log10: below zero, and the pole at zero of either sign
        {"log(-0)", true},
        {"log(0)", true},
        {"log(1e-310)", false},
        {"log(y)", true},
        {"log(x)", false},
        {"log10(-1)", true},
        {"log10(0)", true},
        {"log10(n)", false},
        // exp: overflow to infinity, underflow to zero (a subnormal result passes)
        {"exp(709.7)", false},
        {"exp(709.8)", true},
        {"exp(-745)", false},
        {"exp(-745.2)", true},
        {"exp(x)", false},
        {"exp(y)", false},
        // sinh, cosh: overflow
        {"sinh(710)", false},
        {"sinh(-711)", true},
        {"cosh(710)", false},
        {"cosh(-711)", true},
        {"cosh(y)", false},
        {"sinh(x)", false},
        // sin, cos, tan: an infinite argument
        {"sin(x)", true},
        {"cos(y)", true},
        {"tan(x)", true},
        {"sin(1e300)", false},
        {"tan(n)", false},
        // asin, acos: outside -1..1
        {"asin(1)", false},
        {"asin(-1)", false},
        {"asin(1.0000001)", true},
        {"acos(-1.0000001)", true},
        {"acos(n)", false},
        // functions that never fail
        {"atan(x)", false},
        {"tanh(y)", false},
        {"ceil(x)", false},
        {"abs(y)", false},
        {"asinh(y)", false},
        {"j0(x)", false},
        {"j0(1e300)", false},
        // acosh, atanh
        {"acosh(1)", false},
        {"acosh(0.9999999)", true},
        {"acosh(n)", false},
        {"atanh(0.9999999)", false},
        {"atanh(-1)", true},
        {"atanh(n)", false},
        // j1: underflow to zero next to zero
        {"j1(5e-324)", true},
        {"j1(1e-310)", false},
        {"j1(-0)", false},
        // y0, y1: below zero, the pole at zero, overflow next to it
        {"y0(0)", true},
        {"y0(-0)", true},
        {"y0(-1e-300)", true},
        {"y1(y)", true},
        {"y0(1e-310)", false},
        {"y1(1e-310)", true},
        {"y1(1e-300)", false},
        {"y0(x)", false},
        {"y1(n)", false},
        // /: a zero divisor of either sign, whatever the dividend
        {"1/0", true},
        {"n/0", true},
        {"x/(-0)", true},
        {"1/x", false},
        // %: a zero divisor or an infinite dividend; NaN operands pass
        {"7%0", true},
        {"7%(-0)", true},
        {"0%0", true},
        {"x%2", true},
        {"y%2", true},
        {"7%x", false},
        {"n%0", false},
        {"x%n", false},
        // ^: NaN from finite operands, the pole of 0, overflow, underflow to zero
        {"10^308", false},
        {"10^309", true},
        {"(-2)^1025", true},
        {"2^(-1074)", false},
        {"2^(-1075)", true},
        {"(1e-200)^2", true},
        {"0^(-1)", true},
        {"(-0)^(-3)", true},
        {"0^0", false},
        {"0^2", false},
        {"(-8)^(1/3)", true},
        {"(-8)^3", false},
        {"0^y", false},
        {"x^(-1)", false},
        {"(-1)^x", false},
        {"1^n", false},
        {"n^0", false},
        {"(-x)^0.5", false},
    };
    for (const Case& c : cases) {
        Evaluation e = Evaluate(c.text);
        EXPECT_EQ(e.failed, c.fails) << c.text << " gives " << e.value;
        if (e.failed) {
            EXPECT_EQ(e.value, 0.0) << c.text;
        }
    }
}

// A successful call gives exactly the library's value.
TEST(FormulaFailures, SuccessfulResultsAreTheLibrarysOwn) {
    struct Case {
        const char* text;
        double (*function)(double);
        double x;
    };
    const Case cases[] = {
        {"exp(x)", ::exp, -745.0},   {"exp(x)", ::exp, 709.7},      {"log(x)", ::log, 1e-310},
        {"cosh(x)", ::cosh, -710.0}, {"j1(x)", bessel::J1, 1e-310}, {"y0(x)", bessel::Y0, 1e-310},
        {"sin(x)", ::sin, 1e300},    {"asin(x)", ::asin, -1.0},
    };
    for (const Case& c : cases) {
        Evaluation e = Evaluate(c.text, c.x);
        EXPECT_FALSE(e.failed) << c.text << " at " << c.x;
        EXPECT_EQ(e.value, c.function(c.x)) << c.text << " at " << c.x;
    }
}

#ifdef __GLIBC__

// Arguments around every boundary and over the whole range of magnitudes.
std::vector<double> Arguments() {
    std::vector<double> v = {0.0,
                             -0.0,
                             kInf,
                             -kInf,
                             kNaN,
                             1.0,
                             -1.0,
                             0.5,
                             -0.5,
                             2.0,
                             4.9406564584124654e-324,
                             -4.9406564584124654e-324,
                             1e-310,
                             1e-300,
                             2.2250738585072014e-308,
                             709.78,
                             709.79,
                             710.4,
                             710.5,
                             -745.13,
                             -745.14,
                             -708.4,
                             1e16,
                             1e300,
                             1.7976931348623157e308};
    std::mt19937_64 random(2024);
    std::uniform_real_distribution<double> exponent(-330.0, 310.0);
    for (int i = 0; i < 400; ++i) {
        double value = std::pow(10.0, exponent(random));
        v.push_back(random() % 2 != 0 ? -value : value);
    }
    for (int i = 0; i < 200; ++i)
        v.push_back(std::uniform_real_distribution<double>(-800.0, 800.0)(random));
    return v;
}

// errno after one call of the library function (through a pointer, so that
// the compiler keeps the call and its errno).
int LibraryErrno(double (*volatile function)(double), double x) {
    errno = 0;
    volatile double result = function(x);
    (void)result;
    return errno;
}
int LibraryErrno(double (*volatile function)(double, double), double a, double b) {
    errno = 0;
    volatile double result = function(a, b);
    (void)result;
    return errno;
}

TEST(FormulaFailures, FunctionRulesAgreeWithTheLibrarysErrno) {
    struct Function {
        const char* name;
        double (*function)(double);
    };
    const Function functions[] = {
        {"ceil", ::ceil}, {"floor", ::floor}, {"abs", ::fabs},  {"sqrt", ::sqrt}, {"exp", ::exp},
        {"log", ::log},   {"log10", ::log10}, {"sin", ::sin},   {"cos", ::cos},   {"tan", ::tan},
        {"asin", ::asin}, {"acos", ::acos},   {"atan", ::atan}, {"sinh", ::sinh}, {"cosh", ::cosh},
        {"tanh", ::tanh}, {"j0", ::j0},       {"j1", ::j1},     {"y0", ::y0},     {"y1", ::y1},
    };
    const std::vector<double> arguments = Arguments();
    for (const Function& f : functions) {
        const std::string text = std::string(f.name) + "(x)";
        for (double x : arguments) {
            EXPECT_EQ(Evaluate(text, x).failed, LibraryErrno(f.function, x) != 0)
                << f.name << "(" << x << ")";
        }
    }
}

TEST(FormulaFailures, OperatorRulesAgreeWithTheLibrarysErrno) {
    const std::vector<double> all = Arguments();
    const std::vector<double> arguments(all.begin(), all.begin() + 120);
    for (double a : arguments) {
        for (double b : arguments) {
            CFormula formula;
            formula.SetVariable('a' - 'A', a);
            formula.SetVariable('b' - 'A', b);
            formula.Calculate("a%b");
            EXPECT_EQ(formula.status == 2, LibraryErrno(::fmod, a, b) != 0)
                << "fmod(" << a << ", " << b << ")";
            formula.Calculate("a^b");
            EXPECT_EQ(formula.status == 2, LibraryErrno(::pow, a, b) != 0)
                << "pow(" << a << ", " << b << ")";
        }
    }
}

#endif

}  // namespace
