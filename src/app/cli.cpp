#include "app/cli.h"

#include <cctype>
#include <limits>
#include <new>

#include "base/error.h"

std::int32_t int_option(const char* text, const char* message) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) throw fskdec_error(message);
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) throw fskdec_error(message);
    return static_cast<std::int32_t>(value);
}

std::int32_t positive_option(const char* text, const char* message) {
    const std::int32_t value = int_option(text, message);
    if (value <= 0) throw fskdec_error(message);
    return value;
}

output_file open_output(const std::string& path) {
    output_file out{path == "-" ? stdout : std::fopen(path.c_str(), "wb"), path};
    if (out.stream == nullptr) throw fskdec_error("cannot open " + path);
    return out;
}

void write_output(const output_file& out, std::span<const std::uint8_t> bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), out.stream) != bytes.size()) {
        throw fskdec_error("cannot write " + out.path);
    }
}

int close_output(output_file& out) {
    if (std::fflush(out.stream) != 0 || std::ferror(out.stream) != 0) {
        throw fskdec_error("cannot write " + out.path);
    }
    // Closing can still report a deferred write error (a network file system). Standard
    // output is closed then, so its message has nowhere to go: the status alone tells.
    const bool closed = std::fclose(out.stream) == 0;
    out.stream = nullptr;
    if (closed) return 0;
    if (out.path == "-") return 1;
    throw fskdec_error("cannot write " + out.path);
}

int report_failures(int (*run)(int, const char* const*), int argc, const char* const* argv) {
    try {
        return run(argc, argv);
    } catch (const fskdec_error& e) {
        std::printf("%s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::printf("cannot allocate memory\n");
    }
    std::fflush(stdout);
    return 1;
}
