// Evaluation of CFormula programs: operators, functions, errors, status and
// variables; and the shared random generator behind "rand(".
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "common/bessel.h"
#include "formula/formula.h"
#include "formula/random.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInt64MinValue = -9223372036854775808.0;
constexpr uint32_t kSlotX = 'x' - 'A';

// Doubles compare by their bits, so -0 differs from 0. A NaN matches any NaN
// of the same sign (payloads depend on the processor).
::testing::AssertionResult SameBits(double expected, double actual) {
    uint64_t e, a;
    std::memcpy(&e, &expected, sizeof e);
    std::memcpy(&a, &actual, sizeof a);
    if (e == a) return ::testing::AssertionSuccess();
    if (std::isnan(expected) && std::isnan(actual) &&
        std::signbit(expected) == std::signbit(actual)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "expected " << expected << " (0x" << std::hex << e
                                         << "), got " << actual << " (0x" << a << ")";
}

struct ValueCase {
    const char* text;
    double expected;
};

// Fresh object per case; every case must evaluate without error.
void ExpectValues(const ValueCase* cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(cases[i].text);
        CFormula formula;
        const double value = formula.Calculate(cases[i].text);
        EXPECT_EQ(formula.status, 0);
        EXPECT_TRUE(SameBits(cases[i].expected, value));
    }
}

template <size_t N>
void ExpectValues(const ValueCase (&cases)[N]) {
    ExpectValues(cases, N);
}

TEST(FormulaEvaluate, Arithmetic) {
    const ValueCase cases[] = {
        {"1+2*3", 7},
        {"(1+2)*3", 9},
        {"10-4-3", 3},
        {"64/4/2", 8},
        {"2*3%4", 2},
        {"7%3", 1},
        {"-7%3", -1},
        {"7.5%(-2)", 1.5},
        {"2^3^2", 512},
        {"-2^2", -4},
        {"(-2)^2", 4},
        {"2^0.5", std::sqrt(2.0)},
        {"--3", 3},
        {"+-3", -3},
        {"-+3", -3},
        {"2*(-3)", -6},
        {"2+-3", -1},
        {"2--3", 5},
        {"0.1+0.2", 0.1 + 0.2},
        {"-0", -0.0},
        {"0", 0.0},
        {"-(-0)", 0.0},
        {"0*(-1)", -0.0},
        {"1e308*10", HUGE_VAL},  // overflow of * is no maths-library error
    };
    ExpectValues(cases);
}

TEST(FormulaEvaluate, Comparisons) {
    const ValueCase cases[] = {
        {"(1<2)+(2<=2)+(3==3)", 3},
        {"1>2", 0},
        {"2>1", 1},
        {"2>=2", 1},
        {"1>=2", 0},
        {"2<1", 0},
        {"3<=2", 0},
        {"1==2", 0},
        {"1!=2", 1},
        {"2!=2", 0},
        {"-0==0", 1},
        {"1<2==1", 1},
        {"1+1==2", 1},
        // '!' without '=' is greater-than, "!>" a shift right.
        {"2!1", 1},
        {"1!2", 0},
        {"8!>1", 4},
    };
    ExpectValues(cases);
}

TEST(FormulaEvaluate, Logical) {
    const ValueCase cases[] = {
        {"0||0", 0}, {"0||3", 1},    {"-2||0", 1},   {"2&&-1", 1},   {"2&&0", 0},
        {"0&&0", 0}, {"0||0&&1", 0}, {"1||0&&0", 1}, {"1<<1||0", 1},
    };
    ExpectValues(cases);
}

TEST(FormulaEvaluate, BitwiseAndShifts) {
    const ValueCase cases[] = {
        {"5.9|0", 5},
        {"-5.9|0", -5},
        {"6&3", 2},
        {"6|3", 7},
        {"1|2&3", 3},
        {"1<<3", 8},
        {"-8>>1", -4},
        {"-7>>1", -4},
        {"7>>1", 3},
        {"1<<63", kInt64MinValue},
        {"1<<64", 0},
        {"1<<256", 1},  // the count's low 8 bits are 0
        {"1<<257", 2},
        {"1<<-1", 0},  // count 255
        {"-1>>100", -1},
        {"1>>64", 0},
        {"-1>>63", -1},
        {"1+2<<1", 6},
        {"4611686018427387904<<1", kInt64MinValue},  // 2^62 wraps into the sign bit
        {"3<<62", -4611686018427387904.0},
        {"9007199254740993|0", 9007199254740992.0},
        // int64 of values outside the 64-bit range is -2^63.
        {"1e19|0", kInt64MinValue},
        {"-1e19|0", kInt64MinValue},
        {"9223372036854775807|0", kInt64MinValue},  // the text rounds to 2^63
        {"-9223372036854774784|0", -9223372036854774784.0},
        {"9223372036854774784|0", 9223372036854774784.0},  // largest double below 2^63
        {"1e400&-1", kInt64MinValue},
    };
    ExpectValues(cases);
}

// A NaN is no error: it flows through and counts as non-zero.
TEST(FormulaEvaluate, NotANumberOperands) {
    const ValueCase cases[] = {
        {"x+1", kNaN},
        {"-x", -kNaN},
        {"sqrt(x)", kNaN},
        {"x||0", 1},
        {"x&&1", 1},
        {"x==x", 0},
        {"x!=x", 1},
        {"x>0", 0},
        {"x>=0", 0},
        {"x<0", 0},
        {"x<=0", 0},
        {"x|0", kInt64MinValue},
        {"0|x", kInt64MinValue},
        {"1<<x", 1},  // count: low 8 bits of -2^63 are 0
        {"x>>70", -1},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.text);
        CFormula formula;
        formula.SetVariable(kSlotX, kNaN);
        const double value = formula.Calculate(c.text);
        EXPECT_EQ(formula.status, 0);
        EXPECT_TRUE(SameBits(c.expected, value));
    }
}

// Read at run time, so the compiler cannot fold the expected values with its
// own (differently rounded) maths.
volatile double g_point_seven = 0.7;
volatile double g_half = 0.5;

// Each name calls its own maths function.
TEST(FormulaEvaluate, LibraryFunctions) {
    const double x = g_point_seven;
    const ValueCase cases[] = {
        {"ceil(1.5)", 2},
        {"ceil(-1.5)", -1},
        {"floor(1.5)", 1},
        {"floor(-1.5)", -2},
        {"abs(-3)", 3},
        {"abs(-0)", 0.0},
        {"sqrt(16)", 4},
        {"sqrt(0.7)", std::sqrt(x)},
        {"exp(0.7)", std::exp(x)},
        {"log(0.7)", std::log(x)},
        {"log10(1000)", 3},
        {"log10(0.7)", std::log10(x)},
        {"sin(0.7)", std::sin(x)},
        {"cos(0.7)", std::cos(x)},
        {"tan(0.7)", std::tan(x)},
        {"asin(0.7)", std::asin(x)},
        {"acos(0.7)", std::acos(x)},
        {"atan(0.7)", std::atan(x)},
        {"sinh(0.7)", std::sinh(x)},
        {"cosh(0.7)", std::cosh(x)},
        {"tanh(0.7)", std::tanh(x)},
        {"j0(0.7)", bessel::J0(x)},
        {"j1(0.7)", bessel::J1(x)},
        {"y0(0.7)", bessel::Y0(x)},
        {"y1(0.7)", bessel::Y1(x)},
        {"sin(0)", 0},
        {"-sin(0)", -0.0},
        {"floor(1.5)^2", 1},  // not floor(2.25)
        {"sin(sqrt(0))+cos(0)", 1},
    };
    ExpectValues(cases);
}

// The inverse hyperbolic functions follow their logarithm formulas.
TEST(FormulaEvaluate, InverseHyperbolic) {
    const double half = g_half;
    const ValueCase cases[] = {
        {"asinh(0.5)", std::log(half + std::sqrt(half * half + 1))},
        {"asinh(3)", std::log(6 * half + std::sqrt(36 * half * half + 1))},
        {"asinh(0)", 0.0},
        {"asinh(-0.5)", -std::log(half + std::sqrt(half * half + 1))},
        {"acosh(1)", 0.0},
        {"acosh(2)", std::log(4 * half + std::sqrt(16 * half * half - 1))},
        {"atanh(0.5)", 0.5 * std::log((1 + half) / (1 - half))},
        {"atanh(-0.25)", 0.5 * std::log((1 - half / 2) / (1 + half / 2))},
        {"atanh(0)", 0.0},
    };
    ExpectValues(cases);

    // Far from 0 the formulas lose the result (cancellation, or a square that
    // overflows); the values stay those of the function.
    struct NearCase {
        const char* text;
        double expected;
    } near_cases[] = {
        {"asinh(-1e9)", std::asinh(-1e9)},   {"asinh(-1e4)", std::asinh(-1e4)},
        {"asinh(1e200)", std::asinh(1e200)}, {"asinh(-1e200)", std::asinh(-1e200)},
        {"acosh(1e200)", std::acosh(1e200)},
    };
    for (const NearCase& c : near_cases) {
        SCOPED_TRACE(c.text);
        CFormula formula;
        EXPECT_NEAR(formula.Calculate(c.text), c.expected, std::fabs(c.expected) * 1e-14);
        EXPECT_EQ(formula.status, 0);
    }
}

// Errors reported through errno end the evaluation with 0 and status 2.
TEST(FormulaEvaluate, DomainAndRangeErrors) {
    const char* const texts[] = {
        "1/0",
        "0/0",
        "1/(-0)",
        "1/x",
        "sqrt(-1)",
        "asin(2)",
        "acos(-1.5)",
        "log(0)",
        "log(-1)",
        "log10(0)",
        "acosh(0.5)",
        "acosh(-3)",
        "atanh(1)",
        "atanh(-1)",
        "atanh(2)",
        "7%0",
        "10^400",
        "0^(-1)",
        "(-8)^(1/3)",
        "exp(1000)",
        "cosh(1000)",
        "y0(0)",
        "y1(-1)",
        "sin(1e400)",
        "cos(-1e400)",
        "tan(1e400)",
        "1+2*sqrt(-1)+3",  // the error stops evaluation part-way
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        CFormula formula;
        EXPECT_TRUE(SameBits(0.0, formula.Calculate(text)));
        EXPECT_EQ(formula.status, 2);
    }
}

TEST(FormulaEvaluate, AssignmentsAndSequences) {
    CFormula formula;
    EXPECT_EQ(formula.Calculate("1,2"), 2.0);
    EXPECT_EQ(formula.Calculate("A=3,A*2"), 6.0);
    EXPECT_EQ(formula.variables[0], 3.0);
    EXPECT_EQ(formula.Calculate("B=C=4"), 4.0);
    EXPECT_EQ(formula.variables[1], 4.0);
    EXPECT_EQ(formula.variables[2], 4.0);
    EXPECT_EQ(formula.Calculate("1+(D=2)*3"), 7.0);
    EXPECT_EQ(formula.variables[3], 2.0);
    EXPECT_EQ(formula.Calculate("a = -5"), -5.0);
    EXPECT_EQ(formula.variables['a' - 'A'], -5.0);
    EXPECT_EQ(formula.Calculate("a==-5"), 1.0);
    // Assignments persist into later evaluations of the same object.
    EXPECT_EQ(formula.Calculate("a*2"), -10.0);
    EXPECT_EQ(formula.Calculate("_=1,`=2,_+`"), 3.0);
    EXPECT_EQ(formula.variables[30], 1.0);
    EXPECT_EQ(formula.variables[31], 2.0);
    // Operands of a sequence are evaluated left to right.
    EXPECT_EQ(formula.Calculate("E=1,E=E+1,E*10"), 20.0);
}

TEST(FormulaEvaluate, UnsetSlotsReadZero) {
    CFormula formula;
    for (int slot = 0; slot < CFormula::kVariableCount; ++slot) {
        EXPECT_TRUE(SameBits(0.0, formula.variables[slot])) << slot;
    }
    EXPECT_TRUE(SameBits(0.0, formula.Calculate("[+\\+]+_+`+A+z")));
}

TEST(FormulaStatus, EvaluationErrorBlocksUntilSetVariable) {
    CFormula formula;
    ASSERT_EQ(formula.Compile("A=A+1,10/x"), 0);
    EXPECT_EQ(formula.Evaluate(), 0.0);
    EXPECT_EQ(formula.status, 2);
    EXPECT_EQ(formula.variables[0], 1.0);

    // Blocked: the program does not run again.
    EXPECT_EQ(formula.Evaluate(), 0.0);
    EXPECT_EQ(formula.variables[0], 1.0);

    // An ignored index changes nothing.
    formula.SetVariable(CFormula::kVariableCount, 5);
    EXPECT_EQ(formula.status, 2);
    formula.SetVariable(0xFFFFFFFFu, 5);
    EXPECT_EQ(formula.status, 2);

    formula.SetVariable(kSlotX, 4);
    EXPECT_EQ(formula.status, 0);
    EXPECT_EQ(formula.Evaluate(), 2.5);
    EXPECT_EQ(formula.variables[0], 2.0);
    // The program stays and sees new values.
    formula.SetVariable(kSlotX, 5);
    EXPECT_EQ(formula.Evaluate(), 2.0);
}

TEST(FormulaStatus, CompileErrorBlocksUntilCompile) {
    CFormula formula;
    EXPECT_EQ(formula.status, 0);
    EXPECT_EQ(formula.Evaluate(), 0.0);  // the empty program of a new object

    EXPECT_EQ(formula.Compile("3x"), 1);
    formula.SetVariable(kSlotX, 1);
    EXPECT_EQ(formula.status, 1);  // only an evaluation error is cleared
    EXPECT_EQ(formula.Evaluate(), 0.0);
    EXPECT_EQ(formula.status, 1);

    EXPECT_EQ(formula.Calculate("x+1"), 2.0);
    EXPECT_EQ(formula.status, 0);
    EXPECT_EQ(formula.Calculate("3x"), 0.0);
    EXPECT_EQ(formula.status, 1);
    EXPECT_EQ(formula.Calculate("1/0"), 0.0);
    EXPECT_EQ(formula.status, 2);
    // Calculate compiles first, so an earlier error never blocks it.
    EXPECT_TRUE(SameBits(0.0, formula.Calculate("")));
    EXPECT_EQ(formula.status, 0);
    EXPECT_EQ(formula.Calculate(nullptr), 0.0);
    EXPECT_EQ(formula.status, 0);
}

TEST(FormulaStatus, SetVariableRange) {
    CFormula formula;
    formula.SetVariable(57, 9);
    EXPECT_EQ(formula.Calculate("z"), 9.0);
    formula.SetVariable(26, 1);
    EXPECT_EQ(formula.Calculate("["), 1.0);

    CFormula before;
    std::memcpy(before.variables, formula.variables, sizeof before.variables);
    formula.SetVariable(58, 5);
    formula.SetVariable(1000, 5);
    EXPECT_EQ(std::memcmp(before.variables, formula.variables, sizeof before.variables), 0);
}

// The shared generator reproduces the classic 15-bit sequence from x = 1.
TEST(Random, SequenceFromSeedOne) {
    RandomState state{1};
    const int32_t expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464};
    for (int32_t value : expected)
        EXPECT_EQ(RandomNext(&state), value);
}

TEST(Random, RandFunctionDrawsFromSharedGenerator) {
    RandomState* shared = SharedRandom();
    ASSERT_EQ(shared, SharedRandom());
    const RandomState saved = *shared;
    shared->x = 1;

    CFormula formula;
    EXPECT_EQ(formula.Calculate("rand(32767)"), 41.0);  // r * 32767 / 32767
    EXPECT_EQ(formula.Calculate("rand(0)"), 0.0);       // draws 18467
    EXPECT_EQ(formula.Calculate("rand(-32767)"), -6334.0);
    EXPECT_EQ(formula.Calculate("rand(10)"), 26500.0 * 10 / 32767);
    EXPECT_EQ(SharedRandomNext(), 19169);
    for (int i = 0; i < 200; ++i) {
        const double value = formula.Calculate("rand(10)");
        ASSERT_GE(value, 0.0);
        ASSERT_LE(value, 10.0);
    }
    *shared = saved;
}

}  // namespace

namespace {

// A program kept from one object's Compile and run by another object gives
// what Calculate of the text gives: the value (bit for bit), the status and
// every variable slot, including assignments and the shared generator's draws.
TEST(FormulaKeptProgram, RunsLikeCalculate) {
    const char* texts[] = {
        "1+2*3",      "A=3,A*2", "B=C=4", "1/0",   "sqrt(-1)", "",          "   ",   "()",
        "3x",         "2*-3",    "x(2)",  "-0",    "1<<64",    "a+b*c",     "k=k+1", "rand(10)",
        "acosh(0.5)", "(1",      "1)",    "2^3^2", "5.9|0",    "atan(1)*4",
    };
    CFormula compiler;
    for (const char* text : texts) {
        std::vector<FormulaToken> kept;
        if (compiler.Compile(text) == 0) {
            kept.assign(compiler.program, compiler.program + compiler.ProgramLength());
            EXPECT_EQ(kept.back().code, 0u) << text;
        }
        CFormula calculated, run;
        for (CFormula* f : {&calculated, &run}) {
            for (uint32_t slot = 0; slot < CFormula::kVariableCount; ++slot)
                f->SetVariable(slot, 0.25 * slot);
        }
        // Twice each, from the same generator state: a failure of the first
        // run does not block the second.
        uint32_t seed = SharedRandom()->x;
        double a1 = calculated.Calculate(text);
        double a2 = calculated.Calculate(text);
        uint32_t after = SharedRandom()->x;
        SharedRandom()->x = seed;
        const FormulaToken* program = kept.empty() ? nullptr : kept.data();
        double b1 = run.Run(program);
        double b2 = run.Run(program);
        EXPECT_EQ(SharedRandom()->x, after) << text;
        EXPECT_EQ(std::memcmp(&a1, &b1, sizeof a1), 0) << text;
        EXPECT_EQ(std::memcmp(&a2, &b2, sizeof a2), 0) << text;
        EXPECT_EQ(calculated.status, run.status) << text;
        EXPECT_EQ(std::memcmp(calculated.variables, run.variables, sizeof run.variables), 0)
            << text;
    }
}

}  // namespace
