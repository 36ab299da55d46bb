#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Measuring a carrier's signal from a stretch of its samples, whatever the decoder was told:
// each tone on its own, from the stretch's average spectrum, and the bit rate, from the
// spacing of the tone changes. A tape whose machine ran fast shows both tones and the bit
// rate up by the same share; one whose oscillator drifted shows one tone off alone.

// Where the tones and the bit rate are looked for.
struct measure_range {
    double lowest_tone = 0.0, highest_tone = 0.0;  // Hz: both tones within
    double lowest_baud = 0.0, highest_baud = 0.0;  // bits per second
};

// A tone pair as the spectrum shows it; lower 0 when only one tone stands out (a leader, a
// steady tone).
struct tone_pair {
    double lower = 0.0, upper = 0.0;  // Hz
};

struct measured_signal {
    double baud_rate = 0.0;   // bits per second
    double lower_tone = 0.0;  // Hz
    double upper_tone = 0.0;
    std::size_t changes = 0;  // tone changes on the bit grid it rests on
    double share = 0.0;       // and their share of all the changes found
};

// The work space, sized once: spectra with bins of at most `bin_hz`, bit rates measured over
// stretches of up to `longest` samples (0: tones only).
struct signal_meter {
    std::int32_t sample_rate = 0;
    std::size_t fft_size = 0;
    std::vector<double> re, im;                  // the transform's work (fft_size / 2)
    std::vector<double> twiddle_re, twiddle_im;  // each stage's, in a row
    std::vector<double> split_re, split_im;      // e^(-2 pi i k / fft_size), k to fft_size / 2
    std::vector<std::uint32_t> reversed;         // each index's bits reversed
    std::vector<double> taper;                   // a Hann window
    std::vector<double> power;      // the average power spectrum, fft_size / 2 + 1 bins
    std::vector<double> previous;   // the last frame's, for tone_stands_out
    std::vector<double> sorted;     // for its median
    std::vector<double> filtered;   // the stretch high-passed
    std::vector<float> mag0, mag1;  // the tones' short-window magnitudes per sample
    std::vector<double> changes;    // tone changes (sample times)
    std::vector<double> spacings;   // theirs, for the shorter ones
    std::vector<double> scores;     // each bit length's, on a grid
};

// Throws fskdec_error for a sample rate below 4000 Hz or a bin below 1 Hz.
signal_meter make_signal_meter(std::int32_t sample_rate, std::size_t longest, double bin_hz = 24.0);

// The FFT size: stretches shorter than it tell no tone.
std::size_t meter_frame(const signal_meter& m);

// The tone pair standing out of the stretch's average spectrum (the strongest peak in the
// range and, an octave or so from it, the strongest other one), if any stands well above
// the spectrum's floor.
std::optional<tone_pair> measure_tones(signal_meter& m, std::span<const double> samples,
                                       const measure_range& range);

// Whether a tone stands out of the spectra of this frame (meter_frame samples) and the one
// of the call before, added: their strongest bin in the range 10 dB over the bins around it
// (some 20 bins either way, the nearest 4 not). Hiss of any colour, hum and band limits
// leave no bin that far over its neighbours in two frames' sum; a tone or an FSK carrier
// 14 dB Eb/N0 over white noise does in most of them.
bool tone_stands_out(signal_meter& m, std::span<const double> frame, const measure_range& range);

// Both tones and the bit rate, if the stretch (its first `longest` samples, high-passed at
// half the lowest tone) holds a tone pair whose changes lie on a bit grid: at least a dozen
// of them and 40 % of all, the share given (a clean carrier's near 1).
std::optional<measured_signal> measure_signal(signal_meter& m, std::span<const double> samples,
                                              const measure_range& range);
