#include "app/cli.h"

#include <cctype>
#include <cstring>
#include <limits>
#include <new>

#include "app/messages.h"
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

info_request info_option(const char* arg) {
    if (std::strcmp(arg, "--help") == 0) return info_request::help;
    if (std::strcmp(arg, "--version") == 0) return info_request::version;
    return info_request::none;
}

int report_failures(int (*run)(int, const char* const*), int argc, const char* const* argv) {
    std::FILE* const messages = message_stream(argc, argv);
    try {
        return run(argc, argv);
    } catch (const fskdec_error& e) {
        std::fprintf(messages, "%s\n", one_line(e.what()).c_str());
    } catch (const std::bad_alloc&) {
        std::fputs("cannot allocate memory\n", messages);
    }
    std::fflush(messages);
    return 1;
}
