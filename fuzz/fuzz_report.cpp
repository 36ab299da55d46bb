// The report on an arbitrary run: settings, the recording's samples and the decoder's bytes,
// tones and segments all drawn from the input, in any order and with any values (NaN and
// infinite figures, frames out of order, a name that is not UTF-8). Every line for standard
// error must be one line beginning "fskdec: ", and the map must parse as XML.
#include <libxml/parser.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "fuzz_input.h"
#include "report/lines.h"
#include "report/map.h"
#include "report/report.h"

namespace {

void check_line(const std::string& line) {
    if (!line.starts_with("fskdec: ")) std::abort();
    if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos) std::abort();
}

void check_line(const std::optional<std::string>& line) {
    if (line) check_line(*line);
}

double any_double(input_reader& in) {
    const std::uint64_t bits = in.u32() | (std::uint64_t{in.u32()} << 32);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// A frame near the last one, or anywhere a decoder could report one (below 2^48: two
// hundred years at 44.1 kHz).
std::uint64_t any_frame(input_reader& in, std::uint64_t near) {
    const std::uint8_t how = in.u8();
    if (how & 1) return in.u32() | (std::uint64_t{in.u16()} << 32);
    return near + in.u16();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    input_reader in{std::span<const std::uint8_t>(bytes, size)};
    report_settings settings;
    settings.sample_rate = static_cast<std::int32_t>(in.u32());
    settings.channels = 1 + in.u8() % 4;
    settings.channel = in.u8() % settings.channels;
    settings.full_scale = (in.u8() & 1) ? 1.0 : 32768.0;
    settings.baud_rate = static_cast<std::int32_t>(in.u32());
    settings.lower_tone = static_cast<std::int32_t>(in.u32());
    settings.threshold = (1 + in.u8()) / 257.0;
    settings.recovery = in.u8() & 1;
    settings.total_frames = in.u16();
    for (std::uint8_t n = in.u8() % 32; n > 0; --n)
        settings.name.push_back(static_cast<char>(in.u8()));

    std::vector<std::string> lines;
    try {
        report_collector collector = make_report_collector(settings);
        std::uint64_t frame = 0, offset = 0;
        std::vector<double> samples;
        for (int op = 0; op < 512 && in.pos < in.bytes.size(); ++op) {
            switch (in.u8() % 4) {
                case 0: {  // samples: whole frames
                    const std::size_t frames = 1 + in.u8();
                    samples.clear();
                    for (std::size_t i = 0; i < frames * settings.channels; ++i) {
                        const auto v = static_cast<std::int16_t>(in.u16());
                        samples.push_back((in.u8() == 255) ? any_double(in) : v);
                    }
                    collect_samples(collector, samples);
                    frame += frames;
                    break;
                }
                case 1: {
                    report_byte b;
                    b.value = in.u8();
                    b.start_frame = any_frame(in, frame);
                    b.offset = offset++;
                    b.confidence = settings.recovery ? in.u8() / 255.0 : not_measured;
                    b.framing_error = in.u8() & 1;
                    b.level = in.u8() / 255.0;
                    if (settings.recovery && is_doubtful(b))
                        lines.push_back(doubtful_byte_line(settings, b));
                    if (const auto closed = collect_byte(collector, b))
                        lines.push_back(segment_line(settings, *closed));
                    break;
                }
                case 2: {
                    report_segment s;
                    s.start_frame = any_frame(in, frame);
                    s.end_frame = any_frame(in, s.start_frame);
                    s.bytes = in.u16();
                    s.framing_errors = in.u8();
                    s.level = (in.u8() & 1) ? any_double(in) : in.u8() / 255.0;
                    s.snr_db = (in.u8() & 1) ? any_double(in) : in.u8() - 20.0;
                    s.speed = (in.u8() & 1) ? any_double(in) : (in.u8() - 128) / 1000.0;
                    s.polarity = static_cast<int>(in.u8() % 3) - 1;
                    if (settings.recovery) {
                        collect_segment(collector, s);
                        lines.push_back(segment_line(settings, s));
                    }
                    break;
                }
                default: {
                    const std::uint64_t from = any_frame(in, frame);
                    if (const auto closed = collect_tone(collector, from, any_frame(in, from)))
                        lines.push_back(segment_line(settings, *closed));
                    break;
                }
            }
        }
        if (const auto last = finish_report(collector))
            lines.push_back(segment_line(settings, *last));
        lines.push_back(summary_line(collector));
        check_line(doubtful_warning(collector));
        check_line(no_bytes_hint(collector));

        const std::string svg = map_svg(collector);
        xmlDoc* doc = xmlReadMemory(svg.data(), static_cast<int>(svg.size()), "map.svg", nullptr,
                                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (doc == nullptr) std::abort();
        xmlFreeDoc(doc);
    } catch (const fskdec_error&) {
        return 0;  // settings the report refuses
    }
    for (const std::string& line : lines)
        check_line(line);
    return 0;
}
