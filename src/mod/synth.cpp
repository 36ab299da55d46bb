#include "mod/synth.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "audio/wav_writer.h"
#include "base/error.h"
#include "demod/dft.h"

namespace {

// splitmix64: a small, portable generator, so that a seed gives the same noise everywhere.
std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double uniform_open(std::uint64_t& state) {  // in (0, 1]
    return static_cast<double>((next_random(state) >> 11) + 1) * 0x1.0p-53;
}

double gaussian(std::uint64_t& state) {  // Box-Muller
    const double r = std::sqrt(-2.0 * std::log(uniform_open(state)));
    return r * std::cos(two_pi * uniform_open(state));
}

void put_sample(const synth_settings& signal, double value, std::vector<double>& out) {
    out.push_back(value);
    for (std::int32_t c = 1; c < signal.channels; ++c)
        out.push_back(-value);
}

// The tone's value at phase step `turn` of `rate` steps per cycle.
double tone_at(std::uint64_t turn, std::uint64_t rate, double phase0) {
    return std::cos(two_pi * static_cast<double>(turn) / static_cast<double>(rate) + phase0);
}

}  // namespace

void check_synth_settings(const synth_settings& signal) {
    if (signal.baud_rate <= 0) throw fskdec_error("illegal baud rate");
    if (signal.lower_tone <= 0 || signal.lower_tone % signal.baud_rate != 0) {
        throw fskdec_error("illegal carrier frequency");
    }
    if (signal.sample_rate <= 0) throw fskdec_error("illegal sample rate");
    if (signal.channels <= 0) throw fskdec_error("the number of channels must be 1 or 2");
    if (signal.quantization_bit != 8 && signal.quantization_bit != 16) {
        throw fskdec_error("quantization_bit must be 8 or 16");
    }
}

fsk_synth start_synth(const synth_settings& signal) {
    check_synth_settings(signal);
    fsk_synth synth;
    synth.signal = signal;
    synth.rng = signal.seed;
    constexpr std::int32_t largest_table = 1 << 20;
    if (signal.sample_rate > 0 && signal.sample_rate <= largest_table) {
        const auto rate = static_cast<std::uint64_t>(signal.sample_rate);
        const double phase0 = signal.phase_degrees * (two_pi / 360.0);
        synth.tone_table.resize(rate);
        for (std::uint64_t turn = 0; turn < rate; ++turn)
            synth.tone_table[turn] = tone_at(turn, rate, phase0);
    }
    return synth;
}

void synth_bits(fsk_synth& synth, int bit, std::uint64_t count, std::vector<double>& out) {
    const synth_settings& s = synth.signal;
    const auto rate = static_cast<std::uint64_t>(s.sample_rate);
    const auto baud = static_cast<std::uint64_t>(s.baud_rate);
    // The tone's cycles per bit time: the lower tone a, the upper 2a.
    const auto cycles = static_cast<std::uint64_t>(s.lower_tone / s.baud_rate) * (bit ? 2 : 1);
    const double phase0 = s.phase_degrees * (two_pi / 360.0);
    const std::uint64_t last_bit = synth.bit + count;
    for (; synth.bit < last_bit; ++synth.bit) {
        // Frames n with floor(n * baud / rate) == bit lie in this bit time. At frame n the
        // time since the bit began is r / (rate * baud) with r = n * baud - bit * rate, so the
        // tone has run cycles * r / rate cycles: whole cycles are dropped exactly.
        for (; synth.frame * baud < (synth.bit + 1) * rate; ++synth.frame) {
            const std::uint64_t r = synth.frame * baud - synth.bit * rate;
            const std::uint64_t turn = (cycles * r) % rate;
            const double tone =
                synth.tone_table.empty() ? tone_at(turn, rate, phase0) : synth.tone_table[turn];
            double value = s.amplitude * tone;
            if (s.noise > 0.0) value += s.noise * gaussian(synth.rng);
            put_sample(s, value, out);
        }
    }
}

void synth_byte(fsk_synth& synth, std::uint8_t byte, std::vector<double>& out) {
    synth_bits(synth, 0, 1, out);
    for (int k = 0; k < 8; ++k)
        synth_bits(synth, (byte >> k) & 1, 1, out);
    synth_bits(synth, 1, static_cast<std::uint64_t>(synth.signal.gap_bits), out);
}

std::uint64_t synth_frames(const synth_settings& signal, std::uint64_t bits) {
    check_synth_settings(signal);
    const auto rate = static_cast<std::uint64_t>(signal.sample_rate);
    const auto baud = static_cast<std::uint64_t>(signal.baud_rate);
    return (bits * rate + baud - 1) / baud;  // frames n with n * baud < bits * rate
}

std::uint64_t synth_bit_count(const synth_settings& signal, std::uint64_t byte_count) {
    return static_cast<std::uint64_t>(signal.leader_bits) +
           byte_count * (9 + static_cast<std::uint64_t>(signal.gap_bits)) +
           static_cast<std::uint64_t>(signal.trailer_bits);
}

namespace {

// The data size for `byte_count` bytes, or none when it does not fit the header's 32-bit size
// fields. Every product and sum is checked: the counts come from the command line and the
// input.
std::optional<std::uint32_t> fitting_data_size(const synth_settings& signal,
                                               std::uint64_t byte_count) {
    const auto rate = static_cast<std::uint64_t>(signal.sample_rate);
    const auto baud = static_cast<std::uint64_t>(signal.baud_rate);
    const auto frame_size = static_cast<std::uint64_t>(signal.channels) *
                            static_cast<std::uint64_t>(signal.quantization_bit / 8);
    std::uint64_t per_byte = 0;
    std::uint64_t bits = 0;
    std::uint64_t scaled = 0;
    std::uint64_t size = 0;
    if (__builtin_add_overflow(std::uint64_t{9}, static_cast<std::uint64_t>(signal.gap_bits),
                               &per_byte) ||
        __builtin_mul_overflow(byte_count, per_byte, &bits) ||
        __builtin_add_overflow(bits, static_cast<std::uint64_t>(signal.leader_bits), &bits) ||
        __builtin_add_overflow(bits, static_cast<std::uint64_t>(signal.trailer_bits), &bits) ||
        __builtin_mul_overflow(bits, rate, &scaled) ||
        __builtin_add_overflow(scaled, baud - 1, &scaled) ||
        __builtin_mul_overflow(scaled / baud, frame_size, &size)) {
        return std::nullopt;
    }
    // The RIFF size field holds the data size plus the 36 header bytes that follow it.
    if (size > 0xFFFFFFFFull - 36) return std::nullopt;
    return static_cast<std::uint32_t>(size);
}

}  // namespace

std::uint32_t synth_data_size(const synth_settings& signal, std::uint64_t byte_count) {
    check_synth_settings(signal);
    const std::optional<std::uint32_t> size = fitting_data_size(signal, byte_count);
    if (!size) throw fskdec_error("output too long for a WAV file");
    return *size;
}

std::uint64_t synth_max_bytes(const synth_settings& signal) {
    check_synth_settings(signal);
    // The size grows with the count, and a count near 2^64 overflows: a bisection.
    std::uint64_t fits = 0;
    std::uint64_t too_many = std::numeric_limits<std::uint64_t>::max();
    if (!fitting_data_size(signal, 0)) return 0;
    while (too_many - fits > 1) {
        const std::uint64_t middle = fits + (too_many - fits) / 2;
        (fitting_data_size(signal, middle) ? fits : too_many) = middle;
    }
    return fits;
}

void stream_wav(std::span<const std::uint8_t> bytes, const synth_settings& signal,
                const chunk_sink& write) {
    const std::uint32_t data_size = synth_data_size(signal, bytes.size());
    std::vector<std::uint8_t> buffer =
        make_wav_header(signal.channels, signal.sample_rate, signal.quantization_bit, data_size);
    write(buffer);

    // Pieces of about this many values go out as they fill up.
    constexpr std::size_t piece = std::size_t{1} << 15;
    std::vector<double> values;
    values.reserve(2 * piece);
    const auto flush = [&] {
        buffer.clear();
        append_pcm(values, signal.quantization_bit, buffer);
        write(buffer);
        values.clear();
    };
    const auto flush_if_full = [&] {
        if (values.size() >= piece) flush();
    };
    fsk_synth synth = start_synth(signal);
    // Idle runs are made a few bits at a time, so that a long leader needs no large buffer.
    const auto idle = [&](std::int32_t count) {
        auto left = static_cast<std::uint64_t>(count);
        while (left > 0) {
            const std::uint64_t run = std::min<std::uint64_t>(left, 64);
            synth_bits(synth, 1, run, values);
            left -= run;
            flush_if_full();
        }
    };
    idle(signal.leader_bits);
    for (std::uint8_t byte : bytes) {
        synth_bits(synth, 0, 1, values);
        for (int k = 0; k < 8; ++k)
            synth_bits(synth, (byte >> k) & 1, 1, values);
        flush_if_full();
        idle(signal.gap_bits);
    }
    idle(signal.trailer_bits);
    if (!values.empty()) flush();
}

std::vector<double> synthesize_values(std::span<const std::uint8_t> bytes,
                                      const synth_settings& signal) {
    std::vector<double> out;
    const std::uint64_t frames = synth_frames(signal, synth_bit_count(signal, bytes.size()));
    out.reserve(frames * static_cast<std::uint64_t>(signal.channels));
    fsk_synth synth = start_synth(signal);
    synth_bits(synth, 1, static_cast<std::uint64_t>(signal.leader_bits), out);
    for (std::uint8_t byte : bytes)
        synth_byte(synth, byte, out);
    synth_bits(synth, 1, static_cast<std::uint64_t>(signal.trailer_bits), out);
    return out;
}

std::vector<std::uint8_t> synthesize_samples(std::span<const std::uint8_t> bytes,
                                             const synth_settings& signal) {
    std::vector<std::uint8_t> out;
    append_pcm(synthesize_values(bytes, signal), signal.quantization_bit, out);
    return out;
}

std::vector<std::uint8_t> synthesize_wav(std::span<const std::uint8_t> bytes,
                                         const synth_settings& signal) {
    std::vector<std::uint8_t> file;
    file.reserve(44 + std::size_t{synth_data_size(signal, bytes.size())});
    stream_wav(bytes, signal, [&](std::span<const std::uint8_t> piece) {
        file.insert(file.end(), piece.begin(), piece.end());
    });
    return file;
}
