#pragma once

// Runs a built program as a user would, and the small file helpers its tests need.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

struct run_result {
    std::string out;
    std::string err;
    int status = -1;  // the exit status, or 128 + the signal that ended the program
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What the file holds, or nothing when there is no such file.
inline std::optional<std::string> file_contents(const std::string& path) {
    if (!std::filesystem::exists(path)) return std::nullopt;
    return read_file(path);
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    write_file(path, std::string(bytes.begin(), bytes.end()));
}

// A fresh directory under the system's temporary directory, removed with all it holds;
// `path` stays empty if it could not be made.
struct temp_dir {
    std::string path;
    explicit temp_dir(const std::string& prefix) {
        std::string name = std::filesystem::temp_directory_path() / (prefix + "_XXXXXX");
        if (mkdtemp(name.data()) != nullptr) path = name;
    }
    ~temp_dir() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
};

// The temporary outputs a run left in `dir` (".NAME.XXXXXXXX"): the hidden files besides the
// captured .stdout and .stderr.
inline std::vector<std::string> leftovers(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename();
        if (name[0] == '.' && name != ".stdout" && name != ".stderr") names.push_back(name);
    }
    return names;
}

// How the program starts in its directory: standard input from `in_path`, standard output to
// `out_path` (both relative to the directory, or a device such as /dev/fd/N for a pipe),
// standard error to .stderr; then the `closed` descriptors are closed and a file size limit
// set (SIGXFSZ ignored, so a write past it fails with EFBIG). With `append`, standard output
// is opened as >> opens it (the file kept, written at its end). The child's own copy of
// `stdout_fd` stays open beside it.
struct child_setup {
    std::vector<int> closed = {};
    rlim_t file_size_limit = RLIM_INFINITY;
    std::string in_path = "/dev/null";
    std::string out_path = ".stdout";
    bool append = false;
    int stdout_fd = -1;  // else standard output is this descriptor (a pipe's end), not out_path
};

inline pid_t start_program(const char* exe, const std::string& dir,
                           const std::vector<std::string>& args, const child_setup& setup = {}) {
    std::vector<char*> argv = {const_cast<char*>(exe)};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int in = open(setup.in_path.c_str(), O_RDONLY);
    const int out = setup.stdout_fd >= 0
                        ? dup(setup.stdout_fd)
                        : open(setup.out_path.c_str(),
                               O_WRONLY | O_CREAT | (setup.append ? O_APPEND : O_TRUNC), 0644);
    const int err = open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(126);
    for (const int fd : {in, out, err})
        if (fd > 2) close(fd);
    for (const int fd : setup.closed)
        close(fd);
    if (setup.file_size_limit != RLIM_INFINITY) {
        const rlimit limit{setup.file_size_limit, setup.file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(exe, argv.data());
    _exit(127);
}

// Waits for the program and reads back what it wrote (standard output unless it went to a
// device).
inline run_result finish_program(pid_t pid, const std::string& dir,
                                 const std::string& out_path = ".stdout") {
    run_result r;
    int wstatus = 0;
    if (pid < 0 || waitpid(pid, &wstatus, 0) != pid) return r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (out_path.rfind("/dev/", 0) != 0) r.out = read_file(dir + "/" + out_path);
    r.err = read_file(dir + "/.stderr");
    return r;
}

inline run_result run_program(const char* exe, const std::string& dir,
                              const std::vector<std::string>& args,
                              const std::string& out_path = ".stdout",
                              const std::string& in_path = "/dev/null") {
    return finish_program(start_program(exe, dir, args, {{}, RLIM_INFINITY, in_path, out_path}),
                          dir, out_path);
}
