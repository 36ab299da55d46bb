#include "demod/dft.h"

#include <algorithm>
#include <cmath>
#include <vector>

std::int32_t smallest_factor(std::int32_t n) {
    for (std::int32_t p = 2; p <= n / p; ++p) {
        if (n % p == 0) return p;
    }
    return n;
}

void mixed_radix_dft(const complex_value* input, complex_value* output, std::int32_t n) {
    if (n <= 1) {
        if (n == 1) output[0] = input[0];
        return;
    }
    const std::int32_t p = smallest_factor(n);
    const std::int32_t m = n / p;
    std::vector<complex_value> sub_in(static_cast<std::size_t>(m));
    std::vector<complex_value> sub_out(static_cast<std::size_t>(m));

    std::fill(output, output + n, complex_value{});
    for (std::int32_t j = 0; j < p; ++j) {
        for (std::int32_t l = 0; l < m; ++l)
            sub_in[l] = input[j + l * p];
        mixed_radix_dft(sub_in.data(), sub_out.data(), m);
        const double two_pi_j = two_pi * j;
        for (std::int32_t k = 0; k < n; ++k) {
            const double theta = k * two_pi_j / n;
            const double c = std::cos(theta);
            const double s = std::sin(theta);
            const complex_value x = sub_out[k % m];
            output[k].re += c * x.re - s * x.im;
            output[k].im += c * x.im + s * x.re;
        }
    }
}
