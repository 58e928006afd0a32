// atan2 for the decoder's per-pixel loops: branch-free, so a loop calling it
// vectorises, where the library's atan2f is a call per pixel.
//
// The octant is folded onto [0, 1] (min over max of |y| and |x|), where
// arctan is Hastings' polynomial of degree 17 (Abramowitz and Stegun 4.4.49,
// error at most 2e-8 rad), evaluated in single precision. Against atan2 in
// double precision the result is within 3e-7 rad for every pair of sample
// differences (-4095..4095 each; the library's atan2f: 2.5e-7), which is
// 1e-4 mm of distance at the 1500 mm range. atan2(0, 0) is 0, as from the
// library.
#pragma once

#include <cmath>

namespace Quorvan {
namespace si4c {

inline float phaseAngle(float y, float x) {
    constexpr float kHalfPi = 1.57079632679489661923f;
    constexpr float kPi = 3.14159265358979323846f;
    const float abs_x = std::fabs(x);
    const float abs_y = std::fabs(y);
    const bool steep = abs_y > abs_x;
    const float larger = steep ? abs_y : abs_x;
    const float smaller = steep ? abs_x : abs_y;
    // 0 / 1 rather than 0 / 0 at the origin.
    const float ratio = smaller / (larger > 0.0f ? larger : 1.0f);
    const float square = ratio * ratio;
    float series = 0.0028662257f;
    series = series * square - 0.0161657367f;
    series = series * square + 0.0429096138f;
    series = series * square - 0.0752896400f;
    series = series * square + 0.1065626393f;
    series = series * square - 0.1420889944f;
    series = series * square + 0.1999355085f;
    series = series * square - 0.3333314528f;
    float angle = ratio + ratio * square * series;
    angle = steep ? kHalfPi - angle : angle;
    angle = x < 0.0f ? kPi - angle : angle;
    return y < 0.0f ? -angle : angle;
}

}  // namespace si4c
}  // namespace Quorvan
