// Byte error rates of the default decoder and the recovery demodulator on synthesized
// recordings with the faults real ones have, family by family and severity by severity,
// then the recovery demodulator's speed on ten minutes of 44.1 kHz mono.
//
//   fskdec_accuracy [family-substring]     `make accuracy` runs every family
//
// The error rate is the edit distance between the bytes decoded and the bytes sent, over the
// bytes sent. Recordings without FSK show the number of bytes output instead (must be 0).

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "audio/sample_buffer.h"
#include "demod/framing.h"
#include "impair.h"
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

std::vector<std::uint8_t> decode_recover(const std::vector<double>& samples, int sample_rate,
                                         const fsk_signal& signal) {
    std::vector<std::uint8_t> out;
    recover_sink sink;
    sink.byte = [&](const recovered_byte& b) { out.push_back(b.value); };
    recover_decoder d = make_recover_decoder(signal, sample_rate, 1.0);
    constexpr std::size_t block = 4096;
    for (std::size_t i = 0; i < samples.size(); i += block) {
        const std::size_t n = std::min(block, samples.size() - i);
        recover_samples(d, std::span<const double>(samples.data() + i, n), sink);
    }
    recover_finish(d, sink);
    return out;
}

struct recording {
    std::vector<double> samples;
    std::int32_t sample_rate = 44100;
    fsk_signal signal;
    std::vector<std::uint8_t> sent;  // empty: a recording without FSK
};

// What a case varies; everything else is a clean 1200 baud recording at 44.1 kHz.
struct fsk_case {
    tone_settings tone;
    time_warp warp;
    std::size_t bytes = 300;
    std::uint64_t seed = 1;
    std::function<void(std::vector<double>&, double rate, random_source&)> impair;
};

recording make_recording(const fsk_case& c) {
    random_source r{c.seed};
    recording rec;
    rec.sample_rate = c.tone.sample_rate;
    rec.signal = c.tone.signal;
    rec.sent = random_bytes(c.bytes, r);
    // Idle gaps of 0, 1 or 2 bits, as encoders and serial ports leave them.
    std::vector<int> gaps(c.bytes);
    for (int& g : gaps)
        g = static_cast<int>(next_random(r) % 3);
    rec.samples = render_fsk(frame_bits(rec.sent, gaps, 200, 20), c.tone, c.warp);
    if (c.impair) c.impair(rec.samples, c.tone.sample_rate, r);
    quantise_16(rec.samples);
    return rec;
}

struct row {
    std::string family, severity;
    recording rec;
    double limit = -1.0;  // the noncoherent BFSK byte error rate, for noise rows
};

double byte_error_limit(double ebn0_db) {
    const double pb = 0.5 * std::exp(-std::pow(10.0, ebn0_db / 10.0) / 2.0);
    return 1.0 - std::pow(1.0 - pb, 9.0);  // the start bit and eight data bits
}

std::vector<row> make_rows() {
    std::vector<row> rows;
    std::uint64_t seed = 100;
    const auto add = [&](const std::string& family, const std::string& severity, fsk_case c) {
        c.seed = ++seed;
        rows.push_back({family, severity, make_recording(c), -1.0});
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

    // Sounds without FSK.
    const double rate = 44100.0;
    const auto quiet = [&](const std::string& name, std::vector<double> x) {
        quantise_16(x);
        rows.push_back({"no FSK", name, recording{std::move(x), 44100, fsk_signal{}, {}}, -1.0});
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
        rows.push_back(
            {"no FSK", "white noise 8 kHz", recording{std::move(x), 8000, fsk_signal{}, {}}, -1.0});
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

}  // namespace

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    const auto built = clock_type::now();
    std::vector<row> rows = make_rows();
    std::printf("%d recordings synthesized in %.1f s\n\n", static_cast<int>(rows.size()),
                seconds_since(built));
    std::printf("%-16s %-28s %9s %9s %9s\n", "family", "severity", "default", "recover", "limit");
    double default_time = 0.0, recover_time = 0.0;
    for (const row& r : rows) {
        if (!only.empty() && r.family.find(only) == std::string::npos) continue;
        std::vector<std::uint8_t> got_default, got_recover;
        bool default_failed = false;
        auto start = clock_type::now();
        try {
            got_default = decode_default(r.rec.samples, r.rec.sample_rate, r.rec.signal);
        } catch (const std::exception&) {
            default_failed = true;
        }
        default_time += seconds_since(start);
        start = clock_type::now();
        got_recover = decode_recover(r.rec.samples, r.rec.sample_rate, r.rec.signal);
        recover_time += seconds_since(start);
        char a[32], b[32], l[32] = "";
        if (r.rec.sent.empty()) {
            std::snprintf(a, sizeof a, "%zu B", got_default.size());
            std::snprintf(b, sizeof b, "%zu B", got_recover.size());
        } else {
            const double sent = static_cast<double>(r.rec.sent.size());
            std::snprintf(
                a, sizeof a, "%.2f %%",
                100.0 * static_cast<double>(edit_distance(got_default, r.rec.sent)) / sent);
            std::snprintf(
                b, sizeof b, "%.2f %%",
                100.0 * static_cast<double>(edit_distance(got_recover, r.rec.sent)) / sent);
        }
        if (default_failed) std::snprintf(a, sizeof a, "refused");
        if (argc > 2) {  // the bytes themselves, to see where a decoder lost its way
            for (std::size_t i = 0; i < std::max(r.rec.sent.size(), got_recover.size()); ++i) {
                std::printf("  %4zu %s %s\n", i,
                            i < r.rec.sent.size() ? std::to_string(r.rec.sent[i]).c_str() : "-",
                            i < got_recover.size() ? std::to_string(got_recover[i]).c_str() : "-");
            }
        }
        if (r.limit >= 0.0) std::snprintf(l, sizeof l, "%.2f %%", 100.0 * r.limit);
        std::printf("%-16s %-28s %9s %9s %9s\n", r.family.c_str(), r.severity.c_str(), a, b, l);
        std::fflush(stdout);
    }
    std::printf("\ndecoding time: default %.2f s, recover %.2f s\n\n", default_time, recover_time);
    if (only.empty() || only == "speed_bench") speed_bench();
    return 0;
}
