// CFormula: tokenizer, in-place conversion to postfix order, validation and
// evaluation of expression texts. Every stage is one linear pass over the
// fixed program array; nothing is allocated.
#include "formula/formula.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "common/bessel.h"
#include "formula/random.h"

namespace {

// ---- Token codes ------------------------------------------------------------
// Bits 12..15: precedence while waiting on the operator stack ("stacked").
// Bits 8..11:  precedence when arriving from the text ("incoming").
// Bits 0..7:   operator index, function index or variable slot + 1.
constexpr uint32_t kEndCode = 0x0000;       // end of program
constexpr uint32_t kOpenParen = 0x0F00;     // (      incoming 15, stacked 0
constexpr uint32_t kCloseParen = 0x1100;    // )      incoming 1, never stacked
constexpr uint32_t kSequence = 0x2200;      // ,      drops the left value
constexpr uint32_t kAssignBase = 0x2F00;    // v=     + slot: stores the top value into the slot
constexpr uint32_t kLogicalOr = 0x3300;     // ||     operator 0
constexpr uint32_t kLogicalAnd = 0x4401;    // &&     operator 1
constexpr uint32_t kBitOr = 0x5502;         // |      operator 2
constexpr uint32_t kBitAnd = 0x6603;        // &      operator 3
constexpr uint32_t kEqual = 0x7704;         // ==     operator 4
constexpr uint32_t kNotEqual = 0x7705;      // !=     operator 5
constexpr uint32_t kGreater = 0x8806;       // >      operator 6
constexpr uint32_t kGreaterEqual = 0x8807;  // >=     operator 7
constexpr uint32_t kLess = 0x8808;          // <      operator 8
constexpr uint32_t kLessEqual = 0x8809;     // <=     operator 9
constexpr uint32_t kShiftLeft = 0x990A;     // <<     operator 10
constexpr uint32_t kShiftRight = 0x990B;    // >>     operator 11
constexpr uint32_t kAdd = 0xAA0C;           // +      operator 12
constexpr uint32_t kSubtract = 0xAA0D;      // -      operator 13
constexpr uint32_t kMultiply = 0xBB0E;      // *      operator 14
constexpr uint32_t kDivide = 0xBB0F;        // /      operator 15
constexpr uint32_t kRemainder = 0xBB10;     // %      operator 16
constexpr uint32_t kPower = 0xCD11;         // ^      operator 17, groups from the right
constexpr uint32_t kNegate = 0xBB12;        // prefix -, flips the sign bit of the top value
constexpr uint32_t kFunctionBase = 0xDF00;  // name(  + function index 0..23
constexpr uint32_t kNumber = 0xEE00;        // constant held in the value field
constexpr uint32_t kVariableBase = 0xEE01;  // letter + slot 0..57

// Code groups (the high byte) used by the evaluator's dispatch.
constexpr uint32_t kSequenceGroup = kSequence >> 8;
constexpr uint32_t kAssignGroup = kAssignBase >> 8;
constexpr uint32_t kFunctionGroup = kFunctionBase >> 8;
constexpr uint32_t kOperandGroup = kNumber >> 8;

constexpr uint32_t kLastVariable = kVariableBase + CFormula::kVariableCount - 1;
constexpr uint32_t kLastAssign = kAssignBase + CFormula::kVariableCount - 1;

enum OperatorIndex : uint32_t {
    kOpLogicalOr = 0,
    kOpLogicalAnd,
    kOpBitOr,
    kOpBitAnd,
    kOpEqual,
    kOpNotEqual,
    kOpGreater,
    kOpGreaterEqual,
    kOpLess,
    kOpLessEqual,
    kOpShiftLeft,
    kOpShiftRight,
    kOpAdd,
    kOpSubtract,
    kOpMultiply,
    kOpDivide,
    kOpRemainder,
    kOpPower,
};

uint32_t IncomingPrecedence(uint32_t code) {
    return (code >> 8) & 0xF;
}
uint32_t StackedPrecedence(uint32_t code) {
    return (code >> 12) & 0xF;
}

// ---- Function table ---------------------------------------------------------
// Names include their "(" and are matched case-sensitively in table order.
//
// Each function comes with the rule that tells a failed call from its
// argument and result: a domain error (the argument is outside the
// function's domain), a pole (an infinite result at a finite argument that
// has one, like log(0)), an overflow (a finite argument whose result is too
// large, so infinite) or an underflow to zero. The rules are written out
// rather than read from errno, because maths libraries differ in what they
// report there; these are the errors of the common POSIX library, and every
// platform now fails alike. A NaN argument is never an error: it flows on.
using MathFunction = double (*)(double);
using FailureRule = bool (*)(double x, double result);

struct FunctionEntry {
    const char* name;
    size_t length;  // of the name, "(" included
    MathFunction function;
    FailureRule fails;
};

bool NeverFails(double, double) {
    return false;
}
// sqrt: a negative argument (not -0).
bool FailsBelowZero(double x, double) {
    return x < 0;
}
// log, log10: a negative argument, or the pole at 0.
bool FailsAtOrBelowZero(double x, double) {
    return x <= 0;
}
// exp: overflow to infinity, or underflow to zero.
bool FailsOnOverflowOrUnderflow(double x, double result) {
    return std::isfinite(x) && (std::isinf(result) || result == 0);
}
// sinh, cosh: overflow.
bool FailsOnOverflow(double x, double result) {
    return std::isfinite(x) && std::isinf(result);
}
// sin, cos, tan: an infinite argument.
bool FailsOnInfinity(double x, double) {
    return std::isinf(x);
}
// asin, acos: an argument outside -1..1.
bool FailsOutsideUnit(double x, double) {
    return x < -1 || x > 1;
}
// j1: a tiny argument whose result underflows to zero.
bool FailsOnUnderflowNearZero(double x, double result) {
    return x != 0 && std::fabs(x) < 1 && result == 0;
}
// y0, y1: a negative argument, the pole at 0, or overflow near it.
bool FailsAtOrBelowZeroOrOnOverflow(double x, double result) {
    return x <= 0 || (std::isfinite(x) && std::isinf(result));
}
// acosh: below 1.
bool FailsBelowOne(double x, double) {
    return x < 1;
}
// atanh: outside the open interval -1..1.
bool FailsOutsideOpenUnit(double x, double) {
    return x <= -1 || x >= 1;
}

constexpr double kLn2 = 0.693147180559945309417232121458;

// log(x + sqrt(x*x + 1)) as written for x >= 0. For negative x the sum cancels
// (below about -6.7e7 it is exactly 0 and log reports a pole), so negative
// arguments use asinh(x) = -asinh(-x). Where x*x overflows the formula would
// give infinity; log(x) + log(2) is the value it approaches there.
double InverseHyperbolicSine(double x) {
    if (x < 0) return -InverseHyperbolicSine(-x);
    const double square = x * x;
    if (std::isinf(square)) return std::log(x) + kLn2;
    return std::log(x + std::sqrt(square + 1));
}

// log(x + sqrt(x*x - 1)) for x >= 1 (below 1 the call fails). As for asinh,
// arguments whose square overflows take log(x) + log(2).
double InverseHyperbolicCosine(double x) {
    if (x < 1) return 0;
    const double square = x * x;
    if (std::isinf(square)) return std::log(x) + kLn2;
    return std::log(x + std::sqrt(square - 1));
}

// 0.5 * log((1 + x) / (1 - x)) for -1 < x < 1 (outside, the call fails).
double InverseHyperbolicTangent(double x) {
    if (x <= -1 || x >= 1) return 0;
    return 0.5 * std::log((1 + x) / (1 - x));
}

// r * x / 32767 with r the next draw of the shared generator: 0..x inclusive.
double RandomScaled(double x) {
    const double r = SharedRandomNext();
    return r * x / kRandomMax;
}

constexpr FunctionEntry kFunctions[] = {
    {"ceil(", 5, ::ceil, NeverFails},                               // 0
    {"floor(", 6, ::floor, NeverFails},                             // 1
    {"abs(", 4, ::fabs, NeverFails},                                // 2
    {"sqrt(", 5, ::sqrt, FailsBelowZero},                           // 3
    {"exp(", 4, ::exp, FailsOnOverflowOrUnderflow},                 // 4
    {"log(", 4, ::log, FailsAtOrBelowZero},                         // 5  natural logarithm
    {"log10(", 6, ::log10, FailsAtOrBelowZero},                     // 6
    {"sin(", 4, ::sin, FailsOnInfinity},                            // 7  radians
    {"cos(", 4, ::cos, FailsOnInfinity},                            // 8
    {"tan(", 4, ::tan, FailsOnInfinity},                            // 9
    {"asin(", 5, ::asin, FailsOutsideUnit},                         // 10
    {"acos(", 5, ::acos, FailsOutsideUnit},                         // 11
    {"atan(", 5, ::atan, NeverFails},                               // 12
    {"sinh(", 5, ::sinh, FailsOnOverflow},                          // 13
    {"cosh(", 5, ::cosh, FailsOnOverflow},                          // 14
    {"tanh(", 5, ::tanh, NeverFails},                               // 15
    {"asinh(", 6, InverseHyperbolicSine, NeverFails},               // 16
    {"acosh(", 6, InverseHyperbolicCosine, FailsBelowOne},          // 17
    {"atanh(", 6, InverseHyperbolicTangent, FailsOutsideOpenUnit},  // 18
    {"j0(", 3, bessel::J0, NeverFails},                             // 19 first kind, order 0
    {"j1(", 3, bessel::J1, FailsOnUnderflowNearZero},               // 20 first kind, order 1
    {"y0(", 3, bessel::Y0, FailsAtOrBelowZeroOrOnOverflow},         // 21 second kind, order 0
    {"y1(", 3, bessel::Y1, FailsAtOrBelowZeroOrOnOverflow},         // 22 second kind, order 1
    {"rand(", 5, RandomScaled, NeverFails},                         // 23 0..x
};
constexpr uint32_t kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];

// ---- Operators --------------------------------------------------------------
constexpr int64_t kInt64Min = INT64_MIN;

// Truncation toward zero; NaN and values outside the 64-bit range give -2^63.
int64_t ToInt64(double x) {
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (x >= -kTwoTo63 && x < kTwoTo63) return static_cast<int64_t>(x);
    return kInt64Min;
}

double ShiftLeft(double a, double b) {
    const uint32_t count = static_cast<uint32_t>(ToInt64(b) & 0xFF);
    if (count >= 64) return 0;
    const uint64_t bits = static_cast<uint64_t>(ToInt64(a)) << count;
    return static_cast<double>(static_cast<int64_t>(bits));
}

double ShiftRight(double a, double b) {
    const uint32_t count = static_cast<uint32_t>(ToInt64(b) & 0xFF);
    const int64_t value = ToInt64(a);
    if (count >= 64) return value >= 0 ? 0 : -1;
    return static_cast<double>(value >> count);
}

// Whether operator `index` failed on (a, b) with `result`; the same rules as
// the functions' (see the function table). Division fails on a zero divisor
// of either sign; fmod on a zero divisor or an infinite dividend; pow where
// a negative base meets a fractional exponent (NaN), at the pole of a zero
// base with a negative exponent, and on overflow or underflow to zero.
bool OperatorFails(uint32_t index, double a, double b, double result) {
    switch (index) {
        case kOpDivide:
            return b == 0;
        case kOpRemainder:
            return !std::isnan(a) && !std::isnan(b) && (std::isinf(a) || b == 0);
        case kOpPower:
            return std::isfinite(a) && std::isfinite(b) &&
                   (std::isnan(result) || std::isinf(result) || (result == 0 && a != 0));
        default:
            return index > kOpPower;
    }
}

// Operator `index` of (a, b), a below the top of the stack and b the top.
// Failures are told by OperatorFails. A NaN counts as non-zero in || and &&.
double ApplyOperator(uint32_t index, double a, double b) {
    switch (index) {
        case kOpLogicalOr:
            return (a != 0 || b != 0) ? 1 : 0;
        case kOpLogicalAnd:
            return (a != 0 && b != 0) ? 1 : 0;
        case kOpBitOr:
            return static_cast<double>(ToInt64(a) | ToInt64(b));
        case kOpBitAnd:
            return static_cast<double>(ToInt64(a) & ToInt64(b));
        case kOpEqual:
            return a == b ? 1 : 0;
        case kOpNotEqual:
            return a != b ? 1 : 0;
        case kOpGreater:
            return a > b ? 1 : 0;
        case kOpGreaterEqual:
            return a >= b ? 1 : 0;
        case kOpLess:
            return a < b ? 1 : 0;
        case kOpLessEqual:
            return a <= b ? 1 : 0;
        case kOpShiftLeft:
            return ShiftLeft(a, b);
        case kOpShiftRight:
            return ShiftRight(a, b);
        case kOpAdd:
            return a + b;
        case kOpSubtract:
            return a - b;
        case kOpMultiply:
            return a * b;
        case kOpDivide:
            return b == 0 ? 0 : a / b;
        case kOpRemainder:
            return std::fmod(a, b);
        case kOpPower:
            return std::pow(a, b);
        default:
            return 0;
    }
}

// ---- Tokenizer --------------------------------------------------------------
// Writes entry 0 "(", the text's tokens from entry 1 on, then ")" and the end
// marker. Fails on a byte outside the grammar or a 127th token.

struct Tokenizer {
    FormulaToken* program;
    int next;  // entry to write
    const unsigned char* position;

    uint32_t Previous() const { return program[next - 1].code; }
    void Emit(uint32_t code, double value = 0) {
        program[next].code = code;
        program[next].value = value;
        ++next;
    }
};

bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// A number, a variable or ")" ends an operand, so a following + or - is binary.
bool EndsOperand(uint32_t code) {
    return (code >= kNumber && code <= kLastVariable) || code == kCloseParen;
}

// Longest prefix of the form digits [. digits] [(e|E) [sign] digits] with at
// least one mantissa digit; 0 when there is none. Also reports where the first
// significant digit stands, so that an out-of-range value can be told apart as
// overflow or underflow.
struct NumberExtent {
    size_t length;
    bool overflows;  // value >= 1 (meaningful only when the value is out of range)
};

NumberExtent ScanNumber(const unsigned char* text) {
    size_t i = 0;
    long magnitude = 0;  // decimal exponent of the leading digit, plus 1
    bool significant = false;
    size_t digits = 0;
    for (; IsDigit(text[i]); ++i, ++digits) {
        if (text[i] != '0') significant = true;
        if (significant) ++magnitude;
    }
    if (text[i] == '.') {
        ++i;
        for (; IsDigit(text[i]); ++i, ++digits) {
            if (text[i] != '0') significant = true;
            if (!significant) --magnitude;
        }
    }
    if (digits == 0) return {0, false};
    size_t end = i;
    if (text[i] == 'e' || text[i] == 'E') {
        size_t j = i + 1;
        bool negative = false;
        if (text[j] == '+' || text[j] == '-') negative = text[j++] == '-';
        if (IsDigit(text[j])) {
            long exponent = 0;
            for (; IsDigit(text[j]); ++j) {
                if (exponent < 100000) exponent = exponent * 10 + (text[j] - '0');
            }
            magnitude += negative ? -exponent : exponent;
            end = j;
        }
    }
    return {end, magnitude > 0};
}

// Only the scanned characters reach the conversion, which reads '.' as the
// decimal point whatever the locale and rounds correctly. Out of range gives
// infinity or 0.
bool ReadNumber(Tokenizer* t) {
    const NumberExtent extent = ScanNumber(t->position);
    if (extent.length == 0) return false;  // a '.' that begins no number
    const char* first = reinterpret_cast<const char*>(t->position);
    double value = 0;
    const std::from_chars_result result =
        std::from_chars(first, first + extent.length, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        value = extent.overflows ? HUGE_VAL : 0.0;
    } else if (result.ec != std::errc()) {
        return false;
    }
    t->Emit(kNumber, value);
    t->position += extent.length;
    return true;
}

// A function name with its "(" (the "(" is left to be read as a token of its
// own), else a variable letter.
bool ReadName(Tokenizer* t) {
    const unsigned char c = *t->position;
    const char* text = reinterpret_cast<const char*>(t->position);
    for (uint32_t i = 0; i < kFunctionCount; ++i) {
        const FunctionEntry& entry = kFunctions[i];
        if (entry.name[0] == text[0] && std::strncmp(text, entry.name, entry.length) == 0) {
            t->Emit(kFunctionBase + i);
            t->position += entry.length - 1;
            return true;
        }
    }
    if (c < 'A' || c > 'z') return false;
    t->Emit(kVariableBase + (c - 'A'));
    t->position += 1;
    return true;
}

// `first` alone, `with_equal` when '=' follows, `doubled` when `second` follows.
void ReadComparison(Tokenizer* t, uint32_t first, uint32_t with_equal, unsigned char second,
                    uint32_t doubled) {
    const unsigned char next = t->position[1];
    if (next == '=') {
        t->Emit(with_equal);
        t->position += 2;
    } else if (next == second) {
        t->Emit(doubled);
        t->position += 2;
    } else {
        t->Emit(first);
        t->position += 1;
    }
}

// `single`, or `doubled` when the same character follows (& &&, | ||).
void ReadPair(Tokenizer* t, uint32_t single, uint32_t doubled) {
    const bool twice = t->position[1] == t->position[0];
    t->Emit(twice ? doubled : single);
    t->position += twice ? 2 : 1;
}

// "==", else an assignment to the variable just read.
bool ReadEquals(Tokenizer* t) {
    if (t->position[1] == '=') {
        t->Emit(kEqual);
        t->position += 2;
        return true;
    }
    const uint32_t previous = t->Previous();
    if (previous < kVariableBase || previous > kLastVariable) return false;
    t->program[t->next - 1].code = kAssignBase + (previous - kVariableBase);
    t->position += 1;
    return true;
}

// Binary minus after an operand; otherwise a negate, and two negates cancel.
void ReadMinus(Tokenizer* t) {
    const uint32_t previous = t->Previous();
    if (EndsOperand(previous)) {
        t->Emit(kSubtract);
    } else if (previous == kNegate) {
        --t->next;
    } else {
        t->Emit(kNegate);
    }
    t->position += 1;
}

// Binary plus after an operand; a prefix plus is dropped.
void ReadPlus(Tokenizer* t) {
    if (EndsOperand(t->Previous())) t->Emit(kAdd);
    t->position += 1;
}

// One step of the tokenizer for the byte at the current position.
bool ReadToken(Tokenizer* t) {
    const unsigned char c = *t->position;
    if (c >= 'A' && c != '^' && c != '|') return ReadName(t);
    if (IsDigit(c) || c == '.') return ReadNumber(t);
    switch (c) {
        case ' ':
            t->position += 1;
            return true;
        case '(':
            t->Emit(kOpenParen);
            break;
        case ')':
            t->Emit(kCloseParen);
            break;
        case ',':
            t->Emit(kSequence);
            break;
        case '*':
            t->Emit(kMultiply);
            break;
        case '/':
            t->Emit(kDivide);
            break;
        case '%':
            t->Emit(kRemainder);
            break;
        case '^':
            t->Emit(kPower);
            break;
        case '&':
            ReadPair(t, kBitAnd, kLogicalAnd);
            return true;
        case '|':
            ReadPair(t, kBitOr, kLogicalOr);
            return true;
        case '<':
            ReadComparison(t, kLess, kLessEqual, '<', kShiftLeft);
            return true;
        case '>':
            ReadComparison(t, kGreater, kGreaterEqual, '>', kShiftRight);
            return true;
        // "!=" is not-equal; any other '!' reads like '>' ("!>" shifts right).
        case '!':
            ReadComparison(t, kGreater, kNotEqual, '>', kShiftRight);
            return true;
        case '=':
            return ReadEquals(t);
        case '+':
            ReadPlus(t);
            return true;
        case '-':
            ReadMinus(t);
            return true;
        default:
            return false;
    }
    t->position += 1;
    return true;
}

bool Tokenize(const char* text, FormulaToken* program) {
    Tokenizer t{program, 0, reinterpret_cast<const unsigned char*>(text)};
    t.Emit(kOpenParen);
    while (*t.position != 0) {
        if (t.next - 1 >= CFormula::kMaxTextTokens) return false;
        if (!ReadToken(&t)) return false;
    }
    t.Emit(kCloseParen);
    t.Emit(kEndCode);
    return true;
}

// ---- Conversion to postfix ----------------------------------------------------
// Shunting-yard over the token precedences, in place: output entry `out` never
// passes input entry `in`. Numbers and variables pass through the stack too
// (incoming and stacked 14), which yields ordinary postfix order.
bool ConvertToPostfix(FormulaToken* program) {
    FormulaToken stack[CFormula::kStackSize];
    int top = 0;
    stack[top++] = program[0];
    int out = 0;
    for (int in = 1; program[in].code != kEndCode; ++in) {
        const FormulaToken token = program[in];
        if (top == 0) return false;  // a ")" closed the enclosing "("
        const uint32_t incoming = IncomingPrecedence(token.code);
        while (top > 0 && StackedPrecedence(stack[top - 1].code) >= incoming) {
            program[out++] = stack[--top];
        }
        if (token.code == kCloseParen) {
            if (top == 0) return false;
            --top;  // the matching "(", not output
        } else {
            if (top == CFormula::kStackSize) return false;
            stack[top++] = token;
        }
    }
    if (top != 0) return false;  // an unclosed "("
    program[out].code = kEndCode;
    program[out].value = 0;
    return true;
}

// ---- Validation ---------------------------------------------------------------
// Counts the values evaluation would hold; every operator must find its
// operands and exactly one value must remain.
bool Validate(const FormulaToken* program) {
    if (program[0].code == kEndCode) return true;
    int depth = 0;
    for (const FormulaToken* token = program; token->code != kEndCode; ++token) {
        const uint32_t code = token->code;
        if (code >= kNumber && code <= kLastVariable) {
            ++depth;
        } else if (code >= kFunctionBase && code < kFunctionBase + kFunctionCount) {
            if (depth < 1) return false;
        } else if (code == kNegate) {
            if (depth < 1) return false;
        } else if (code >= kLogicalOr && code <= kPower) {
            if (depth < 2) return false;
            --depth;
        } else if (code >= kAssignBase && code <= kLastAssign) {
            if (depth < 1) return false;
        } else if (code == kSequence) {
            if (depth < 2) return false;
            --depth;
        } else {
            return false;
        }
    }
    return depth == 1;
}

}  // namespace

CFormula::CFormula() : status(0) {
    for (double& variable : variables)
        variable = 0;
    program[0].code = kEndCode;
    program[0].value = 0;
}

CFormula::~CFormula() = default;

int CFormula::Compile(const char* text) {
    status = 0;
    if (text == nullptr) {
        program[0].code = kEndCode;
        program[0].value = 0;
        return 0;
    }
    if (!Tokenize(text, program) || !ConvertToPostfix(program) || !Validate(program)) {
        status = 1;
        return 1;
    }
    return 0;
}

double CFormula::Evaluate() {
    if (status != 0) return 0;
    return Execute(program);
}

double CFormula::Run(const FormulaToken* compiled) {
    if (compiled == nullptr) {
        status = 1;
        return 0;
    }
    status = 0;
    return Execute(compiled);
}

int CFormula::ProgramLength() const {
    int length = 1;
    while (program[length - 1].code != kEndCode)
        ++length;
    return length;
}

double CFormula::Execute(const FormulaToken* tokens) {
    if (tokens[0].code == kEndCode) return 0;  // the empty program
    double stack[kStackSize];
    int depth = 0;
    for (const FormulaToken* token = tokens; token->code != kEndCode; ++token) {
        const uint32_t code = token->code;
        const uint32_t index = code & 0xFF;
        switch (code >> 8) {
            case kOperandGroup:
                stack[depth++] = index == 0 ? token->value : variables[index - 1];
                break;
            case kFunctionGroup: {
                const FunctionEntry& function = kFunctions[index];
                const double x = stack[depth - 1];
                stack[depth - 1] = function.function(x);
                if (function.fails(x, stack[depth - 1])) {
                    status = 2;
                    return 0;
                }
                break;
            }
            case kAssignGroup:
                variables[index] = stack[depth - 1];
                break;
            case kSequenceGroup:
                stack[depth - 2] = stack[depth - 1];
                --depth;
                break;
            default:
                if (code == kNegate) {
                    stack[depth - 1] = -stack[depth - 1];
                    break;
                }
                const double a = stack[depth - 2], b = stack[depth - 1];
                stack[depth - 2] = ApplyOperator(index, a, b);
                --depth;
                if (OperatorFails(index, a, b, stack[depth - 1])) {
                    status = 2;
                    return 0;
                }
                break;
        }
    }
    if (depth != 1) {
        status = 2;
        return 0;
    }
    return stack[0];
}

double CFormula::Calculate(const char* text) {
    if (Compile(text) != 0) return 0;
    return Evaluate();
}

void CFormula::SetVariable(uint32_t index, double value) {
    if (index >= kVariableCount) return;
    variables[index] = value;
    if (status == 2) status = 0;
}
