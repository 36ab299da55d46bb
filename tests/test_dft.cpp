// The plain transform: its shape on simple inputs, its agreement with the defining sum, and
// the exact evaluation order (smallest factor first, twiddle angle k * (2*pi*j) / n, terms
// accumulated from zero for j = 0, 1, ...) that every faster path must reproduce bit for bit.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "demod/dft.h"

namespace {

using cvec = std::vector<complex_value>;

cvec transform(const cvec& in) {
    cvec out(in.size(), complex_value{-7.0, -7.0});  // every bin must be overwritten
    mixed_radix_dft(in.data(), out.data(), static_cast<std::int32_t>(in.size()));
    return out;
}

cvec random_input(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    cvec v(n);
    for (complex_value& x : v)
        x = {dist(gen), dist(gen)};
    return v;
}

// The defining sum in long double, angles reduced exactly: the accurate value.
cvec accurate_sum(const cvec& in) {
    const std::size_t n = in.size();
    const long double two_pi_l = 6.283185307179586476925286766559L;
    cvec out(n);
    for (std::size_t k = 0; k < n; ++k) {
        long double re = 0, im = 0;
        for (std::size_t m = 0; m < n; ++m) {
            const long double t = two_pi_l * static_cast<long double>((m * k) % n) / n;
            re += std::cos(t) * in[m].re - std::sin(t) * in[m].im;
            im += std::cos(t) * in[m].im + std::sin(t) * in[m].re;
        }
        out[k] = {static_cast<double>(re), static_cast<double>(im)};
    }
    return out;
}

// The defining sum evaluated in the prescribed double arithmetic, as the transform does at
// a prime length (one level, every sub-transform of length 1).
cvec prescribed_sum(const cvec& in) {
    const auto n = static_cast<std::int32_t>(in.size());
    cvec out(in.size());
    for (std::int32_t k = 0; k < n; ++k) {
        double re = 0.0, im = 0.0;
        for (std::int32_t j = 0; j < n; ++j) {
            const double theta = k * (two_pi * j) / n;
            const double c = std::cos(theta), s = std::sin(theta);
            re += c * in[j].re - s * in[j].im;
            im += c * in[j].im + s * in[j].re;
        }
        out[k] = {re, im};
    }
    return out;
}

void expect_bitwise_equal(const cvec& got, const cvec& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        EXPECT_EQ(got[k].re, want[k].re) << "bin " << k;
        EXPECT_EQ(got[k].im, want[k].im) << "bin " << k;
    }
}

void expect_near(const cvec& got, const cvec& want, double tolerance) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        EXPECT_NEAR(got[k].re, want[k].re, tolerance) << "bin " << k;
        EXPECT_NEAR(got[k].im, want[k].im, tolerance) << "bin " << k;
    }
}

TEST(Dft, LengthZeroTouchesNothing) {
    complex_value in{1.0, 2.0};
    complex_value out{3.0, 4.0};
    mixed_radix_dft(&in, &out, 0);
    mixed_radix_dft(&in, &out, -5);
    EXPECT_EQ(out.re, 3.0);
    EXPECT_EQ(out.im, 4.0);
}

TEST(Dft, LengthOneCopies) {
    const cvec out = transform({{-0.375, 1e300}});
    EXPECT_EQ(out[0].re, -0.375);
    EXPECT_EQ(out[0].im, 1e300);
}

TEST(Dft, ConstantGoesToBinZeroUnscaled) {
    for (std::size_t n : {2u, 7u, 36u, 40u}) {
        const cvec out = transform(cvec(n, complex_value{3.0, -2.0}));
        EXPECT_NEAR(out[0].re, 3.0 * n, 1e-12) << n;
        EXPECT_NEAR(out[0].im, -2.0 * n, 1e-12) << n;
        for (std::size_t k = 1; k < n; ++k) {
            EXPECT_NEAR(out[k].re, 0.0, 1e-12) << n << " bin " << k;
            EXPECT_NEAR(out[k].im, 0.0, 1e-12) << n << " bin " << k;
        }
    }
}

TEST(Dft, ImpulseUsesThePositiveExponent) {
    struct row {
        std::size_t n, m0;
    };
    for (row r : {row{36, 1}, row{36, 5}, row{37, 3}, row{40, 39}}) {
        cvec in(r.n);
        in[r.m0] = {1.0, 0.0};
        const cvec out = transform(in);
        for (std::size_t k = 0; k < r.n; ++k) {
            const double t = 2.0 * std::numbers::pi * static_cast<double>(r.m0 * k) / r.n;
            EXPECT_NEAR(out[k].re, std::cos(t), 1e-12) << r.n << "/" << r.m0 << " bin " << k;
            EXPECT_NEAR(out[k].im, std::sin(t), 1e-12) << r.n << "/" << r.m0 << " bin " << k;
        }
    }
}

TEST(Dft, CosineOnBinOneFillsBinsOneAndLast) {
    for (std::size_t n : {3u, 36u, 37u, 40u}) {
        cvec in(n);
        for (std::size_t m = 0; m < n; ++m)
            in[m] = {std::cos(2.0 * std::numbers::pi * static_cast<double>(m) / n), 0.0};
        const cvec out = transform(in);
        for (std::size_t k = 0; k < n; ++k) {
            const double want = (k == 1 || k == n - 1) ? n / 2.0 : 0.0;
            EXPECT_NEAR(out[k].re, want, 1e-11) << n << " bin " << k;
            EXPECT_NEAR(out[k].im, 0.0, 1e-11) << n << " bin " << k;
        }
    }
}

TEST(Dft, AgreesWithTheDefiningSum) {
    for (std::size_t n : {2u, 7u, 36u, 37u, 40u, 72u, 80u, 97u}) {
        const cvec in = random_input(n, static_cast<unsigned>(n));
        expect_near(transform(in), accurate_sum(in), 1e-12 * static_cast<double>(n));
    }
}

TEST(Dft, PrimeLengthsAreTheDefiningSumInTheirOrder) {
    for (std::size_t n : {2u, 3u, 7u, 37u, 97u})
        expect_bitwise_equal(transform(random_input(n, 100 + static_cast<unsigned>(n))),
                             prescribed_sum(random_input(n, 100 + static_cast<unsigned>(n))));
}

// n = p * q with primes p < q: one split by p (the smaller factor), sub-transforms of
// length q over input[j + l*p], combined as out[k] = sum over j of w(k*(2*pi*j)/n) *
// sub_j[k mod q], accumulated from zero in increasing j.
TEST(Dft, TwoFactorLengthsSplitOffTheSmallerFactorFirst) {
    struct row {
        std::int32_t p, q;
    };
    for (row r : {row{2, 3}, row{2, 19}, row{3, 5}, row{5, 7}}) {
        const std::int32_t n = r.p * r.q;
        const cvec in = random_input(static_cast<std::size_t>(n), static_cast<unsigned>(n));
        std::vector<cvec> sub;
        for (std::int32_t j = 0; j < r.p; ++j) {
            cvec gathered;
            for (std::int32_t l = 0; l < r.q; ++l)
                gathered.push_back(in[static_cast<std::size_t>(j + l * r.p)]);
            sub.push_back(prescribed_sum(gathered));
        }
        cvec want(static_cast<std::size_t>(n));
        for (std::int32_t k = 0; k < n; ++k) {
            double re = 0.0, im = 0.0;
            for (std::int32_t j = 0; j < r.p; ++j) {
                const double theta = k * (two_pi * j) / n;
                const double c = std::cos(theta), s = std::sin(theta);
                const complex_value x = sub[static_cast<std::size_t>(j)][k % r.q];
                re += c * x.re - s * x.im;
                im += c * x.im + s * x.re;
            }
            want[static_cast<std::size_t>(k)] = {re, im};
        }
        SCOPED_TRACE(n);
        expect_bitwise_equal(transform(in), want);
    }
}

TEST(Dft, SmallestFactor) {
    struct row {
        std::int32_t n, p;
    };
    for (row r : {row{2, 2}, row{3, 3}, row{4, 2}, row{9, 3}, row{25, 5}, row{35, 5}, row{36, 2},
                  row{37, 37}, row{49, 7}, row{2147483647, 2147483647}, row{2147483646, 2},
                  row{46337 * 46337, 46337}})
        EXPECT_EQ(smallest_factor(r.n), r.p) << r.n;
}

}  // namespace
