// Byte error rates of the default decoder and the recovery demodulator on synthesized
// recordings with the faults real ones have, family by family and severity by severity,
// then the recovery demodulator's speed on ten minutes of 44.1 kHz mono.
//
//   fskdec_accuracy [family-substring [detail | bytes]]     `make accuracy` runs every family
//
// A row is one recording or a few (seeds, leader lengths, speed signs), scored together:
// - default, recover: the edit distance between the bytes decoded and the bytes sent, over the
//   bytes sent (a decoder that outputs an echo or noise as bytes can pass 100 %). Recordings
//   without FSK show the number of bytes output instead (must be 0).
// - limit: for white-noise rows, the noncoherent binary FSK byte error rate at that Eb/N0.
// - whole: the blocks whose bytes appear exactly, contiguous, in the output, of those sent.
// - lost: summed over the blocks, the bytes at each block's start before the first byte that
//   an optimal alignment of the output with the bytes sent keeps.
// - segments: the carrier segments the recovery demodulator reported, of the blocks sent;
//   empty: those of them with no byte.
// Then, over the recordings the default decoder reads with at most 2 % errors: in how many the
// recovery demodulator keeps every block's first byte; and of the blocks the default decoder
// has whole, how many the recovery demodulator has whole too.
// `detail` adds a line for each recording of a row; `bytes` also lists the bytes sent beside
// those the recovery demodulator gave.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/sample_buffer.h"
#include "demod/framing.h"
#include "impair.h"
#include "recover/measured.h"
#include "recover/recover.h"
#include "timing.h"

namespace {

// The one place the default decoder is called: 16-bit PCM values, as fskdec reads them.
std::vector<std::uint8_t> decode_default(const std::vector<double>& samples_normalised,
                                         int sample_rate, const fsk_signal& signal) {
    std::vector<double> values;
    values.reserve(samples_normalised.size());
    for (double v : samples_normalised)
        values.push_back(
            static_cast<double>(std::clamp(std::lround(v * 32767.0), -32768L, 32767L)));
    sample_buffer source({1, sample_rate, 32768.0}, std::move(values));
    const demod_config config = make_demod_config(source.format(), signal, 0.15);
    sample_window window =
        make_sample_window(source, 0, detector_history(config), config.phase_sign < 0);
    std::vector<std::uint8_t> out;
    decode_bytes(window, config, [&](const framed_byte& b) { out.push_back(b.value); });
    return out;
}

// The recovery demodulator's bytes and the carrier segments it reports.
struct recovered {
    std::vector<std::uint8_t> bytes;
    std::size_t segments = 0, empty_segments = 0;
};

recovered decode_recover(const std::vector<double>& samples, int sample_rate,
                         const fsk_signal& signal, bool measure) {
    recovered out;
    recover_sink sink;
    sink.byte = [&](const recovered_byte& b) { out.bytes.push_back(b.value); };
    sink.segment = [&](const carrier_segment& s) {
        ++out.segments;
        if (s.bytes == 0) ++out.empty_segments;
    };
    constexpr std::size_t block = 4096;
    measured_decoder d =
        make_measured_decoder(sample_rate, 1.0, measure ? std::nullopt : std::optional(signal));
    for (std::size_t i = 0; i < samples.size(); i += block) {
        const std::size_t n = std::min(block, samples.size() - i);
        measured_samples(d, std::span<const double>(samples.data() + i, n), sink);
    }
    measured_finish(d, sink);
    return out;
}

struct recording {
    std::vector<double> samples;
    std::int32_t sample_rate = 44100;
    fsk_signal signal;
    std::vector<std::uint8_t> sent;   // empty: a recording without FSK
    std::vector<std::size_t> blocks;  // the lengths of the blocks `sent` is made of, in order
    std::string label;                // what sets it apart from the others of its row
    bool measure = false;  // -r told no signal: it measures each carrier's (signal unused)
};

// What a case varies; everything else is a clean 1200 baud recording at 44.1 kHz.
struct fsk_case {
    tone_settings tone;
    time_warp warp;
    std::size_t bytes = 300;
    std::uint64_t seed = 1;
    std::function<void(std::vector<double>&, double rate, random_source&)> impair;
};

// Idle gaps of 0, 1 or 2 bits after each byte, as encoders and serial ports leave them.
std::vector<int> random_gaps(std::size_t count, random_source& r) {
    std::vector<int> gaps(count);
    for (int& g : gaps)
        g = static_cast<int>(next_random(r) % 3);
    return gaps;
}

recording make_recording(const fsk_case& c) {
    random_source r{c.seed};
    recording rec;
    rec.sample_rate = c.tone.sample_rate;
    rec.signal = c.tone.signal;
    rec.sent = random_bytes(c.bytes, r);
    rec.blocks = {rec.sent.size()};
    rec.samples =
        render_fsk(frame_bits(rec.sent, random_gaps(c.bytes, r), 200, 20), c.tone, c.warp);
    if (c.impair) c.impair(rec.samples, c.tone.sample_rate, r);
    quantise_16(rec.samples);
    return rec;
}

// A tape of blocks, each with its own leader and trailer of idle bits, apart by gaps of silence
// or of the hiss floor; with print-through, each block is heard again `echo_db` down
// `echo_s` before and after it (the bytes expected are the blocks' alone).
struct tape_block {
    std::vector<std::uint8_t> bytes;
    std::optional<fsk_signal> signal;  // its own bit rate and tones, else the tape's
    int leader = 200, trailer = 20;
    double amplitude = 0.5;  // peak
    double gap_s = 0.5;      // before the block
    int gaps = -1;           // idle bits after each byte; -1: 0, 1 or 2 at random
};

struct tape {
    tone_settings tone;  // its amplitude is each block's
    time_warp warp;
    std::vector<tape_block> blocks;
    double tail_s = 0.5;               // after the last block
    std::optional<double> floor_dbfs;  // hiss under the whole recording
    std::optional<double> echo_db;     // print-through, `echo_s` before and after each block
    double echo_s = 1.5;
    double cut_bits = 0.0;  // bit times cut from the recording's start
    std::string label;
    std::function<void(std::vector<double>&, double rate, random_source&)> impair;
};

recording render_tape(const tape& t, random_source& r) {
    recording rec;
    rec.sample_rate = t.tone.sample_rate;
    rec.signal = t.tone.signal;
    const double rate = t.tone.sample_rate;
    std::vector<double>& x = rec.samples;
    std::size_t at = 0;
    for (const tape_block& b : t.blocks) {
        at += static_cast<std::size_t>(std::lround(b.gap_s * rate));
        tone_settings tone = t.tone;
        if (b.signal) tone.signal = *b.signal;
        tone.amplitude = b.amplitude;
        const std::vector<double> wave =
            render_fsk(frame_bits(b.bytes,
                                  b.gaps < 0 ? random_gaps(b.bytes.size(), r)
                                             : std::vector<int>(b.bytes.size(), b.gaps),
                                  b.leader, b.trailer),
                       tone, t.warp);
        mix_in(x, wave, at);
        if (t.echo_db) {
            const auto shift = static_cast<std::size_t>(std::lround(t.echo_s * rate));
            if (at >= shift) mix_in(x, wave, at - shift, dbfs(*t.echo_db));
            mix_in(x, wave, at + shift, dbfs(*t.echo_db));
        }
        at += wave.size();
        rec.sent.insert(rec.sent.end(), b.bytes.begin(), b.bytes.end());
        rec.blocks.push_back(b.bytes.size());
    }
    x.resize(std::max(x.size(), at + static_cast<std::size_t>(std::lround(t.tail_s * rate))), 0.0);
    const auto cut = static_cast<std::size_t>(t.cut_bits * rate / t.tone.signal.baud_rate);
    x.erase(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(std::min(cut, x.size())));
    if (t.floor_dbfs) add_hiss(x, dbfs(*t.floor_dbfs), rate, r);
    if (t.impair) t.impair(x, rate, r);
    quantise_16(x);
    return rec;
}

// A row of the table: `count` recordings made on demand (the table is long), scored together.
struct row {
    std::string family, severity;
    int count = 1;
    std::function<recording(int)> make;  // the k-th recording, k from 0 to count - 1
    double limit = -1.0;                 // the noncoherent BFSK byte error rate, for noise rows
};

double byte_error_limit(double ebn0_db) {
    const double pb = 0.5 * std::exp(-std::pow(10.0, ebn0_db / 10.0) / 2.0);
    return 1.0 - std::pow(1.0 - pb, 9.0);  // the start bit and eight data bits
}

// A whole number from lo to hi.
int pick(random_source& r, int lo, int hi) {
    return lo + static_cast<int>(next_random(r) % static_cast<std::uint64_t>(hi - lo + 1));
}

// `count` blocks of 50 to 200 random bytes, leaders of 30 to 300 bits, trailers of 5 to 30,
// `gap_s` before each.
std::vector<tape_block> random_blocks(int count, double gap_s, random_source& r) {
    std::vector<tape_block> out(static_cast<std::size_t>(count));
    for (tape_block& b : out) {
        b.bytes = random_bytes(static_cast<std::size_t>(pick(r, 50, 200)), r);
        b.leader = pick(r, 30, 300);
        b.trailer = pick(r, 5, 30);
        b.gap_s = gap_s;
    }
    return out;
}

std::string format(const char* pattern, auto... values) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

std::string duration(double seconds) {
    return seconds < 1.0 ? format("%.0f ms", seconds * 1000) : format("%.0f s", seconds);
}

// A worn tape at a `severity` from 0 to 1 of: 7 % off speed (either way, by k), 1 % wow and
// 0.2 % flutter, the upper tone 12 dB down, low-passed at 3 kHz, dropouts of 30 ms and 24 dB
// every 1.5 s, 50 Hz hum at -20 dB, +-6 dB pumping, clipped 6 dB into the signal, a -40 dBFS
// floor. One block of 300 bytes after 1 s of the floor.
tape worn_tape(double severity, int k, random_source& r) {
    tape t;
    t.warp.speed = (k % 2 ? -0.07 : 0.07) * severity;
    t.warp.wow = 0.01 * severity;
    t.warp.wow_hz = 0.8;
    t.warp.flutter = 0.002 * severity;
    t.warp.flutter_hz = 12.0;
    t.tone.gain1 = dbfs(-12.0 * severity);
    t.floor_dbfs = -60.0 + 20.0 * severity;
    tape_block b;
    b.bytes = random_bytes(300, r);
    b.leader = 300;
    b.gap_s = 1.0;
    t.blocks = {b};
    t.impair = [severity](std::vector<double>& x, double rate, random_source&) {
        apply_low_pass(x, 8000.0 - 5000.0 * severity, rate);
        apply_dropouts(x, 1.5, 0.01 + 0.02 * severity, 6.0 + 18.0 * severity, rate);
        apply_pumping(x, 6.0 * severity, 2.0, rate);
        add_hum(x, 0.05 * severity, 50.0, rate);
        apply_clip(x, 0.5 * dbfs(-6.0 * severity));
    };
    t.label = format("speed %+.1f %%", t.warp.speed * 100);
    return t;
}

// The families shaped like real transfers: a hiss floor, several blocks, level steps, echoes,
// leaderless blocks, cut starts; then noise at each bit rate and a worn tape at several
// severities. Each row is a few recordings, the k-th from its own seed: the row's name hashed,
// plus k, so that adding or removing a row changes no other.
void add_transfer_families(std::vector<row>& rows) {
    const auto seed_of = [](const std::string& family, const std::string& severity) {
        std::uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
        for (const char c : family + '/' + severity)
            h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
        return h;
    };
    using vec = std::vector<double>;
    const auto add_tapes = [&](const std::string& family, const std::string& severity, int count,
                               std::function<tape(int, random_source&)> lay) {
        const std::uint64_t base = seed_of(family, severity);
        rows.push_back({family, severity, count,
                        [base, lay, family](int k) {
                            random_source r{base + static_cast<std::uint64_t>(k)};
                            const tape t = lay(k, r);
                            recording rec = render_tape(t, r);
                            rec.label = t.label;
                            rec.measure = family == "no options";
                            return rec;
                        },
                        -1.0});
    };

    // Hiss, then a leader of 10, 30, 300 or 2,000 bits and 200 bytes: three seeds of each.
    for (double level : {-60.0, -50.0, -40.0}) {
        for (double lead_s : {0.5, 1.0, 3.0}) {
            add_tapes("hiss before", format("%.1f s at %.0f dBFS", lead_s, level), 12,
                      [=](int k, random_source& r) {
                          const int leaders[] = {10, 30, 300, 2000};
                          tape t;
                          t.floor_dbfs = level;
                          tape_block b;
                          b.bytes = random_bytes(200, r);
                          b.leader = leaders[k % 4];
                          b.gap_s = lead_s;
                          t.blocks = {b};
                          t.label = format("leader %d, seed %d", b.leader, k / 4 + 1);
                          return t;
                      });
        }
    }

    // 4 to 8 blocks apart by silence (a gated or edited recording) or by a -54 dBFS floor.
    for (bool hiss : {false, true}) {
        for (double gap_s : {0.1, 2.0}) {
            add_tapes("multi-block",
                      format("%s gaps of %s", duration(gap_s).c_str(),
                             hiss ? "hiss -54 dBFS" : "silence"),
                      4, [=](int k, random_source& r) {
                          tape t;
                          if (hiss) t.floor_dbfs = -54.0;
                          t.blocks = random_blocks(pick(r, 4, 8), gap_s, r);
                          t.label = format("%zu blocks, seed %d", t.blocks.size(), k + 1);
                          return t;
                      });
        }
    }

    // Seven blocks, every other one 20 or 30 dB quieter, over a -54 dBFS floor.
    for (double step : {20.0, 30.0}) {
        for (double gap_s : {0.1, 2.0}) {
            add_tapes("level steps", format("-%.0f dB, %s gaps", step, duration(gap_s).c_str()), 3,
                      [=](int k, random_source& r) {
                          tape t;
                          t.floor_dbfs = -54.0;
                          t.blocks = random_blocks(7, gap_s, r);
                          for (std::size_t i = 1; i < t.blocks.size(); i += 2)
                              t.blocks[i].amplitude *= dbfs(-step);
                          t.label = format("loud, quiet, ..., loud; seed %d", k + 1);
                          return t;
                      });
        }
    }

    // Eight blocks, each heard again 30 dB down 1.5 s before and after it: alone in the gaps
    // when the blocks are 3 s apart, under the neighbouring blocks when 1 s apart.
    for (double gap_s : {3.0, 1.0}) {
        add_tapes("print-through", format("echoes -30 dB, gaps of %.0f s", gap_s), 3,
                  [=](int k, random_source& r) {
                      tape t;
                      t.floor_dbfs = -60.0;
                      t.echo_db = -30.0;
                      t.blocks = random_blocks(8, gap_s, r);
                      for (tape_block& b : t.blocks) {
                          b.bytes.resize(std::min<std::size_t>(b.bytes.size(), 150));
                          b.leader = std::max(b.leader, 100);
                      }
                      t.blocks.front().gap_s = 2.0;
                      t.tail_s = 2.0;
                      t.label = format("seed %d", k + 1);
                      return t;
                  });
    }

    // Four blocks without a leader (two idle bits after each), each after a silence or hiss.
    for (bool hiss : {false, true}) {
        for (double gap_s : {0.1, 1.0}) {
            add_tapes(
                "leaderless",
                format("after %s %s", duration(gap_s).c_str(), hiss ? "hiss -54 dBFS" : "silence"),
                4, [=](int k, random_source& r) {
                    tape t;
                    if (hiss) t.floor_dbfs = -54.0;
                    t.blocks = random_blocks(4, gap_s, r);
                    for (tape_block& b : t.blocks) {
                        b.leader = 0;
                        b.trailer = 2;
                    }
                    t.label = format("seed %d", k + 1);
                    return t;
                });
        }
    }

    // The recording starts inside the first of 100 bytes (no leader): only that byte may go.
    for (const auto& [cut, back_to_back] :
         {std::pair{0.5, false}, std::pair{2.5, false}, std::pair{4.5, false},
          std::pair{8.5, false}, std::pair{4.5, true}}) {
        add_tapes("cut mid-byte",
                  format("from bit %.1f%s", cut, back_to_back ? ", no idle bits" : " of a byte"), 8,
                  [=](int k, random_source& r) {
                      tape t;
                      t.floor_dbfs = -60.0;
                      tape_block b;
                      b.bytes = random_bytes(100, r);
                      b.leader = 0;
                      b.gap_s = 0.0;
                      b.gaps = back_to_back ? 0 : -1;
                      t.blocks = {b};
                      t.cut_bits = cut;
                      t.label = format("seed %d", k + 1);
                      return t;
                  });
    }

    // White noise at 300, 600, 1200 and 2400 baud (1200/2400 Hz tones, 2400/4800 Hz at 2400
    // baud): two recordings of 1,000 bytes a row, the second at -speed. The tones peak at 0.1
    // of full scale, so that even the noise of 300 baud at 8 dB (0.24 rms) is not clipped.
    const auto add_noise = [&](int baud, double ebn0, double speed) {
        const std::string name =
            speed > 0.0 ? format("%d baud, %.0f dB, +-%.0f %%", baud, ebn0, speed * 100)
                        : format("%d baud, Eb/N0 %.0f dB", baud, ebn0);
        const std::uint64_t base = seed_of("noise by baud", name);
        rows.push_back({"noise by baud", name, 2,
                        [=](int k) {
                            fsk_case c;
                            c.tone.signal.baud_rate = baud;
                            c.tone.signal.lower_tone = baud == 2400 ? 2400 : 1200;
                            c.tone.amplitude = 0.1;
                            c.bytes = 1000;
                            c.seed = base + static_cast<std::uint64_t>(k);
                            c.warp.speed = k == 0 ? speed : -speed;
                            c.impair = [=](vec& x, double rate, random_source& r) {
                                add_white_noise(x, noise_for_ebn0(ebn0, 0.1, rate, baud), r);
                            };
                            recording rec = make_recording(c);
                            rec.label = speed > 0.0 ? format("speed %+.0f %%", c.warp.speed * 100)
                                                    : format("seed %d", k + 1);
                            return rec;
                        },
                        byte_error_limit(ebn0)});
    };
    for (int baud : {300, 600}) {
        for (double ebn0 : {12.0, 10.0, 8.0})
            add_noise(baud, ebn0, 0.0);
        for (double ebn0 : {12.0, 10.0})
            add_noise(baud, ebn0, 0.02);
    }
    for (double ebn0 : {12.0, 10.0, 8.0})
        add_noise(1200, ebn0, 0.0);
    for (double ebn0 : {12.0, 10.0, 8.0})
        add_noise(2400, ebn0, 0.0);

    // Mistuned tones: either tone off its nominal frequency (the upper as a multiple of the
    // nominal lower one), independently of the other and of the bit clock (an oscillator keyed
    // between two frequencies, phase-continuous). Three recordings a row: on speed, 3 % fast, and 3
    // % slow in noise (Eb/N0 16 dB).
    const auto add_mistuned = [&](int baud, double lower, double upper) {
        const std::string name = lower != 1.0
                                     ? format("%d baud, lower %+.0f %%", baud, (lower - 1.0) * 100)
                                     : format("%d baud, upper x%.2f", baud, upper);
        const std::uint64_t base = seed_of("mistuned tones", name);
        rows.push_back({"mistuned tones", name, 3,
                        [=](int k) {
                            fsk_case c;
                            c.tone.signal.baud_rate = baud;
                            c.tone.lower_hz = 1200.0 * lower;
                            c.tone.upper_hz = 1200.0 * upper;
                            c.bytes = baud == 300 ? 100 : 300;
                            c.seed = base + static_cast<std::uint64_t>(k);
                            c.warp.speed = k == 0 ? 0.0 : k == 1 ? 0.03 : -0.03;
                            if (k == 2) {
                                c.impair = [=](vec& x, double rate, random_source& r) {
                                    add_white_noise(x, noise_for_ebn0(16.0, 0.5, rate, baud), r);
                                };
                            }
                            recording rec = make_recording(c);
                            rec.label = k == 0   ? std::string("on speed")
                                        : k == 1 ? std::string("speed +3 %")
                                                 : std::string("speed -3 %, Eb/N0 16 dB");
                            return rec;
                        },
                        -1.0});
    };
    for (int baud : {1200, 300}) {
        for (double upper : {1.90, 1.95, 2.03, 2.05, 2.08, 2.10})
            add_mistuned(baud, 1.0, upper);
        for (double lower : {0.95, 1.05})
            add_mistuned(baud, lower, 2.0);
    }

    // Decoded with no settings (the recovery demodulator told nothing of the signal, as -r
    // without -b and -w): 300, 600 and 1200 baud on 1200/2400 Hz, 1200 and 2400 on 2400/4800 Hz,
    // at 22.05 kHz 2 % fast, at 44.1 kHz 2 % slow in noise (Eb/N0 14 dB), and at 48 kHz; then a
    // tape whose blocks alternate 1200 and 300 baud.
    for (const auto& [baud, lower] :
         {std::pair{300, 1200}, std::pair{600, 1200}, std::pair{1200, 1200}, std::pair{1200, 2400},
          std::pair{2400, 2400}}) {
        const std::string name = format("%d baud, %d/%d Hz", baud, lower, 2 * lower);
        const std::uint64_t base = seed_of("no options", name);
        rows.push_back({"no options", name, 3,
                        [=](int k) {
                            fsk_case c;
                            c.tone.signal.baud_rate = baud;
                            c.tone.signal.lower_tone = lower;
                            c.tone.sample_rate = k == 0 ? 22050 : k == 1 ? 44100 : 48000;
                            c.bytes = baud <= 600 ? 100 : 300;
                            c.seed = base + static_cast<std::uint64_t>(k);
                            c.warp.speed = k == 0 ? 0.02 : k == 1 ? -0.02 : 0.0;
                            if (k == 1) {
                                c.impair = [=](vec& x, double rate, random_source& r) {
                                    add_white_noise(x, noise_for_ebn0(14.0, 0.5, rate, baud), r);
                                };
                            }
                            recording rec = make_recording(c);
                            rec.signal = fsk_signal{};
                            rec.measure = true;
                            rec.label = k == 0   ? std::string("22.05 kHz, speed +2 %")
                                        : k == 1 ? std::string("44.1 kHz, -2 %, Eb/N0 14 dB")
                                                 : std::string("48 kHz");
                            return rec;
                        },
                        -1.0});
    }
    // And told nothing on the hard ones the other families read told: 1200 baud under wow, a
    // drift, hum; 300 and 600 baud at Eb/N0 10 dB (2,000 bytes, the noise rows' length).
    const auto add_unknown = [&](const std::string& name, int baud,
                                 const std::function<void(fsk_case&)>& change) {
        const std::uint64_t base = seed_of("no options", name);
        rows.push_back({"no options", name, 1,
                        [=](int) {
                            fsk_case c;
                            c.tone.signal.baud_rate = baud;
                            c.seed = base;
                            change(c);
                            recording rec = make_recording(c);
                            rec.signal = fsk_signal{};
                            rec.measure = true;
                            return rec;
                        },
                        -1.0});
    };
    add_unknown("1200 baud, wow 2 % 0.5 Hz", 1200, [](fsk_case& c) {
        c.warp.wow = 0.02;
        c.warp.wow_hz = 0.5;
        c.warp.flutter = 0.005;
        c.warp.flutter_hz = 10.0;
    });
    add_unknown("1200 baud, drift +6 % to -6 %", 1200, [](fsk_case& c) { c.warp.drift = -0.12; });
    add_unknown("1200 baud, 50 Hz hum 3x", 1200, [](fsk_case& c) {
        c.tone.amplitude = 0.1;
        c.impair = [](vec& x, double rate, random_source&) { add_hum(x, 0.3, 50.0, rate); };
    });
    for (int baud : {300, 600}) {
        add_unknown(format("%d baud, Eb/N0 10 dB", baud), baud, [baud](fsk_case& c) {
            c.bytes = 2000;
            c.impair = [baud](vec& x, double rate, random_source& r) {
                add_white_noise(x, noise_for_ebn0(10.0, 0.5, rate, baud), r);
            };
        });
    }
    add_tapes("no options", "1200 and 300 baud blocks", 2, [](int k, random_source& r) {
        tape t;
        t.floor_dbfs = -54.0;
        t.blocks = random_blocks(4, 0.5, r);
        for (std::size_t i = 1; i < t.blocks.size(); i += 2) {
            t.blocks[i].signal = fsk_signal{300, 1200, 1};
            t.blocks[i].bytes.resize(std::min<std::size_t>(t.blocks[i].bytes.size(), 60));
        }
        t.label = format("seed %d", k + 1);
        return t;
    });

    // A worn tape at a quarter, half, three quarters and all of its faults; four seeds.
    for (double severity : {0.25, 0.5, 0.75, 1.0}) {
        add_tapes(
            "worn tape mix",
            format("%.0f/4: %.3g %% speed, %.0f dB", 4 * severity, 7 * severity, 12 * severity), 4,
            [=](int k, random_source& r) { return worn_tape(severity, k, r); });
    }
}

std::vector<row> make_rows() {
    std::vector<row> rows;
    std::uint64_t seed = 100;
    const auto add = [&](const std::string& family, const std::string& severity, fsk_case c) {
        c.seed = ++seed;
        rows.push_back({family, severity, 1, [c](int) { return make_recording(c); }, -1.0});
    };
    const auto with = [](auto change) {
        fsk_case c;
        change(c);
        return c;
    };
    using vec = std::vector<double>;
    for (double level : {0.1, 0.01, 0.005}) {
        add("level", std::to_string(level).substr(0, 5),
            with([&](fsk_case& c) { c.tone.amplitude = level; }));
    }
    add("level", "clipped", with([](fsk_case& c) {
            c.tone.amplitude = 3.0;
            c.impair = [](vec& x, double, random_source&) { apply_clip(x, 0.99); };
        }));
    for (double db : {3.0, 6.0, 12.0}) {
        add("pumping", "+-" + std::to_string(int(db)) + " dB", with([&](fsk_case& c) {
                c.tone.amplitude = 0.2;
                c.impair = [db](vec& x, double rate, random_source&) {
                    apply_pumping(x, db, 3.0, rate);
                };
            }));
    }
    for (double db : {6.0, 9.0, 12.0}) {
        add("upper tone down", std::to_string(int(db)) + " dB",
            with([&](fsk_case& c) { c.tone.gain1 = std::pow(10.0, -db / 20.0); }));
    }
    for (double db : {6.0, 9.0, 12.0}) {
        add("lower tone down", std::to_string(int(db)) + " dB",
            with([&](fsk_case& c) { c.tone.gain0 = std::pow(10.0, -db / 20.0); }));
    }
    for (double s : {0.02, 0.04, 0.06, 0.08}) {
        for (double sign : {1.0, -1.0}) {
            char name[16];
            std::snprintf(name, sizeof name, "%+.0f %%", sign * s * 100);
            add("speed", name, with([&](fsk_case& c) { c.warp.speed = sign * s; }));
        }
    }
    const double wow_hz[] = {0.5, 1.5, 4.0};
    const double flutter_hz[] = {10.0, 15.0, 20.0};
    for (int i = 0; i < 3; ++i) {
        char name[40];
        std::snprintf(name, sizeof name, "2%% %.1f Hz + 0.5%% %.0f Hz", wow_hz[i], flutter_hz[i]);
        add("wow+flutter", name, with([&](fsk_case& c) {
                c.warp.wow = 0.02;
                c.warp.wow_hz = wow_hz[i];
                c.warp.flutter = 0.005;
                c.warp.flutter_hz = flutter_hz[i];
            }));
    }
    add("drift", "-6 % to +6 %", with([](fsk_case& c) { c.warp.drift = 0.12; }));
    add("drift", "+6 % to -6 %", with([](fsk_case& c) { c.warp.drift = -0.12; }));
    for (double ebn0 : {16.0, 12.0, 10.0}) {
        fsk_case c = with([&](fsk_case& c) {
            c.bytes = 2000;
            c.impair = [ebn0](vec& x, double rate, random_source& r) {
                add_white_noise(x, noise_for_ebn0(ebn0, 0.5, rate, 1200.0), r);
            };
        });
        add("white noise", "Eb/N0 " + std::to_string(int(ebn0)) + " dB", c);
        rows.back().limit = byte_error_limit(ebn0);
    }
    for (double dev : {0.05, 0.1}) {
        add("coloured hiss", "rms " + std::to_string(dev).substr(0, 4), with([&](fsk_case& c) {
                c.impair = [dev](vec& x, double rate, random_source& r) {
                    add_hiss(x, dev, rate, r);
                };
            }));
    }
    add("polarity", "inverted", with([](fsk_case& c) { c.tone.phase = std::numbers::pi; }));
    add("polarity", "90 degrees", with([](fsk_case& c) { c.tone.phase = std::numbers::pi / 2; }));
    for (double hz : {100.0, 300.0, 600.0}) {
        add("high-pass", std::to_string(int(hz)) + " Hz", with([&](fsk_case& c) {
                c.impair = [hz](vec& x, double rate, random_source&) {
                    apply_high_pass(x, hz, rate);
                    apply_high_pass(x, hz, rate);
                };
            }));
    }
    add("all-pass", "2 x 1.8 kHz", with([](fsk_case& c) {
            c.impair = [](vec& x, double rate, random_source&) {
                apply_all_pass(x, 1800.0, rate, 2.0);
                apply_all_pass(x, 1800.0, rate, 0.7);
            };
        }));
    add("square wave", "source", with([](fsk_case& c) {
            c.tone.square = true;
            c.tone.amplitude = 0.4;
        }));
    add("DC offset", "0.3", with([](fsk_case& c) {
            c.tone.amplitude = 0.3;
            c.impair = [](vec& x, double, random_source&) { add_dc(x, 0.3); };
        }));
    for (double hz : {50.0, 60.0}) {
        add("hum", std::to_string(int(hz)) + " Hz, 3x signal", with([&](fsk_case& c) {
                c.tone.amplitude = 0.1;
                c.impair = [hz](vec& x, double rate, random_source&) { add_hum(x, 0.3, hz, rate); };
            }));
    }
    add("dropouts", "30 ms -30 dB / s", with([](fsk_case& c) {
            c.impair = [](vec& x, double rate, random_source&) {
                apply_dropouts(x, 1.0, 0.03, 30.0, rate);
            };
        }));
    add("dropouts", "30 ms silent / s", with([](fsk_case& c) {
            c.impair = [](vec& x, double rate, random_source&) {
                apply_dropouts(x, 1.0, 0.03, 200.0, rate);
            };
        }));
    add("telephone", "8 kHz mu-law", with([](fsk_case& c) {
            c.tone.sample_rate = 8000;
            c.tone.amplitude = 0.3;
            c.impair = [](vec& x, double rate, random_source& r) {
                apply_high_pass(x, 300.0, rate);
                apply_low_pass(x, 3400.0, rate);
                add_white_noise(x, 0.002, r);
                apply_mu_law(x);
            };
        }));
    add("baud", "300", with([](fsk_case& c) {
            c.tone.signal.baud_rate = 300;
            c.bytes = 100;
        }));
    add("baud", "2400 (2400/4800 Hz)", with([](fsk_case& c) {
            c.tone.signal.baud_rate = 2400;
            c.tone.signal.lower_tone = 2400;
        }));
    add("sample rate", "8 kHz", with([](fsk_case& c) { c.tone.sample_rate = 8000; }));
    add("worn tape", "mild mix", with([](fsk_case& c) {
            c.tone.amplitude = 0.2;
            c.warp.speed = 0.015;
            c.warp.wow = 0.005;
            c.warp.wow_hz = 1.0;
            c.warp.flutter = 0.002;
            c.warp.flutter_hz = 12.0;
            c.impair = [](vec& x, double rate, random_source& r) {
                apply_high_pass(x, 200.0, rate);
                apply_low_pass(x, 3000.0, rate);
                apply_pumping(x, 3.0, 2.0, rate);
                add_hiss(x, 0.01, rate, r);
                apply_dropouts(x, 2.0, 0.01, 12.0, rate);
            };
        }));

    add_transfer_families(rows);

    // Sounds without FSK.
    const double rate = 44100.0;
    const auto quiet = [&](const std::string& name, std::vector<double> x) {
        quantise_16(x);
        rows.push_back(
            {"no FSK", name, 1, [x](int) { return recording{x, 44100, {}, {}, {}, {}}; }, -1.0});
    };
    random_source r{77};
    quiet("digital silence", std::vector<double>(static_cast<std::size_t>(3 * rate), 0.0));
    {
        std::vector<double> x(static_cast<std::size_t>(3 * rate), 0.0);
        add_hiss(x, 0.1, rate, r);
        quiet("hiss", x);
    }
    {
        std::vector<double> x(static_cast<std::size_t>(3 * rate), 0.0);
        add_hum(x, 0.3, 50.0, rate);
        quiet("hum 50 Hz", x);
    }
    quiet("440 Hz", steady_tone(440.0, 3.0, rate, 0.5));
    quiet("1 kHz", steady_tone(1000.0, 3.0, rate, 0.5));
    quiet("2 kHz", steady_tone(2000.0, 3.0, rate, 0.5));
    quiet("sweep up", sweep(100.0, 8000.0, 3.0, rate));
    quiet("sweep down", sweep(8000.0, 100.0, 3.0, rate));
    quiet("speech-like", speech_like(3.0, rate, r));
    quiet("music-like", music_like(3.0, rate, r));
    quiet("white noise", coloured_noise(noise_colour::white, 3.0, rate, 0.3, r));
    quiet("pink noise", coloured_noise(noise_colour::pink, 3.0, rate, 0.3, r));
    quiet("brown noise", coloured_noise(noise_colour::brown, 3.0, rate, 0.3, r));
    quiet("noise 1000-2600 Hz", band_noise(1000.0, 2600.0, 3.0, rate, 0.3, r));
    quiet("noise 1100-1300 Hz", band_noise(1100.0, 1300.0, 3.0, rate, 0.3, r));
    quiet("noise 2200-2600 Hz", band_noise(2200.0, 2600.0, 3.0, rate, 0.3, r));
    quiet("plucked strings", plucked({220.0, 330.0}, 3.0, rate, r));
    quiet("tremolo 697+1209 Hz", tremolo_pair(697.0, 1209.0, 2.0, 3.0, rate));
    {
        random_source slow{78};
        std::vector<double> x = coloured_noise(noise_colour::white, 3.0, 8000.0, 0.3, slow);
        quantise_16(x);
        rows.push_back({"no FSK", "white noise 8 kHz", 1,
                        [x](int) { return recording{x, 8000, {}, {}, {}, {}}; }, -1.0});
    }
    // The worst worn tape with its FSK muted: floor, hum, dropouts, pumping and clipping alone.
    rows.push_back({"no FSK", "worn tape 4/4, FSK muted", 2,
                    [](int k) {
                        random_source r{81 + static_cast<std::uint64_t>(k)};
                        tape t = worn_tape(1.0, k, r);
                        t.blocks.front().amplitude = 0.0;
                        recording rec = render_tape(t, r);
                        rec.sent.clear();
                        rec.blocks.clear();
                        return rec;
                    },
                    -1.0});
    // A minute of the hiss floor alone, at its lowest and its highest.
    for (double level : {-54.0, -40.0}) {
        rows.push_back({"no FSK", format("tape hiss %.0f dBFS, 60 s", level), 1,
                        [level](int) {
                            random_source noise{static_cast<std::uint64_t>(79 - level)};
                            std::vector<double> x(60 * 44100, 0.0);
                            add_hiss(x, dbfs(level), 44100.0, noise);
                            quantise_16(x);
                            return recording{std::move(x), 44100, {}, {}, {}, {}};
                        },
                        -1.0});
    }
    return rows;
}

// Ten minutes of 44.1 kHz mono through recover_samples, as x real time.
void speed_bench() {
    fsk_case c;
    c.bytes = 6000;  // about a minute
    c.impair = [](std::vector<double>& x, double, random_source& r) {
        add_white_noise(x, 0.02, r);
    };
    const recording rec = make_recording(c);
    const double seconds_each = static_cast<double>(rec.samples.size()) / rec.sample_rate;
    const int repeats = static_cast<int>(std::ceil(600.0 / seconds_each));
    std::uint64_t bytes = 0;
    recover_sink sink;
    sink.byte = [&](const recovered_byte&) { ++bytes; };
    recover_decoder d = make_recover_decoder(rec.signal, rec.sample_rate, 1.0);
    const auto start = clock_type::now();
    const double cpu_start = cpu_seconds();
    for (int k = 0; k < repeats; ++k) {
        for (std::size_t i = 0; i < rec.samples.size(); i += 65536) {
            const std::size_t n = std::min<std::size_t>(65536, rec.samples.size() - i);
            recover_samples(d, std::span<const double>(rec.samples.data() + i, n), sink);
        }
    }
    recover_finish(d, sink);
    const double took = seconds_since(start);
    const double cpu = cpu_seconds() - cpu_start;
    const double audio = seconds_each * repeats;
    std::printf(
        "recover_bench: %.0f s of 44.1 kHz mono in %.3f s (%.3f s CPU): %.0fx real "
        "time, %.2f ns per sample of CPU (%llu bytes)\n",
        audio, took, cpu, audio / cpu, cpu * 1e9 / (audio * rec.sample_rate),
        static_cast<unsigned long long>(bytes));
}

// One decoder's bytes against a recording's: errors (edit distance), blocks found whole in
// the output, and the bytes lost at each block's start before the first one kept.
struct score {
    std::size_t sent = 0, errors = 0, output = 0;
    std::size_t blocks = 0, whole = 0, lost = 0;
    int refused = 0;
};

// Returns, for each block, whether it is whole.
std::vector<bool> add_score(score& s, const recording& rec, const std::vector<std::uint8_t>& got) {
    s.sent += rec.sent.size();
    s.output += got.size();
    s.blocks += rec.blocks.size();
    std::vector<bool> whole;
    if (rec.sent.empty()) return whole;
    const byte_alignment a = align_bytes(rec.sent, got);
    s.errors += a.distance;
    std::size_t from = 0;
    for (const std::size_t length : rec.blocks) {
        const auto first = rec.sent.begin() + static_cast<std::ptrdiff_t>(from);
        const auto last = first + static_cast<std::ptrdiff_t>(length);
        whole.push_back(std::search(got.begin(), got.end(), first, last) != got.end());
        s.whole += whole.back();
        std::size_t lost = 0;
        while (lost < length && !a.kept[from + lost])
            ++lost;
        s.lost += lost;
        from += length;
    }
    return whole;
}

struct outcome {
    score default_score, recover_score;
    std::size_t segments = 0, empty_segments = 0;
};

void print_line(const std::string& family, const std::string& severity, const outcome& o,
                double limit) {
    const score& d = o.default_score;
    const score& r = o.recover_score;
    const auto rate = [](const score& s) {
        if (s.sent == 0) return format("%zu B", s.output);
        return format("%.2f %%", 100.0 * static_cast<double>(s.errors) / s.sent);
    };
    const auto whole = [](const score& s) {
        return s.blocks == 0 ? std::string() : format("%zu/%zu", s.whole, s.blocks);
    };
    const auto lost = [](const score& s) {
        return s.blocks == 0 ? std::string() : format("%zu", s.lost);
    };
    const bool refused = d.refused > 0;
    std::printf("%-16s %-28s %9s %9s %9s %9s %9s %8s %8s %8s %6s\n", family.c_str(),
                severity.c_str(), refused ? "refused" : rate(d).c_str(), rate(r).c_str(),
                limit >= 0.0 ? format("%.2f %%", 100.0 * limit).c_str() : "",
                refused ? "" : whole(d).c_str(), whole(r).c_str(), refused ? "" : lost(d).c_str(),
                lost(r).c_str(), format("%zu/%zu", o.segments, r.blocks).c_str(),
                format("%zu", o.empty_segments).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    const std::string extra = argc > 2 ? argv[2] : "";
    const std::vector<row> rows = make_rows();
    std::printf("%-16s %-28s %9s %9s %9s %9s %9s %8s %8s %8s %6s\n", "family", "severity",
                "default", "recover", "limit", "whole def", "whole rec", "lost def", "lost rec",
                "segments", "empty");
    double default_time = 0.0, recover_time = 0.0, synth_time = 0.0, audio = 0.0;
    int recordings = 0;
    std::size_t peer_read = 0, peer_read_starts_kept = 0, peer_whole = 0, peer_whole_kept = 0;
    for (const row& r : rows) {
        if (!only.empty() && r.family.find(only) == std::string::npos) continue;
        outcome total;
        std::vector<std::pair<std::string, outcome>> each;
        for (int k = 0; k < r.count; ++k) {
            auto start = clock_type::now();
            const recording rec = r.make(k);
            synth_time += seconds_since(start);
            audio += static_cast<double>(rec.samples.size()) / rec.sample_rate;
            ++recordings;
            outcome o;
            std::vector<std::uint8_t> got_default;
            start = clock_type::now();
            try {
                got_default = decode_default(rec.samples, rec.sample_rate, rec.signal);
            } catch (const std::exception&) {
                o.default_score.refused = 1;
            }
            default_time += seconds_since(start);
            start = clock_type::now();
            const recovered got =
                decode_recover(rec.samples, rec.sample_rate, rec.signal, rec.measure);
            recover_time += seconds_since(start);
            const std::vector<bool> default_whole = add_score(o.default_score, rec, got_default);
            const std::vector<bool> recover_whole = add_score(o.recover_score, rec, got.bytes);
            // Where the default decoder does well, does the recovery demodulator too?
            const score& d = o.default_score;
            if (d.sent > 0 && d.refused == 0 && 50 * d.errors <= d.sent) {
                ++peer_read;
                if (o.recover_score.lost == 0) ++peer_read_starts_kept;
            }
            for (std::size_t b = 0; b < default_whole.size(); ++b) {
                if (!default_whole[b]) continue;
                ++peer_whole;
                if (recover_whole[b]) ++peer_whole_kept;
            }
            o.segments = got.segments;
            o.empty_segments = got.empty_segments;
            for (auto [into, from] : {std::pair{&total.default_score, &o.default_score},
                                      std::pair{&total.recover_score, &o.recover_score}}) {
                into->sent += from->sent;
                into->errors += from->errors;
                into->output += from->output;
                into->blocks += from->blocks;
                into->whole += from->whole;
                into->lost += from->lost;
                into->refused += from->refused;
            }
            total.segments += o.segments;
            total.empty_segments += o.empty_segments;
            if (!extra.empty()) each.emplace_back("  " + rec.label, o);
            if (extra == "bytes") {  // to see where the recovery demodulator lost its way
                for (std::size_t i = 0; i < std::max(rec.sent.size(), got.bytes.size()); ++i) {
                    std::printf("  %4zu %s %s\n", i,
                                i < rec.sent.size() ? std::to_string(rec.sent[i]).c_str() : "-",
                                i < got.bytes.size() ? std::to_string(got.bytes[i]).c_str() : "-");
                }
            }
        }
        print_line(r.family, r.severity, total, r.limit);
        if (r.count > 1) {
            for (const auto& [label, o] : each)
                print_line("", label, o, r.limit);
        }
        std::fflush(stdout);
    }
    std::printf(
        "\n%d recordings (%.0f s of audio) synthesized in %.1f s; decoding time: default %.2f s, "
        "recover %.2f s\n\n",
        recordings, audio, synth_time, default_time, recover_time);
    const auto percent = [](std::size_t part, std::size_t whole) {
        return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    };
    std::printf(
        "where the default decoder reads a recording with at most 2 %% errors, recover keeps "
        "every block's first byte in %zu of %zu (%.1f %%);\n"
        "of the %zu blocks the default decoder has whole, recover has %zu (%.1f %%)\n\n",
        peer_read_starts_kept, peer_read, percent(peer_read_starts_kept, peer_read), peer_whole,
        peer_whole_kept, percent(peer_whole_kept, peer_whole));
    if (only.empty() || only == "speed_bench") speed_bench();
    return 0;
}
