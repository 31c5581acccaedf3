#pragma once

// The engine's own sine, exponential and logarithm. Everything that feeds
// spike timing uses these instead of the platform's mathematical library, so
// that spike times are bit-identical on every platform and compiler. They are
// the classic fdlibm algorithms (the sine with a simplified range reduction
// that is accurate for the moderate arguments the engine uses).
namespace Core::Kvrn {

// sin(x); NaN for NaN or infinite x.
double portableSin(double x);

// e^x: +inf above 709.782712893384, 0 below -745.1332191019411, NaN for NaN.
double portableExp(double x);

// Natural logarithm: -inf at +-0, NaN below 0 or for NaN, +inf at +inf.
double portableLog(double x);

}  // namespace Core::Kvrn
