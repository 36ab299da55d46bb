#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "demod/signal.h"

// The recovery demodulator: reads recordings the exact decoder gives up on (quiet, pumping,
// unbalanced tones, off speed, wow, noise, inverted or filtered signals). It works on a stream
// of samples in any block sizes, tracks the bit clock from the signal itself and outputs bytes
// only while it hears an FSK carrier.

struct recovered_byte {
    std::uint8_t value = 0;
    std::uint64_t start_frame = 0;  // frame index of the start bit's leading edge
    double confidence = 0.0;        // the weakest bit's margin: 0 a guess, 1 certain
    bool framing_error = false;     // the idle (stop) bit after the byte was expected but missing
};

// One stretch of detected carrier, reported when it ends.
struct carrier_segment {
    std::uint64_t start_frame = 0, end_frame = 0;
    std::uint64_t bytes = 0, framing_errors = 0;
    double level = 0.0;   // tone amplitude (peak) in sample units
    double snr_db = 0.0;  // signal to noise in the tone band (noise over one bit's bandwidth)
    double speed = 0.0;   // measured bit rate / nominal - 1
    int polarity = 0;     // +1 as the encoder writes it (the tones at a positive peak at the
                          // bit boundaries), -1 inverted, 0 neither (fskenc -p: crossing zero)
};

struct recover_sink {
    std::function<void(const recovered_byte&)> byte;      // each byte as soon as it is complete
    std::function<void(const carrier_segment&)> segment;  // may be empty
};

// A second-order IIR section, direct form I.
struct biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
};

// The per-sample running sums over one window: both tones' correlations (real, imaginary)
// and the window's energy.
struct window_sums {
    double r0 = 0.0, i0 = 0.0, r1 = 0.0, i1 = 0.0, energy = 0.0;
};

// Correlators of the two tones over the last `window` samples and `fraction` of the one
// before (a window as long as a bit, which is seldom a whole number of samples), updated per
// sample in O(1).
struct tone_correlator {
    std::int32_t window = 0;
    double fraction = 0.0;
    std::int64_t sample_rate = 0;
    std::int64_t lower_tone = 0;
    std::int64_t stride = 1;            // input frames per correlator sample
    double step_r = 1.0, step_i = 0.0;  // e^{-j 2 pi f0 stride / fs}
    double osc_r = 1.0, osc_i = 0.0;    // e^{-j 2 pi f0 n stride / fs} for the next sample n
    std::uint64_t count = 0;            // samples taken so far
    std::vector<window_sums> products;  // the last window + 1 samples' terms, oldest overwritten
    std::size_t slot = 0;               // the oldest term
    window_sums sums;                   // over the whole window, the fraction before it not
};

// The sums over the window and the fraction of the sample before it.
window_sums correlator_sums(const tone_correlator& c);

tone_correlator make_tone_correlator(std::int32_t window, std::int32_t sample_rate,
                                     std::int32_t lower_tone, std::int32_t stride = 1,
                                     double fraction = 0.0);
void correlate_sample(tone_correlator& c, double y);

// Where the demodulator stands between samples.
// resync: the signal is back after a silent dropout, the byte frame is sought again.
enum class recover_state { search, check_start, wait_byte, resync };

struct recover_decoder {
    // Fixed by the settings.
    fsk_signal signal;
    std::int32_t sample_rate = 0;
    // Well above the upper tone the input is low-passed and only every stride-th frame kept:
    // the decoder's frames below are those kept, frame_rate a second.
    std::int32_t stride = 1;
    double frame_rate = 0.0;
    // The low-pass is a triangle of 2 stride - 1 taps centred on the kept frame, summed as
    // input arrives: a frame at `phase` in its block of stride frames weighs phase + 1 in the
    // block's own kept frame and stride - 1 - phase in the one before.
    double rising = 0.0, rising_before = 0.0, falling = 0.0;
    std::int32_t phase = 0;
    double full_scale = 1.0;
    double nominal_period = 0.0;      // frames per bit
    double length = 0.0;              // the correlators' window, fraction included (frames)
    double half_window = 0.0;         // (length - 1) / 2: from a window's end to its centre
    double floor_energy = 0.0;        // window energies below this are silence
    double gain0 = 1.0, gain1 = 1.0;  // the band filter's gain at each tone
    double turn0 = 0.0, turn1 = 0.0;  // and the phase it adds there, delay excluded (radians)
    double delay = 0.0;               // its group delay across the tones (frames)

    biquad high_pass, low_pass;
    tone_correlator corr;
    std::vector<window_sums> history;  // sums after each of the last history.size() frames
    std::uint64_t frame = 0;           // frames taken so far

    // Tone amplitude estimates (correlation magnitudes) and whether each is known yet.
    double amp0 = 1.0, amp1 = 1.0;
    bool amp0_known = false, amp1_known = false;

    // Start-edge search on the per-sample discriminator.
    bool was_mark = false;
    bool solid_mark = false;   // a clear upper tone since the last crossing
    double crossing = -1e300;  // window-end time of the last crossing from mark to space
    bool crossing_valid = false;
    double earliest_crossing = -1e300;
    std::uint64_t idle_count = 0;  // frames since the last free-running quality check
    bool idle_steady = false;      // that check saw a clean idle tone, turned this far:
    double idle_r1 = 0.0, idle_i1 = 0.0;

    // The byte being read.
    recover_state state = recover_state::search;
    double start_time = 0.0;       // start edge of the current byte
    double period = 0.0;           // tracked frames per bit
    double due = 0.0;              // time of the next action
    bool space_before = false;     // the bit before the current byte's start was a space
    int space_run = 0;             // spaces up to the end of the last byte read
    recovered_byte held;           // the first of held_count frames of spaces only, output
    std::uint64_t held_count = 0;  // once a frame of data follows
    double held_step = 0.0;        // input frames from one to the next
    double fallback = 0.0;         // the edge's own start, should the clock's slot hold none
    bool fallback_valid = false;
    bool on_clock = false;       // the current byte's start was taken from the running clock
    double bits_since = 0.0;     // bits from the previous start to it
    int next_slot = 0;           // bit after the last start where a start bit may stand; 0 none
    double last_start = -1e300;  // start edge of the previous byte that had its idle bit

    // After a silent dropout: where the signal came back, and the first clean start edge since
    // (the bit grid the byte frame is sought on).
    double returned = 0.0;
    double anchor = 0.0;
    bool anchored = false;
    // Idle bits between bytes seen in this segment: 0, 1, 2, and 3 or more.
    double gap_counts[4] = {0.0, 0.0, 0.0, 0.0};

    // Carrier detection.
    double quality = 0.0;
    double tone_fit = 0.0;
    bool carrier = false;
    bool seen_stop = false;
    std::uint64_t good_since = 0, last_good = 0;
    bool good_run = false;
    std::uint64_t silent_frames = 0;  // frames since a window last heard anything
    // A carrier's bytes are output only once it has shown FSK structure: a run of clean idle
    // bits on the clock's speed, or a few well-framed bytes in a row (held until then). Noise
    // and music hold the detector for a few bits at most.
    bool established = false;
    int idle_run = 0;  // clean idle windows in a row
    std::array<recovered_byte, 3> pending{};
    std::size_t pending_count = 0;
    double trusted_until = -1e300;  // a carrier back by then continues an established one
    carrier_segment segment;
    double level_sum = 0.0, signal_sum = 0.0, noise_sum = 0.0, speed_sum = 0.0;
    double level_count = 0.0, speed_count = 0.0;
    double polarity_sum = 0.0, polarity_count = 0.0;
};

// Throws fskdec_error for unusable settings: a sample rate, baud rate or tone of 0 or less,
// the upper tone at or above half the sample rate, fewer than four frames per bit, or a full
// scale that is not a positive number.
recover_decoder make_recover_decoder(const fsk_signal& signal, std::int32_t sample_rate,
                                     double full_scale);

void recover_samples(recover_decoder& d, std::span<const double> samples, const recover_sink& sink);

// Flushes at the end of the input: a byte whose data bits are all in is output, the carrier
// segment is closed.
void recover_finish(recover_decoder& d, const recover_sink& sink);
