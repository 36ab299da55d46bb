#pragma once

#include <cstdint>
#include <span>

#include "demod/fast_detector.h"
#include "demod/framing.h"
#include "demod/plan.h"
#include "demod/sample_window.h"

// The exact decoder fed by its caller: samples are pushed in pieces of any size, and the
// bytes are exactly those decode_bytes gives for the same samples read from a source.
//
// frame_bytes and detect_bit_fast as a state machine: each of their "is this frame there?"
// checks becomes a point where the machine stops when the frame is not pushed yet (and the
// input has not ended), to repeat the check on the next push. Between two checks it does
// exactly what they do, so its decisions are theirs. Memory is that of the pull decoder: the
// window's history and the detector's tables, whatever the input's length.
struct stream_framing {
    demod_config config;
    fast_detector detector;  // planned once more than a window of samples has come
    sample_window window;

    // Where frame_bytes stands.
    enum class stage : std::uint8_t {
        first_window,  // waiting for more than one window of data
        next_byte,     // the loop's test: a cursor inside the data
        search,        // the start-bit search's detector call
        after_one,     // the search heard the idle tone: is the cursor still inside the data?
        start_bit,     // the search heard a start bit: is the cursor still inside the data?
        data_bit,      // a data bit's detector call
        after_bit,     // a data bit read: is the cursor still inside the data?
        done,
    };
    stage at = stage::first_window;
    std::uint64_t cursor = 0;
    std::uint64_t start_frame = 0;  // of the byte being read
    unsigned byte = 0;
    int bits = 0;  // data bits read

    // Where the detector call in progress stands (detect_bit_fast's locals).
    bool positioned = false;  // a window position is chosen, its last frame awaited
    bool slide = false;
    bool first_position = true;
    std::uint64_t start = 0;
    std::uint64_t prev_start = 0;
};

// Needs a configuration from make_demod_config (for which the fast detector applies). Takes
// all its memory here.
stream_framing make_stream_framing(const demod_config& config);

// Pushes the next samples of the decoded channel (in the units `config` was made for, not
// yet negated for a reversed phase) and emits every byte they complete.
void stream_samples(stream_framing& framing, std::span<const double> samples,
                    const byte_sink& emit);

// The end of the input: emits the bytes still to come.
void stream_finish(stream_framing& framing, const byte_sink& emit);
