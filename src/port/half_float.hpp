#pragma once

#include <cstdint>

// A float as the IEEE 754 binary16 bit pattern nearest to it (ties to even):
// too large a magnitude gives infinity, too small a signed zero, a NaN stays
// a NaN. The inverse of `half_to_float` for every value a half can hold.
uint16_t float_to_half(float value);
