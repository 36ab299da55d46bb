#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

// What fskdec and fskenc share as command-line programs.

// An integer option value by the atoi rules (leading white space, optional sign, decimal
// digits, the rest ignored, 0 without digits), except that a value outside the signed 32-bit
// range throws fskdec_error(message) instead of wrapping.
std::int32_t int_option(const char* text, const char* message);

// int_option for a value that must be positive: anything else throws fskdec_error(message).
std::int32_t positive_option(const char* text, const char* message);

// Everything the file at `path` holds (fskenc's input), or standard input for "-". Throws
// fskdec_error "cannot open PATH" for a file that cannot be opened or is a directory,
// "cannot read PATH" on a read error, "cannot allocate memory" when out of memory.
std::vector<std::uint8_t> read_input_bytes(const std::string& path);

// The output of a run: the file at `path`, created or truncated, or standard output for "-".
struct output_file {
    std::FILE* stream = nullptr;
    std::string path;
};

// Throws fskdec_error "cannot open PATH" when the file cannot be created.
output_file open_output(const std::string& path);

// Throws fskdec_error "cannot write PATH" when the bytes cannot be written.
void write_output(const output_file& out, std::span<const std::uint8_t> bytes);

// Flushes and closes the output. Returns the exit status: 0, or 1 when closing standard output
// reports a deferred write error (the message would have nowhere to go). Throws fskdec_error
// "cannot write PATH" for any other write error.
int close_output(output_file& out);

// Runs `run`, turning a failure into its one line on standard output and status 1.
int report_failures(int (*run)(int, const char* const*), int argc, const char* const* argv);
