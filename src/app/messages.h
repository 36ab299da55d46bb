#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli.h"

// What the programs write besides their output bytes, and where.

// Standard error when the last argument is exactly "-", or names the file standard output
// writes to: the bytes then go to standard output, and a message or the usage text among
// them would corrupt them. Standard output otherwise.
std::FILE* message_stream(int argc, const char* const* argv);

// `text` with each byte below 0x20 and 0x7F written as \xHH (two uppercase hex digits) and
// each backslash as \\, so a message naming a path that holds a newline or a terminal escape
// stays one line and nothing reaches the terminal raw.
std::string one_line(std::string_view text);

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed at start, so that no file
// the program opens later takes a standard stream's number (the output file would otherwise
// receive the messages). Each is opened in the direction its stream is never used (0 for
// writing, 1 and 2 for reading): using it then fails as the closed descriptor would have,
// and the bytes meant for a closed standard output are reported as "cannot write -".
void open_standard_descriptors();

// "PROGRAM X.Y.Z" and a newline: the program's name and the project's version.
std::string version_text(const char* program);

// Writes `text` to `stream`; when it cannot be written there (standard output closed, full,
// or a pipe whose reader has gone: SIGPIPE is ignored meanwhile), to standard error instead,
// so that no message is lost. Returns whether it reached `stream`.
bool put_text(std::FILE* stream, std::string_view text);

// One diagnostic line on standard error: `line` (escaped, see one_line) and a newline.
void say(std::string_view line);

// "PROGRAM: ignoring unknown option ARG" on standard error for each argument an option scan
// skipped.
void say_unknown_options(const char* program, const std::vector<std::string>& options);

// Answers --help with `usage` and --version with version_text(program), on standard output
// (see put_text). Returns the exit status: 0, or 1 when the answer could not be written there.
int answer_request(info_request asked, const std::string& usage, const char* program);
