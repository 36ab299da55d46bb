#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "report/map.h"
#include "report/report.h"

// The run's report for programs (-j): one JSON object, written at the end.
//
//   {"input": "tape.wav", "sample_rate": 44100, "channels": 1, "channel": 1,
//    "duration": 12.5, "mode": "exact", "baud_rate": 1200, "lower_tone": 1200,
//    "upper_tone": 2400, "threshold": 0.15, "bytes": 120,
//    "segments": [{"start": 0.49, "end": 1.272, "offset": 0, "bytes": 16,
//                  "level_dbfs": -3.6}, ...],
//    "doubtful": [{"offset": 17, "time": 1.3, "value": 65, "confidence": 0.32,
//                  "framing_error": true}, ...],
//    "hint": null, "warnings": []}
//
// With -r the segments also give snr_db, speed, polarity, framing_errors and doubtful (a
// count), and there is no threshold. A figure the decoder did not measure is null, and so
// is the level of silence.

// `text` as a JSON string, quotes included. Valid UTF-8 stays as it is (control characters,
// quotes and backslashes escaped); each byte of anything else becomes \udcXX (XX its value),
// so the document stays valid and the bytes can be told back (Python's surrogateescape).
std::string json_string(std::string_view text);

// A segment as the report lists it: `offset` is where its first byte is in the output,
// `bytes` how many of the output's bytes are its, `doubtful` how many of those are doubtful.
std::string json_segment(const report_settings& settings, const report_segment& segment,
                         std::uint64_t offset, std::uint64_t bytes, std::uint64_t doubtful);

// A doubtful byte (its offset set).
std::string json_doubtful(const report_settings& settings, const report_byte& byte);

// What the report says beyond the collector's figures.
struct json_run {
    std::uint64_t bytes = 0;          // the output's length
    std::optional<std::string> hint;  // the lines without their "fskdec: " prefix
    std::vector<std::string> warnings;
};

// Writes a list's items (the objects, in order, each line after a comma) through the sink.
using json_items = std::function<void(const text_sink&)>;

// Writes the report in pieces; `segments` and `doubtful` write their lists' items.
void write_json(const report_collector& collector, const json_run& run, const json_items& segments,
                const json_items& doubtful, const text_sink& write);
