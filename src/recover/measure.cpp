#include "recover/measure.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <numbers>

#include "base/error.h"

namespace {

constexpr double two_pi = 2.0 * std::numbers::pi;

// A tone stands out when its bin holds 10 dB more than the spectrum's median bin (the floor:
// hiss, or nothing), its partner 6 dB more and no more than 30 dB under it (filters and
// worn heads part the tones, never that far).
constexpr double tone_over_floor = 10.0;
constexpr double partner_over_floor = 4.0;
constexpr double partner_under_tone = 1e-3;
// The partner lies about an octave away: from 1.6 to 2.5 times the lower tone.
constexpr double partner_low = 1.6;
constexpr double partner_high = 2.5;
// The floor is the median bin from this frequency up (hum and DC below).
constexpr double floor_from_hz = 150.0;
// The watch's floor: the bins this many either way of the peak, the nearest skirt_bins not.
constexpr std::size_t neighbour_bins = 20;
constexpr std::size_t skirt_bins = 4;

// Tone changes: the discriminator (each tone's magnitude over its level) must swing past this
// share of a clean tone's either way, so that noise wobbling around zero makes no change.
constexpr double change_swing = 0.3;
// A window 20 dB under the stretch's strongest hears no carrier.
constexpr double no_sound = 0.1;
// Each tone must win at least this share of the stretch: a leader alone tells no bit rate.
constexpr double fewest_wins = 0.03;
// A tone fills a window alone where the discriminator is past this either way; the lower
// tone's measure moves by how it turns there by less than this share of it (a tone 5 % off).
constexpr double alone = 0.9;
constexpr double most_moved = 0.06;
// Changes kept at most per stretch, and the fewest a bit grid needs, and the share of them
// it must hold.
constexpr std::size_t most_changes = 4096;
constexpr std::size_t fewest_changes = 12;
constexpr double fitting_share = 0.4;
constexpr double on_grid = 0.3;  // of a bit, a spacing off a whole number of bits at most
constexpr double clean_share = 0.9;
// Spacings longer than this many bits are gaps between blocks (or a leader): the grid starts
// anew after them.
constexpr double longest_spacing_bits = 40.0;
// The bit-length candidates: a grid of ratio 1.004, scored by how near the spacings lie to
// whole numbers of bits.
constexpr double candidate_step = 1.004;
constexpr double best_share = 0.85;
constexpr std::size_t most_candidates = 1024;  // 5000 to 100 baud are 980
constexpr double fewest_score = 0.25;

// The complex transform of m.re, m.im in place: radix 2, each stage's twiddles in a row of
// their own.
void transform(signal_meter& m) {
    const std::size_t n = m.re.size();
    double* __restrict re = m.re.data();
    double* __restrict im = m.im.data();
    for (std::size_t i = 1; i < n; ++i) {
        const std::size_t j = m.reversed[i];
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    // The first stage's twiddle is 1.
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        const double tr = re[i + 1], ti = im[i + 1];
        re[i + 1] = re[i] - tr;
        im[i + 1] = im[i] - ti;
        re[i] += tr;
        im[i] += ti;
    }
    for (std::size_t half = 2; half < n; half <<= 1) {
        const double* __restrict wr = m.twiddle_re.data() + half - 1;
        const double* __restrict wi = m.twiddle_im.data() + half - 1;
        for (std::size_t i = 0; i < n; i += 2 * half) {
            double* __restrict ar = re + i;
            double* __restrict ai = im + i;
            double* __restrict br = re + i + half;
            double* __restrict bi = im + i + half;
            for (std::size_t k = 0; k < half; ++k) {
                const double tr = br[k] * wr[k] - bi[k] * wi[k];
                const double ti = br[k] * wi[k] + bi[k] * wr[k];
                br[k] = ar[k] - tr;
                bi[k] = ai[k] - ti;
                ar[k] += tr;
                ai[k] += ti;
            }
        }
    }
}

// The peak at bin k, refined between its neighbours (a parabola through the logs).
double peak_hz(const signal_meter& m, std::size_t k) {
    const double bin = static_cast<double>(m.sample_rate) / static_cast<double>(m.fft_size);
    double shift = 0.0;
    if (k > 0 && k + 1 < m.power.size() && m.power[k - 1] > 0.0 && m.power[k + 1] > 0.0) {
        const double l = std::log(m.power[k - 1]), c = std::log(m.power[k]),
                     r = std::log(m.power[k + 1]);
        const double curve = l - 2.0 * c + r;
        if (curve < 0.0) shift = std::clamp(0.5 * (l - r) / curve, -0.5, 0.5);
    }
    return (static_cast<double>(k) + shift) * bin;
}

// The strongest bin from `lo_hz` to `hi_hz` (within the range), or none.
std::optional<std::size_t> strongest(const signal_meter& m, double lo_hz, double hi_hz,
                                     const measure_range& range) {
    const double bin = static_cast<double>(m.sample_rate) / static_cast<double>(m.fft_size);
    lo_hz = std::max(lo_hz, range.lowest_tone);
    hi_hz = std::min(hi_hz, range.highest_tone);
    const auto lo = static_cast<std::size_t>(std::max(1.0, std::ceil(lo_hz / bin)));
    const auto hi = std::min(m.power.size() - 2, static_cast<std::size_t>(std::floor(hi_hz / bin)));
    if (!(lo_hz < hi_hz) || lo > hi) return std::nullopt;
    std::size_t best = lo;
    for (std::size_t k = lo; k <= hi; ++k)
        if (m.power[k] > m.power[best]) best = k;
    return best;
}

// How the lower tone's correlation turns from one sample to the next where it alone fills
// the window on both (the discriminator on the levels given): by the tone's offset from the
// frequency correlated. Within a run of the tone only: across runs a phase-continuous tone
// carries the turns of the other's mistuning.
struct turning {
    double level0 = 0.0, level1 = 0.0;
    std::complex<double> turn0;  // the sum of s(n) s*(n - 1)
};

// The two tones' magnitudes over a sliding window of `length` samples, each sample; with
// `turns`, how the lower tone turns too.
void correlate_tones(signal_meter& m, std::span<const double> x, double f0, double f1,
                     std::size_t length, turning* turns = nullptr) {
    const double fs = m.sample_rate;
    const std::complex<double> back0 = std::polar(1.0, two_pi * f0 * length / fs);
    const std::complex<double> back1 = std::polar(1.0, two_pi * f1 * length / fs);
    const std::complex<double> step0 = std::polar(1.0, -two_pi * f0 / fs);
    const std::complex<double> step1 = std::polar(1.0, -two_pi * f1 / fs);
    // Each sum takes the new sample's term and drops the term of the one a window back,
    // which is the new one's oscillator turned back by the window: (x[n] - x[n-L] back) osc.
    double o0r = 1.0, o0i = 0.0, o1r = 1.0, o1i = 0.0;
    double s0r = 0.0, s0i = 0.0, s1r = 0.0, s1i = 0.0;
    std::complex<double> before0;
    double was = 0.0;  // the discriminator a sample before
    for (std::size_t n = 0; n < x.size(); ++n) {
        // The oscillators from their exact phase now and then: rounding never accumulates.
        if (n % 1024 == 0) {
            const std::complex<double> e0 =
                std::polar(1.0, -std::remainder(two_pi * f0 * static_cast<double>(n) / fs, two_pi));
            const std::complex<double> e1 =
                std::polar(1.0, -std::remainder(two_pi * f1 * static_cast<double>(n) / fs, two_pi));
            o0r = e0.real();
            o0i = e0.imag();
            o1r = e1.real();
            o1i = e1.imag();
        }
        const double old = n >= length ? x[n - length] : 0.0;
        const double a0r = x[n] - old * back0.real(), a0i = -old * back0.imag();
        const double a1r = x[n] - old * back1.real(), a1i = -old * back1.imag();
        s0r += a0r * o0r - a0i * o0i;
        s0i += a0r * o0i + a0i * o0r;
        s1r += a1r * o1r - a1i * o1i;
        s1i += a1r * o1i + a1i * o1r;
        m.mag0[n] = static_cast<float>(std::sqrt(s0r * s0r + s0i * s0i));
        m.mag1[n] = static_cast<float>(std::sqrt(s1r * s1r + s1i * s1i));
        if (turns != nullptr) {
            const double d = m.mag1[n] / turns->level1 - m.mag0[n] / turns->level0;
            if (n > length && d < -alone && was < -alone)
                turns->turn0 += std::complex(s0r, s0i) * std::conj(before0);
            before0 = {s0r, s0i};
            was = d;
        }
        const double r0 = o0r * step0.real() - o0i * step0.imag();
        o0i = o0r * step0.imag() + o0i * step0.real();
        o0r = r0;
        const double r1 = o1r * step1.real() - o1i * step1.imag();
        o1i = o1r * step1.imag() + o1i * step1.real();
        o1r = r1;
    }
}

// The tone changes of the stretch: where the level-free discriminator crosses zero between
// swings past either side.
// Each tone's level: its mean magnitude where it wins, if each wins a fair share.
// Windows whose stronger tone is 20 dB under the stretch's strongest are no carrier (the
// silence or hiss around a block): they count for neither tone's level nor make a change.
double sound_floor(const signal_meter& m, std::size_t size, std::size_t length) {
    float peak = 0.0f;
    for (std::size_t n = length; n < size; ++n)
        peak = std::max({peak, m.mag0[n], m.mag1[n]});
    return no_sound * peak;
}

bool heard(const signal_meter& m, std::size_t n, double floor) {
    return std::max(m.mag0[n], m.mag1[n]) >= floor;
}

bool tone_levels(const signal_meter& m, std::size_t size, std::size_t length, double& level0,
                 double& level1) {
    double wins0 = 0.0, wins1 = 0.0;
    level0 = level1 = 0.0;
    const double floor = sound_floor(m, size, length);
    for (std::size_t n = length; n < size; ++n) {
        if (!heard(m, n, floor)) continue;
        if (m.mag0[n] > m.mag1[n]) {
            level0 += m.mag0[n];
            wins0 += 1.0;
        } else {
            level1 += m.mag1[n];
            wins1 += 1.0;
        }
    }
    const double total = wins0 + wins1;
    if (wins0 < fewest_wins * total || wins1 < fewest_wins * total) return false;
    level0 /= wins0;
    level1 /= wins1;
    return level0 > 0.0 && level1 > 0.0;
}

bool find_changes(signal_meter& m, std::size_t size, std::size_t length) {
    double level0 = 0.0, level1 = 0.0;
    if (!tone_levels(m, size, length, level0, level1)) return false;
    m.changes.clear();
    // A change lies midway between the last sample past the old side's swing and the first
    // past the new one's: noise moves either end, and their mean less.
    int side = 0;
    double left = 0.0;
    const double floor = sound_floor(m, size, length);
    for (std::size_t n = length; n < size && m.changes.size() < most_changes; ++n) {
        if (!heard(m, n, floor)) {
            side = 0;
            continue;
        }
        const double d = m.mag1[n] / level1 - m.mag0[n] / level0;
        const int now = d > change_swing ? 1 : d < -change_swing ? -1 : 0;
        if (now == 0) continue;
        if (now != side && side != 0) m.changes.push_back(0.5 * (left + static_cast<double>(n)));
        side = now;
        left = static_cast<double>(n);
    }
    return m.changes.size() > fewest_changes;
}

// How near the spacings lie to whole numbers of bits of length `bit`: 1 all of them.
double grid_score(const signal_meter& m, double bit) {
    double sum = 0.0, count = 0.0;
    for (std::size_t k = 1; k < m.changes.size(); ++k) {
        const double bits = (m.changes[k] - m.changes[k - 1]) / bit;
        if (bits > longest_spacing_bits) continue;
        sum += std::cos(two_pi * bits);
        count += 1.0;
    }
    return count > 0.0 ? sum / count : 0.0;
}

// The bit length (samples) the changes lie on, from `shortest` to `longest`, with the count
// of changes on it; 0 when they lie on none.
double fit_bit(signal_meter& m, double shortest, double longest, std::size_t& fitted) {
    fitted = 0;
    const std::size_t count = m.changes.size();
    // The bit is no longer than the shorter spacings (most of them one or two bits).
    m.spacings.clear();
    for (std::size_t k = 1; k < count; ++k)
        m.spacings.push_back(m.changes[k] - m.changes[k - 1]);
    const auto third = m.spacings.begin() + static_cast<std::ptrdiff_t>(m.spacings.size() * 3 / 10);
    std::nth_element(m.spacings.begin(), third, m.spacings.end());
    longest = std::min(longest, 1.25 * *third);
    if (!(shortest < longest)) return 0.0;
    // The longest candidate scoring near the best (a half or a third of the bit scores as
    // well as the bit), then the best around it.
    m.scores.clear();
    for (double b = shortest; b <= longest && m.scores.size() < most_candidates;
         b *= candidate_step)
        m.scores.push_back(grid_score(m, b));
    const double best = *std::max_element(m.scores.begin(), m.scores.end());
    if (best < fewest_score) return 0.0;
    double bit = 0.0, b = shortest;
    for (double score : m.scores) {
        if (score >= best_share * best) bit = b;
        b *= candidate_step;
    }
    for (double here = grid_score(m, bit);;) {
        const double up = grid_score(m, bit * candidate_step);
        const double down = grid_score(m, bit / candidate_step);
        if (up > here && up >= down) {
            bit *= candidate_step;
            here = up;
        } else if (down > here) {
            bit /= candidate_step;
            here = down;
        } else {
            break;
        }
    }
    // Each change measured from the last one on the grid (a change noise put between two is
    // skipped): the bit is what the spacings on it hold, bit for bit. From change to change,
    // so that wow and drift (2 % over half a second: bits of timing) do not take it off a
    // straight line; twice, the second time on the bit the first found.
    for (int pass = 0; pass < 2; ++pass) {
        double spans = 0.0, bits = 0.0;
        fitted = 0;
        for (std::size_t k = 1, last = 0; k < count; ++k) {
            const double span = m.changes[k] - m.changes[last];
            const double whole = std::round(span / bit);
            if (span / bit > longest_spacing_bits) {
                last = k;  // a gap: the grid starts anew
            } else if (whole >= 1.0 && std::fabs(span / bit - whole) <= on_grid) {
                spans += span;
                bits += whole;
                ++fitted;
                last = k;
            }
        }
        if (fitted < fewest_changes) return 0.0;
        bit = spans / bits;
    }
    if (static_cast<double>(fitted) < fitting_share * static_cast<double>(count)) return 0.0;
    return bit;
}

// The average power spectrum of the samples' frames (half overlapping) into m.power, what it
// held weighed by `keep`. A frame of n real samples is transformed as n / 2 complex ones (the
// even samples real, the odd imaginary), its spectrum then parted into theirs and joined.
void add_spectrum(signal_meter& m, std::span<const double> samples, double keep) {
    const std::size_t n = m.fft_size, half = n / 2;
    for (double& p : m.power)
        p *= keep;
    for (std::size_t start = 0; start + n <= samples.size(); start += half) {
        for (std::size_t k = 0; k < half; ++k) {
            m.re[k] = samples[start + 2 * k] * m.taper[2 * k];
            m.im[k] = samples[start + 2 * k + 1] * m.taper[2 * k + 1];
        }
        transform(m);
        // Bins 0 and n / 2 are the even and odd parts' sums at bin 0, real both.
        m.power[0] += (m.re[0] + m.im[0]) * (m.re[0] + m.im[0]);
        m.power[half] += (m.re[0] - m.im[0]) * (m.re[0] - m.im[0]);
        for (std::size_t k = 1; k < half; ++k) {
            const std::size_t a = k, b = half - k;
            // Even part (Z[k] + Z*[-k]) / 2, odd part (Z[k] - Z*[-k]) / 2i.
            const double er = 0.5 * (m.re[a] + m.re[b]), ei = 0.5 * (m.im[a] - m.im[b]);
            const double orr = 0.5 * (m.im[a] + m.im[b]), oi = -0.5 * (m.re[a] - m.re[b]);
            const double wr = m.split_re[k], wi = m.split_im[k];
            const double xr = er + wr * orr - wi * oi;
            const double xi = ei + wr * oi + wi * orr;
            m.power[k] += xr * xr + xi * xi;
        }
    }
}

}  // namespace

signal_meter make_signal_meter(std::int32_t sample_rate, std::size_t longest, double bin_hz) {
    if (sample_rate < 4000) throw fskdec_error("sample rate too low for the carrier frequency");
    if (!(bin_hz >= 1.0)) throw fskdec_error("unusable measuring settings");
    signal_meter m;
    m.sample_rate = sample_rate;
    m.fft_size = std::bit_ceil(static_cast<std::size_t>(std::ceil(sample_rate / bin_hz)));
    const std::size_t n = m.fft_size;
    const std::size_t half = n / 2;
    m.re.resize(half);
    m.im.resize(half);
    m.twiddle_re.resize(half);
    m.twiddle_im.resize(half);
    for (std::size_t h = 1; h < half; h <<= 1) {
        for (std::size_t k = 0; k < h; ++k) {
            const double angle = -two_pi * static_cast<double>(k) / static_cast<double>(2 * h);
            m.twiddle_re[h - 1 + k] = std::cos(angle);
            m.twiddle_im[h - 1 + k] = std::sin(angle);
        }
    }
    m.split_re.resize(half + 1);
    m.split_im.resize(half + 1);
    for (std::size_t k = 0; k <= half; ++k) {
        const double angle = -two_pi * static_cast<double>(k) / static_cast<double>(n);
        m.split_re[k] = std::cos(angle);
        m.split_im[k] = std::sin(angle);
    }
    m.reversed.resize(half);
    for (std::size_t i = 1, j = 0; i < half; ++i) {
        std::size_t bit = half >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        m.reversed[i] = static_cast<std::uint32_t>(j);
    }
    m.taper.resize(n);
    for (std::size_t k = 0; k < n; ++k)
        m.taper[k] = 0.5 - 0.5 * std::cos(two_pi * static_cast<double>(k) / static_cast<double>(n));
    m.power.resize(n / 2 + 1);
    m.previous.resize(n / 2 + 1);
    m.sorted.reserve(n / 2 + 1);
    m.mag0.resize(longest);
    m.mag1.resize(longest);
    m.filtered.resize(longest);
    if (longest > 0) {
        m.changes.reserve(most_changes);
        m.spacings.reserve(most_changes);
        m.scores.reserve(most_candidates);
    }
    return m;
}

std::size_t meter_frame(const signal_meter& m) {
    return m.fft_size;
}

std::optional<tone_pair> measure_tones(signal_meter& m, std::span<const double> samples,
                                       const measure_range& range) {
    const std::size_t n = m.fft_size;
    if (samples.size() < n) return std::nullopt;
    add_spectrum(m, samples, 0.0);
    const double bin = static_cast<double>(m.sample_rate) / static_cast<double>(n);
    m.sorted.assign(m.power.begin() + static_cast<std::ptrdiff_t>(std::ceil(floor_from_hz / bin)),
                    m.power.end());
    const auto middle = m.sorted.begin() + static_cast<std::ptrdiff_t>(m.sorted.size() / 2);
    std::nth_element(m.sorted.begin(), middle, m.sorted.end());
    const double floor = *middle;
    const std::optional<std::size_t> first =
        strongest(m, range.lowest_tone, range.highest_tone, range);
    // A floor of nothing (digital silence around a tone) is no reason to doubt the tone.
    if (!first || !(m.power[*first] > tone_over_floor * floor) || !(m.power[*first] > 0.0))
        return std::nullopt;
    const double f = peak_hz(m, *first);
    const std::optional<std::size_t> above = strongest(m, partner_low * f, partner_high * f, range);
    const std::optional<std::size_t> below = strongest(m, f / partner_high, f / partner_low, range);
    std::optional<std::size_t> partner = above;
    if (below && (!above || m.power[*below] > m.power[*above])) partner = below;
    tone_pair pair;
    pair.upper = f;
    if (partner && m.power[*partner] > partner_over_floor * floor &&
        m.power[*partner] > partner_under_tone * m.power[*first]) {
        const double g = peak_hz(m, *partner);
        pair.lower = std::min(f, g);
        pair.upper = std::max(f, g);
    }
    return pair;
}

bool tone_stands_out(signal_meter& m, std::span<const double> frame, const measure_range& range) {
    if (frame.size() < m.fft_size) return false;
    add_spectrum(m, frame.first(m.fft_size), 0.0);
    for (std::size_t k = 0; k < m.power.size(); ++k)
        std::swap(m.power[k], m.previous[k]);
    for (std::size_t k = 0; k < m.power.size(); ++k)
        m.power[k] += m.previous[k];
    const std::optional<std::size_t> peak =
        strongest(m, range.lowest_tone, range.highest_tone, range);
    if (!peak || !(m.power[*peak] > 0.0)) return false;
    // The median of the bins around it, a few nearest left out (a tone's own skirt, a
    // carrier's spread).
    std::array<double, 2 * neighbour_bins> around{};
    std::size_t count = 0;
    const std::size_t k = *peak;
    for (std::size_t j = k > neighbour_bins ? k - neighbour_bins : 1;
         j <= std::min(k + neighbour_bins, m.power.size() - 1); ++j) {
        if (j + skirt_bins < k || j > k + skirt_bins) around[count++] = m.power[j];
    }
    if (count == 0) return false;
    const auto middle = around.begin() + static_cast<std::ptrdiff_t>(count / 2);
    std::nth_element(around.begin(), middle, around.begin() + static_cast<std::ptrdiff_t>(count));
    return m.power[k] > tone_over_floor * *middle;
}

std::optional<measured_signal> measure_signal(signal_meter& m, std::span<const double> input,
                                              const measure_range& range) {
    input = input.first(std::min(input.size(), m.mag0.size()));
    // Hum and DC out first (hum three times the carrier pulls a short window's correlation
    // with the lower tone by a quarter): a second-order high-pass at half the lowest tone.
    {
        const double w = two_pi * 0.5 * range.lowest_tone / m.sample_rate;
        const double alpha = std::sin(w) / std::sqrt(2.0), c = std::cos(w), a0 = 1.0 + alpha;
        const double b0 = (1.0 + c) / 2.0 / a0, b1 = -(1.0 + c) / a0, a1 = -2.0 * c / a0,
                     a2 = (1.0 - alpha) / a0;
        double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
        for (std::size_t n = 0; n < input.size(); ++n) {
            const double y = b0 * input[n] + b1 * x1 + b0 * x2 - a1 * y1 - a2 * y2;
            x2 = x1;
            x1 = input[n];
            y2 = y1;
            y1 = y;
            m.filtered[n] = y;
        }
    }
    const std::span<const double> samples(m.filtered.data(), input.size());
    const std::optional<tone_pair> tones = measure_tones(m, samples, range);
    if (!tones || tones->lower <= 0.0) return std::nullopt;
    const double fs = m.sample_rate;
    // A bit holds about a cycle of the lower tone or more.
    const double shortest = std::max(fs / range.highest_baud, 0.85 * fs / tones->lower);
    const double longest = fs / range.lowest_baud;
    // Windows of 1, 2, 4... cycles of the lower tone: the shortest follows the shortest bits,
    // a longer one hears less noise. The grid holding the largest share of its changes wins
    // (a window longer than a bit and a half misses single bits: not tried past that).
    const double cycle = fs / tones->lower;
    double bit = 0.0, share = 0.0;
    std::size_t fitted = 0;
    for (double cycles = 1.0; cycles * cycle <= 1.5 * longest; cycles *= 2.0) {
        const auto length = static_cast<std::size_t>(std::max(4.0, std::round(cycles * cycle)));
        if (length >= samples.size() / 4) break;
        correlate_tones(m, samples, tones->lower, tones->upper, length);
        std::size_t count = 0;
        const double found =
            find_changes(m, samples.size(), length) ? fit_bit(m, shortest, longest, count) : 0.0;
        const double part =
            found > 0.0 ? static_cast<double>(count) / static_cast<double>(m.changes.size()) : 0.0;
        if (static_cast<double>(length) <= 1.5 * found && part > share) {
            bit = found;
            share = part;
            fitted = count;
        }
        if (share >= clean_share) break;  // a clean carrier: no need of longer windows
    }
    if (!(bit > 0.0)) return std::nullopt;
    // The spectrum's peaks are the tones only where each bit holds whole cycles of both; with
    // the upper tone mistuned the lower one's peak moves by a few percent (the upper turns
    // the lower's phase from run to run). The upper tone, measured mostly on long idle runs,
    // stands; the lower is measured again from how its correlation turns within its runs,
    // over whole cycles of it (about half a bit), where its image at the negative frequency
    // sums to nothing: twice, from the first measure and then this.
    double f0 = tones->lower;
    const double f1 = tones->upper;
    for (int pass = 0; pass < 2; ++pass) {
        const double cycles = std::max(1.0, std::round(0.5 * bit * f0 / fs));
        const auto window = static_cast<std::size_t>(std::max(4.0, std::round(cycles * fs / f0)));
        turning turns;
        correlate_tones(m, samples, f0, f1, window);
        if (!tone_levels(m, samples.size(), window, turns.level0, turns.level1)) break;
        correlate_tones(m, samples, f0, f1, window, &turns);
        // Not beyond the mistuning a carrier may have: what moves it further is not the tone.
        const double moved = std::arg(turns.turn0) * fs / two_pi;
        if (std::abs(turns.turn0) > 0.0 && std::fabs(moved) < most_moved * f0) f0 += moved;
    }
    measured_signal s;
    s.baud_rate = fs / bit;
    s.lower_tone = f0;
    s.upper_tone = f1;
    s.changes = fitted;
    s.share = share;
    return s;
}
