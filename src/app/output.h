#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "audio/sample_source.h"

// The files a run writes.
//
// A regular file (one that exists, or a new one) is written into a temporary file created
// beside it, which replaces the path only once the whole output is written and on disk: a
// run that fails or is ended by SIGINT, SIGTERM, SIGHUP or SIGPIPE removes the temporary
// file and leaves whatever was at the path untouched. Standard output ("-"), devices and
// FIFOs are written directly, so the bytes reach a pipe or a terminal as they are made.

// The file an output path names, for the checks below: "-" names standard output's file when
// that is a regular file (redirected with > or >>; a terminal or a pipe holds nothing to
// lose).

// Throws fskdec_error "input and output are the same file" when `output_path` names an
// existing file with the device and inode of `input` (when known) (a hard link or a symbolic
// link to the input counts, and "-" with standard output redirected into the input). Call it
// after every input check, just before the output is opened.
void check_not_input(const input_identity& input, const std::string& output_path);

// True when the two output paths name one file: the same text (both "-" included), or two
// existing names of one device and inode ("-" included).
bool same_output(const std::string& a, const std::string& b);

// Throws fskdec_error "refusing to replace the recording PATH" when `path` names an existing
// regular file that starts like a recording (see starts_like_recording): decoded bytes never
// take a recording's place. A file that cannot be read is left to open_output.
void check_not_recording(const std::string& path);

// An open output. Destroying it before close_output discards it (see discard_output), so an
// exception that ends the run leaves no temporary file behind.
struct output_file {
    std::FILE* stream = nullptr;
    std::string path;       // as given; the name in messages
    std::string target;     // the file the temporary file replaces (a symbolic link resolved)
    std::string temp_path;  // empty when the output is written directly
    int slot = -1;          // the temporary file's entry in the table the signal handler reads

    output_file() = default;
    output_file(output_file&& other) noexcept;
    output_file& operator=(output_file&& other) noexcept;
    ~output_file();
};

// Opens the output at `path`, or standard output for "-". Throws fskdec_error "cannot open
// PATH" when the file (or its temporary file) cannot be created or an existing file is not
// writable, and "cannot write -" when standard output is not open for writing (it was closed
// when the program started).
output_file open_output(const std::string& path);

// Throws fskdec_error "cannot write PATH" when the bytes cannot be written.
void write_output(const output_file& out, std::span<const std::uint8_t> bytes);

// Flushes and closes the output; a temporary file is also synced to disk and then renamed
// over its target. Returns 0, the exit status of a run that got this far. Throws fskdec_error
// "cannot write PATH" when any of it fails, after discarding the temporary file.
int close_output(output_file& out);

// Closes the output without finishing it: a temporary file is removed and its target left as
// it was. Standard output is left open for the messages that may follow.
void discard_output(output_file& out) noexcept;
