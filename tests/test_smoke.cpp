#include <gtest/gtest.h>

#include <string>

#include "demod/framing.h"
#include "mod/synth.h"
#include "wav/wav.h"

TEST(Smoke, DecodesSynthesizedText) {
    const std::string text = "Hello, FSK!";
    synth_settings signal;
    signal.leader_bits = 20;
    signal.gap_bits = 2;
    signal.trailer_bits = 20;
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    std::vector<std::uint8_t> file = synthesize_wav(bytes, signal);
    wav_layout layout = parse_wav(file);
    std::span<const std::uint8_t> data(file.data() + layout.data_offset, layout.format.data_size);
    demod_config config = make_demod_config(layout.format, decoder_settings{});
    std::string out;
    decode_bytes_plain(data, config, [&](std::uint8_t b) { out.push_back(static_cast<char>(b)); });
    EXPECT_EQ(out, text);
}
