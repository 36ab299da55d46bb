#pragma once

// Runs a built program as a user would, and the small file helpers its tests need.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
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

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    write_file(path, std::string(bytes.begin(), bytes.end()));
}

// Runs `exe` with `args` in directory `dir`: standard input from `in_path`, standard output
// to `out_path` (both relative to `dir`; the output is read back unless it is a device) and
// standard error to `dir`/.stderr.
inline run_result run_program(const char* exe, const std::string& dir,
                              const std::vector<std::string>& args,
                              const std::string& out_path = ".stdout",
                              const std::string& in_path = "/dev/null") {
    std::vector<char*> argv = {const_cast<char*>(exe)};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        const int in = open(in_path.c_str(), O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0) {
            _exit(126);
        }
        execv(exe, argv.data());
        _exit(127);
    }
    run_result r;
    int wstatus = 0;
    if (pid < 0 || waitpid(pid, &wstatus, 0) != pid) return r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (out_path.rfind("/dev/", 0) != 0) r.out = read_file(dir + "/" + out_path);
    r.err = read_file(dir + "/.stderr");
    return r;
}
