// CFormula: compiles an arithmetic expression text into a postfix program and
// evaluates it against 58 variable slots. Nothing is allocated: the program
// lives in a fixed array inside the object.
#pragma once

#include <cstdint>

struct FormulaToken {
    uint32_t code;  // 0 ends the program
    double value;   // constant of a number token
};

class CFormula {
  public:
    static constexpr int kVariableCount = 58;
    static constexpr int kMaxTextTokens = 126;
    static constexpr int kProgramSize = kMaxTextTokens + 3;  // ( tokens ) end
    static constexpr int kStackSize = 128;

    CFormula();
    virtual ~CFormula();

    // 0 on success, 1 on failure (status becomes 1). A null text empties the program.
    int Compile(const char* text);
    // Runs the program; 0 when status is not 0 or the run fails (status becomes 2).
    double Evaluate();
    // Compile, then Evaluate; 0 when the compile fails.
    double Calculate(const char* text);
    // Entries of the program the last successful Compile left, end marker
    // included: what a caller copies to keep the program and Run it later.
    int ProgramLength() const;
    // Runs a program kept from an earlier Compile exactly as Calculate of its
    // text would: a null program stands for a text that did not compile
    // (status 1, result 0). Compiling reads nothing but the text, so a kept
    // program is the one Calculate would build at any later time.
    double Run(const FormulaToken* compiled);
    // Slots 0..57; clears an evaluation error. Larger indices are ignored.
    void SetVariable(uint32_t index, double value);

    int32_t status;  // 0 ok, 1 compile failed, 2 evaluation failed
    double variables[kVariableCount];
    FormulaToken program[kProgramSize];

  private:
    double Execute(const FormulaToken* tokens);
};
