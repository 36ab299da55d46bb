#pragma once

#include <cstddef>
#include <cstdint>

// The recovery demodulator's tuning, in one place. Durations are in bits (the tracked bit
// period) unless named otherwise; margins are of the level-free discriminator
// (a1 - a0) / (a1 + a0) over the two tones' normalised amplitudes (1 a pure upper tone, -1 a
// pure lower one); qualities are the share of a window's band energy that tells its bit
// (1 a clean tone, 0 noise).
namespace tuning {

// --- The tolerances promised: tape speed within +-12 % of nominal (+-8 % with wow on top).
inline constexpr double slowest = 0.88;  // the clock's period at most 1 / 0.88 of nominal
inline constexpr double fastest = 1.12;

// --- The longest bit the decoder follows, in kept frames (a bit is kept at six to twelve
// frames a cycle of the upper tone): about 170 cycles of the lower tone a bit. The history of
// sums a dropout's resync looks back through grows with it (some 40 MB at this length); real
// signals have 1 to 16 cycles a bit.
inline constexpr double longest_bit = 4096.0;

// --- Front end.
// Frames are kept at no less than six times the upper tone: the band filter's corner stays
// below the kept rate's Nyquist frequency and the correlators see a few frames per cycle.
inline constexpr double kept_per_upper_cycle = 6.0;
// The band: from a quarter of the lower tone (hum and DC out) to 1.6 times the upper (the
// upper tone at the fastest speed and its first sidelobe in, most hiss out).
inline constexpr double high_pass_of_lower = 0.25;
inline constexpr double low_pass_of_upper = 1.6;
inline constexpr double low_pass_of_rate = 0.45;  // and below the kept rate's Nyquist
// A bit's quality compares its tone with the band's energy; at low bit rates that band is far
// wider than a bit needs (300 baud on 1200/2400 Hz: 3.5 kHz of noise against 0.3 kHz), and a
// carrier at 12 dB Eb/N0 would read as poor. So the energy outside the two tones' bins
// counts as if the band were this many bit rates wide, at most all of it (as it does from
// 1200 baud on 1200/2400 Hz up).
inline constexpr double quality_band_bits = 3.0;
// Frames filtered and correlated ahead of the decisions, in one tight loop.
inline constexpr std::size_t piece_frames = 256;

// --- Correlator numerics: the oscillator is reset to an exactly computed phase this often
// (frames), so rounding never accumulates; the running sums are recomputed at the longer one.
inline constexpr std::uint64_t oscillator_resync = 1024;
inline constexpr std::uint64_t sums_resync = 65536;

// --- Silence: a window whose energy is below that of a tone this far under full scale is
// silence (it tells nothing about a carrier or a bit); within a carrier, one 40 dB below its
// weaker tone too (a dropout 30 dB down is still read through; hiss 45 dB down is silence).
inline constexpr double silence_of_full_scale = 1e-3;
// Samples past this many times full scale are clipped to it and NaN is taken as silence:
// a float recording may hold anything, and one infinite or huge value would otherwise fill
// the running sums with infinities for good. Real recordings stay far below it.
inline constexpr double sample_limit_of_full_scale = 1e3;
inline constexpr double carrier_range = 1e-4;

// --- Onsets: outside a carrier the background (silence or hiss) is followed over about 16
// bits; sound rising 10 dB above it may be a block beginning (hiss seldom rises 3 dB over a
// bit's window).
inline constexpr double background_bits = 16.0;
inline constexpr double onset_rise = 10.0;

// --- Start edges. A space beating a mark by 0.3 is a start bit: a bit's window with its
// neighbour's tail in it (a third of a bit late) still leans that far.
inline constexpr double start_margin = 0.3;
// A start edge a whole number of bits after the last start is taken from the clock: between
// 10 bits (a byte and its stop bit) and 16 (six idle bits, beyond which the clock's error
// over the gap may reach a third of a bit).
inline constexpr double fewest_bits_between_starts = 10.0;
inline constexpr double most_bits_between_starts = 16.0;
// How far an edge may lie from the clock's slot and still be taken from it: a third of a
// bit (noise and an unbalanced pair move it), most of a bit when the upper tone is less than
// half the lower (its edge is seen late: the strong tone's tail fills the window).
inline constexpr double edge_on_clock = 0.35;
inline constexpr double edge_late_weak_upper = 0.9;
inline constexpr double weak_upper = 0.5;
// The start bit is checked at its centre: it must lean to the lower tone by a tenth.
inline constexpr double start_check_margin = 0.1;
// After a byte, slots for the next start are checked up to this many bits after it.
inline constexpr int last_slot = 12;

// --- The next start after a byte is chosen from this many bits after its stop bit (three
// bytes): enough for the bytes after it to show where they start. Each framing of them costs
// the margins it goes against, this many bits a whole unit of margin (about the information
// a bit's decision carries at 10 dB Eb/N0), and each idle gap its likelihood.
inline constexpr int frame_lookahead = 30;
inline constexpr double frame_scale = 30.0;
// Only where noise makes single bits doubtful: the carrier's bits so far (at least two
// bytes' worth) less than 13 dB above the noise on either tone's bits (at 13 dB Eb/N0 about a
// bit in 30,000 flips, and fewer each dB up; worn tapes' dropouts and unbalanced tones, which
// the measure also counts, are read better from the bits at hand, and a tone off its nominal
// frequency, leaking into the other's correlator, lowers its own tone's figure alone).
inline constexpr double frame_snr = 20.0;
inline constexpr double frame_snr_bits = 20.0;

// --- Reading a byte: it is read once its stop bit's window is in at the slowest clock that
// still reads it well (9.8 bits: the stop bit's centre at 9.5 bits, and 0.3 of slack).
inline constexpr double byte_read_at = 9.8;
inline constexpr double earliest_next_edge = 9.25;  // the next start's edge no sooner
// Clock corrections from a byte's transitions: on the running clock only nudged (it has the
// history of every transition before); a start found by its edge alone is moved by them,
// at most a third of a bit.
inline constexpr double on_clock_phase_gain = 0.4;
inline constexpr double on_clock_period_gain = 0.15;
inline constexpr double edge_start_pull = 0.3;
// In a noisy carrier (see frame_snr) half and a quarter of those: at 10 dB Eb/N0 a byte's
// transitions place it to a tenth of a bit or so, and the clock jittered by them slipped
// the frame (300 baud 10 dB: 200 slipped bytes in 6,000, 100 with these).
inline constexpr double noisy_phase_gain = 0.2;
inline constexpr double noisy_period_gain = 0.04;
// Tones more than 6 dB apart: bytes are placed where their bits are clearest, searched in
// tenths of a bit up to half a bit either way.
inline constexpr double imbalance_search = 2.0;
// Thirty bits of the lower tone and more (with stop bits seen) are a steady tone or a break.
inline constexpr int steady_space_bits = 30;

// --- Levels: each tone's amplitude follows clear bits (quality and margin above these) at
// this weight per bit: about seven bits to follow a level step.
inline constexpr double level_quality = 0.3;
inline constexpr double level_margin = 0.5;
inline constexpr double level_weight = 0.15;
// A clear bit 20 dB or more above its tone's level (a factor of 10 in amplitude) is another
// carrier's: a block rising out of the echoes around it, 30 dB up. That tone's level is learnt
// anew, and the other's too when it now lies 24 dB below (a factor of 15.8: the tones of a
// pair lie within 12 dB, and filters and pumping may part them further). Pumping and level
// wander never step that far between clear bits; a dropout's return may, and is read anew.
inline constexpr double level_step = 10.0;
inline constexpr double tones_apart = 15.8;

// --- Carrier detector: averages with hysteresis. Quality over about four bits (weight 1/4),
// on above 0.6 (a clean FSK bit gives near 1, hiss near 0), off below 0.35; the tones'
// agreement with the clock over about ten bits, on above 0.5, off below 0.25.
inline constexpr double quality_weight = 0.25;
inline constexpr double carrier_on = 0.6;
inline constexpr double carrier_off = 0.35;
inline constexpr double fit_weight = 0.1;
// A noisy carrier (established, less than frame_snr above the noise) ends on quality only
// once its quality over about sixteen bits is below carrier_off too: in noise a few poor
// bits in a row are common (at 8 dB Eb/N0 the four-bit average dips below 0.35 every few
// hundred bits), in hiss the long average follows within about six bits. A clean carrier
// whose quality drops is meeting another sound (an echo, a block after it) and ends at once.
inline constexpr double lasting_weight = 1.0 / 16.0;
inline constexpr double fit_on = 0.5;
inline constexpr double fit_off = 0.25;
// A bit of quality above a half counts as good; a segment ends at its last run of three.
inline constexpr double good_bit = 0.5;
inline constexpr int good_run = 3;
// A tone a fifth of its frequency away from where the clock puts it fits not at all.
inline constexpr double fit_span = 0.2;
// Silence this long ends a carrier segment; shorter is a dropout within one: 60 bits, and at
// most 80 ms (blocks 100 ms apart are separate segments, whatever the bit rate).
inline constexpr double longest_dropout = 60.0;
inline constexpr double longest_dropout_s = 0.08;

// --- Idle checks between bytes: a clean upper tone (margin above start_margin, quality
// above carrier_on), once per window.
inline constexpr double idle_period_weight = 0.1;  // the clock follows the idle tone's speed

// --- Establishment: a carrier's bytes are output once it has shown FSK structure: this many
// clean idle bits in a row (a leader), or this many bits of each tone read on the bit clock,
// clean (quality above good_bit) and where the clock's speed puts the tone (about three bytes
// of data). Its bytes are held until then, at most hold_bytes of them (three seconds at 1200
// baud).
inline constexpr int established_idle = 20;
inline constexpr int established_bits = 12;
inline constexpr std::size_t hold_bytes = 384;
// A byte read mostly from something else than clean tones (a dropout, speech holding the
// detector) is not output: its bits' mean quality and mean margin at least these.
inline constexpr double byte_quality = 0.45;
inline constexpr double byte_margin = 0.3;

// --- Print-through: a carrier this much weaker than one within echo_reach_s before or after
// it, that repeats at least echo_share of its byte triples, is an echo of it: most of its
// bytes (a byte misread breaks three triples; where two echoes overlap, the one heard through
// the other repeats about three bytes in four, 0.44 to 0.49 of its triples).
inline constexpr double echo_db = 15.0;
inline constexpr double echo_reach_s = 3.0;
inline constexpr double echo_share = 0.4;
// A carrier's level stepping by echo_db from the stretch's (followed at this weight per byte)
// after at least this many bytes begins a new stretch.
inline constexpr double echo_level_weight = 0.25;
inline constexpr std::uint64_t echo_stretch_bytes = 2;

// --- Resync after a silent dropout: the frame is chosen from the bits this far past the
// first clean edge, among start bits no later than resync_reach bits into the heard signal,
// and at most resync_before bits before that edge.
inline constexpr int resync_bits = 110;
inline constexpr int resync_reach = 20;
inline constexpr int resync_before = 10;
// At the recording's first frame, a first bit heard as a space is taken for a start bit
// unless another frame explains the bits after it better by this many bits (odds of 8 to 1).
inline constexpr double first_space_favoured = 3.0;

// --- Segment figures: the polarity from the first clear bits; within 60 degrees of either
// phase on average (a cosine beyond a half).
inline constexpr double polarity_bits = 64.0;
inline constexpr double polarity_cosine = 0.5;

}  // namespace tuning
