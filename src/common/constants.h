// Constants every layer reads the same way.
#pragma once

// π with 15 significant digits: the value the scripts see as `p`, and the one
// the defocus weights and the tone generator use, so that their results stay
// what they have always been.
constexpr double kPi = 3.14159265358979;
