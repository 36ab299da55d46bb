// The layouts of the fuzz targets' inputs, shared by the targets (which read them) and the
// seed corpus generator (which writes them), plus the cost bound every decoding target uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "demod/signal.h"

// Reads little-endian fields from the front of a fuzz input; past its end every field is 0.
struct input_reader {
    std::span<const std::uint8_t> bytes;
    std::size_t pos = 0;

    std::uint8_t u8() { return pos < bytes.size() ? bytes[pos++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | (std::uint32_t{u16()} << 16);
    }
    std::span<const std::uint8_t> rest() const {
        return pos < bytes.size() ? bytes.subspan(pos) : std::span<const std::uint8_t>{};
    }
};

inline void put_u8(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
}
inline void put_u16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put_u8(out, v);
    put_u8(out, v >> 8);
}
inline void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put_u16(out, v & 0xFFFFu);
    put_u16(out, v >> 16);
}

// fuzz_decode: a 12-byte prefix of command-line settings, then the bytes of a WAV file.
//   flags        bit 0: -p; bit 1: -b from raw_baud, else from the baud table;
//                bit 2: -w from raw_carrier, else baud * (1 + carrier_pick % 4);
//                bit 3: -t threshold_pick / 255, else the default threshold
//   baud_pick    index into decode_baud_table (modulo its size)
//   raw_baud     a signed 32-bit -b value
//   carrier_pick
//   raw_carrier  a signed 32-bit -w value
//   threshold_pick
struct decode_prefix {
    std::uint8_t flags = 0;
    std::uint8_t baud_pick = 0;
    std::uint32_t raw_baud = 0;
    std::uint8_t carrier_pick = 0;
    std::uint32_t raw_carrier = 0;
    std::uint8_t threshold_pick = 0;
};
inline constexpr std::size_t decode_prefix_size = 12;
inline constexpr std::int32_t decode_baud_table[8] = {1200, 300, 600, 2400, 1, 50, 110, 4800};

inline decode_prefix read_decode_prefix(input_reader& in) {
    decode_prefix p;
    p.flags = in.u8();
    p.baud_pick = in.u8();
    p.raw_baud = in.u32();
    p.carrier_pick = in.u8();
    p.raw_carrier = in.u32();
    p.threshold_pick = in.u8();
    return p;
}

inline void write_decode_prefix(std::vector<std::uint8_t>& out, const decode_prefix& p) {
    put_u8(out, p.flags);
    put_u8(out, p.baud_pick);
    put_u32(out, p.raw_baud);
    put_u8(out, p.carrier_pick);
    put_u32(out, p.raw_carrier);
    put_u8(out, p.threshold_pick);
}

// fuzz_differential: a 9-byte prefix describing the format and the window, then raw sample
// data (trimmed to whole frames).
//   flags        bit 0: reverse phase; bit 1: 16-bit samples, else 8-bit
//   pad          block align = sample width + pad % 4; the fast path reads the samples in
//                pieces of 1 + pad * 37 % 4099 frames
//   window       N = 3 + window % (differential_max_window - 2)
//   bin          a = 1 + bin % ((N - 1) / 2), so that 2a < N
//   baud         1 + baud % 4800
//   rate_extra   sample rate = N * baud + rate_extra % baud (N stays the window length)
//   threshold    threshold ratio (1 + threshold) / 257
struct differential_prefix {
    std::uint8_t flags = 0;
    std::uint8_t pad = 0;
    std::uint16_t window = 0;
    std::uint8_t bin = 0;
    std::uint16_t baud = 0;
    std::uint8_t rate_extra = 0;
    std::uint8_t threshold = 0;
};
inline constexpr std::size_t differential_prefix_size = 9;
inline constexpr std::int32_t differential_max_window = 512;

inline differential_prefix read_differential_prefix(input_reader& in) {
    differential_prefix p;
    p.flags = in.u8();
    p.pad = in.u8();
    p.window = in.u16();
    p.bin = in.u8();
    p.baud = in.u16();
    p.rate_extra = in.u8();
    p.threshold = in.u8();
    return p;
}

inline void write_differential_prefix(std::vector<std::uint8_t>& out,
                                      const differential_prefix& p) {
    put_u8(out, p.flags);
    put_u8(out, p.pad);
    put_u16(out, p.window);
    put_u8(out, p.bin);
    put_u16(out, p.baud);
    put_u8(out, p.rate_extra);
    put_u8(out, p.threshold);
}

// fuzz_recover: a 20-byte prefix of settings, then the samples.
//   flags        bit 0: read inverted (phase sign -1);
//                bits 1-2: sample format: 0 s16 / 32768, 1 f32 as stored (NaN, infinities and
//                huge values included), 2 u8, 3 f64 as stored;
//                bit 3: -b from raw_baud, else from the baud table;
//                bit 4: -w from raw_carrier, else baud * (1 + carrier_pick % 4);
//                bit 5: the sample rate from raw_rate, else from the rate table;
//                bits 6-7: the reader: 0 the engine alone, 1 the measuring wrapper told the
//                signal, 2 or 3 the wrapper measuring it
//   baud_pick, raw_baud, carrier_pick, raw_carrier, rate_pick, raw_rate as named
//   piece        seeds the sizes of the pieces the samples are fed in (1 to 997 frames)
struct recover_prefix {
    std::uint8_t flags = 0;
    std::uint8_t baud_pick = 0;
    std::uint32_t raw_baud = 0;
    std::uint8_t carrier_pick = 0;
    std::uint32_t raw_carrier = 0;
    std::uint8_t rate_pick = 0;
    std::uint32_t raw_rate = 0;
    std::uint32_t piece = 0;
};
inline constexpr std::size_t recover_prefix_size = 20;
inline constexpr std::int32_t recover_rate_table[8] = {44100, 48000, 8000,  22050,
                                                       11025, 96000, 43200, 4801};

inline recover_prefix read_recover_prefix(input_reader& in) {
    recover_prefix p;
    p.flags = in.u8();
    p.baud_pick = in.u8();
    p.raw_baud = in.u32();
    p.carrier_pick = in.u8();
    p.raw_carrier = in.u32();
    p.rate_pick = in.u8();
    p.raw_rate = in.u32();
    p.piece = in.u32();
    return p;
}

inline void write_recover_prefix(std::vector<std::uint8_t>& out, const recover_prefix& p) {
    put_u8(out, p.flags);
    put_u8(out, p.baud_pick);
    put_u32(out, p.raw_baud);
    put_u8(out, p.carrier_pick);
    put_u32(out, p.raw_carrier);
    put_u8(out, p.rate_pick);
    put_u32(out, p.raw_rate);
    put_u32(out, p.piece);
}

inline fsk_signal recover_prefix_signal(const recover_prefix& p) {
    fsk_signal s;
    s.baud_rate =
        (p.flags & 8) ? static_cast<std::int32_t>(p.raw_baud) : decode_baud_table[p.baud_pick % 8];
    const std::int64_t carrier = std::int64_t{s.baud_rate} * (1 + p.carrier_pick % 4);
    s.lower_tone = (p.flags & 16) ? static_cast<std::int32_t>(p.raw_carrier)
                                  : static_cast<std::int32_t>(carrier);
    s.phase_sign = (p.flags & 1) ? -1 : 1;
    return s;
}

inline std::int32_t recover_rate(const recover_prefix& p) {
    return (p.flags & 32) ? static_cast<std::int32_t>(p.raw_rate)
                          : recover_rate_table[p.rate_pick % 8];
}

// The samples in the format the prefix names, as fractions of full scale (floats as stored).
inline std::vector<double> recover_samples_from(const recover_prefix& p,
                                                std::span<const std::uint8_t> data) {
    std::vector<double> out;
    switch ((p.flags >> 1) & 3) {
        case 0:
            for (std::size_t i = 0; i + 2 <= data.size(); i += 2) {
                const auto v = static_cast<std::int16_t>(data[i] | (data[i + 1] << 8));
                out.push_back(v / 32768.0);
            }
            break;
        case 1:
            for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
                float v;
                std::memcpy(&v, data.data() + i, 4);
                out.push_back(v);
            }
            break;
        case 2:
            for (const std::uint8_t b : data)
                out.push_back((b - 128) / 128.0);
            break;
        default:
            for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
                double v;
                std::memcpy(&v, data.data() + i, 8);
                out.push_back(v);
            }
            break;
    }
    return out;
}

// fuzz_capi: a 20-byte prefix, then the samples.
//   flags        bit 0: reverse_phase; bit 1: recover (1, or 2 with bit 6: measuring); bit 2:
//                baud from raw_baud; bit 3: lower tone from raw_tone; bit 4: sample rate from
//                raw_rate; bit 5: float samples as stored, else 16-bit / 32768
//   baud_pick, raw_baud, carrier_pick, raw_tone, threshold_pick, raw_rate, rate_pick as named
//   piece        seeds the sizes of the pieces written (1 to 997) and of the reads (1 to 16)
struct capi_prefix {
    std::uint8_t flags = 0;
    std::uint8_t baud_pick = 0;
    std::uint32_t raw_baud = 0;
    std::uint8_t carrier_pick = 0;
    std::uint32_t raw_tone = 0;
    std::uint8_t threshold_pick = 0;
    std::uint8_t rate_pick = 0;
    std::uint32_t raw_rate = 0;
    std::uint32_t piece = 0;
};

inline capi_prefix read_capi_prefix(input_reader& in) {
    capi_prefix p;
    p.flags = in.u8();
    p.baud_pick = in.u8();
    p.raw_baud = in.u32();
    p.carrier_pick = in.u8();
    p.raw_tone = in.u32();
    p.threshold_pick = in.u8();
    p.rate_pick = in.u8();
    p.raw_rate = in.u32();
    p.piece = in.u32();
    return p;
}

inline void write_capi_prefix(std::vector<std::uint8_t>& out, const capi_prefix& p) {
    put_u8(out, p.flags);
    put_u8(out, p.baud_pick);
    put_u32(out, p.raw_baud);
    put_u8(out, p.carrier_pick);
    put_u32(out, p.raw_tone);
    put_u8(out, p.threshold_pick);
    put_u8(out, p.rate_pick);
    put_u32(out, p.raw_rate);
    put_u32(out, p.piece);
}

// The plain transform of a window of n frames costs about n times the sum of n's prime
// factors (n * n for a prime n), and the detector computes at most about one transform per
// frame of data. Inputs whose decode would cost more than `budget` such steps are skipped,
// so that no single input takes seconds.
inline bool plain_decode_affordable(std::uint64_t frames, std::int64_t n, std::uint64_t budget) {
    if (n <= 0) return true;
    if (static_cast<std::uint64_t>(n) >= frames) return true;  // nothing to decode
    std::uint64_t factor_sum = 0;
    std::uint64_t rest = static_cast<std::uint64_t>(n);
    for (std::uint64_t p = 2; p * p <= rest; ++p) {
        while (rest % p == 0) {
            factor_sum += p;
            rest /= p;
        }
    }
    if (rest > 1) factor_sum += rest;
    const std::uint64_t per_window = static_cast<std::uint64_t>(n) * factor_sum;
    return per_window <= budget && frames <= budget / per_window;
}

// About 100 ns a step with the sanitizers and the coverage instrumentation: at most about
// 25 ms of plain decoding per input.
inline constexpr std::uint64_t decode_budget = 250'000;
inline constexpr std::uint64_t differential_budget = 250'000;
