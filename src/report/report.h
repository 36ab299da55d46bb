#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "report/survey.h"

// What a decode run reports about a recording: diagnostics for standard error and the data
// for the map. The collector is fed as the decode goes and keeps a fixed amount of memory,
// whatever the recording's length.

// Marks a figure the decoder did not measure.
inline constexpr double not_measured = std::numeric_limits<double>::quiet_NaN();

// One decoded byte.
struct report_byte {
    std::uint8_t value = 0;
    std::uint64_t start_frame = 0;     // where its start bit begins
    std::uint64_t offset = 0;          // its position in the output
    double confidence = not_measured;  // 0..1, NaN when the decoder does not measure it
    bool framing_error = false;
    double level = not_measured;  // tone magnitude that decided it / full scale, NaN if unknown
};

// A stretch of carrier.
struct report_segment {
    std::uint64_t start_frame = 0;
    std::uint64_t end_frame = 0;  // one past its last frame
    std::uint64_t bytes = 0;
    std::uint64_t framing_errors = 0;
    double level = not_measured;   // peak amplitude / full scale
    double snr_db = not_measured;  // NaN when not measured
    double speed = not_measured;   // deviation from the nominal bit rate: +0.04 is 4 % fast
    int polarity = 0;              // +1 as recorded, -1 inverted, 0 not measured
    bool echo = false;             // print-through of a louder carrier (-r): its bytes not output
    // The signal measured (-r without -b and -w): bit rate (speed included) and tones in Hz;
    // NaN when the signal was given. `speed` is then against the customary rate nearest.
    double baud = not_measured;
    double lower_tone = not_measured;
    double upper_tone = not_measured;
};

// The distinct signals the segments were read on (customary rate when near one, tones rounded
// to 10 Hz), at most this many listed.
inline constexpr std::size_t listed_signals = 4;
struct heard_signal {
    double baud = 0.0;
    double lower_tone = 0.0, upper_tone = 0.0;
};

// The run: the recording's shape and the settings in force.
struct report_settings {
    std::int32_t sample_rate = 44100;
    std::uint64_t total_frames = 0;  // 0 when not known in advance
    std::int32_t channels = 1;
    double full_scale = 1.0;   // the sample value of full scale
    std::int32_t channel = 0;  // the decoded channel, from 0 (the user's -c counts from 1)
    std::int32_t baud_rate = 1200;
    std::int32_t lower_tone = 1200;
    double threshold = 0.15;       // tone magnitude |X|/N as a fraction of full scale
    std::int32_t phase_sign = 1;   // -1 with -p: the exact decoder negates every sample
    bool recovery = false;         // -r: the decoder measures confidence and its own segments
    bool measured_signal = false;  // -r without -b and -w: each carrier's signal measured
    // Every frame's level, for the map and the -v summary's peak; without it only the survey
    // reads the samples (the hint's peak is then the largest of the frames it analysed).
    bool envelope = true;
    std::string name;  // the recording's name, for the map's title (may be empty)
};

// A byte is doubtful when its frame is broken or its confidence is below this.
inline constexpr double doubtful_confidence = 0.5;

inline bool is_doubtful(const report_byte& b) {
    return b.framing_error || b.confidence < doubtful_confidence;
}

// Columns the map's data is kept in at most; each covers `span` frames, and when the
// recording outgrows them the span doubles and neighbours merge.
inline constexpr std::size_t max_columns = 2048;

// Doubtful bytes whose positions are kept for the warning.
inline constexpr std::size_t listed_doubtful = 5;

struct report_column {
    std::uint64_t frames = 0;  // sample frames seen
    float low = 0.0f;          // smallest and largest sample of the decoded channel
    float high = 0.0f;
    double squares = 0.0;  // sum of squared samples
    std::uint32_t bytes = 0;
    std::uint32_t measured = 0;  // bytes with a confidence
    double confidence_sum = 0.0;
    float least_confidence = 1.0f;
    std::uint32_t doubtful = 0;
    std::uint32_t framing_errors = 0;
    std::uint64_t carrier_frames = 0;  // frames inside a carrier segment
    std::uint64_t echo_frames = 0;     // frames inside a print-through echo (-r)
};

// Adds `from` to `into`, as if their frames were one column's.
void merge_column(report_column& into, const report_column& from);

// Counts for the summary line and the map's labels.
struct report_totals {
    std::uint64_t bytes = 0;
    std::uint64_t doubtful = 0;
    std::uint64_t framing_errors = 0;
    std::uint64_t measured = 0;
    double confidence_sum = 0.0;
    double least_confidence = 1.0;
    std::uint64_t segments = 0;
    std::uint64_t carrier_frames = 0;
    std::uint64_t frames = 0;  // the recording's length so far (samples, bytes, segments)
    double peak = 0.0;         // largest |sample| of the decoded channel
};

struct report_collector {
    report_settings settings;
    std::uint64_t span = 1;  // frames per column
    std::vector<report_column> columns;
    report_totals totals;
    std::vector<report_byte> first_doubtful;  // at most listed_doubtful
    std::vector<heard_signal> signals;        // at most listed_signals (-r, measured)
    tone_survey survey;
    // byte_frames and the silence that closes a built segment (segment_gap_frames less a
    // byte), from the settings: collect_tone runs on every idle window.
    std::uint64_t byte_length = 0;
    std::uint64_t silence_frames = 0;
    // Bytes (besides the last) that the next byte followed without an idle bit between them,
    // as the exact decoder heard them: most bytes of a recording read with the wrong settings.
    std::uint64_t bytes_without_idle = 0;
    bool awaiting_idle = false;  // the last event was a byte
    // The segment being built from the bytes (when the decoder gives none).
    bool building = false;
    report_segment current;
    double level_sum = 0.0;
    std::uint64_t level_count = 0;
};

// Throws fskdec_error for a sample rate, baud rate or lower tone of 0 or less.
report_collector make_report_collector(const report_settings& settings);

// Feeds the next frames of the recording: interleaved samples of settings.channels
// channels, in the recording's own units (whole frames only).
void collect_samples(report_collector& collector, std::span<const double> samples);

// Frames between byte starts beyond which the bytes belong to separate segments (3 bytes
// of 10 bits) and the frames a byte lasts (its start bit and 8 data bits).
std::uint64_t segment_gap_frames(const report_settings& settings);
std::uint64_t byte_frames(const report_settings& settings);

// Records a byte. Without -r the carrier segments are built from the bytes: when this byte
// starts a new one, the segment it closes is returned (to print it as the decode goes).
std::optional<report_segment> collect_byte(report_collector& collector, const report_byte& byte);

// Records a segment the decoder measured (-r).
void collect_segment(report_collector& collector, const report_segment& segment);

// Records frames from .. to - 1 where the decoder heard the carrier without a byte (its idle
// tone). Without -r they extend the carrier segments built from the decisions, as bytes do;
// the segment this closes is returned.
std::optional<report_segment> collect_tone(report_collector& collector, std::uint64_t from,
                                           std::uint64_t to);

// At the end of the recording: the segment still being built from the bytes, if any.
std::optional<report_segment> finish_report(report_collector& collector);

// Whole-run helper: the segments a list of bytes forms (as collect_byte builds them).
std::vector<report_segment> segments_from_bytes(std::span<const report_byte> bytes,
                                                const report_settings& settings);
