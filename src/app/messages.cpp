#include "app/messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

namespace {

// Writes all of `text` to the descriptor behind `stream`, after what its buffer holds. A
// broken pipe is a failed write here, not the end of the program.
bool write_all(std::FILE* stream, std::string_view text) {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    bool written = std::fflush(stream) == 0;
    for (std::size_t at = 0; written && at < text.size();) {
        const ssize_t n = write(fileno(stream), text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) at += static_cast<std::size_t>(n);
    }
    sigaction(SIGPIPE, &previous, nullptr);
    return written;
}

}  // namespace

bool put_text(std::FILE* stream, std::string_view text) {
    if (write_all(stream, text)) return true;
    if (stream != stderr) write_all(stderr, text);
    return false;
}

void say(std::string_view line) {
    std::fprintf(stderr, "%s\n", one_line(line).c_str());
}

void say_unknown_options(const char* program, const std::vector<std::string>& options) {
    for (const std::string& option : options)
        say(std::string(program) + ": ignoring unknown option " + option);
}

int answer_request(info_request asked, const std::string& usage, const char* program) {
    const std::string text = asked == info_request::version ? version_text(program) : usage;
    return put_text(stdout, text) ? 0 : 1;
}
