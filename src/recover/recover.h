#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "demod/signal.h"

// The recovery demodulator: reads recordings the exact decoder gives up on (quiet, pumping,
// unbalanced tones, off speed, wow, noise, inverted or filtered signals). It works on a stream
// of samples in any block sizes, tracks the bit clock from the signal itself and outputs bytes
// only while it hears an FSK carrier, print-through echoes of a louder carrier excepted.

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
    bool echo = false;    // print-through of a louder carrier near it: its bytes not output
    // The signal it was read on when measured from the recording (measured.h): the bit rate
    // (the clock's, speed included) and both tones in Hz; 0 when the signal was given.
    double baud = 0.0;
    double lower_tone = 0.0, upper_tone = 0.0;
};

struct recover_sink {
    std::function<void(const recovered_byte&)> byte;      // each byte as soon as it is complete
    std::function<void(const carrier_segment&)> segment;  // may be empty
};

// The decoder: its stages (front end, tone correlators, level tracker, carrier detector, bit
// clock and framer, resync, segment figures; see recover.cpp) behind one pointer, all of its
// memory taken when it is made. Movable, not copyable.
struct recover_engine;

struct recover_decoder {
    explicit recover_decoder(std::unique_ptr<recover_engine> e);
    recover_decoder(recover_decoder&&) noexcept;
    recover_decoder& operator=(recover_decoder&&) noexcept;
    ~recover_decoder();
    std::unique_ptr<recover_engine> engine;
};

// The signal the recovery decoder is tuned to: the nominal one, or one measured from the
// recording (a fractional bit rate, tones in any ratio).
struct recover_signal {
    double baud_rate = 1200.0;       // bits per second
    std::int32_t lower_tone = 1200;  // Hz, a 0 bit
    std::int32_t upper_tone = 2400;  // Hz, a 1 bit
};
recover_signal nominal_recover_signal(const fsk_signal& s);  // {baud, lower, 2 lower}

// Throws fskdec_error for unusable settings: a sample rate or tone of 0 or less, a baud rate
// that is not a positive number ("illegal baud rate"), an upper tone not above the lower one
// or more than three times it ("illegal carrier frequency"), the upper tone at or above half
// the sample rate or fewer than four frames per bit ("sample rate too low for the carrier
// frequency"), a lower tone of more than about 170 cycles a bit ("illegal carrier
// frequency": memory is sized by the bit), or a full scale that is not a positive number.
recover_decoder make_recover_decoder(const recover_signal& signal, std::int32_t sample_rate,
                                     double full_scale);
// The nominal signal's tones and bit rate, the same errors.
recover_decoder make_recover_decoder(const fsk_signal& signal, std::int32_t sample_rate,
                                     double full_scale);

void recover_samples(recover_decoder& d, std::span<const double> samples, const recover_sink& sink);

// Flushes at the end of the input: a byte whose data bits are all in is output, the carrier
// segment is closed.
void recover_finish(recover_decoder& d, const recover_sink& sink);
