#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/output.h"  // the output file is shared by both programs too

// What fskdec and fskenc share as command-line programs.

// An integer option value by the atoi rules (leading white space, optional sign, decimal
// digits, the rest ignored, 0 without digits), except that a value outside the signed 32-bit
// range throws fskdec_error(message) instead of wrapping.
std::int32_t int_option(const char* text, const char* message);

// int_option for a value that must be positive: anything else throws fskdec_error(message).
std::int32_t positive_option(const char* text, const char* message);

// Everything the file at `path` holds (fskenc's input), or standard input for "-", read up to
// `limit` + 1 bytes: when it holds more than `limit`, that many are enough to tell, and memory
// stays bounded whatever the input. Throws fskdec_error "cannot open PATH" for a file that
// cannot be opened or is a directory, "cannot read PATH" on a read error, "cannot allocate
// memory" when out of memory.
std::vector<std::uint8_t> read_input_bytes(const std::string& path, std::uint64_t limit);

// A whole argument "--help" or "--version", which the option scans answer; none otherwise.
enum class info_request { none, help, version };
info_request info_option(const char* arg);

// Runs `run`, turning a failure into its one line (see one_line) and status 1. The line goes
// to message_stream: standard error when the output is standard output, and also when
// standard output cannot take it (see put_text).
int report_failures(int (*run)(int, const char* const*), int argc, const char* const* argv);
