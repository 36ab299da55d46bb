#include "impair.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double two_pi = 2.0 * std::numbers::pi;

struct section {
    double b0, b1, b2, a1, a2;
};

void run_section(std::vector<double>& x, const section& s) {
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
    for (double& v : x) {
        const double y = s.b0 * v + s.b1 * x1 + s.b2 * x2 - s.a1 * y1 - s.a2 * y2;
        x2 = x1;
        x1 = v;
        y2 = y1;
        y1 = y;
        v = y;
    }
}

section normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
    return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

}  // namespace

std::uint64_t next_random(random_source& r) {
    std::uint64_t z = (r.state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double uniform(random_source& r) {
    return static_cast<double>((next_random(r) >> 11) + 1) * 0x1.0p-53;
}

double gaussian(random_source& r) {
    const double m = std::sqrt(-2.0 * std::log(uniform(r)));
    return m * std::cos(two_pi * uniform(r));
}

std::vector<std::uint8_t> random_bytes(std::size_t count, random_source& r) {
    std::vector<std::uint8_t> out(count);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(next_random(r) >> 56);
    return out;
}

std::vector<std::uint8_t> frame_bits(const std::vector<std::uint8_t>& bytes,
                                     const std::vector<int>& gaps, int leader, int trailer) {
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(leader), 1);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bits.push_back(0);
        for (int k = 0; k < 8; ++k)
            bits.push_back(static_cast<std::uint8_t>((bytes[i] >> k) & 1));
        bits.insert(bits.end(), static_cast<std::size_t>(i < gaps.size() ? gaps[i] : 1), 1);
    }
    bits.insert(bits.end(), static_cast<std::size_t>(trailer), 1);
    return bits;
}

std::vector<double> render_fsk(const std::vector<std::uint8_t>& bits, const tone_settings& tone,
                               const time_warp& warp) {
    const double rate = tone.sample_rate;
    const double baud = tone.signal.baud_rate;
    const double f0 = tone.signal.lower_tone;
    const double length = static_cast<double>(bits.size()) / baud;  // recording time
    // Playback time is about the recording time over the mean rate; the drift term is centred.
    const double duration = length / (1.0 + warp.speed);
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(duration * rate * 1.1) + 16);
    // Mistuned tones: the phase accumulates across bits (cycles at each bit's start).
    const bool mistuned = tone.lower_hz > 0.0 || tone.upper_hz > 0.0;
    const double hz0 = tone.lower_hz > 0.0 ? tone.lower_hz : f0;
    const double hz1 = tone.upper_hz > 0.0 ? tone.upper_hz : 2.0 * f0;
    double cycles = 0.0;
    std::size_t counted = 0;  // bits whose cycles are in `cycles`
    for (std::uint64_t n = 0;; ++n) {
        const double t = static_cast<double>(n) / rate;
        double tau = (1.0 + warp.speed) * t + warp.drift * (t * t / (2.0 * duration) - t / 2.0);
        if (warp.wow > 0.0)
            tau += warp.wow * (1.0 - std::cos(two_pi * warp.wow_hz * t)) / (two_pi * warp.wow_hz);
        if (warp.flutter > 0.0) {
            tau += warp.flutter * (1.0 - std::cos(two_pi * warp.flutter_hz * t)) /
                   (two_pi * warp.flutter_hz);
        }
        if (tau >= length || n > 100'000'000) break;
        const double at = tau * baud;
        const auto k = static_cast<std::size_t>(at);
        const int bit = bits[k];
        const double f = bit ? 2.0 * f0 : f0;
        // Whole cycles per bit: the phase at every boundary is the same.
        double phase = two_pi * f * (at - static_cast<double>(k)) / baud + tone.phase;
        if (mistuned) {
            for (; counted < k; ++counted)
                cycles = std::fmod(cycles + (bits[counted] ? hz1 : hz0) / baud, 1.0);
            phase = two_pi * (cycles + (bit ? hz1 : hz0) * (at - static_cast<double>(k)) / baud) +
                    tone.phase;
        }
        double v = std::cos(phase);
        if (tone.square) v = v >= 0.0 ? 1.0 : -1.0;
        out.push_back(tone.amplitude * (bit ? tone.gain1 : tone.gain0) * v);
    }
    return out;
}

void apply_high_pass(std::vector<double>& x, double corner, double rate, double q) {
    const double w = two_pi * corner / rate, c = std::cos(w), alpha = std::sin(w) / (2.0 * q);
    run_section(x, normalised((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha));
}

void apply_low_pass(std::vector<double>& x, double corner, double rate, double q) {
    const double w = two_pi * corner / rate, c = std::cos(w), alpha = std::sin(w) / (2.0 * q);
    run_section(x, normalised((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha));
}

void apply_all_pass(std::vector<double>& x, double corner, double rate, double q) {
    const double w = two_pi * corner / rate, c = std::cos(w), alpha = std::sin(w) / (2.0 * q);
    run_section(x, normalised(1 - alpha, -2 * c, 1 + alpha, 1 + alpha, -2 * c, 1 - alpha));
}

void apply_gain(std::vector<double>& x, double gain) {
    for (double& v : x)
        v *= gain;
}

void apply_clip(std::vector<double>& x, double limit) {
    for (double& v : x)
        v = std::clamp(v, -limit, limit);
}

void apply_pumping(std::vector<double>& x, double depth_db, double hz, double rate) {
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double db = depth_db * std::sin(two_pi * hz * static_cast<double>(n) / rate);
        x[n] *= std::pow(10.0, db / 20.0);
    }
}

void apply_dropouts(std::vector<double>& x, double every_s, double length_s, double depth_db,
                    double rate) {
    const double gain = std::pow(10.0, -depth_db / 20.0);
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        if (std::fmod(t, every_s) > every_s - length_s) x[n] *= gain;
    }
}

void add_white_noise(std::vector<double>& x, double deviation, random_source& r) {
    for (double& v : x)
        v += deviation * gaussian(r);
}

void add_hiss(std::vector<double>& x, double deviation, double rate, random_source& r) {
    // Tape hiss rises toward the treble: white noise through a first-difference shelf, then
    // a gentle low-pass, scaled to the deviation asked for.
    std::vector<double> h(x.size());
    double last = 0.0;
    for (double& v : h) {
        const double g = gaussian(r);
        v = g - 0.7 * last;
        last = g;
    }
    apply_low_pass(h, std::min(8000.0, 0.45 * rate), rate);
    double power = 0.0;
    for (double v : h)
        power += v * v;
    const double scale = h.empty() ? 0.0 : deviation / std::sqrt(power / h.size());
    for (std::size_t n = 0; n < x.size(); ++n)
        x[n] += scale * h[n];
}

void add_dc(std::vector<double>& x, double offset) {
    for (double& v : x)
        v += offset;
}

void add_hum(std::vector<double>& x, double amplitude, double hz, double rate) {
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        x[n] += amplitude * (std::sin(two_pi * hz * t) + 0.3 * std::sin(two_pi * 3 * hz * t) +
                             0.1 * std::sin(two_pi * 5 * hz * t));
    }
}

void apply_mu_law(std::vector<double>& x) {
    constexpr double mu = 255.0;
    for (double& v : x) {
        const double c = std::clamp(v, -1.0, 1.0);
        const double y = std::copysign(std::log1p(mu * std::abs(c)) / std::log1p(mu), c);
        const double q = std::round(y * 127.0) / 127.0;  // 8 bits on the line
        v = std::copysign((std::pow(1.0 + mu, std::abs(q)) - 1.0) / mu, q);
    }
}

void quantise_16(std::vector<double>& x) {
    for (double& v : x)
        v = std::clamp(std::round(v * 32767.0), -32768.0, 32767.0) / 32767.0;
}

double noise_for_ebn0(double ebn0_db, double amplitude, double rate, double baud) {
    // Eb = A^2 / 2 / baud, N0 = 2 sigma^2 / rate.
    const double ebn0 = std::pow(10.0, ebn0_db / 10.0);
    return amplitude * std::sqrt(rate / (4.0 * baud * ebn0));
}

std::vector<double> sweep(double from_hz, double to_hz, double seconds, double rate) {
    const auto n = static_cast<std::size_t>(seconds * rate);
    std::vector<double> out(n);
    const double k = std::log(to_hz / from_hz) / seconds;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        out[i] = 0.5 * std::sin(two_pi * from_hz * (std::exp(k * t) - 1.0) / k);
    }
    return out;
}

std::vector<double> steady_tone(double hz, double seconds, double rate, double amplitude) {
    const auto n = static_cast<std::size_t>(seconds * rate);
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = amplitude * std::sin(two_pi * hz * static_cast<double>(i) / rate);
    return out;
}

std::vector<double> speech_like(double seconds, double rate, random_source& r) {
    // Voiced syllables: a gliding pitch with its harmonics shaped by two moving formants,
    // under a syllable envelope, with bursts of noise between.
    const auto n = static_cast<std::size_t>(seconds * rate);
    std::vector<double> out(n);
    double phase = 0.0;
    const double jitter = uniform(r);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double pitch = 130.0 + 40.0 * std::sin(two_pi * (0.7 + jitter) * t);
        phase += two_pi * pitch / rate;
        const double f1 = 500.0 + 300.0 * std::sin(two_pi * 2.1 * t);
        const double f2 = 1500.0 + 700.0 * std::sin(two_pi * 1.3 * t + 1.0);
        double v = 0.0;
        for (int h = 1; h * pitch < std::min(4000.0, 0.45 * rate); ++h) {
            const double f = h * pitch;
            const double a = 1.0 / (1.0 + std::pow((f - f1) / 150.0, 2)) +
                             0.5 / (1.0 + std::pow((f - f2) / 200.0, 2));
            v += a * std::sin(h * phase) / h;
        }
        const double syllable = std::abs(std::sin(two_pi * 2.0 * t));
        const double voiced = syllable > 0.3 ? syllable : 0.0;
        out[i] = 0.3 * voiced * v + (voiced > 0.0 ? 0.0 : 0.02 * gaussian(r));
    }
    return out;
}

std::vector<double> music_like(double seconds, double rate, random_source& r) {
    // Chords of plucked notes with six harmonics each, a new chord twice a second.
    const auto n = static_cast<std::size_t>(seconds * rate);
    std::vector<double> out(n, 0.0);
    const double scale[] = {220.0, 246.9, 261.6, 293.7, 329.6, 349.2, 392.0, 440.0};
    const auto note_len = static_cast<std::size_t>(0.5 * rate);
    for (std::size_t start = 0; start < n; start += note_len) {
        for (int voice = 0; voice < 3; ++voice) {
            const double f = scale[next_random(r) % 8] * (voice == 2 ? 2.0 : 1.0);
            for (std::size_t i = start; i < std::min(n, start + note_len); ++i) {
                const double t = static_cast<double>(i - start) / rate;
                const double env = std::exp(-4.0 * t) * std::min(1.0, t * 200.0);
                double v = 0.0;
                for (int h = 1; h <= 6; ++h)
                    v += std::sin(two_pi * h * f * t) / (h * h);
                out[i] += 0.2 * env * v;
            }
        }
    }
    return out;
}

namespace {

void scale_to(std::vector<double>& x, double deviation) {
    double power = 0.0;
    for (double v : x)
        power += v * v;
    const double scale = power > 0.0 ? deviation / std::sqrt(power / x.size()) : 0.0;
    for (double& v : x)
        v *= scale;
}

}  // namespace

std::vector<double> coloured_noise(noise_colour colour, double seconds, double rate,
                                   double deviation, random_source& r) {
    std::vector<double> x(static_cast<std::size_t>(seconds * rate));
    double b[7] = {};
    for (double& v : x) {
        const double w = gaussian(r);
        if (colour == noise_colour::white) {
            v = w;
        } else if (colour == noise_colour::pink) {
            // A sum of first-order low-passes spread over the octaves approximates 1/f.
            b[0] = 0.99886 * b[0] + w * 0.0555179;
            b[1] = 0.99332 * b[1] + w * 0.0750759;
            b[2] = 0.96900 * b[2] + w * 0.1538520;
            b[3] = 0.86650 * b[3] + w * 0.3104856;
            b[4] = 0.55000 * b[4] + w * 0.5329522;
            b[5] = -0.7616 * b[5] - w * 0.0168980;
            v = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
            b[6] = w * 0.115926;
        } else {
            // Integrated, slightly leaky so it does not wander off.
            b[0] = 0.998 * b[0] + w;
            v = b[0];
        }
    }
    apply_high_pass(x, 20.0, rate);
    scale_to(x, deviation);
    return x;
}

std::vector<double> band_noise(double low_hz, double high_hz, double seconds, double rate,
                               double deviation, random_source& r) {
    std::vector<double> x = coloured_noise(noise_colour::white, seconds, rate, 1.0, r);
    for (int k = 0; k < 2; ++k) {
        apply_high_pass(x, low_hz, rate);
        apply_low_pass(x, high_hz, rate);
    }
    scale_to(x, deviation);
    return x;
}

std::vector<double> plucked(const std::vector<double>& hz, double seconds, double rate,
                            random_source& r) {
    std::vector<double> x(static_cast<std::size_t>(seconds * rate), 0.0);
    // A note each half second, the pitches in turn, each ringing until the next of its own.
    const auto every = static_cast<std::size_t>(0.5 * rate);
    for (std::size_t start = 0, i = 0; start < x.size(); start += every, ++i) {
        const double f = hz[i % hz.size()];
        std::vector<double> line(static_cast<std::size_t>(rate / f));
        for (double& v : line)
            v = 2.0 * uniform(r) - 1.0;
        const std::size_t end = std::min(x.size(), start + every * hz.size());
        for (std::size_t n = start, k = 0; n < end; ++n) {
            const std::size_t next = k + 1 == line.size() ? 0 : k + 1;
            const double v = line[k];
            line[k] = 0.996 * 0.5 * (line[k] + line[next]);
            x[n] += 0.3 * v;
            k = next;
        }
    }
    return x;
}

std::vector<double> tremolo_pair(double hz_a, double hz_b, double tremolo_hz, double seconds,
                                 double rate) {
    std::vector<double> x(static_cast<std::size_t>(seconds * rate));
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        const double depth = 0.5 * (1.0 + std::sin(two_pi * tremolo_hz * t));
        x[n] = 0.25 * depth * (std::sin(two_pi * hz_a * t) + std::sin(two_pi * hz_b * t));
    }
    return x;
}

std::size_t edit_distance(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

byte_alignment align_bytes(const std::vector<std::uint8_t>& sent,
                           const std::vector<std::uint8_t>& got) {
    // The usual table of edit distances between prefixes, two rows at a time, and for each
    // cell the step it was reached by, to walk back along one optimal alignment. A pairing of
    // equal bytes is preferred to a deletion and an insertion of the same cost.
    constexpr std::uint8_t pair = 0, lose = 1, add = 2;
    const std::size_t n = sent.size(), m = got.size();
    std::vector<std::uint8_t> step((n + 1) * (m + 1), add);
    std::vector<std::size_t> above(m + 1), here(m + 1);
    for (std::size_t j = 0; j <= m; ++j)
        above[j] = j;
    for (std::size_t i = 1; i <= n; ++i) {
        here[0] = i;
        step[i * (m + 1)] = lose;
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t diagonal = above[j - 1] + (sent[i - 1] != got[j - 1]);
            std::size_t best = diagonal;
            std::uint8_t how = pair;
            if (above[j] + 1 < best) {
                best = above[j] + 1;
                how = lose;
            }
            if (here[j - 1] + 1 < best) {
                best = here[j - 1] + 1;
                how = add;
            }
            here[j] = best;
            step[i * (m + 1) + j] = how;
        }
        std::swap(above, here);
    }
    byte_alignment out{above[m], std::vector<bool>(n, false)};
    for (std::size_t i = n, j = m; i > 0;) {
        const std::uint8_t how = j == 0 ? lose : step[i * (m + 1) + j];
        if (how == pair) {
            out.kept[i - 1] = sent[i - 1] == got[j - 1];
            --i;
            --j;
        } else if (how == lose) {
            --i;
        } else {
            --j;
        }
    }
    return out;
}

double dbfs(double db) {
    return std::pow(10.0, db / 20.0);
}

void mix_in(std::vector<double>& x, const std::vector<double>& part, std::size_t at, double gain) {
    if (x.size() < at + part.size()) x.resize(at + part.size(), 0.0);
    for (std::size_t n = 0; n < part.size(); ++n)
        x[at + n] += gain * part[n];
}
