// Cost of CFormula::Calculate, which the script executor calls for every
// argument text of every executed line (up to 21 texts a line, every frame).
#include <benchmark/benchmark.h>

#include "formula/formula.h"

namespace {

// Variables as the executor sets them before a line: frame, section start,
// width, frame count, a slider and the frame number again.
void SetLineVariables(CFormula* formula) {
    formula->SetVariable('f' - 'A', 120);
    formula->SetVariable('s' - 'A', 30);
    formula->SetVariable('w' - 'A', 1280);
    formula->SetVariable('n' - 'A', 300);
    formula->SetVariable('g' - 'A', 0.25);
    formula->SetVariable('p' - 'A', 3.14159);
}

void CalculateText(benchmark::State& state, const char* text) {
    CFormula formula;
    SetLineVariables(&formula);
    for (auto _ : state) {
        benchmark::DoNotOptimize(formula.Calculate(text));
    }
}

void BM_CalculateTypicalArgument(benchmark::State& state) {
    CalculateText(state, "(f-s)*w/n+sin(g*p/30)*100");
}
BENCHMARK(BM_CalculateTypicalArgument);

void BM_CalculateEmptyText(benchmark::State& state) {
    CalculateText(state, "");
}
BENCHMARK(BM_CalculateEmptyText);

void BM_CalculateSingleNumber(benchmark::State& state) {
    CalculateText(state, "1280");
}
BENCHMARK(BM_CalculateSingleNumber);

// Evaluation alone, for comparison with the compile-and-run cost above.
void BM_EvaluateTypicalArgument(benchmark::State& state) {
    CFormula formula;
    SetLineVariables(&formula);
    formula.Compile("(f-s)*w/n+sin(g*p/30)*100");
    for (auto _ : state) {
        benchmark::DoNotOptimize(formula.Evaluate());
    }
}
BENCHMARK(BM_EvaluateTypicalArgument);

}  // namespace
