// fskdec: recovers the bytes of a two-tone FSK serial signal from a recording.
//
// settings (skipped options said) -> open the input and read its header -> check it against
// the settings -> plan the decoder (the exact one: read the first window, plan the detector;
// or the recovery one) -> check the outputs (not the input, not each other, not a recording)
// -> open them -> decode while reading -> the report -> close. Every failure is one line and
// exit status 1, on standard output, or on standard error when the bytes go to standard
// output or standard output cannot take it. The report's lines go to standard error.

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/messages.h"
#include "app/options.h"
#include "app/side_outputs.h"
#include "audio/input.h"
#include "base/error.h"
#include "demod/framing.h"
#include "recover/measured.h"
#include "report/lines.h"
#include "report/map.h"

namespace {

// What happens beside the decoding: the bytes go to the output and into the report, and the
// report's running lines (-v) are printed as they come.
struct run_context {
    const decoder_settings& settings;
    const std::string& input_path;
    output_file& out;
    std::optional<report_collector> report;  // none with -q alone: nothing would be said
    side_outputs& side;                      // -j, -s
    std::uint64_t offset = 0;                // bytes written so far

    bool verbose() const { return settings.verbose && !settings.quiet; }

    void byte(report_byte b) {
        write_output(out, {&b.value, 1});
        b.offset = offset++;
        if (!report) return;
        const std::optional<report_segment> closed = collect_byte(*report, b);
        if (closed) side_segment(side, *closed);
        side_byte(side, b);
        if (!verbose()) return;
        if (closed) say(segment_line(report->settings, *closed));
        if (settings.recover && is_doubtful(b)) say(doubtful_byte_line(report->settings, b));
    }

    // The exact decoder heard the idle tone over these frames.
    void tone(std::uint64_t from, std::uint64_t to) {
        if (!report) return;
        const std::optional<report_segment> closed = collect_tone(*report, from, to);
        if (closed) side_segment(side, *closed);
        if (closed && verbose()) say(segment_line(report->settings, *closed));
    }

    void segment(const report_segment& s) {
        if (!report) return;
        collect_segment(*report, s);
        side_segment(side, s);
        if (verbose()) say(segment_line(report->settings, s));
    }
};

report_settings report_settings_for(const decoder_settings& settings, const audio_format& format,
                                    const std::string& input_path) {
    report_settings r;
    r.sample_rate = format.sample_rate;
    r.channels = format.channels;
    r.full_scale = format.full_scale;
    r.channel = settings.channel - 1;
    r.baud_rate = settings.signal.baud_rate;
    r.lower_tone = settings.signal.lower_tone;
    r.threshold = settings.threshold_ratio;
    r.phase_sign = settings.signal.phase_sign;
    // Only the map, the -v summary and the segments' levels (-j, -s) need every frame's
    // level.
    r.envelope = (settings.verbose && !settings.quiet) || !settings.map_path.empty() ||
                 !settings.json_path.empty() || !settings.split_dir.empty();
    r.recovery = settings.recover;
    r.measured_signal = settings.recover && !settings.signal_given;
    r.name = input_path;
    return r;
}

// The recovery demodulator over the whole input, one piece at a time.
void recover_all(sample_source& input, std::int32_t channel, measured_decoder& decoder,
                 run_context& run) {
    const audio_format& format = input.format();
    const auto channels = static_cast<std::size_t>(format.channels);
    std::vector<double> piece(window_piece_frames * channels);
    std::vector<double> samples(window_piece_frames);
    const recover_sink sink{
        [&](const recovered_byte& b) {
            run.byte({b.value, b.start_frame, 0, b.confidence, b.framing_error, not_measured});
        },
        [&](const carrier_segment& s) {
            const auto or_none = [](double v) { return v > 0.0 ? v : not_measured; };
            run.segment({s.start_frame, s.end_frame, s.bytes, s.framing_errors,
                         s.level / format.full_scale, s.snr_db, s.speed, s.polarity, s.echo,
                         or_none(s.baud), or_none(s.lower_tone), or_none(s.upper_tone)});
        }};
    for (std::size_t frames; (frames = input.read(piece)) > 0;) {
        if (run.report) collect_samples(*run.report, {piece.data(), frames * channels});
        for (std::size_t f = 0; f < frames; ++f)
            samples[f] = piece[f * channels + static_cast<std::size_t>(channel)];
        measured_samples(decoder, {samples.data(), frames}, sink);
    }
    measured_finish(decoder, sink);
}

// What the report says at the end of a run, and the map.
void finish(run_context& run, const sample_source& input, output_file& map) {
    if (const auto cut = input.cut_short_at(); cut && !run.settings.quiet) {
        say("fskdec: the recording ends early at " + format_time(*cut, input.format().sample_rate) +
            " (the rest of " + run.input_path + " cannot be decoded)");
    }
    if (!run.report) return;
    report_collector& report = *run.report;
    const std::optional<report_segment> last = finish_report(report);
    if (last) side_segment(run.side, *last);
    if (last && run.verbose()) say(segment_line(report.settings, *last));
    const std::optional<std::string> warning = doubtful_warning(report);
    const std::optional<std::string> hint =
        run.offset == 0 ? no_bytes_hint(report) : std::optional<std::string>();
    // Bytes came out, yet the survey finds the signal is not the one set.
    const std::optional<std::string> mismatch =
        run.offset == 0 ? std::optional<std::string>() : mismatch_warning(report);
    if (!run.settings.quiet) {
        if (warning) say(*warning);
        if (hint) say(*hint);
        if (mismatch) say(*mismatch);
    }
    if (run.verbose()) say(summary_line(report));
    if (map.stream != nullptr) {
        // The bytes are out before the map replaces an older one: a run that cannot write
        // them fails with the map as it was.
        if (std::fflush(run.out.stream) != 0 || std::ferror(run.out.stream) != 0) {
            throw fskdec_error("cannot write " + run.out.path);
        }
        write_map(report, [&](std::string_view text) {
            write_output(map, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        });
        close_output(map);
    }
    // As for the map: the bytes are out before the report replaces an older one.
    if (!run.side.json_path.empty() &&
        (std::fflush(run.out.stream) != 0 || std::ferror(run.out.stream) != 0)) {
        throw fskdec_error("cannot write " + run.out.path);
    }
    std::vector<std::string> warnings;
    for (const std::optional<std::string>& line : {warning, mismatch})
        if (line) warnings.push_back(*line);
    finish_side_outputs(run.side, report, hint, warnings);
}

int run(int argc, const char* const* argv) {
    decoder_settings settings;
    info_request asked = info_request::none;
    int first = 0;
    try {
        first = parse_options(argc, argv, settings, &asked);
    } catch (const fskdec_error&) {
        // An option skipped before a bad value may be why the value is bad (-b300 -w 300).
        if (!settings.quiet) say_unknown_options("fskdec", settings.unknown_options);
        throw;
    }
    if (!settings.quiet) say_unknown_options("fskdec", settings.unknown_options);
    if (asked != info_request::none) return answer_request(asked, usage_text(settings), "fskdec");
    if (first != argc - 2) {
        put_text(message_stream(argc, argv), usage_text(settings));
        return 1;
    }
    const std::string input_path = argv[argc - 2];
    const std::string output_path = argv[argc - 1];

    // Before the input blocks (a pipe that pauses), every byte decoded so far goes out.
    output_file out;
    const std::unique_ptr<sample_source> input = open_audio(input_path, [&] {
        if (out.stream != nullptr) std::fflush(out.stream);
    });
    const audio_format& format = input->format();
    const std::int32_t channel = settings.channel - 1;

    // Each decoder checks the recording against the signal and takes its memory here, before
    // any output exists.
    // -r told no signal (no -b, no -w) measures each carrier's.
    std::optional<measured_decoder> recovery;
    std::optional<demod_config> config;
    if (settings.recover) {
        recovery = make_measured_decoder(
            format.sample_rate, format.full_scale,
            settings.signal_given ? std::optional(settings.signal) : std::nullopt);
    } else {
        config = make_demod_config(format, settings.signal, settings.threshold_ratio);
    }
    if (settings.channel > format.channels) throw fskdec_error("illegal channel");
    side_outputs side;
    side.input = input->identity();
    side.output_path = output_path;
    side.json_path = settings.json_path;
    side.split_dir = settings.split_dir;
    run_context run{settings, input_path, out, std::nullopt, side};
    if (!settings.quiet || !settings.map_path.empty() || wants_side_outputs(side)) {
        run.report = make_report_collector(report_settings_for(settings, format, input_path));
        side.settings = run.report->settings;
    }
    std::optional<sample_window> window;
    exact_decoder exact;
    if (config) {
        window =
            make_sample_window(*input, channel, detector_history(*config), config->phase_sign < 0);
        if (run.report) {
            window->observe = [&](std::span<const double> piece) {
                collect_samples(*run.report, piece);
            };
        }
        exact = prepare_exact_decoder(*window, *config);
    }

    check_not_input(input->identity(), output_path);
    if (!settings.map_path.empty()) {
        check_not_input(input->identity(), settings.map_path);
        if (same_output(settings.map_path, output_path)) {
            throw fskdec_error("the map and the output are the same file");
        }
    }
    check_not_recording(output_path);
    if (!settings.map_path.empty()) check_not_recording(settings.map_path);
    open_side_outputs(side, settings.map_path);
    out = open_output(output_path);
    output_file map;
    if (!settings.map_path.empty()) map = open_output(settings.map_path);

    if (settings.recover) {
        recover_all(*input, channel, *recovery, run);
    } else {
        decode_bytes(
            *window, exact,
            [&](const framed_byte& b) {
                run.byte({b.value, b.start_frame, 0, not_measured, false, not_measured});
            },
            [&](std::uint64_t from, std::uint64_t to) { run.tone(from, to); });
        // The rest of the recording still belongs in the report.
        if (run.report) count_frames(*window);
    }
    finish(run, *input, map);
    return close_output(out);
}

}  // namespace

int main(int argc, char** argv) {
    open_standard_descriptors();
    return report_failures(run, argc, argv);
}
