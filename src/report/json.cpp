#include "report/json.h"

#include <cmath>
#include <cstdio>

#include "report/utf8.h"

namespace {

// Room for any double in %f (up to 309 digits before the point), so no figure is cut short
// into text that is not a number.
std::string print(const char* format, double value) {
    char text[400];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A measured figure, or null.
std::string number(const char* format, double value) {
    return std::isfinite(value) ? print(format, value) : "null";
}

std::string seconds(std::uint64_t frame, const report_settings& s) {
    return s.sample_rate > 0 ? print("%.6f", static_cast<double>(frame) / s.sample_rate) : "null";
}

// null also for silence (JSON has no -inf).
std::string dbfs(double level) {
    return level > 0.0 ? number("%.2f", 20.0 * std::log10(level)) : "null";
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = utf8_length(text, i);
        char escape[8];
        if (n == 0) {
            std::snprintf(escape, sizeof escape, "\\udc%02x", c);
            out += escape;
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out + "\"";
}

std::string json_segment(const report_settings& s, const report_segment& segment,
                         std::uint64_t offset, std::uint64_t bytes, std::uint64_t doubtful) {
    std::string out =
        "{\"start\": " + seconds(segment.start_frame, s) +
        ", \"end\": " + seconds(segment.end_frame, s) + ", \"offset\": " + std::to_string(offset) +
        ", \"bytes\": " + std::to_string(bytes) + ", \"level_dbfs\": " + dbfs(segment.level);
    if (s.recovery) {
        out += ", \"snr_db\": " + number("%.1f", segment.snr_db) +
               ", \"speed\": " + number("%.5f", segment.speed) +
               ", \"polarity\": " + std::to_string(segment.polarity) +
               ", \"framing_errors\": " + std::to_string(segment.framing_errors) +
               ", \"doubtful\": " + std::to_string(doubtful);
        if (s.measured_signal) {
            out += ", \"baud\": " + number("%.2f", segment.baud) +
                   ", \"lower_tone\": " + number("%.1f", segment.lower_tone) +
                   ", \"upper_tone\": " + number("%.1f", segment.upper_tone);
        }
    }
    return out + "}";
}

std::string json_doubtful(const report_settings& s, const report_byte& b) {
    return "{\"offset\": " + std::to_string(b.offset) + ", \"time\": " + seconds(b.start_frame, s) +
           ", \"value\": " + std::to_string(b.value) +
           ", \"confidence\": " + number("%.3f", b.confidence) +
           ", \"framing_error\": " + (b.framing_error ? "true" : "false") + "}";
}

void write_json(const report_collector& c, const json_run& run, const json_items& segments,
                const json_items& doubtful, const text_sink& write) {
    const report_settings& s = c.settings;
    std::string head = "{\n  \"input\": " + json_string(s.name) +
                       ",\n  \"sample_rate\": " + std::to_string(s.sample_rate) +
                       ",\n  \"channels\": " + std::to_string(s.channels) +
                       ",\n  \"channel\": " + std::to_string(s.channel + 1) +
                       ",\n  \"duration\": " + seconds(c.totals.frames, s) +
                       ",\n  \"mode\": " + (s.recovery ? "\"recovery\"" : "\"exact\"") +
                       ",\n  \"baud_rate\": " + std::to_string(s.baud_rate) +
                       ",\n  \"lower_tone\": " + std::to_string(s.lower_tone) +
                       ",\n  \"upper_tone\": " + std::to_string(2 * std::int64_t{s.lower_tone});
    if (!s.recovery) head += ",\n  \"threshold\": " + print("%g", s.threshold);
    head += ",\n  \"bytes\": " + std::to_string(run.bytes) + ",\n  \"segments\": [";
    write(head);
    segments(write);
    write("],\n  \"doubtful\": [");
    doubtful(write);
    std::string tail =
        "],\n  \"hint\": " + (run.hint ? json_string(*run.hint) : "null") + ",\n  \"warnings\": [";
    for (std::size_t i = 0; i < run.warnings.size(); ++i)
        tail += (i == 0 ? "" : ", ") + json_string(run.warnings[i]);
    write(tail + "]\n}\n");
}
