// Fuzz target: the expression compiler and evaluator on any text, against
// variables that hold ordinary, extreme and non-finite values.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "formula/formula.h"

namespace {

// Longest text tried: well past the 126-token limit.
constexpr size_t kMaxText = 4096;

double VariableValue(int slot) {
    switch (slot % 8) {
        case 0:
            return 0.0;
        case 1:
            return -1.5;
        case 2:
            return 1e300;
        case 3:
            return -1e-300;
        case 4:
            return std::numeric_limits<double>::quiet_NaN();
        case 5:
            return std::numeric_limits<double>::infinity();
        case 6:
            return 2147483648.0;
        default:
            return slot * 3.0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size < kMaxText ? size : kMaxText);
    CFormula formula;
    // An expression may assign to its variables: each run starts from the same values.
    auto set_variables = [&formula] {
        for (int slot = 0; slot < CFormula::kVariableCount; ++slot)
            formula.SetVariable(slot, VariableValue(slot));
    };
    set_variables();
    double first = formula.Calculate(text.c_str());
    // A compiled program evaluates the same way twice (unless it draws random
    // numbers), and a failed one gives 0.
    bool random = text.find("rand(") != std::string::npos;
    if (formula.Compile(text.c_str()) == 0) {
        if (random) return 0;
        set_variables();
        double again = formula.Evaluate();
        if (!(again == first || (std::isnan(again) && std::isnan(first)))) std::abort();
    } else if (first != 0.0) {
        std::abort();
    }
    return 0;
}
