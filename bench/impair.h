#pragma once

// Recordings as tape decks, lines and sound cards deliver them: a continuous-phase FSK
// waveform evaluated at warped time (speed, wow, drift), then real filters, companding,
// level changes and seeded noise. Samples are normalised: 1.0 is full scale.

#include <cstdint>
#include <vector>

#include "demod/signal.h"

// splitmix64, so that a seed gives the same recording everywhere.
struct random_source {
    std::uint64_t state = 1;
};
std::uint64_t next_random(random_source& r);
double uniform(random_source& r);   // in (0, 1]
double gaussian(random_source& r);  // mean 0, deviation 1

// `count` random bytes.
std::vector<std::uint8_t> random_bytes(std::size_t count, random_source& r);

// The bit sequence of a transmission: a leader of idle bits, each byte framed as a start bit,
// eight data bits least significant first and `gaps[i]` idle bits, then a trailer.
std::vector<std::uint8_t> frame_bits(const std::vector<std::uint8_t>& bytes,
                                     const std::vector<int>& gaps, int leader, int trailer);

// How the tape moves: the recording's time tau at playback time t runs at rate
// 1 + speed + drift * (t / duration - 1/2) + wow * sin(2 pi wow_hz t) + flutter * sin(...).
struct time_warp {
    double speed = 0.0;
    double drift = 0.0;  // total change of speed over the recording
    double wow = 0.0, wow_hz = 1.0;
    double flutter = 0.0, flutter_hz = 15.0;
};

struct tone_settings {
    std::int32_t sample_rate = 44100;
    fsk_signal signal;
    double amplitude = 0.5;  // peak
    double gain0 = 1.0;      // lower tone relative level
    double gain1 = 1.0;      // upper tone relative level
    double phase = 0.0;      // radians at every bit boundary
    bool square = false;     // a square wave instead of a sine
    // The tones as played, in Hz of recording time (0: nominal, the lower tone and twice it).
    // A mistuned tone is phase-continuous, as an oscillator keyed between two frequencies is.
    double lower_hz = 0.0, upper_hz = 0.0;
};

// The waveform of `bits` played through `warp`.
std::vector<double> render_fsk(const std::vector<std::uint8_t>& bits, const tone_settings& tone,
                               const time_warp& warp);

// Impairments, each applied in place.
void apply_high_pass(std::vector<double>& x, double corner, double rate, double q = 0.7071);
void apply_low_pass(std::vector<double>& x, double corner, double rate, double q = 0.7071);
void apply_all_pass(std::vector<double>& x, double corner, double rate, double q);
void apply_gain(std::vector<double>& x, double gain);
void apply_clip(std::vector<double>& x, double limit);
void apply_pumping(std::vector<double>& x, double depth_db, double hz, double rate);
void apply_dropouts(std::vector<double>& x, double every_s, double length_s, double depth_db,
                    double rate);
void add_white_noise(std::vector<double>& x, double deviation, random_source& r);
void add_hiss(std::vector<double>& x, double deviation, double rate, random_source& r);
void add_dc(std::vector<double>& x, double offset);
void add_hum(std::vector<double>& x, double amplitude, double hz, double rate);
void apply_mu_law(std::vector<double>& x);  // 8-bit G.711 companding and back
void quantise_16(std::vector<double>& x);

// White-noise deviation per sample that gives Eb/N0 (dB) for a tone of peak `amplitude`.
double noise_for_ebn0(double ebn0_db, double amplitude, double rate, double baud);

// Sounds that carry no FSK, `seconds` long.
std::vector<double> sweep(double from_hz, double to_hz, double seconds, double rate);
std::vector<double> steady_tone(double hz, double seconds, double rate, double amplitude);
std::vector<double> speech_like(double seconds, double rate, random_source& r);
std::vector<double> music_like(double seconds, double rate, random_source& r);
// Noise of the given colour (white, pink: -3 dB per octave, brown: -6 dB per octave), or
// white noise band-limited to low_hz..high_hz by two second-order sections at either edge;
// each scaled to `deviation` rms.
enum class noise_colour { white, pink, brown };
std::vector<double> coloured_noise(noise_colour colour, double seconds, double rate,
                                   double deviation, random_source& r);
std::vector<double> band_noise(double low_hz, double high_hz, double seconds, double rate,
                               double deviation, random_source& r);
// Plucked strings (decaying harmonics-rich notes, Karplus-Strong) at the given pitches.
std::vector<double> plucked(const std::vector<double>& hz, double seconds, double rate,
                            random_source& r);
// Two steady tones (a DTMF-like pair) under full tremolo at `tremolo_hz`.
std::vector<double> tremolo_pair(double hz_a, double hz_b, double tremolo_hz, double seconds,
                                 double rate);

// Edit distance between two byte strings.
std::size_t edit_distance(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// The edit distance from `sent` to `got`, and which bytes of `sent` an optimal alignment pairs
// with an equal byte of `got` (the rest were lost, replaced or garbled).
struct byte_alignment {
    std::size_t distance = 0;
    std::vector<bool> kept;  // one per byte sent
};
byte_alignment align_bytes(const std::vector<std::uint8_t>& sent,
                           const std::vector<std::uint8_t>& got);

// The rms deviation of a level in dBFS (rms against full scale: -40 dBFS is 0.01).
double dbfs(double db);

// Adds `gain` times `part` into `x` from sample `at` on, lengthening `x` with silence as needed.
void mix_in(std::vector<double>& x, const std::vector<double>& part, std::size_t at,
            double gain = 1.0);
