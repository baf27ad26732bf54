// The C runtime's Bessel functions, which the runtimes spell differently:
// POSIX names them j0, j1, y0 and y1, the Windows runtime _j0, _j1, _y0 and _y1.
#pragma once

#include <math.h>

#if defined(_WIN32) && defined(__STRICT_ANSI__)
// The runtime's math.h declares them only outside strict standard mode.
extern "C" {
double __cdecl _j0(double x);
double __cdecl _j1(double x);
double __cdecl _y0(double x);
double __cdecl _y1(double x);
}
#endif

namespace bessel {

#ifdef _WIN32
inline double J0(double x) {
    return ::_j0(x);
}
inline double J1(double x) {
    return ::_j1(x);
}
inline double Y0(double x) {
    return ::_y0(x);
}
inline double Y1(double x) {
    return ::_y1(x);
}
#else
inline double J0(double x) {
    return ::j0(x);
}
inline double J1(double x) {
    return ::j1(x);
}
inline double Y0(double x) {
    return ::y0(x);
}
inline double Y1(double x) {
    return ::y1(x);
}
#endif

}  // namespace bessel
