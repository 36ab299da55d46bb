#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "recover/recover.h"

// The recovery demodulator on the signal measured from the recording: each carrier's bit
// rate and tones, and the decoder tuned to what was measured.
//
// The decoder runs a fixed delay (1.5 s) behind the input. Ahead of it the input is watched
// in short spectra (a frame of about 10 ms every 90 ms or so): a stretch in which a tone
// stands out of the floor is a carrier, its leader included. Once a second of it is in (or it
// ends sooner), it is measured (measure.h); a measure not sure enough is tried again half a
// second later while the stretch lasts, the decoder waiting at the stretch's start (up to
// 5 s of input held). If a sure measure is not the signal the decoder is tuned to, the
// decoder finishes where the stretch began and a new one, tuned to the measure, takes over
// from there. Told nothing, until a carrier has been measured the decoder is tuned to the
// customary signal (1200 baud on 1200/2400 Hz), and segments read on a measured signal carry
// it.
// Its memory is fixed when it is made: 5 s of input held, 1 s measured at a time, and the
// decoder's own (made anew at each change of signal). Below 4 kHz and beyond 384 kHz nothing
// is measured: the decoder reads the signal as told, or the customary one.
struct measured_state;

struct measured_decoder {
    explicit measured_decoder(std::unique_ptr<measured_state> s);
    measured_decoder(measured_decoder&&) noexcept;
    measured_decoder& operator=(measured_decoder&&) noexcept;
    ~measured_decoder();
    std::unique_ptr<measured_state> state;
};

// Told the signal (`given`: -b, -w), the decoder is tuned to it, and only a sure measure (a
// bit grid holding 90 % of the tone changes, the speed from it and from the lower tone
// agreeing) of an upper tone more than 1.5 % off the place the speed puts it, or of a speed
// more than 3 % off, retunes it to what was measured; its segments are reported as the
// decoder tuned to `given` reports them.
// Throws fskdec_error as make_recover_decoder does for `given` (else the customary signal).
measured_decoder make_measured_decoder(std::int32_t sample_rate, double full_scale,
                                       const std::optional<fsk_signal>& given = std::nullopt);

void measured_samples(measured_decoder& d, std::span<const double> samples,
                      const recover_sink& sink);

// Flushes at the end of the input, as recover_finish.
void measured_finish(measured_decoder& d, const recover_sink& sink);

// The decoders made (or tried: a measure this rate cannot carry) since the first, one at
// each change of signal: the only memory taken after it was made.
std::uint64_t measured_retunes(const measured_decoder& d);

// The customary bit rate within 8 % of `baud` (300, 1200...), or 0.
double customary_baud_rate(double baud);
