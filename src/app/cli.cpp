#include "app/cli.h"

#include <sys/stat.h>

#include <algorithm>
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

namespace {

std::vector<std::uint8_t> read_stream_bytes(std::FILE* stream, const std::string& path,
                                            std::uint64_t limit) {
    std::vector<std::uint8_t> bytes;
    const std::size_t most = static_cast<std::size_t>(
        std::min<std::uint64_t>(limit, std::numeric_limits<std::size_t>::max() - 1) + 1);
    std::size_t capacity = 1 << 16;
    struct stat info {};
    if (fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode)) {
        capacity = static_cast<std::size_t>(info.st_size) + 1;  // + 1 sees the end at once
    }
    capacity = std::min(capacity, most);
    try {
        std::size_t used = 0;
        while (used < most) {
            if (used == bytes.size()) {
                bytes.resize(std::min(most, std::max(capacity, bytes.size() * 2)));
            }
            const std::size_t got = std::fread(bytes.data() + used, 1, bytes.size() - used, stream);
            used += got;
            if (got == 0) break;
        }
        bytes.resize(used);
    } catch (const std::bad_alloc&) {
        throw fskdec_error("cannot allocate memory");
    }
    if (std::ferror(stream)) throw fskdec_error("cannot read " + path);
    return bytes;
}

}  // namespace

std::vector<std::uint8_t> read_input_bytes(const std::string& path, std::uint64_t limit) {
    if (path == "-") return read_stream_bytes(stdin, path, limit);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    struct stat info {};
    if (file != nullptr && fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        file = nullptr;
    }
    if (file == nullptr) throw fskdec_error("cannot open " + path);
    try {
        std::vector<std::uint8_t> bytes = read_stream_bytes(file, path, limit);
        std::fclose(file);
        return bytes;
    } catch (...) {
        std::fclose(file);
        throw;
    }
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
        put_text(messages, one_line(e.what()) + "\n");
    } catch (const std::bad_alloc&) {
        put_text(messages, "cannot allocate memory\n");
    }
    return 1;
}
