// The report on an arbitrary run: settings, the recording's samples and the decoder's bytes,
// tones and segments all drawn from the input, in any order and with any values (NaN and
// infinite figures, frames out of order, a name that is not UTF-8). Every line for standard
// error must be one line beginning "fskdec: ", the map must parse as XML and the JSON report
// as JSON.
#include <libxml/parser.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "fuzz_input.h"
#include "report/json.h"
#include "report/lines.h"
#include "report/map.h"
#include "report/report.h"
#include "report/utf8.h"

namespace {

void check_line(const std::string& line) {
    if (!line.starts_with("fskdec: ")) std::abort();
    if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos) std::abort();
}

void check_line(const std::optional<std::string>& line) {
    if (line) check_line(*line);
}

// A strict JSON parser that only says whether `text` is one valid value in UTF-8 (RFC 8259).
struct json_checker {
    std::string_view text;
    std::size_t at = 0;

    void space() {
        while (at < text.size() &&
               (text[at] == ' ' || text[at] == '\n' || text[at] == '\t' || text[at] == '\r'))
            ++at;
    }
    bool literal(std::string_view word) {
        if (text.substr(at, word.size()) != word) return false;
        at += word.size();
        return true;
    }
    bool digits() {
        const std::size_t from = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
        return at > from;
    }
    bool number() {
        if (at < text.size() && text[at] == '-') ++at;
        if (!digits()) return false;
        if (at < text.size() && text[at] == '.' && (++at, !digits())) return false;
        if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
            ++at;
            if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
            if (!digits()) return false;
        }
        return true;
    }
    bool string() {
        if (!literal("\"")) return false;
        while (at < text.size() && text[at] != '"') {
            const auto c = static_cast<unsigned char>(text[at++]);
            if (c < 0x20) return false;
            if (c == '\\') {
                if (at >= text.size()) return false;
                const char e = text[at++];
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i, ++at)
                        if (at >= text.size() ||
                            !std::isxdigit(static_cast<unsigned char>(text[at])))
                            return false;
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
            }
        }
        return literal("\"");
    }
    template <typename Item>
    bool list(std::string_view open, std::string_view close, Item item) {
        if (!literal(open)) return false;
        space();
        if (literal(close)) return true;
        do {
            space();
            if (!item()) return false;
            space();
        } while (literal(","));
        return literal(close);
    }
    bool value(int depth = 0) {
        if (depth > 16 || at >= text.size()) return false;
        switch (text[at]) {
            case '{':
                return list("{", "}", [&] {
                    if (!string()) return false;
                    space();
                    if (!literal(":")) return false;
                    space();
                    return value(depth + 1);
                });
            case '[':
                return list("[", "]", [&] { return value(depth + 1); });
            case '"':
                return string();
            case 't':
                return literal("true");
            case 'f':
                return literal("false");
            case 'n':
                return literal("null");
            default:
                return number();
        }
    }
    bool valid() {
        for (std::size_t i = 0; i < text.size(); i += utf8_length(text, i))
            if (utf8_length(text, i) == 0) return false;  // JSON text is UTF-8
        space();
        if (!value()) return false;
        space();
        return at == text.size();
    }
};

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
    std::vector<std::string> segment_items, doubtful_items;
    try {
        report_collector collector = make_report_collector(settings);
        std::uint64_t frame = 0, offset = 0, segment_offset = 0;
        // A closed segment: its line for -v, its item for the JSON report.
        const auto add_segment = [&](const report_segment& s) {
            lines.push_back(segment_line(settings, s));
            segment_items.push_back(
                json_segment(settings, s, segment_offset, offset - segment_offset, 0));
            segment_offset = offset;
        };
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
                    if (settings.recovery && is_doubtful(b)) {
                        lines.push_back(doubtful_byte_line(settings, b));
                        doubtful_items.push_back(json_doubtful(settings, b));
                    }
                    if (const auto closed = collect_byte(collector, b)) add_segment(*closed);
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
                        add_segment(s);
                    }
                    break;
                }
                default: {
                    const std::uint64_t from = any_frame(in, frame);
                    if (const auto closed = collect_tone(collector, from, any_frame(in, from)))
                        add_segment(*closed);
                    break;
                }
            }
        }
        if (const auto last = finish_report(collector)) add_segment(*last);
        lines.push_back(summary_line(collector));
        const std::optional<std::string> hint = no_bytes_hint(collector);
        const std::optional<std::string> warning = doubtful_warning(collector);
        check_line(hint);
        check_line(warning);

        json_run run;
        run.bytes = offset;
        if (hint) run.hint = hint->substr(8);
        if (warning) run.warnings.push_back(warning->substr(8));
        const auto items = [](const std::vector<std::string>& list) {
            return [&list](const text_sink& write) {
                for (std::size_t i = 0; i < list.size(); ++i) {
                    if (i > 0) write(",\n");
                    write(list[i]);
                }
            };
        };
        std::string json;
        write_json(collector, run, items(segment_items), items(doubtful_items),
                   [&json](std::string_view piece) { json += piece; });
        if (!json_checker{json}.valid()) std::abort();

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
