// Round trips: bytes -> the recording fskenc writes -> fskdec's decoder -> the same bytes.
// Most run in-process (encoder settings -> stream_wav -> memory_audio -> decode_bytes); a few
// run the two executables as a user would.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "app/encoder_options.h"
#include "app/options.h"
#include "audio/input.h"
#include "demod/framing.h"
#include "mod/synth.h"
#include "pcm_samples.h"
#include "run_program.h"

namespace {

using bytes_t = std::vector<std::uint8_t>;

bytes_t random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 gen(seed);
    bytes_t out(count);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(gen() >> 24);
    return out;
}

// The decoder settings that match the encoder's: same baud rate, lower tone and phase.
decoder_settings matching_decoder(const encoder_settings& enc) {
    decoder_settings dec;
    dec.signal = enc.signal;
    return dec;
}

bytes_t encode(const bytes_t& payload, const encoder_settings& enc) {
    bytes_t file;
    stream_wav(payload, make_encoder_signal(enc), [&](std::span<const std::uint8_t> piece) {
        file.insert(file.end(), piece.begin(), piece.end());
    });
    return file;
}

bytes_t decode(const bytes_t& file, const decoder_settings& dec) {
    const std::unique_ptr<sample_source> source = memory_audio(file);
    const audio_format format = source->format();
    return decode_values(format, read_all(*source),
                         make_demod_config(format, dec.signal, dec.threshold_ratio));
}

struct roundtrip_case {
    std::int32_t sample_rate;
    std::int32_t quantization_bit;
    bool reverse;
    std::int32_t baud_rate;
    std::int32_t lower_carrier;
};

std::string case_name(const roundtrip_case& c) {
    return std::to_string(c.sample_rate) + "Hz_" + std::to_string(c.quantization_bit) + "bit_" +
           std::to_string(c.baud_rate) + "baud_" + std::to_string(c.lower_carrier) + "Hz" +
           (c.reverse ? "_reverse" : "");
}

// Failure reports show the case's name, not its bytes.
void PrintTo(const roundtrip_case& c, std::ostream* os) {
    *os << case_name(c);
}

class RoundTrip : public testing::TestWithParam<roundtrip_case> {};

TEST_P(RoundTrip, DecoderGivesBackEveryPayload) {
    const roundtrip_case& c = GetParam();
    encoder_settings enc;
    enc.sample_rate = c.sample_rate;
    enc.quantization_bit = c.quantization_bit;
    enc.signal.phase_sign = c.reverse ? -1 : 1;
    enc.signal.baud_rate = c.baud_rate;
    enc.signal.lower_tone = c.lower_carrier;
    enc.leader_bits = 30;  // the default 1200 would only slow the decoder down here

    // Small, so that the plain decoder gets through the whole matrix quickly.
    const std::vector<bytes_t> payloads = {
        {},
        random_bytes(1, static_cast<std::uint32_t>(c.sample_rate)),
        bytes_t(12, 0x00),
        bytes_t(12, 0xFF),
        {0x00, 0xFF, 0x00, 0xFF, 0x55, 0xAA, 0x01, 0x80, 0x7F, 0xFE},
        random_bytes(24, static_cast<std::uint32_t>(c.sample_rate + c.baud_rate)),
    };
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        EXPECT_EQ(decode(encode(payloads[i], enc), matching_decoder(enc)), payloads[i])
            << "payload " << i << " of " << payloads[i].size() << " bytes";
    }
}

std::vector<roundtrip_case> all_cases() {
    std::vector<roundtrip_case> cases;
    for (std::int32_t rate : {22050, 44100, 48000, 96000}) {
        for (std::int32_t bits : {8, 16}) {
            for (bool reverse : {false, true}) {
                cases.push_back({rate, bits, reverse, 1200, 1200});
                cases.push_back({rate, bits, reverse, 600, 600});
                cases.push_back({rate, bits, reverse, 2400, 2400});
            }
        }
    }
    // The lower tone at twice the baud rate: two and four cycles per bit.
    cases.push_back({44100, 16, false, 600, 1200});
    cases.push_back({48000, 8, true, 600, 1200});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Matrix, RoundTrip, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<roundtrip_case>& info) {
                             return case_name(info.param);
                         });

TEST(RoundTripLarge, SixtyFourKibibytesAtTheDefaults) {
    const bytes_t payload = random_bytes(64 * 1024, 64);
    const encoder_settings enc;  // 44100 Hz, 16-bit, 1200 baud on 1200/2400 Hz, leader 1200
    EXPECT_EQ(decode(encode(payload, enc), matching_decoder(enc)), payload);
}

TEST(RoundTripLarge, SixtyFourKibibytesReversedInEightBitsAt2400Baud) {
    const bytes_t payload = random_bytes(64 * 1024, 2400);
    encoder_settings enc;
    enc.sample_rate = 22050;  // 9 frames per bit: the fewest of the rates above
    enc.quantization_bit = 8;
    enc.signal.phase_sign = -1;
    enc.signal.baud_rate = 2400;
    enc.signal.lower_tone = 2400;
    EXPECT_EQ(decode(encode(payload, enc), matching_decoder(enc)), payload);
}

// A reversed recording needs the reversed decoder: without -p its windows land half a
// period late and the bytes come out wrong.
TEST(RoundTripPhase, ReversedRecordingNeedsReversedDecoder) {
    const bytes_t payload = random_bytes(40, 11);
    encoder_settings enc;
    enc.leader_bits = 30;
    enc.signal.phase_sign = -1;
    decoder_settings dec = matching_decoder(enc);
    EXPECT_EQ(decode(encode(payload, enc), dec), payload);
    dec.signal.phase_sign = 1;
    EXPECT_NE(decode(encode(payload, enc), dec), payload);
}

// Through the two executables, as a user runs them.
struct cli_case {
    const char* name;
    const char* encoder_options;  // given to fskenc and, but for -r, -8, -a, -l, -g, -e, fskdec
    const char* decoder_options;
    std::size_t payload_size;
    bool through_pipes;  // fskenc reads standard input and writes standard output
};

int run_shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void PrintTo(const cli_case& c, std::ostream* os) {
    *os << c.name;
}

class CommandLineRoundTrip : public testing::TestWithParam<cli_case> {};

TEST_P(CommandLineRoundTrip, FskdecGivesBackTheInput) {
    const cli_case& c = GetParam();
    const std::string dir = testing::TempDir();
    const std::string base = dir + "/roundtrip_" + c.name;
    const bytes_t payload =
        random_bytes(c.payload_size, static_cast<std::uint32_t>(c.payload_size));
    {
        std::ofstream out(base + ".bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(payload.data()),
                  static_cast<std::streamsize>(payload.size()));
    }
    const std::string encode_command = c.through_pipes
                                           ? std::string(FSKENC_EXE " ") + c.encoder_options +
                                                 " - - < '" + base + ".bin' > '" + base + ".wav'"
                                           : std::string(FSKENC_EXE " ") + c.encoder_options +
                                                 " '" + base + ".bin' '" + base + ".wav'";
    ASSERT_EQ(run_shell(encode_command), 0) << encode_command;
    const std::string decode_command = std::string(FSKDEC_EXE " ") + c.decoder_options + " '" +
                                       base + ".wav' - > '" + base + ".out'";
    ASSERT_EQ(run_shell(decode_command), 0) << decode_command;
    const std::string decoded = read_file(base + ".out");
    EXPECT_EQ(bytes_t(decoded.begin(), decoded.end()), payload);
}

INSTANTIATE_TEST_SUITE_P(
    Executables, CommandLineRoundTrip,
    testing::Values(
        cli_case{"defaults", "", "", 256, false}, cli_case{"empty", "", "", 0, false},
        cli_case{"pipes_reverse_8bit_22050", "-p -8 -r 22050", "-p", 200, true},
        cli_case{"baud600", "-b 600 -w 600 -r 48000 -l 100", "-b 600 -w 600", 100, false},
        cli_case{"baud2400", "-b 2400 -w 2400 -r 96000 -g 0 -e 0", "-b 2400 -w 2400", 300, true},
        // The lowest sample rate fskenc writes (six times the lower tone) still decodes.
        cli_case{"lowest_rate_recovered", "-r 7200", "-r", 300, false},
        cli_case{"lowest_rate_recovered_2400", "-b 2400 -w 4800 -r 28800", "-r -b 2400 -w 4800",
                 300, false}),
    [](const testing::TestParamInfo<cli_case>& info) { return std::string(info.param.name); });

}  // namespace
