#pragma once

#include <cstdint>

struct complex_value {
    double re = 0.0;
    double im = 0.0;
};

// 2*pi as the transform's twiddle factors use it.
inline constexpr double two_pi = 6.283185307179586;

// output[k] = sum over m of input[m] * e^(+2*pi*i*m*k/n), unscaled, for any length n: a
// recursive decimation that splits off the smallest prime factor of the length at each
// level. This plain form defines every value the decoder computes; faster paths must
// reproduce it bit for bit. input and output must not overlap.
void mixed_radix_dft(const complex_value* input, complex_value* output, std::int32_t n);

// The smallest integer >= 2 dividing n (n itself when n is prime); n >= 2.
std::int32_t smallest_factor(std::int32_t n);
