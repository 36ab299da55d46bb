#include <gtest/gtest.h>

#include <string>

#include "demod/framing.h"
#include "mod/synth.h"
#include "pcm_samples.h"

TEST(Smoke, DecodesSynthesizedText) {
    const std::string text = "Hello, FSK!";
    synth_settings signal;
    signal.leader_bits = 20;
    signal.gap_bits = 2;
    signal.trailer_bits = 20;
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    const audio_format format = pcm_format(1, signal.sample_rate, signal.quantization_bit);
    const demod_config config = make_demod_config(format, fsk_signal{}, 0.15);
    const auto out = decode_values(
        format, pcm_values(synthesize_samples(bytes, signal), {1, 16, 2}), config, true);
    EXPECT_EQ(std::string(out.begin(), out.end()), text);
}
