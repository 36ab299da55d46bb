#include "app/messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::FILE* message_stream(int argc, const char* const* argv) {
    if (argc <= 1) return stdout;
    if (std::strcmp(argv[argc - 1], "-") == 0) return stderr;
    // Another name of standard output's file (/dev/stdout, or the file it is redirected to)
    // is standard output too.
    struct stat out {};
    struct stat named {};
    const bool same = fstat(STDOUT_FILENO, &out) == 0 && stat(argv[argc - 1], &named) == 0 &&
                      out.st_dev == named.st_dev && out.st_ino == named.st_ino;
    return same ? stderr : stdout;
}

std::string one_line(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            line += "\\x";
            line += hex[byte >> 4];
            line += hex[byte & 0xF];
        } else if (c == '\\') {
            line += "\\\\";
        } else {
            line += c;
        }
    }
    return line;
}

void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free number, which is `fd` as the lower ones are open by now.
        const int placeholder = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (placeholder != -1 && placeholder != fd) close(placeholder);
    }
}

std::string version_text(const char* program) {
    return std::string(program) + " " + FSKDEC_VERSION + "\n";
}

int answer_request(info_request asked, const std::string& usage, const char* program) {
    const std::string text = asked == info_request::version ? version_text(program) : usage;
    const bool written = std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
    return written ? 0 : 1;
}
