#include "app/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>

#include "audio/input.h"
#include "base/error.h"

namespace {

// The one global of the programs. A signal that ends the run must still remove the temporary
// files, and a signal handler reaches only static storage and may only call async-signal-safe
// functions: so each temporary file's name is kept here in a fixed buffer, and its flag,
// written after the name is complete, tells the handler the entry is in use.
struct pending_removal {
    char path[PATH_MAX];
    volatile std::sig_atomic_t armed;
};
pending_removal pending[8];  // the decoded bytes, a map, a report and a segment file

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

extern "C" void remove_temporary_files(int sig) {
    for (const pending_removal& entry : pending) {
        if (entry.armed) unlink(entry.path);
    }
    // End by the same signal, with its default action, so the caller sees what happened.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Signals the caller chose to ignore stay ignored (nohup, a shell ignoring SIGPIPE), as they
// would without a temporary file.
void catch_ending_signals() {
    for (const int sig : ending_signals) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = remove_temporary_files;
        sigfillset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

// Holds back the ending signals while a temporary file is created or given up, so that it
// never exists without its entry in the table.
struct signals_held {
    sigset_t previous;
    signals_held() {
        sigset_t held;
        sigemptyset(&held);
        for (const int sig : ending_signals)
            sigaddset(&held, sig);
        sigprocmask(SIG_BLOCK, &held, &previous);
    }
    ~signals_held() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
};

int free_slot() {
    for (int i = 0; i < static_cast<int>(std::size(pending)); ++i) {
        if (!pending[i].armed) return i;
    }
    return -1;
}

void arm(int slot, const std::string& path) {
    std::memcpy(pending[slot].path, path.c_str(), path.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the name before the flag
    pending[slot].armed = 1;
}

void disarm(int slot) {
    if (slot >= 0) pending[slot].armed = 0;
}

// The directory part of `path` with its slash ("" for a name in the working directory).
std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Gives the replacement the existing file's owner and group where the user may (root, or a
// group the user is in; otherwise they stay the user's), then its permission bits: in this
// order, as a change of owner clears the set-user-ID and set-group-ID bits.
void keep_owner_and_mode(int fd, const struct stat& existing) {
    if (fchown(fd, existing.st_uid, existing.st_gid) != 0) {
        [[maybe_unused]] const int group_only = fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
    }
    fchmod(fd, existing.st_mode & 07777);
}

// Creates a new file beside `target` with O_EXCL, under a name that shows what it is for.
// Its mode is what fopen would give a new file (0666 less the umask) or, when the target
// exists, the target's permission bits (and owner, where allowed). Returns the descriptor,
// or -1.
int create_temporary(const std::string& target, const struct stat* existing, int slot,
                     std::string& temp_path) {
    const std::string dir = directory_of(target);
    const std::string base = target.substr(dir.size(), 200);
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = dir + "." + base + ".";
        for (int i = 0; i < 8; ++i)
            name += letters[random() % (sizeof letters - 1)];
        if (name.size() >= PATH_MAX) return -1;
        const signals_held held;
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd == -1) {
            if (errno == EEXIST) continue;
            return -1;
        }
        arm(slot, name);
        temp_path = std::move(name);
        if (existing != nullptr) keep_owner_and_mode(fd, *existing);
        return fd;
    }
    return -1;
}

// Where the bytes for `path` finally land: a symbolic link is followed, as fopen would, so
// the link stays and the file it points to is replaced. Empty for a dangling link.
std::string resolve_target(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) return {};
    std::string target = real;
    std::free(real);
    return target;
}

output_file open_directly(const std::string& path) {
    output_file out;
    out.path = path;
    out.target = path;
    out.stream = std::fopen(path.c_str(), "wb");
    if (out.stream == nullptr) throw fskdec_error("cannot open " + path);
    return out;
}

output_file open_standard_output(const std::string& path) {
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY) throw fskdec_error("cannot write -");
    output_file out;
    out.path = path;
    out.target = path;
    out.stream = stdout;
    return out;
}

// See output.h: the file behind an output path, if any.
bool output_file_stat(const std::string& path, struct stat& info) {
    if (path == "-") return fstat(STDOUT_FILENO, &info) == 0 && S_ISREG(info.st_mode);
    return stat(path.c_str(), &info) == 0;
}

void sync_directory(const std::string& target) {
    const std::string dir = directory_of(target);
    const int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) return;
    fsync(fd);  // the rename on disk too; a file system that cannot sync a directory still
    close(fd);  // has the complete file under the new name
}

}  // namespace

void check_not_input(const input_identity& input, const std::string& output_path) {
    struct stat output {};
    if (!input.known || !output_file_stat(output_path, output)) return;
    if (static_cast<std::uint64_t>(output.st_dev) == input.device &&
        static_cast<std::uint64_t>(output.st_ino) == input.inode) {
        throw fskdec_error("input and output are the same file");
    }
}

bool same_output(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat first {};
    struct stat second {};
    return output_file_stat(a, first) && output_file_stat(b, second) &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

void check_not_recording(const std::string& path) {
    struct stat info {};
    if (path == "-" || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return;
    std::uint8_t head[12];
    std::size_t got = 0;
    while (got < sizeof head) {
        const ssize_t n = read(fd, head + got, sizeof head - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    if (starts_like_recording({head, got})) {
        throw fskdec_error("refusing to replace the recording " + path);
    }
}

output_file::output_file(output_file&& other) noexcept
    : stream(std::exchange(other.stream, nullptr)),
      path(std::move(other.path)),
      target(std::move(other.target)),
      temp_path(std::exchange(other.temp_path, {})),
      slot(std::exchange(other.slot, -1)) {}

output_file& output_file::operator=(output_file&& other) noexcept {
    if (this != &other) {
        discard_output(*this);
        stream = std::exchange(other.stream, nullptr);
        path = std::move(other.path);
        target = std::move(other.target);
        temp_path = std::exchange(other.temp_path, {});
        slot = std::exchange(other.slot, -1);
    }
    return *this;
}

output_file::~output_file() {
    discard_output(*this);
}

output_file open_output(const std::string& path) {
    if (path == "-") return open_standard_output(path);
    const std::string target = resolve_target(path);
    if (target.empty()) return open_directly(path);
    struct stat existing {};
    const bool exists = stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) return open_directly(path);
    if (!exists && errno != ENOENT) return open_directly(path);
    // fopen would refuse a file it may not write; replacing it by rename would not.
    if (exists && access(target.c_str(), W_OK) != 0) throw fskdec_error("cannot open " + path);

    output_file out;
    out.path = path;
    out.target = target;
    out.slot = free_slot();
    if (out.slot < 0) throw fskdec_error("cannot open " + path);
    catch_ending_signals();
    const int fd = create_temporary(target, exists ? &existing : nullptr, out.slot, out.temp_path);
    if (fd == -1) {
        out.slot = -1;
        throw fskdec_error("cannot open " + path);
    }
    out.stream = fdopen(fd, "wb");
    if (out.stream == nullptr) {
        close(fd);
        throw fskdec_error("cannot open " + path);  // the destructor removes the file
    }
    return out;
}

void write_output(const output_file& out, std::span<const std::uint8_t> bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), out.stream) != bytes.size()) {
        throw fskdec_error("cannot write " + out.path);
    }
}

int close_output(output_file& out) {
    const fskdec_error failure("cannot write " + out.path);
    if (std::fflush(out.stream) != 0 || std::ferror(out.stream) != 0) throw failure;
    if (!out.temp_path.empty() && fsync(fileno(out.stream)) != 0) throw failure;
    // Closing can still report a deferred write error (a network file system).
    const bool closed = std::fclose(out.stream) == 0;
    out.stream = nullptr;
    if (!closed) throw failure;
    if (out.temp_path.empty()) return 0;
    if (std::rename(out.temp_path.c_str(), out.target.c_str()) != 0) throw failure;
    disarm(out.slot);
    out.slot = -1;
    out.temp_path.clear();
    sync_directory(out.target);
    return 0;
}

void discard_output(output_file& out) noexcept {
    if (out.stream != nullptr && out.stream != stdout) std::fclose(out.stream);
    out.stream = nullptr;
    if (!out.temp_path.empty()) {
        const signals_held held;
        unlink(out.temp_path.c_str());
        disarm(out.slot);
        out.slot = -1;
        out.temp_path.clear();
    }
}
