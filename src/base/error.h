#pragma once

#include <stdexcept>
#include <string>

// The one failure type of the library. Its message is the single line the user sees
// (without the newline); main prints it on standard output and exits with status 1.
struct fskdec_error : std::runtime_error {
    explicit fskdec_error(const std::string& message) : std::runtime_error(message) {}
};
