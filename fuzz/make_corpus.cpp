// Writes the seed corpus of the fuzz targets: synthesized recordings in every layout the WAV
// reader accepts, each header variant it must reject, and the hostile headers (huge sample
// rate, block align 65535, stereo with a one-sample frame, data size 0xFFFFFFFF, ...).
// Usage: make_fuzz_corpus DIRECTORY  (creates DIRECTORY/wav_parse, decode, differential,
// recover, report and capi)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/wav_writer.h"
#include "fuzz_input.h"
#include "impair.h"
#include "mod/synth.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// One byte: recordings short enough for the decoding targets' cost bound.
const bytes payload = {'K'};

bytes samples(std::int32_t rate, std::int32_t bits, std::int32_t channels, std::int32_t baud = 1200,
              std::int32_t tone = 1200, double phase = 0.0, double noise = 0.0) {
    synth_settings s;
    s.sample_rate = rate;
    s.quantization_bit = bits;
    s.channels = channels;
    s.baud_rate = baud;
    s.lower_tone = tone;
    s.phase_degrees = phase;
    s.noise = noise;
    s.leader_bits = 1;
    s.gap_bits = 1;
    s.trailer_bits = 1;
    return synthesize_samples(payload, s);
}

bytes canonical(std::int32_t rate, std::int32_t bits, std::int32_t channels, const bytes& data) {
    bytes file = make_wav_header(channels, rate, bits, static_cast<std::uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

void set_u16(bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void set_u32(bytes& b, std::size_t at, std::uint32_t v) {
    set_u16(b, at, v & 0xFFFFu);
    set_u16(b, at + 2, v >> 16);
}

bytes chunk(const char* id, const bytes& body) {
    bytes c(id, id + 4);
    put_u32(c, static_cast<std::uint32_t>(body.size()));
    c.insert(c.end(), body.begin(), body.end());
    if (body.size() % 2) c.push_back(0);
    return c;
}

bytes riff(const std::vector<bytes>& chunks) {
    bytes body = {'W', 'A', 'V', 'E'};
    for (const bytes& c : chunks)
        body.insert(body.end(), c.begin(), c.end());
    bytes file = {'R', 'I', 'F', 'F'};
    put_u32(file, static_cast<std::uint32_t>(body.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

// The 16-byte fmt body of a canonical header (offsets 20..35).
bytes fmt_body(std::int32_t rate, std::int32_t bits, std::int32_t channels) {
    const bytes h = make_wav_header(channels, rate, bits, 0);
    return bytes(h.begin() + 20, h.begin() + 36);
}

struct named {
    std::string name;
    bytes file;
};

std::vector<named> wav_files() {
    std::vector<named> out;
    const bytes mono16 = samples(44100, 16, 1);
    const bytes mono8 = samples(44100, 8, 1);
    out.push_back({"mono16_44100", canonical(44100, 16, 1, mono16)});
    out.push_back({"mono8_44100", canonical(44100, 8, 1, mono8)});
    out.push_back({"stereo16_44100", canonical(44100, 16, 2, samples(44100, 16, 2))});
    out.push_back({"stereo8_22050", canonical(22050, 8, 2, samples(22050, 8, 2))});
    out.push_back({"mono16_48000", canonical(48000, 16, 1, samples(48000, 16, 1))});
    out.push_back({"mono8_8000_300baud", canonical(8000, 8, 1, samples(8000, 8, 1, 300, 1200))});
    out.push_back(
        {"mono16_reversed", canonical(44100, 16, 1, samples(44100, 16, 1, 1200, 1200, 270.0))});
    out.push_back(
        {"mono8_noisy", canonical(44100, 8, 1, samples(44100, 8, 1, 1200, 1200, 0.0, 0.2))});

    // Layouts: not RIFF (the fixed 44-byte header), extra chunks, any chunk order, odd sizes.
    bytes plain_header = canonical(44100, 8, 1, mono8);
    plain_header[0] = 'X';
    out.push_back({"layout_not_riff", plain_header});
    const bytes fmt8 = fmt_body(44100, 8, 1);
    out.push_back({"layout_list_first", riff({chunk("LIST", bytes(7, 'i')), chunk("fmt ", fmt8),
                                              chunk("data", mono8)})});
    out.push_back({"layout_data_first", riff({chunk("data", mono8), chunk("fmt ", fmt8)})});
    bytes fmt18 = fmt8;
    fmt18.insert(fmt18.end(), {0, 0});
    out.push_back({"layout_fmt18_fact", riff({chunk("fmt ", fmt18), chunk("fact", {1, 0, 0, 0}),
                                              chunk("data", mono8)})});
    bytes extensible = fmt_body(44100, 16, 1);
    set_u16(extensible, 0, 0xFFFE);
    extensible.insert(extensible.end(),
                      {22,   0,    16,   0,    4,    0,    0,    0,    0x01, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    out.push_back(
        {"layout_extensible_pcm", riff({chunk("fmt ", extensible), chunk("data", mono16)})});
    bytes extensible_float = extensible;
    extensible_float[24] = 0x03;
    out.push_back({"layout_extensible_float",
                   riff({chunk("fmt ", extensible_float), chunk("data", mono16)})});
    bytes odd = mono8;
    odd.push_back(0x80);
    out.push_back({"layout_odd_data_pad",
                   riff({chunk("fmt ", fmt8), chunk("data", odd), chunk("LIST", {1, 2, 3})})});
    out.push_back({"layout_short_fmt", riff({chunk("fmt ", bytes(fmt8.begin(), fmt8.begin() + 14)),
                                             chunk("data", mono8)})});
    out.push_back({"layout_no_data", riff({chunk("fmt ", fmt8)})});
    out.push_back({"layout_short_file", bytes(plain_header.begin(), plain_header.begin() + 43)});

    // Header variants at the canonical offsets.
    auto variant = [&](const char* name, std::size_t at, int width, std::uint32_t v,
                       const bytes& base) {
        bytes f = base;
        if (width == 2) set_u16(f, at, v);
        if (width == 4) set_u32(f, at, v);
        out.push_back({name, f});
    };
    const bytes base16 = canonical(44100, 16, 1, mono16);
    const bytes base8 = canonical(44100, 8, 1, mono8);
    variant("header_float", 20, 2, 3, base16);
    variant("header_4_channels", 22, 2, 4, base16);
    variant("header_24_bit", 34, 2, 24, base16);
    variant("header_block_align_0", 32, 2, 0, base16);
    variant("header_block_align_1_16bit", 32, 2, 1, base16);
    variant("hostile_block_align_65535", 32, 2, 0xFFFF, base16);
    variant("hostile_block_align_4096", 32, 2, 4096, base8);
    variant("hostile_block_align_3", 32, 2, 3, base16);
    variant("hostile_rate_4294967295", 24, 4, 0xFFFFFFFFu, base16);
    variant("hostile_rate_2147483647", 24, 4, 0x7FFFFFFFu, base16);
    variant("hostile_rate_0", 24, 4, 0, base16);
    variant("hostile_rate_prime_1000003", 24, 4, 1000003, base8);
    variant("hostile_data_size_ffffffff", 40, 4, 0xFFFFFFFFu, base16);
    variant("hostile_data_size_0", 40, 4, 0, base16);
    variant("hostile_data_size_odd", 40, 4, static_cast<std::uint32_t>(mono16.size() - 1), base16);
    bytes stereo_align2 = base16;  // 2 channels, but a frame of one 16-bit sample
    set_u16(stereo_align2, 22, 2);
    out.push_back({"hostile_stereo16_block_align_2", stereo_align2});
    bytes stereo_align1 = base8;  // 2 channels, but a frame of one 8-bit sample
    set_u16(stereo_align1, 22, 2);
    out.push_back({"hostile_stereo8_block_align_1", stereo_align1});
    return out;
}

// Synthesized sample data for the differential target, with the prefix that describes it.
std::vector<named> differential_inputs() {
    struct signal_case {
        const char* name;
        std::int32_t rate, bits, baud, tone;
        std::uint8_t pad;
        double phase;
    };
    const signal_case cases[] = {
        {"n36_16bit", 43200, 16, 1200, 1200, 0, 0.0},
        {"n36_8bit_reversed", 43200, 8, 1200, 1200, 0, 270.0},
        {"n40_8bit", 48000, 8, 1200, 1200, 0, 0.0},
        {"n37_prime", 44400, 16, 1200, 1200, 0, 0.0},
        {"n32_bin2", 38400, 16, 1200, 2400, 0, 0.0},
        {"n26_300baud", 7800, 8, 300, 1200, 0, 0.0},
        {"n36_stereo_frames", 43200, 16, 1200, 1200, 2, 0.0},
        {"n9_short_window", 10800, 8, 1200, 1200, 0, 0.0},
    };
    std::vector<named> out;
    for (const signal_case& c : cases) {
        const std::int32_t n = c.rate / c.baud;
        differential_prefix p;
        p.flags = (c.phase != 0.0 ? 1 : 0) | (c.bits == 16 ? 2 : 0);
        p.pad = c.pad;
        p.window = static_cast<std::uint16_t>(n - 3);
        p.bin = static_cast<std::uint8_t>(c.tone / c.baud - 1);
        p.baud = static_cast<std::uint16_t>(c.baud - 1);
        p.rate_extra = 0;
        p.threshold = 38;  // 39 / 257, about the default 0.15
        bytes input;
        write_differential_prefix(input, p);
        bytes data = samples(c.rate, c.bits, c.pad ? 2 : 1, c.baud, c.tone, c.phase);
        input.insert(input.end(), data.begin(), data.end());
        out.push_back({c.name, input});
    }
    return out;
}

// Synthesized signals for the recovery target, with the prefix that describes them: 16-bit
// samples, a leader long enough for the carrier to be heard, a few bytes.
std::vector<named> recover_inputs() {
    struct signal_case {
        const char* name;
        std::int32_t rate, baud, tone, leader;
        std::uint8_t rate_pick, baud_pick, carrier_pick;
        double noise;
    };
    const signal_case cases[] = {
        {"r44100_1200", 44100, 1200, 1200, 30, 0, 0, 0, 0.0},
        {"r48000_1200_noisy", 48000, 1200, 1200, 30, 1, 0, 0, 0.1},
        {"r8000_1200", 8000, 1200, 1200, 30, 2, 0, 0, 0.0},
        {"r22050_300", 22050, 300, 1200, 20, 3, 1, 3, 0.0},
        {"r96000_2400", 96000, 2400, 2400, 40, 5, 3, 0, 0.0},
        {"r44100_leaderless", 44100, 1200, 1200, 0, 0, 0, 0, 0.0},
    };
    std::vector<named> out;
    for (const signal_case& c : cases) {
        recover_prefix p;
        p.rate_pick = c.rate_pick;
        p.baud_pick = c.baud_pick;
        p.carrier_pick = c.carrier_pick;
        p.piece = 7;
        bytes input;
        write_recover_prefix(input, p);
        synth_settings s;
        s.sample_rate = c.rate;
        s.baud_rate = c.baud;
        s.lower_tone = c.tone;
        s.noise = c.noise;
        s.leader_bits = c.leader;
        s.gap_bits = 1;
        s.trailer_bits = 2;
        const bytes text = {'K', 'I', 'M'};
        const bytes data = synthesize_samples(text, s);
        input.insert(input.end(), data.begin(), data.end());
        out.push_back({c.name, input});
    }
    return out;
}

// A block of `count` random bytes at 8 kHz with one idle bit after each, as impair renders it.
std::vector<double> block_8k(std::size_t count, int leader, int gap, random_source& r,
                             const time_warp& warp = {}, double upper_gain = 1.0) {
    tone_settings tone;
    tone.sample_rate = 8000;
    tone.gain1 = upper_gain;
    const std::vector<std::uint8_t> text = random_bytes(count, r);
    return render_fsk(frame_bits(text, std::vector<int>(count, gap), leader, 4), tone, warp);
}

// Short recordings shaped like the accuracy families (bench/impair), for the recovery target:
// hiss before a short leader, a quiet block then a loud one, an echo, a worn tape, a start
// inside a byte; 8 kHz 16-bit, so a second fits the fuzzer's input length.
std::vector<named> impaired_recover_inputs() {
    std::vector<named> recordings;
    random_source r{7};
    std::vector<double> x(2000, 0.0);
    mix_in(x, block_8k(8, 10, 1, r), x.size());
    add_hiss(x, dbfs(-50), 8000, r);
    recordings.push_back({"hiss_then_leader", {}});
    std::vector<std::vector<double>> signals = {x};

    x.clear();
    const std::vector<double> block = block_8k(4, 10, 1, r);
    mix_in(x, block, 0, 0.03);
    mix_in(x, block, block.size() + 800);
    add_hiss(x, dbfs(-54), 8000, r);
    recordings.push_back({"quiet_then_loud", {}});
    signals.push_back(x);

    x.clear();
    mix_in(x, block, 0, dbfs(-30));
    mix_in(x, block, block.size() + 400);
    recordings.push_back({"echo_before", {}});
    signals.push_back(x);

    time_warp warp;
    warp.speed = 0.07;
    warp.wow = 0.02;
    warp.wow_hz = 1.5;
    x = block_8k(8, 20, 1, r, warp, 0.25);
    apply_low_pass(x, 3000, 8000);
    apply_dropouts(x, 0.3, 0.02, -30, 8000);
    add_hum(x, 0.1, 50, 8000);
    apply_clip(x, 0.4);
    add_hiss(x, dbfs(-40), 8000, r);
    recordings.push_back({"worn_tape", {}});
    signals.push_back(x);

    x = block_8k(8, 0, 0, r);
    x.erase(x.begin(), x.begin() + 30);  // four and a half bits
    recordings.push_back({"cut_mid_byte", {}});
    signals.push_back(x);

    for (std::size_t i = 0; i < recordings.size(); ++i) {
        quantise_16(signals[i]);
        recover_prefix p;
        p.rate_pick = 2;  // 8000 Hz
        p.piece = 11;
        write_recover_prefix(recordings[i].file, p);
        for (const double v : signals[i])
            put_u16(recordings[i].file, static_cast<std::uint32_t>(
                                            static_cast<std::int16_t>(std::lround(v * 32767.0))));
    }
    return recordings;
}

// The recovery seeds' signals again for the library target, in both modes: 16-bit samples.
std::vector<named> capi_inputs() {
    std::vector<named> out;
    for (const named& r : recover_inputs()) {
        for (const bool recover : {false, true}) {
            input_reader in{r.file};
            const recover_prefix signal = read_recover_prefix(in);
            capi_prefix p;
            p.flags = recover ? 2 : 0;
            p.baud_pick = signal.baud_pick;
            p.carrier_pick = signal.carrier_pick;
            p.rate_pick = signal.rate_pick;
            p.piece = 5;
            bytes input;
            write_capi_prefix(input, p);
            const std::span<const std::uint8_t> data = in.rest();
            input.insert(input.end(), data.begin(), data.end());
            out.push_back({r.name + (recover ? "_recover" : "_exact"), input});
        }
    }
    return out;
}

// Signals the measuring wrapper retunes to: a bit rate, tones or a speed other than the
// customary signal's, a carrier then a quarter second of silence that ends its stretch, at
// rates low enough for a second of it to fit the fuzzer's input length. `told` names the
// signal the wrapper is told (baud_pick, carrier_pick), if any. Then the wrapper's edges: a
// carrier too fast for the rate (3.6 frames a bit: measured wrong), more stretches than it
// keeps measures of, and a rate above which nothing is measured.
struct retune_case {
    const char* name;
    std::int32_t rate, baud, lower;
    double lower_hz, upper_hz, speed;  // 0: the nominal tones
    bool told;
    std::uint8_t baud_pick, carrier_pick;
    int bursts = 1;  // carriers, each followed by its silence
};
constexpr retune_case retune_cases[] = {
    {"measure_300", 6000, 300, 600, 0, 0, 0.0, false, 0, 0},
    {"measure_1200_fast", 8000, 1200, 1200, 0, 0, 0.06, false, 0, 0},
    {"measure_2400_4800", 22050, 2400, 2400, 0, 0, 0.0, false, 0, 0},
    {"told_1200_upper_high", 8000, 1200, 1200, 1200, 2520, 0.0, true, 0, 0},
    {"told_300_upper_low", 6000, 300, 600, 600, 1140, 0.0, true, 1, 1},
    {"measure_2200_at_8k", 8000, 2200, 2000, 2000, 3300, 0.0, false, 0, 0},
    {"measure_five_blocks", 6000, 1200, 1200, 0, 0, 0.0, false, 0, 0, 5},
    {"measure_above_384k", 400000, 1200, 1200, 0, 0, 0.0, false, 0, 0},
};

// The case's samples, as fractions of full scale.
std::vector<double> retune_signal(const retune_case& c, std::size_t frames) {
    random_source r{3};
    tone_settings tone;
    tone.sample_rate = c.rate;
    tone.signal.baud_rate = c.baud;
    tone.signal.lower_tone = c.lower;
    tone.lower_hz = c.lower_hz;
    tone.upper_hz = c.upper_hz;
    time_warp warp;
    warp.speed = c.speed;
    const std::size_t part = frames / static_cast<std::size_t>(c.bursts);
    const std::size_t silence = std::min(static_cast<std::size_t>(c.rate / 4), part / 2);
    const auto bits_room = static_cast<std::int64_t>(
        (part - silence) * static_cast<std::size_t>(c.baud) / static_cast<std::size_t>(c.rate));
    // A leader of 40 bits, then bytes of 11 bits (at least one: the carrier may run past the
    // part, cut short).
    const auto count =
        static_cast<std::size_t>(std::max<std::int64_t>(1, (bits_room * 9 / 10 - 40) / 11));
    std::vector<double> x;
    for (int b = 0; b < c.bursts; ++b) {
        std::vector<double> burst = render_fsk(
            frame_bits(random_bytes(count, r), std::vector<int>(count, 1), 40, 4), tone, warp);
        burst.resize(part, 0.0);
        x.insert(x.end(), burst.begin(), burst.end());
    }
    x.resize(frames, 0.0);
    add_hiss(x, dbfs(-60), c.rate, r);
    return x;
}

// For the recovery target: 8-bit samples (two seconds and more), the rate as raw_rate.
std::vector<named> retune_recover_inputs() {
    std::vector<named> out;
    for (const retune_case& c : retune_cases) {
        recover_prefix p;
        p.flags = 4 | 32 | (c.told ? 64 : 128);  // u8 samples, raw_rate, the wrapper
        p.baud_pick = c.baud_pick;
        p.carrier_pick = c.carrier_pick;
        p.raw_rate = static_cast<std::uint32_t>(c.rate);
        p.piece = 13;
        bytes input;
        write_recover_prefix(input, p);
        for (const double v : retune_signal(c, 16000))
            put_u8(input, static_cast<std::uint32_t>(
                              std::clamp(std::lround(128.0 + v * 127.0), 0L, 255L)));
        out.push_back({c.name, input});
    }
    return out;
}

// For the library target: 16-bit samples, recover 1 told the signal, else 2.
std::vector<named> retune_capi_inputs() {
    std::vector<named> out;
    for (const retune_case& c : retune_cases) {
        capi_prefix p;
        p.flags = 2 | 16 | (c.told ? 0 : 64);
        p.baud_pick = c.baud_pick;
        p.carrier_pick = c.carrier_pick;
        p.raw_rate = static_cast<std::uint32_t>(c.rate);
        p.piece = 9;
        bytes input;
        write_capi_prefix(input, p);
        for (const double v : retune_signal(c, 8000))
            put_u16(input, static_cast<std::uint32_t>(
                               static_cast<std::int16_t>(std::lround(v * 32767.0))));
        out.push_back({c.name, input});
    }
    return out;
}

// Runs for the report target: the settings, then samples, bytes, segments and tones as
// fuzz_report reads them (a plain run and a recovery run over a few blocks).
std::vector<named> report_inputs() {
    std::vector<named> out;
    for (const bool recovery : {false, true}) {
        bytes input;
        put_u32(input, 44100);
        put_u8(input, 0);  // one channel, the first
        put_u8(input, 0);
        put_u8(input, 1);  // full scale 1.0
        put_u32(input, 1200);
        put_u32(input, 1200);
        put_u8(input, 38);
        put_u8(input, recovery ? 1 : 0);
        put_u16(input, 0);
        put_u8(input, 4);
        for (const char c : {'t', 'a', 'p', 'e'})
            put_u8(input, static_cast<std::uint8_t>(c));
        for (int block = 0; block < 3; ++block) {
            put_u8(input, 0);  // samples
            put_u8(input, 199);
            for (int i = 0; i < 200; ++i) {
                put_u16(input, static_cast<std::uint32_t>((i * 3001) & 0xFFFF));
                put_u8(input, 0);
            }
            for (int b = 0; b < 5; ++b) {
                put_u8(input, 1);  // a byte
                put_u8(input, static_cast<std::uint32_t>('A' + b));
                put_u8(input, 0);
                put_u16(input, static_cast<std::uint32_t>(b * 37));
                put_u8(input, static_cast<std::uint32_t>(100 + 30 * b));
                put_u8(input, b == 3 ? 1 : 0);
                put_u8(input, 200);
            }
            put_u8(input, 2);  // the segment
            put_u8(input, 0);
            put_u16(input, 0);
            put_u8(input, 0);
            put_u16(input, 190);
            put_u16(input, 5);
            put_u8(input, 1);
            put_u8(input, 0);
            put_u8(input, 170);
            put_u8(input, 0);
            put_u8(input, 50);
            put_u8(input, 0);
            put_u8(input, 130);
            put_u8(input, 2);
            put_u8(input, 3);  // its idle tone
            put_u8(input, 0);
            put_u16(input, 180);
            put_u8(input, 0);
            put_u16(input, 20);
        }
        out.push_back({recovery ? "recovery_run" : "plain_run", input});
    }
    return out;
}

void write_file(const std::filesystem::path& path, const bytes& content) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) {
        std::printf("cannot write %s\n", path.string().c_str());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: make_fuzz_corpus DIRECTORY\n");
        return 1;
    }
    const std::filesystem::path root = argv[1];
    for (const char* target : {"wav_parse", "decode", "differential", "recover", "report", "capi"})
        std::filesystem::create_directories(root / target);

    decode_prefix defaults;  // -b 1200 -w 1200, default threshold
    decode_prefix reversed;
    reversed.flags = 1;
    decode_prefix slow_300;  // -b 300 -w 1200
    slow_300.baud_pick = 1;
    slow_300.carrier_pick = 3;
    decode_prefix one_baud;  // -b 1 -w 1: a window of a whole second
    one_baud.baud_pick = 4;
    decode_prefix low_threshold;  // -t 0.02
    low_threshold.flags = 8;
    low_threshold.threshold_pick = 5;
    decode_prefix bad_carrier;  // -b 1200 -w 1000: rejected by the option scan
    bad_carrier.flags = 4;
    bad_carrier.raw_carrier = 1000;

    for (const named& f : wav_files()) {
        write_file(root / "wav_parse" / f.name, f.file);
        std::vector<std::pair<std::string, decode_prefix>> prefixes = {{"", defaults}};
        if (f.name.starts_with("mono")) prefixes.push_back({"_p", reversed});
        if (f.name.starts_with("mono8_8000")) prefixes.push_back({"_b300", slow_300});
        if (f.name.starts_with("hostile")) prefixes.push_back({"_b1", one_baud});
        if (f.name == "mono8_noisy") prefixes.push_back({"_t002", low_threshold});
        if (f.name == "mono16_44100") prefixes.push_back({"_w1000", bad_carrier});
        for (const auto& [suffix, prefix] : prefixes) {
            bytes input;
            write_decode_prefix(input, prefix);
            input.insert(input.end(), f.file.begin(), f.file.end());
            write_file(root / "decode" / (f.name + suffix), input);
        }
    }
    for (const named& f : differential_inputs())
        write_file(root / "differential" / f.name, f.file);
    for (const named& f : recover_inputs())
        write_file(root / "recover" / f.name, f.file);
    for (const named& f : impaired_recover_inputs())
        write_file(root / "recover" / f.name, f.file);
    for (const named& f : retune_recover_inputs())
        write_file(root / "recover" / f.name, f.file);
    for (const named& f : capi_inputs())
        write_file(root / "capi" / f.name, f.file);
    for (const named& f : retune_capi_inputs())
        write_file(root / "capi" / f.name, f.file);
    for (const named& f : report_inputs())
        write_file(root / "report" / f.name, f.file);
    return 0;
}
