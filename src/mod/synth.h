#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// What the synthesizer produces: a phase-continuous two-tone FSK signal, each byte framed
// as a start bit (lower tone), eight data bits least significant first, then idle upper
// tone. With phase_degrees 0 the tone stands at a positive peak at every bit boundary.
struct synth_settings {
    std::int32_t sample_rate = 44100;
    std::int32_t quantization_bit = 16;  // 8 or 16
    std::int32_t channels = 1;           // channel 0 carries the signal, the others its negation
    double amplitude = 0.66;             // peak, as a fraction of full scale
    std::int32_t baud_rate = 1200;
    std::int32_t lower_tone = 1200;  // Hz, a whole multiple of baud_rate; the upper is twice it
    double phase_degrees = 0.0;      // phase of the tone at every bit boundary
    std::int32_t leader_bits = 0;    // idle bits before the first byte
    std::int32_t gap_bits = 0;       // idle bits after each byte
    std::int32_t trailer_bits = 0;   // idle bits after the last byte's gap
    double noise = 0.0;              // white Gaussian noise, standard deviation / full scale
    std::uint64_t seed = 1;
};

// Streaming state: how far the signal has come. Samples are computed from the frame index in
// continuous time, so a sample rate that is not a multiple of the baud rate stays exact.
struct fsk_synth {
    synth_settings signal;
    std::uint64_t frame = 0;  // next frame to produce
    std::uint64_t bit = 0;    // bit time that frame falls in
    std::uint64_t rng = 0;    // noise generator state
    // The tone at each of the sample_rate phase steps of one cycle (see synth_bits), filled
    // once when the rate is small enough that the table is cheaper than a cosine per frame.
    std::vector<double> tone_table;
};

// Throws fskdec_error unless the settings describe a signal the synthesizer can make: a
// positive baud rate, sample rate and channel count, a lower tone that is a positive multiple
// of the baud rate, 8- or 16-bit samples. start_synth and synth_data_size check them.
void check_synth_settings(const synth_settings& signal);

fsk_synth start_synth(const synth_settings& signal);

// Appends the frames of the next `count` bit times, all carrying `bit`, to `out`: values
// normalised to full scale 1.0, channels interleaved.
void synth_bits(fsk_synth& synth, int bit, std::uint64_t count, std::vector<double>& out);

// Appends the frames of one framed byte (start bit, 8 data bits, gap_bits idle bits).
void synth_byte(fsk_synth& synth, std::uint8_t byte, std::vector<double>& out);

// Frames in a signal of `bits` bit times.
std::uint64_t synth_frames(const synth_settings& signal, std::uint64_t bits);

// Bit times of the whole signal for `byte_count` bytes: leader, framed bytes, trailer.
std::uint64_t synth_bit_count(const synth_settings& signal, std::uint64_t byte_count);

// Bytes of sample data in the whole signal for `byte_count` bytes. Throws fskdec_error
// "output too long for a WAV file" when they do not fit the header's 32-bit size fields.
std::uint32_t synth_data_size(const synth_settings& signal, std::uint64_t byte_count);

// The most bytes whose signal synth_data_size accepts (0 also when not even an empty signal
// fits): a reader can stop once its input holds more.
std::uint64_t synth_max_bytes(const synth_settings& signal);

// Receives the file image piece by piece, in order.
using chunk_sink = std::function<void(std::span<const std::uint8_t>)>;

// The whole signal as a canonical 44-byte-header WAV file image, handed to `write` in pieces
// of bounded size as it is produced: the header first, then the sample data. Memory stays
// bounded whatever the leader, gap and trailer lengths. Throws fskdec_error as
// synth_data_size does, before anything is written.
void stream_wav(std::span<const std::uint8_t> bytes, const synth_settings& signal,
                const chunk_sink& write);

// The whole signal's sample values (normalised to full scale 1.0, channels interleaved).
std::vector<double> synthesize_values(std::span<const std::uint8_t> bytes,
                                      const synth_settings& signal);

// The whole signal's sample data (no header): the values as PCM bytes.
std::vector<std::uint8_t> synthesize_samples(std::span<const std::uint8_t> bytes,
                                             const synth_settings& signal);

// The whole signal as a canonical 44-byte-header WAV file image.
std::vector<std::uint8_t> synthesize_wav(std::span<const std::uint8_t> bytes,
                                         const synth_settings& signal);
