// Runs the built fskdec as a user would: arguments in, exact standard output and exit status
// out, standard error empty unless an option is skipped. Each case runs in a fresh directory
// holding the inputs.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "mod/synth.h"
#include "run_program.h"
#include "wav_builder.h"

namespace {

// Runs fskdec with `args` in directory `dir`; standard output goes to `out_path`.
run_result run_fskdec(const std::string& dir, const std::vector<std::string>& args,
                      const std::string& out_path = ".stdout") {
    return run_program(FSKDEC_EXE, dir, args, out_path);
}

std::string usage(const char* b, const char* t, const char* w) {
    return std::string(
               "usage: fskdec [options] input-file output-file\n"
               "options:\n"
               " -b baud-rate\n"
               " -c channel\n"
               " -j json-report-file\n"
               " -m map-file\n"
               " -p (for reverse phase)\n"
               " -q (quiet)\n"
               " -r (recover damaged recordings)\n"
               " -s split-directory\n"
               " -t threshold-ratio\n"
               " -v (verbose)\n"
               " -w lower-carrier-wave\n"
               "default: -b ") +
           b + " -t " + t + " -w " + w + "\n";
}

const std::string usage_default = usage("1200", "0.15", "1200");
const std::string bad_baud = "illegal baud rate\n";
const std::string bad_threshold = "threshold must be between 0 and 1\n";
const std::string bad_carrier = "illegal carrier frequency\n";

byte_vector synthesized(const std::string& text, std::int32_t baud_rate) {
    synth_settings signal;
    signal.baud_rate = baud_rate;
    signal.leader_bits = 20;
    signal.gap_bits = 2;
    signal.trailer_bits = 20;
    return synthesize_wav(byte_vector(text.begin(), text.end()), signal);
}

std::string as_text(const byte_vector& bytes) {
    return {bytes.begin(), bytes.end()};
}

// The files every case finds in its directory.
void make_inputs(const std::string& dir) {
    const fmt_fields mono16;
    const byte_vector samples(2 * 4410, 0);
    auto with = [&](fmt_fields f, auto change) {
        change(f);
        return canonical_wav(f, samples);
    };
    write_file(dir + "/silence.wav", canonical_wav(mono16, samples));
    write_file(dir + "/hi.wav", synthesized("Hi", 1200));
    write_file(dir + "/self.wav", synthesized("Hi", 1200));
    write_file(dir + "/hi300.wav", synthesized("Hi", 300));
    write_file(dir + "/short.wav", byte_vector(40, 0));
    write_file(dir + "/nofmt.wav", riff_wave({{"data", samples}}));
    write_file(dir + "/adpcm.wav", with(mono16, [](fmt_fields& f) { f.tag = 2; }));
    write_file(dir + "/extfloat.wav",
               riff_wave({{"fmt ", fmt_body({0xFFFE, 1, 44100, 2, 16}, 40, float_guid)},
                          {"data", samples}}));
    write_file(dir + "/quad.wav", with(mono16, [](fmt_fields& f) { f.channels = 4; }));
    write_file(dir + "/12bit.wav", with(mono16, [](fmt_fields& f) { f.bits = 12; }));
    write_file(dir + "/align0.wav", with(mono16, [](fmt_fields& f) { f.block_align = 0; }));
    write_file(dir + "/empty.wav", canonical_wav(mono16, samples, 0));
    write_file(dir + "/lowrate.wav", with(mono16, [](fmt_fields& f) { f.sample_rate = 2400; }));
    write_file(dir + "/partial.wav", canonical_wav(mono16, {0x00}));
    write_file(dir + "/old.bin", std::string("old"));
    std::filesystem::create_directory(dir + "/adir");
}

// One run: the arguments, the exact standard output and status, and optionally the state of
// one file afterwards (its contents, or std::nullopt when it must not exist).
struct cli_case {
    std::string name;
    std::vector<std::string> args;
    std::string out;
    int status;
    std::string file = {};
    std::optional<std::string> contents = {};
    std::string err = {};  // standard error
};

const std::vector<cli_case> cli_cases = {
    // The scan and the usage text.
    {"NoArguments", {}, usage_default, 1},
    {"CarrierNotMultipleOfDefaultBaud", {"-w", "1000"}, bad_carrier, 1},
    {"Baud600ShownInUsage", {"-b", "600"}, usage("600", "0.15", "1200"), 1},
    {"ThresholdShownWithOneOperand", {"-t", "0.3", "x"}, usage("1200", "0.30", "1200"), 1},
    {"Baud2400LeavesDefaultCarrier", {"-b", "2400"}, bad_carrier, 1},
    {"CarrierMultipleOfBaud", {"-b", "600", "-w", "2400"}, usage("600", "0.15", "2400"), 1},
    {"Threshold1", {"-t", "1"}, bad_threshold, 1},
    {"Threshold0", {"-t", "0"}, bad_threshold, 1},
    {"ThresholdNegative", {"-t", "-0.5"}, bad_threshold, 1},
    {"ThresholdText", {"-t", "abc"}, bad_threshold, 1},
    {"ThresholdEmpty", {"-t", ""}, bad_threshold, 1},
    {"ThresholdNan", {"-t", "nan"}, bad_threshold, 1},
    {"Threshold0999", {"-t", "0.999"}, usage("1200", "1.00", "1200"), 1},
    {"Threshold001", {"-t", "0.01"}, usage("1200", "0.01", "1200"), 1},
    {"ThresholdTrailingText", {"-t", " 0.5x"}, usage("1200", "0.50", "1200"), 1},
    {"BaudFraction", {"-b", "12.9"}, usage("12", "0.15", "1200"), 1},
    {"BaudTrailingLetters", {"-b", "12abc"}, usage("12", "0.15", "1200"), 1},
    {"BaudLeadingSpaces", {"-b", "  \t+600"}, usage("600", "0.15", "1200"), 1},
    {"BaudZero", {"-b", "0"}, bad_baud, 1},
    {"BaudNegative", {"-b", "-1200"}, bad_baud, 1},
    {"BaudText", {"-b", "abc"}, bad_baud, 1},
    {"BaudSpaceBeforeSign", {"-b", "- 600"}, bad_baud, 1},
    {"CarrierZero", {"-w", "0"}, bad_carrier, 1},
    {"CarrierText", {"-w", "x"}, bad_carrier, 1},
    {"BaudLast", {"-b"}, usage_default, 1},
    {"ThresholdLast", {"-t"}, usage_default, 1},
    {"CarrierLast", {"-w"}, usage_default, 1},
    {"LastValueWins", {"-b", "300", "-b", "600"}, usage("600", "0.15", "1200"), 1},
    {"FirstBadValueReported", {"-b", "0", "-t", "5"}, bad_baud, 1},
    {"FirstBadValueReported2", {"-t", "5", "-b", "0"}, bad_threshold, 1},
    {"ValueRunTogetherSkipped",
     {"-b600"},
     usage_default,
     1,
     "",
     std::nullopt,
     "fskdec: ignoring unknown option -b600\n"},
    {"PhaseNotShown", {"-p", "-p"}, usage_default, 1},
    {"MultipleCheckedAfterValues", {"-w", "1000", "-b", "500"}, usage("500", "0.15", "1000"), 1},
    {"MultipleCheckedWithOperands",
     {"-w", "1000", "silence.wav", "out.bin"},
     bad_carrier,
     1,
     "out.bin",
     std::nullopt},
    // Values beyond the signed 32-bit range are rejected, never wrapped.
    {"BaudOverflow", {"-b", "2147483648"}, bad_baud, 1},
    {"BaudFarOverflow", {"-b", "99999999999"}, bad_baud, 1},
    {"BaudNegativeOverflow", {"-b", "-2147483649"}, bad_baud, 1},
    {"CarrierOverflow", {"-w", "2147483648"}, bad_carrier, 1},
    {"CarrierFarOverflow", {"-w", "99999999999"}, bad_carrier, 1},
    {"LargestValuesWithLeadingZeros",
     {"-b", "0002147483647", "-w", "00000000000002147483647"},
     usage("2147483647", "0.15", "2147483647"),
     1},
    // Operands.
    {"UnknownOptionSkipped",
     {"-x", "silence.wav", "out.bin"},
     "",
     0,
     "out.bin",
     "",
     "fskdec: ignoring unknown option -x\n"},
    {"DoubleDashThenOptionLikeOperands",
     {"--", "-b", "out.bin"},
     "cannot open -b\n",
     1,
     "out.bin",
     std::nullopt},
    {"DoubleDashThenOneOperand", {"--", "-b"}, usage_default, 1},
    {"OptionAfterOperands",
     {"silence.wav", "out.bin", "-p"},
     usage_default,
     1,
     "out.bin",
     std::nullopt},
    {"ThreeOperands", {"-t", "0.3", "a", "b", "c"}, usage("1200", "0.30", "1200"), 1},
    {"OneOperand", {"silence.wav"}, usage_default, 1},
    {"OptionWithLeadingSpaceIsOperand", {" -b", "600"}, "cannot open  -b\n", 1},
    {"EmptyOperand", {"", "out.bin"}, "cannot open \n", 1},
    // Input checks, each before the output is created.
    {"InputMissing",
     {"missing.wav", "out.bin"},
     "cannot open missing.wav\n",
     1,
     "out.bin",
     std::nullopt},
    {"InputDashIsAFile", {"-", "out.bin"}, "cannot open -\n", 1, "out.bin", std::nullopt},
    {"InputDirectory", {"adir", "out.bin"}, "cannot open adir\n", 1, "out.bin", std::nullopt},
    {"InputUnreadable",
     {"/proc/self/mem", "out.bin"},
     "cannot read /proc/self/mem\n",
     1,
     "out.bin",
     std::nullopt},
    {"ShortFile", {"short.wav", "out.bin"}, "not a WAV file\n", 1, "out.bin", std::nullopt},
    {"RiffWithoutFmt", {"nofmt.wav", "out.bin"}, "not a WAV file\n", 1, "out.bin", std::nullopt},
    {"AdpcmTag", {"adpcm.wav", "out.bin"}, "not PCM\n", 1, "out.bin", std::nullopt},
    {"ExtensibleFloat16",
     {"extfloat.wav", "out.bin"},
     "floating-point samples must be 32 or 64 bits\n",
     1,
     "out.bin",
     std::nullopt},
    {"FourChannels",
     {"quad.wav", "out.bin"},
     "the number of channels must be 1 or 2\n",
     1,
     "out.bin",
     std::nullopt},
    {"Bits12",
     {"12bit.wav", "out.bin"},
     "quantization_bit must be 8, 16, 24 or 32\n",
     1,
     "out.bin",
     std::nullopt},
    {"BlockAlign0", {"align0.wav", "out.bin"}, "illegal block align\n", 1, "out.bin", std::nullopt},
    {"DataSize0", {"empty.wav", "out.bin"}, "cannot allocate memory\n", 1, "out.bin", std::nullopt},
    {"SampleRateTooLow",
     {"lowrate.wav", "out.bin"},
     "sample rate too low for the carrier frequency\n",
     1,
     "out.bin",
     std::nullopt},
    {"SampleRateTooLowForCarrier",
     {"-w", "21600", "silence.wav", "out.bin"},
     "sample rate too low for the carrier frequency\n",
     1,
     "out.bin",
     std::nullopt},
    {"InputReportedBeforeOutput", {"adpcm.wav", "nodir/out.bin"}, "not PCM\n", 1},
    {"RateReportedBeforeOutput",
     {"lowrate.wav", "nodir/out.bin"},
     "sample rate too low for the carrier frequency\n",
     1},
    // The output.
    {"OutputInMissingDirectory",
     {"silence.wav", "nodir/out.bin"},
     "cannot open nodir/out.bin\n",
     1},
    {"OutputIsDirectory", {"silence.wav", "adir"}, "cannot open adir\n", 1},
    {"SilenceCreatesEmptyOutput", {"silence.wav", "out.bin"}, "", 0, "out.bin", ""},
    {"SilenceTruncatesOutput", {"silence.wav", "old.bin"}, "", 0, "old.bin", ""},
    {"NoWholeFrame", {"partial.wav", "out.bin"}, "", 0, "out.bin", ""},
    {"DecodesToFile", {"hi.wav", "out.bin"}, "", 0, "out.bin", "Hi"},
    {"DecodesToStandardOutput", {"hi.wav", "-"}, "Hi", 0},
    {"DecodesAfterDoubleDash", {"--", "hi.wav", "-"}, "Hi", 0},
    {"BaudReachesDecoder", {"-b", "300", "hi300.wav", "-"}, "Hi", 0},
    {"OutputIsInput",
     {"self.wav", "self.wav"},
     "input and output are the same file\n",
     1,
     "self.wav",
     as_text(synthesized("Hi", 1200))},
    {"WriteError", {"hi.wav", "/dev/full"}, "cannot write /dev/full\n", 1},
    {"NothingWrittenToFullDevice", {"silence.wav", "/dev/full"}, "", 0},
};

// A fresh directory holding the inputs, removed afterwards.
class CliFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        make_inputs(dir);
    }
    temp_dir tmp{"fskdec_cli"};
    const std::string& dir = tmp.path;
};

class Cli : public CliFiles, public ::testing::WithParamInterface<cli_case> {};

TEST_P(Cli, OutputAndStatus) {
    const cli_case& c = GetParam();
    const run_result r = run_fskdec(dir, c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    // An unnamed file is not looked at.
    EXPECT_EQ(c.file.empty() ? c.contents : file_contents(dir + "/" + c.file), c.contents)
        << c.file;
}

INSTANTIATE_TEST_SUITE_P(Runs, Cli, ::testing::ValuesIn(cli_cases),
                         [](const auto& info) { return info.param.name; });

// Standard output itself failing: the decoded bytes cannot be written, and the message goes
// to standard error, away from the bytes.
TEST_F(CliFiles, StandardOutputWriteError) {
    const run_result r = run_fskdec(dir, {"hi.wav", "-"}, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot write -\n");
}

}  // namespace
