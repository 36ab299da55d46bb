#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/output.h"
#include "report/json.h"
#include "report/report.h"

// What a run writes beside its bytes for programs and archives: the JSON report (-j) and
// one file per carrier segment (-s DIR: DIR/001.bin, 002.bin, ...).
//
// Both follow the segments the report hands over (those -v prints), in order: a segment's
// bytes are the output's bytes from the end of the previous segment's to where it closes,
// so their offsets are contiguous and the files put together are the output (bytes after
// the last segment, if a decoder gave any, go to one more file). Each file is written like
// the output (a temporary file renamed at its end). Memory stays bounded: the report's lists
// wait in temporary files.

// A list's items, written to a temporary file as they come.
struct json_spool {
    std::FILE* file = nullptr;
    bool any = false;

    json_spool() = default;
    json_spool(const json_spool&) = delete;
    json_spool& operator=(const json_spool&) = delete;
    ~json_spool();
};

struct side_outputs {
    input_identity input;
    std::string output_path;
    report_settings settings;

    std::string json_path;  // empty: no report
    output_file json;
    json_run run;
    json_spool segments;
    json_spool doubtful;

    std::string split_dir;  // empty: no split files
    output_file part;       // the segment being written (open once it has a byte)
    std::uint64_t parts = 0;

    std::uint64_t offset = 0;          // bytes so far
    std::uint64_t segment_offset = 0;  // where the open segment's bytes begin
    std::uint64_t segment_doubtful = 0;
};

bool wants_side_outputs(const side_outputs& side);

// Checks the paths as -m's is checked (neither may name the input, nor the report the output
// or the map) and makes the directory: throws fskdec_error "input and output are the same
// file", "the report and the output are the same file", "the report and the map are the same
// file" or "cannot create directory DIR". Then opens the report's file.
void open_side_outputs(side_outputs& side, const std::string& map_path);

// A byte the run wrote to the output (its offset set), after the segment it closes, if any,
// was handed to side_segment.
void side_byte(side_outputs& side, const report_byte& byte);

// A segment closed.
void side_segment(side_outputs& side, const report_segment& segment);

// The end of the run: the last files, then the report with the collector's figures and
// the lines standard error gets (without -q).
void finish_side_outputs(side_outputs& side, const report_collector& collector,
                         const std::optional<std::string>& hint,
                         const std::vector<std::string>& warnings);
