// Compiler of CFormula: tokenizer, conversion to postfix order and validation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formula/formula.h"

namespace {

// Postfix programs are checked by their token codes.
constexpr uint32_t kNumber = 0xEE00;
constexpr uint32_t kSequence = 0x2200;
constexpr uint32_t kBitOr = 0x5502;
constexpr uint32_t kBitAnd = 0x6603;
constexpr uint32_t kLogicalOr = 0x3300;
constexpr uint32_t kLogicalAnd = 0x4401;
constexpr uint32_t kEqual = 0x7704;
constexpr uint32_t kNotEqual = 0x7705;
constexpr uint32_t kGreater = 0x8806;
constexpr uint32_t kGreaterEqual = 0x8807;
constexpr uint32_t kLess = 0x8808;
constexpr uint32_t kLessEqual = 0x8809;
constexpr uint32_t kShiftLeft = 0x990A;
constexpr uint32_t kShiftRight = 0x990B;
constexpr uint32_t kAdd = 0xAA0C;
constexpr uint32_t kSubtract = 0xAA0D;
constexpr uint32_t kMultiply = 0xBB0E;
constexpr uint32_t kDivide = 0xBB0F;
constexpr uint32_t kRemainder = 0xBB10;
constexpr uint32_t kPower = 0xCD11;
constexpr uint32_t kNegate = 0xBB12;
constexpr uint32_t kSin = 0xDF07;
constexpr uint32_t kLog10 = 0xDF06;
constexpr uint32_t kRand = 0xDF17;

constexpr uint32_t Variable(char c) {
    return 0xEE01 + static_cast<uint32_t>(c - 'A');
}
constexpr uint32_t Assign(char c) {
    return 0x2F00 + static_cast<uint32_t>(c - 'A');
}

std::vector<uint32_t> ProgramCodes(const CFormula& formula) {
    std::vector<uint32_t> codes;
    for (int i = 0; i < CFormula::kProgramSize && formula.program[i].code != 0; ++i) {
        codes.push_back(formula.program[i].code);
    }
    return codes;
}

struct ProgramCase {
    const char* text;
    std::vector<uint32_t> codes;
};

// Precedence and grouping show in the postfix order.
TEST(FormulaCompile, PostfixOrder) {
    const ProgramCase cases[] = {
        {"1+2*3", {kNumber, kNumber, kNumber, kMultiply, kAdd}},
        {"(1+2)*3", {kNumber, kNumber, kAdd, kNumber, kMultiply}},
        {"a-b-c", {Variable('a'), Variable('b'), kSubtract, Variable('c'), kSubtract}},
        {"a/b%c", {Variable('a'), Variable('b'), kDivide, Variable('c'), kRemainder}},
        {"2^3^2", {kNumber, kNumber, kNumber, kPower, kPower}},
        {"-2^2", {kNumber, kNumber, kPower, kNegate}},
        {"2*(-3)", {kNumber, kNumber, kNegate, kMultiply}},
        {"2+-3", {kNumber, kNumber, kNegate, kAdd}},
        {"2<-3", {kNumber, kNumber, kNegate, kLess}},
        {"sin(x)^2", {Variable('x'), kSin, kNumber, kPower}},
        {"log10(x*2)", {Variable('x'), kNumber, kMultiply, kLog10}},
        {"rand(1)", {kNumber, kRand}},
        {"1||2&&3", {kNumber, kNumber, kNumber, kLogicalAnd, kLogicalOr}},
        {"1|2&3", {kNumber, kNumber, kNumber, kBitAnd, kBitOr}},
        {"1&&2|3", {kNumber, kNumber, kNumber, kBitOr, kLogicalAnd}},
        {"1&2==3", {kNumber, kNumber, kNumber, kEqual, kBitAnd}},
        {"1!=2<=3", {kNumber, kNumber, kNumber, kLessEqual, kNotEqual}},
        {"1>=2<<3", {kNumber, kNumber, kNumber, kShiftLeft, kGreaterEqual}},
        {"1>>2+3", {kNumber, kNumber, kNumber, kAdd, kShiftRight}},
        {"1,2", {kNumber, kNumber, kSequence}},
        {"a=5", {kNumber, Assign('a')}},
        {"a = 5", {kNumber, Assign('a')}},
        {"a=1+2", {kNumber, kNumber, kAdd, Assign('a')}},
        {"B=C=4", {kNumber, Assign('C'), Assign('B')}},
        {"A=3,A*2", {kNumber, Assign('A'), Variable('A'), kNumber, kMultiply, kSequence}},
        {"a==5", {Variable('a'), kNumber, kEqual}},
        {"--3", {kNumber}},
        {"---3", {kNumber, kNegate}},
        {"+-3", {kNumber, kNegate}},
        {"-+3", {kNumber, kNegate}},
        {"2--3", {kNumber, kNumber, kNegate, kSubtract}},
        // A '!' not followed by '=' reads like '>'.
        {"1!2", {kNumber, kNumber, kGreater}},
        {"1!>2", {kNumber, kNumber, kShiftRight}},
        {"1>2", {kNumber, kNumber, kGreater}},
        {"1<2", {kNumber, kNumber, kLess}},
        // Every byte from 'A' to 'z' except '^' is a variable.
        {"[+\\+]+_+`",
         {Variable('['), Variable('\\'), kAdd, Variable(']'), kAdd, Variable('_'), kAdd,
          Variable('`'), kAdd}},
        {"A+z", {Variable('A'), Variable('z'), kAdd}},
    };
    for (const ProgramCase& c : cases) {
        SCOPED_TRACE(c.text);
        CFormula formula;
        ASSERT_EQ(formula.Compile(c.text), 0);
        EXPECT_EQ(formula.status, 0);
        EXPECT_EQ(ProgramCodes(formula), c.codes);
    }
}

TEST(FormulaCompile, VariableAndAssignmentSlots) {
    CFormula formula;
    ASSERT_EQ(formula.Compile("z=A"), 0);
    EXPECT_EQ(formula.program[0].code, 0xEE01u);  // slot 0 + 1
    EXPECT_EQ(formula.program[1].code, 0x2F39u);  // slot 57
}

// Texts that compile to the empty program.
TEST(FormulaCompile, EmptyPrograms) {
    for (const char* text : {"", "   ", "()", "(())", "+", " ( ) "}) {
        SCOPED_TRACE(text);
        CFormula formula;
        formula.status = 2;
        EXPECT_EQ(formula.Compile(text), 0);
        EXPECT_EQ(formula.status, 0);
        EXPECT_EQ(formula.program[0].code, 0u);
    }
    CFormula formula;
    ASSERT_EQ(formula.Compile("1"), 0);
    formula.status = 2;
    EXPECT_EQ(formula.Compile(nullptr), 0);
    EXPECT_EQ(formula.status, 0);
    EXPECT_EQ(formula.program[0].code, 0u);
}

uint64_t Bits(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

struct NumberCase {
    const char* text;
    double value;  // as a correctly rounded decimal conversion gives it
};

TEST(FormulaCompile, Numbers) {
    const NumberCase cases[] = {
        {"0", 0.0},
        {"0.1", 0.1},
        {"1e3", 1000.0},
        {"1E+3", 1000.0},
        {"1.5E-2", 1.5E-2},
        {".5", 0.5},
        {"5.", 5.0},
        {"007.250", 7.25},
        {"1e308", 1e308},
        {"1.7976931348623157e308", 1.7976931348623157e308},
        {"1e-320", 1e-320},
        {"2.4703282292062328e-324", 4.9406564584124654e-324},
        {"123456789012345678901234567890", 123456789012345678901234567890.0},
        {"9007199254740993", 9007199254740992.0},  // ties round to even
        {"0.30000000000000004", 0.30000000000000004},
        // Out of range, as strtod gives them: overflow to infinity, underflow to 0.
        {"1e400", HUGE_VAL},
        {"1.7976931348623159e308", HUGE_VAL},
        {"1e-400", 0.0},
        {"0.0000001e-320", 0.0},
        {"1000e-326", 1e-323},
        {"1e99999999999999999999", HUGE_VAL},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.text);
        CFormula formula;
        ASSERT_EQ(formula.Compile(c.text), 0);
        ASSERT_EQ(formula.program[0].code, kNumber);
        EXPECT_EQ(formula.program[1].code, 0u);
        EXPECT_EQ(Bits(formula.program[0].value), Bits(c.value));
    }
}

TEST(FormulaCompile, Failures) {
    const char* const texts[] = {
        // no implicit multiplication
        "3x",
        "x(2)",
        "ab",
        "2(3)",
        "(1)(2)",
        // a prefix minus right after * / % ^
        "2*-3",
        "2/-3",
        "2%-3",
        "2^-1",
        // '=' that follows no variable
        "(a)=5",
        "3=5",
        "=5",
        "a=",
        "a=b=",
        // numbers
        ".",
        "1.2.3",
        "1..2",
        "0x10",
        "1e",
        "1e+x",
        "2e-x",
        // unbalanced parentheses
        "((1)",
        "(1))",
        ")(",
        "(",
        ")",
        // missing or surplus operands
        ",2",
        "1,",
        "1+",
        "*2",
        "-",
        "!",
        "1!",
        "sin()",
        "sin(1,)",
        "1 2",
        // function names need their "(" directly and are case-sensitive
        "sin (x)",
        "Sin(x)",
        "SIN(x)",
        "sin",
        "sqrt",
        // bytes outside the grammar; a space is the only white space
        "1\t+2",
        "1\r",
        "1\n",
        "#",
        "$",
        ":",
        ";",
        "?",
        "{",
        "}",
        "~",
        "\"1\"",
        "'1'",
        "@",
        "\x82\xa0",
        "\x7f",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        CFormula formula;
        EXPECT_EQ(formula.Compile(text), 1);
        EXPECT_EQ(formula.status, 1);
    }
}

TEST(FormulaCompile, FunctionNames) {
    const char* const names[] = {"ceil",  "floor", "abs",  "sqrt", "exp",   "log",
                                 "log10", "sin",   "cos",  "tan",  "asin",  "acos",
                                 "atan",  "sinh",  "cosh", "tanh", "asinh", "acosh",
                                 "atanh", "j0",    "j1",   "y0",   "y1",    "rand"};
    for (uint32_t i = 0; i < 24; ++i) {
        const std::string text = std::string(names[i]) + "(1)";
        SCOPED_TRACE(text);
        CFormula formula;
        ASSERT_EQ(formula.Compile(text.c_str()), 0);
        EXPECT_EQ(ProgramCodes(formula), (std::vector<uint32_t>{kNumber, 0xDF00 + i}));
    }
}

// "-1+1+...+1": a negate, then `ones` ones joined by pluses.
std::string NegatedSum(int ones) {
    std::string text = "-1";
    for (int i = 1; i < ones; ++i)
        text += "+1";
    return text;
}

TEST(FormulaCompile, TokenLimit) {
    const std::string tokens126 = NegatedSum(63);  // 1 + 63 + 62
    CFormula formula;
    EXPECT_EQ(formula.Compile(tokens126.c_str()), 0);
    EXPECT_EQ(formula.Evaluate(), 61.0);

    // "(" + 125 tokens + ")" = 127.
    std::string tokens127 = "(1";
    for (int i = 0; i < 62; ++i)
        tokens127 += "+1";
    tokens127 += ")";
    EXPECT_EQ(formula.Compile(tokens127.c_str()), 1);
    EXPECT_EQ(formula.Compile(tokens127.substr(1, tokens127.size() - 2).c_str()), 0);

    // Anything but the end after the 126th token fails, even a space.
    EXPECT_EQ(formula.Compile((tokens126 + " ").c_str()), 1);
    EXPECT_EQ(formula.Compile((" " + tokens126).c_str()), 0);
    EXPECT_EQ(formula.Compile((tokens126 + "+").c_str()), 1);

    // Deep nesting within the limit.
    const std::string nested = std::string(62, '(') + "1" + std::string(62, ')');
    EXPECT_EQ(formula.Compile(nested.c_str()), 0);
    EXPECT_EQ(formula.Evaluate(), 1.0);
    const std::string too_deep = std::string(63, '(') + "1" + std::string(63, ')');
    EXPECT_EQ(formula.Compile(too_deep.c_str()), 1);
}

// A failed compile leaves the variables alone and blocks evaluation.
TEST(FormulaCompile, FailureKeepsVariables) {
    CFormula formula;
    formula.SetVariable(0, 7);
    EXPECT_EQ(formula.Compile("A=1,#"), 1);
    EXPECT_EQ(formula.variables[0], 7.0);
    EXPECT_EQ(formula.Evaluate(), 0.0);
    EXPECT_EQ(formula.variables[0], 7.0);
}

}  // namespace
