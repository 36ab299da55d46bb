// What both programs promise about the files around them: an output that is the input (by any
// name, standard output included) or a recording is refused, an output is replaced whole or not
// at all (failed writes, ending signals), messages stay out of bytes sent to standard output,
// reach standard error when standard output cannot take them, and stay one line; closed
// standard descriptors, unknown options, --help and --version. Each case runs the built
// programs in a fresh directory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mod/synth.h"
#include "run_program.h"

namespace {

namespace fs = std::filesystem;
using byte_vector = std::vector<std::uint8_t>;

const std::string recording = [] {
    const auto wav = synthesize_wav(byte_vector(200, 'x'), {.leader_bits = 20, .trailer_bits = 20});
    return std::string(wav.begin(), wav.end());
}();

class Safety : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        write_file(dir + "/hi.wav", recording);
        write_file(dir + "/in.bin", std::string("abc"));
        write_file(dir + "/old.bin", std::string("old"));
        write_file(dir + "/tape.wav", recording);
        fs::create_hard_link(dir + "/hi.wav", dir + "/hard.wav");
        fs::create_symlink("hi.wav", dir + "/soft.wav");
        fs::create_hard_link(dir + "/in.bin", dir + "/hard.bin");
        fs::create_symlink("in.bin", dir + "/soft.bin");
    }
    run_result run(const char* exe, const std::vector<std::string>& args,
                   const child_setup& setup = {}) {
        return finish_program(start_program(exe, dir, args, setup), dir, setup.out_path);
    }
    temp_dir tmp{"fskdec_safety"};
    const std::string& dir = tmp.path;
};

// One run of either program and what it must print; an empty `file` is not checked, else it
// must hold `contents` afterwards (std::nullopt: must not exist).
struct safety_case {
    std::string name;
    const char* exe;
    std::vector<std::string> args;
    child_setup setup;
    int status;
    std::string out;
    std::string err = {};
    std::string file = {};
    std::optional<std::string> contents = {};
};

void PrintTo(const safety_case& c, std::ostream* os) {
    *os << c.name;
}

class SafetyRuns : public Safety, public ::testing::WithParamInterface<safety_case> {};

TEST_P(SafetyRuns, OutputStatusAndFiles) {
    const safety_case& c = GetParam();
    const run_result r = run(c.exe, c.args, c.setup);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{});
    // An unnamed file is not looked at.
    EXPECT_EQ(c.file.empty() ? c.contents : file_contents(dir + "/" + c.file), c.contents)
        << c.file;
}

const std::string same = "input and output are the same file\n";
const std::string map_same = "the map and the output are the same file\n";
const child_setup plain = {};
const child_setup tiny_files = {{}, 100};
const char* const dec = FSKDEC_EXE;
const char* const enc = FSKENC_EXE;

std::string dec_usage(const std::string& baud) {
    return "usage: fskdec [options] input-file output-file\noptions:\n -b baud-rate\n"
           " -c channel\n -j json-report-file\n -m map-file\n -p (for reverse phase)\n"
           " -q (quiet)\n -r (recover damaged recordings)\n -s split-directory\n"
           " -t threshold-ratio\n -v (verbose)\n"
           " -w lower-carrier-wave\ndefault: -b " +
           baud + " -t 0.15 -w 1200\n";
}

std::string refused(const std::string& path) {
    return "refusing to replace the recording " + path + "\n";
}

std::string unknown(const char* program, const std::string& option) {
    return std::string(program) + ": ignoring unknown option " + option + "\n";
}

// Standard output appended to `path`, as `>> path` does.
child_setup appended(const std::string& path, const std::string& in_path = "/dev/null") {
    return {.in_path = in_path, .out_path = path, .append = true};
}

// clang-format off
const std::vector<safety_case> cases = {
    // Refusals, the files untouched. A recording is never replaced by decoded bytes (the
    // same-file check comes first: DecSamePath); standard output redirected into the input or
    // the map is the same file as a named one.
    {"DecRecordingAsOutput", dec, {"-o", "hi.wav", "tape.wav"}, plain, 1, refused("tape.wav"),
     unknown("fskdec", "-o"), "tape.wav", recording},
    {"DecRecordingAsMap", dec, {"-m", "tape.wav", "hi.wav", "out.bin"}, plain, 1,
     refused("tape.wav"), "", "tape.wav", recording},
    {"DecStdoutIntoInput", dec, {"hi.wav", "-"}, appended("hi.wav"), 1, recording, same},
    {"DecStdoutIntoMap", dec, {"-m", "old.bin", "hi.wav", "-"}, appended("old.bin"), 1, "old",
     map_same},
    {"DecMapToStdoutIntoOutput", dec, {"-m", "-", "hi.wav", "old.bin"}, appended("old.bin"), 1,
     "old", map_same},
    {"EncStdoutIntoInput", enc, {"in.bin", "-"}, appended("in.bin"), 1, "abc", same},
    {"EncStdinAndStdoutInput", enc, {"-", "-"}, appended("in.bin", "in.bin"), 1, "abc", same},
    // A message or usage text that standard output cannot take goes to standard error.
    {"DecMessageStdoutClosed", dec, {"missing.wav", "out.bin"}, {{1}}, 1, "",
     "cannot open missing.wav\n"},
    {"EncMessageStdoutClosed", enc, {"missing.bin", "out.wav"}, {{1}}, 1, "",
     "cannot open missing.bin\n"},
    {"DecHelpStdoutClosed", dec, {"-b", "600", "--help"}, {{1}}, 1, "", dec_usage("600")},
    {"DecMapToFullStdout", dec, {"-m", "-", "hi.wav", "out.bin"}, {.out_path = "/dev/full"}, 1,
     "", "cannot write -\n", "out.bin", std::nullopt},
    // Unknown options are skipped and said, escaped; -q silences fskdec's.
    {"DecUnknownOptionsSaid", dec, {"-x", "--baud=300", "-\x1b[2J", "hi.wav", "out.bin"}, plain,
     0, "", unknown("fskdec", "-x") + unknown("fskdec", "--baud=300") +
     unknown("fskdec", "-\\x1B[2J"), "out.bin", std::string(200, 'x')},
    {"DecUnknownOptionQuiet", dec, {"-x", "-q", "hi.wav", "out.bin"}, plain, 0, "", "", "out.bin",
     std::string(200, 'x')},
    {"DecUnknownBeforeBadValue", dec, {"-b300", "-w", "300", "hi.wav", "out.bin"}, plain, 1,
     "illegal carrier frequency\n", unknown("fskdec", "-b300")},
    {"EncUnknownOptionSaid", enc, {"-o", "in.bin", "out.wav"}, plain, 0, "",
     unknown("fskenc", "-o")},
    // The input named again as the output, by any route: refused, the input untouched.
    {"DecSamePath", dec, {"hi.wav", "hi.wav"}, plain, 1, same, "", "hi.wav", recording},
    {"DecHardLink", dec, {"hi.wav", "hard.wav"}, plain, 1, same, "", "hi.wav", recording},
    {"DecSymlink", dec, {"hi.wav", "soft.wav"}, plain, 1, same, "", "hi.wav", recording},
    {"DecSymlinkIn", dec, {"soft.wav", "hi.wav"}, plain, 1, same, "", "hi.wav", recording},
    {"EncSamePath", enc, {"in.bin", "in.bin"}, plain, 1, same, "", "in.bin", "abc"},
    {"EncHardLink", enc, {"in.bin", "hard.bin"}, plain, 1, same, "", "in.bin", "abc"},
    {"EncSymlink", enc, {"in.bin", "soft.bin"}, plain, 1, same, "", "in.bin", "abc"},
    {"EncStdin", enc, {"-", "in.bin"}, {{}, RLIM_INFINITY, "in.bin"}, 1, same, "", "in.bin", "abc"},
    // A write that fails part way: the old output stays, a new one never appears.
    {"DecFailedWriteKeepsOld", dec, {"hi.wav", "old.bin"}, tiny_files, 1,
     "cannot write old.bin\n", "", "old.bin", "old"},
    {"DecFailedWriteCreatesNone", dec, {"hi.wav", "new.bin"}, tiny_files, 1,
     "cannot write new.bin\n", "", "new.bin", std::nullopt},
    {"EncFailedWriteKeepsOld", enc, {"in.bin", "old.bin"}, tiny_files, 1,
     "cannot write old.bin\n", "", "old.bin", "old"},
    {"EncFailedWriteCreatesNone", enc, {"in.bin", "new.wav"}, tiny_files, 1,
     "cannot write new.wav\n", "", "new.wav", std::nullopt},
    // Bytes to standard output: every message and the usage go to standard error.
    {"DecMessageToStderr", dec, {"missing.wav", "-"}, plain, 1, "", "cannot open missing.wav\n"},
    {"EncMessageToStderr", enc, {"missing.bin", "-"}, plain, 1, "", "cannot open missing.bin\n"},
    {"DecUsageToStderr", dec, {"-"}, plain, 1, "", dec_usage("1200")},
    {"DecMessageToStdout", dec, {"missing.wav", "-x"}, plain, 1, "cannot open missing.wav\n"},
    // One line per message, whatever the path holds.
    {"DecEscapedPath", dec, {"a\nb\\c\x1b[2J\x7f.wav", "out.bin"}, plain, 1,
     "cannot open a\\x0Ab\\\\c\\x1B[2J\\x7F.wav\n"},
    {"EncEscapedPath", enc, {"in.bin", "no\r/out.wav"}, plain, 1, "cannot open no\\x0D/out.wav\n"},
    // Descriptors closed at start: no file takes their place; bytes meant for a closed
    // standard output are a failure, never a success.
    {"DecClosedStdout", dec, {"hi.wav", "-"}, {{1}}, 1, "", "cannot write -\n"},
    {"EncClosedStdout", enc, {"in.bin", "-"}, {{1}}, 1, "", "cannot write -\n"},
    {"DecAllClosedToFile", dec, {"hi.wav", "out.bin"}, {{0, 1, 2}}, 0, "", "", "out.bin",
     std::string(200, 'x')},
    {"EncClosedStdin", enc, {"-", "out.wav"}, {{0}}, 1, "cannot read -\n", "", "out.wav",
     std::nullopt},
    // --help and --version among the options only.
    {"DecHelpAfterOption", dec, {"-b", "600", "--help", "-b", "0"}, plain, 0, dec_usage("600")},
    {"DecHelpAfterDoubleDash", dec, {"--", "--help", "out.bin"}, plain, 1, "cannot open --help\n"},
    {"DecHelpAfterOperand", dec, {"missing.wav", "--version"}, plain, 1,
     "cannot open missing.wav\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, SafetyRuns, ::testing::ValuesIn(cases),
                         [](const auto& info) { return info.param.name; });

// Each tool's --version and the footer of its man page (the .TH line) give the project's
// version from CMakeLists.txt.
TEST_F(Safety, VersionOfEach) {
    for (const char* exe : {FSKDEC_EXE, FSKENC_EXE}) {
        const std::string name = fs::path(exe).filename();
        const std::string version = name + " " + FSKDEC_PROJECT_VERSION;
        const run_result r = run(exe, {"--version"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, version + "\n");
        EXPECT_EQ(r.err, "");
        const std::string page = read_file(std::string(FSKDEC_SOURCE_DIR "/man/") + name + ".1");
        const std::string title = page.substr(0, page.find('\n'));
        EXPECT_EQ(title.rfind(".TH ", 0), 0u) << name;
        EXPECT_NE(title.find(" \"" + version + "\" "), std::string::npos) << title;
    }
    EXPECT_EQ(run(FSKENC_EXE, {"--help"}).out.rfind("usage: fskenc [options]", 0), 0u);
}

// An existing output starting with a recording's mark is refused; other files, a bare MPEG
// frame header among them (two bytes other data begins with too), are replaced.
TEST_F(Safety, RecordingMarksRefused) {
    const std::pair<std::string, bool> heads[] = {
        {"fLaC", true}, {std::string("FORM\0\0\0\0AIFC", 12), true},  {"OggS", true},
        {"ID3", true},  {std::string("RIFF\0\0\0\0AVI ", 12), false}, {"\xFF\xFB\x90", false}};
    for (const auto& [head, refused_here] : heads) {
        write_file(dir + "/out.bin", head);
        const run_result r = run(FSKDEC_EXE, {"hi.wav", "out.bin"});
        EXPECT_EQ(r.out, refused_here ? refused("out.bin") : "") << head;
        EXPECT_EQ(read_file(dir + "/out.bin"), refused_here ? head : std::string(200, 'x'));
    }
}

// A message for standard output whose reader has gone reaches standard error (not SIGPIPE).
TEST_F(Safety, MessageOnBrokenPipeGoesToStderr) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const run_result r = run(FSKDEC_EXE, {"missing.wav", "out.bin"},
                             {.out_path = "/dev/pipe", .stdout_fd = ends[1]});
    close(ends[1]);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot open missing.wav\n");
}

// Waits up to `limit` for a temporary file to appear in `dir`.
bool temporary_appears(const std::string& dir, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (!leftovers(dir).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class SafetySignals : public Safety, public ::testing::WithParamInterface<int> {};

// fskenc writing a long recording (1.5 GB, far longer than the test waits) over old.bin,
// signalled once its temporary file exists. The file size limit only guards the disk.
TEST_P(SafetySignals, EncoderLeavesOldOutput) {
    const pid_t pid =
        start_program(FSKENC_EXE, dir, {"-l", "20000000", "in.bin", "old.bin"}, {{}, 256 << 20});
    const bool appeared = temporary_appears(dir, std::chrono::seconds(10));
    kill(pid, GetParam());
    EXPECT_TRUE(appeared);
    EXPECT_EQ(finish_program(pid, dir).status, 128 + GetParam());
    EXPECT_EQ(read_file(dir + "/old.bin"), "old");
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{});
}

// fskdec reading a FIFO whose writer stalls after the header and a few frames: the signal
// finds it reading, or (once the output is open while reading) writing a temporary file.
TEST_P(SafetySignals, DecoderLeavesOldOutput) {
    ASSERT_EQ(mkfifo((dir + "/in.fifo").c_str(), 0600), 0);
    const pid_t pid = start_program(FSKDEC_EXE, dir, {"in.fifo", "old.bin"});
    int writer = -1;
    for (int i = 0; i < 10000 && writer < 0; ++i) {
        writer = open((dir + "/in.fifo").c_str(), O_WRONLY | O_NONBLOCK);
        if (writer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(write(writer, recording.data(), 4096), 4096);
    temporary_appears(dir, std::chrono::milliseconds(300));
    kill(pid, GetParam());
    EXPECT_EQ(finish_program(pid, dir).status, 128 + GetParam());
    close(writer);
    EXPECT_EQ(read_file(dir + "/old.bin"), "old");
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Ending, SafetySignals, ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGPIPE),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
