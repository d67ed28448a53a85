// Saturating element conversions usable in kernels on both backends.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/launch.cuh"

namespace lumaweave {
namespace cuda {
namespace pixel {

template <typename T> struct Range;
template <> struct Range<unsigned char> { static constexpr double lo = 0, hi = 255; };
template <> struct Range<signed char> { static constexpr double lo = -128, hi = 127; };
template <> struct Range<unsigned short> { static constexpr double lo = 0, hi = 65535; };
template <> struct Range<short> { static constexpr double lo = -32768, hi = 32767; };
template <> struct Range<int> { static constexpr double lo = -2147483648.0, hi = 2147483647.0; };

// Round half to even, as cvRound and the device's __float2int_rn do.
LW_HOST_DEVICE inline float roundEven(float v) {
#ifdef __CUDA_ARCH__
  return rintf(v);
#else
  return std::rint(v);
#endif
}
LW_HOST_DEVICE inline double roundEven(double v) {
#ifdef __CUDA_ARCH__
  return ::rint(v);
#else
  return std::rint(v);
#endif
}

template <typename T, typename F> LW_HOST_DEVICE inline T saturate(F v) {
  const F r = roundEven(v);
  if (!(r > F(Range<T>::lo))) return T(Range<T>::lo);  // also catches NaN
  if (r > F(Range<T>::hi)) return T(Range<T>::hi);
  return T(r);
}
template <> LW_HOST_DEVICE inline float saturate<float, float>(float v) { return v; }
template <> LW_HOST_DEVICE inline float saturate<float, double>(double v) { return float(v); }
template <> LW_HOST_DEVICE inline double saturate<double, float>(float v) { return v; }
template <> LW_HOST_DEVICE inline double saturate<double, double>(double v) { return v; }

}  // namespace pixel
}  // namespace cuda
}  // namespace lumaweave
