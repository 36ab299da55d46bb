#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "report/report.h"

// The report's lines for standard error. Each begins with "fskdec: " and has no newline;
// the caller writes them. Segment and doubtful-byte lines can be printed as the decode goes
// (a segment's line when collect_byte or finish_report hands it over), the others at the end.

// A time as m:ss.mmm (h:mm:ss.mmm from an hour on), rounded to the millisecond.
std::string format_time(std::uint64_t frame, std::int32_t sample_rate);

// A level (fraction of full scale) in dBFS with one decimal, "-inf" for 0.
std::string format_dbfs(double level);

// -v, one per carrier segment:
//   fskdec: carrier 0:00.490-0:01.272: 16 bytes, -3.6 dBFS, SNR 31.2 dB, speed +0.4 %,
//   polarity inverted, 0 framing errors
// The figures a decoder did not measure (NaN, polarity 0) are left out; framing errors are
// given with -r only.
std::string segment_line(const report_settings& settings, const report_segment& segment);

// -v, one per doubtful byte:
//   fskdec: doubtful byte at 0:03.210, offset 1234: 0x41, confidence 0.32, framing error
std::string doubtful_byte_line(const report_settings& settings, const report_byte& byte);

// When bytes are doubtful (-r):
//   fskdec: 7 doubtful bytes (framing errors or confidence below 0.5), first at 0:03.210
//   (offset 1234), 0:03.300 (offset 1240), ...
std::optional<std::string> doubtful_warning(const report_collector& collector);

// -v, at the end:
//   fskdec: 16 bytes in 1 segment (carrier 0:00.780 of 0:01.274), peak -3.6 dBFS;
//   1200 baud, 1200/2400 Hz, threshold 0.15, channel 1 of 1; measured 1200 baud (-0.3 %),
//   tones 1196/2391 Hz, phase 0
// (what the survey measured, without -r, when it measured a bit rate). With -r also: ", 0 doubtful,
// 0 framing errors, mean confidence 0.93" after the segments, and no threshold (the recovery
// demodulator has none).
std::string summary_line(const report_collector& collector);

// When nothing was decoded: why, as measured, and what to try. One of
//   (nothing for a silent recording: there is nothing to explain)
//   fskdec: no bytes decoded: the recording holds almost no sound (peaks of 0.0002 of full
//   scale)
//   fskdec: no bytes decoded: the signal is on channel 2 (0.33 of full scale there, 0.00 on
//   channel 1); try -c 2
//   fskdec: no bytes decoded: its tones look like 2400/4800 Hz, not 1200/2400 Hz; try -w 2400
//   fskdec: no bytes decoded: its bits look like 300 baud, not 1200; try -b 300
//   fskdec: no bytes decoded: no tone pair stands out of its sound (peaks of 0.45 of full
//   scale, its tones measure 0.03); check -b and -w, or the recording
//   fskdec: no bytes decoded: the strongest tone measures 0.04 of full scale, below the
//   threshold 0.15 (a peak of 0.30); try -r or -t 0.03
//   fskdec: no bytes decoded: its tones measure 0.33 of full scale, yet no byte was framed;
//   try -p or -r
//   with -r, whose demodulator needs no -t or -p, the last two read instead:
//   fskdec: no bytes decoded: its tones measure 0.04 of full scale, yet no carrier of 1200
//   baud on 1200/2400 Hz was found; check -b and -w, or the recording
// Tone figures are |X|/N of a one-bit window, as the detector measures them (half the
// tone's peak). Nothing when bytes were decoded.
std::optional<std::string> no_bytes_hint(const report_collector& collector);

// After a run of the exact decoder that framed bytes, when the recording's signal is not the
// one set, one line saying what was measured and what to try:
//   fskdec: the bytes are likely wrong: its tones measure 2400/4800 Hz, not 1200/2400 Hz;
//   try -w 2400
//   fskdec: the bytes are likely wrong: its bits measure 300 baud, not 1200; try -b 300
//   fskdec: the bytes are likely wrong: its bits measure 1200 baud, but at 8000 Hz the
//   decoder reads 6 frames a bit (1333 baud); try -r
//   fskdec: the bytes are likely wrong: its tones are crossing zero rising at the bit
//   boundaries (phase 270); try -p
//   fskdec: the bytes are likely wrong: 75 of 80 bytes have no idle bit after them; check
//   -b, -w and -p, or try -r
// The last only when the tones or the phase measured lean towards a mismatch too (a
// recording written without idle bits is framed byte against byte). Nothing when the signal
// matches or with -r.
std::optional<std::string> mismatch_warning(const report_collector& collector);

// What the survey measured of a carrier, for -v: "1200 baud (-0.3 %), tones 1187/2412 Hz,
// phase 0" (the customary rate and the deviation from it, or the rate alone); empty when
// no rate was measured.
std::string measured_text(const measured_carrier& carrier);
