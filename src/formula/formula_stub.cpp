// Placeholder until the evaluator lands: every text evaluates to 0.
#include "formula/formula.h"
#include "formula/random.h"

CFormula::CFormula() : status(0), variables(), program() {}
CFormula::~CFormula() {}
int CFormula::Compile(const char*) { return 0; }
double CFormula::Evaluate() { return 0; }
double CFormula::Calculate(const char*) { return 0; }
void CFormula::SetVariable(uint32_t index, double value) {
    if (index < kVariableCount) variables[index] = value;
}
RandomState* SharedRandom() {
    static RandomState state{1};
    return &state;
}
