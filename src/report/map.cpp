#include "report/map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "report/lines.h"
#include "report/utf8.h"

namespace {

// Rows of the picture, top to bottom (y of the top edge and the height).
constexpr int signal_top = 58;
constexpr int signal_height = 150;
constexpr int carrier_top = 220;
constexpr int strip_height = 14;
constexpr int bytes_top = 240;
constexpr int marks_top = 260;
constexpr int axis_top = 282;
constexpr int legend_top = 328;

std::string num(double x) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", x);
    std::string s = buffer;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    return s;
}

std::string hex_colour(double r, double g, double b) {
    char buffer[8];
    auto c = [](double v) {
        return static_cast<unsigned>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
    };
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", c(r), c(g), c(b));
    return buffer;
}

// Red at the doubtful cut and below, through amber, to green at full confidence.
std::string confidence_colour(double confidence) {
    const double t =
        std::clamp((confidence - doubtful_confidence) / (1.0 - doubtful_confidence), 0.0, 1.0);
    const double q = std::round(t * 8.0) / 8.0;  // few shades, so neighbours merge
    if (q < 0.5) return hex_colour(0.85, 0.25 + 1.1 * q, 0.15);
    return hex_colour(0.85 - 1.4 * (q - 0.5), 0.8, 0.2);
}

// Light to dark blue as bytes fill a column's time (share 0 to 1).
std::string density_colour(double share) {
    const double q = std::round(std::clamp(share, 0.0, 1.0) * 4.0) / 4.0;
    return hex_colour(0.62 - 0.5 * q, 0.75 - 0.45 * q, 0.95 - 0.2 * q);
}

struct pixel {
    report_column data;
    std::uint64_t frames = 0;   // of the recording the pixel covers
    std::uint64_t counted = 0;  // frames of the columns gathered in it (their bytes' span)
};

// The collector's columns gathered into the plot's pixel columns: each column goes to the
// pixel holding its centre; a pixel that gets none (a recording shorter than the plot is
// wide) shows the column under its own centre.
std::vector<pixel> gather(const report_collector& c) {
    std::vector<pixel> pixels(map_plot_width);
    const double total = static_cast<double>(c.totals.frames);
    for (int p = 0; p < map_plot_width; ++p) {
        const auto from = static_cast<std::uint64_t>(total * p / map_plot_width);
        const auto to = static_cast<std::uint64_t>(total * (p + 1) / map_plot_width);
        pixels[static_cast<std::size_t>(p)].frames = to - from;
    }
    std::vector<bool> filled(map_plot_width, false);
    for (std::size_t i = 0; i < c.columns.size(); ++i) {
        const double centre = (static_cast<double>(i) + 0.5) * static_cast<double>(c.span);
        const auto p = static_cast<std::size_t>(
            std::clamp(centre / total * map_plot_width, 0.0, map_plot_width - 1.0));
        merge_column(pixels[p].data, c.columns[i]);
        pixels[p].counted += c.span;
        filled[p] = true;
    }
    for (int p = 0; p < map_plot_width; ++p) {
        if (filled[static_cast<std::size_t>(p)]) continue;
        const double centre = total * (p + 0.5) / map_plot_width;
        const auto i = static_cast<std::size_t>(centre / static_cast<double>(c.span));
        if (i >= c.columns.size()) continue;
        // Only the signal and the carrier repeat across pixels; counts stay where they fell.
        report_column& into = pixels[static_cast<std::size_t>(p)].data;
        const report_column& from = c.columns[i];
        into.low = from.low;
        into.high = from.high;
        into.frames = from.frames;
        into.squares = from.squares;
        into.carrier_frames =
            from.carrier_frames > 0 ? pixels[static_cast<std::size_t>(p)].frames : 0;
        into.echo_frames = from.echo_frames > 0 ? pixels[static_cast<std::size_t>(p)].frames : 0;
    }
    return pixels;
}

bool carrier_at(const pixel& p) {
    return p.data.carrier_frames > 0 &&
           2 * p.data.carrier_frames >= std::max<std::uint64_t>(p.frames, 1);
}

double pixel_peak(const pixel& p) {
    return p.data.frames > 0 ? std::max(std::fabs(p.data.low), std::fabs(p.data.high)) : 0.0;
}

// Pixels of carrier whose level collapses against the carrier's usual level.
std::vector<bool> dropouts(const std::vector<pixel>& pixels, double gap_pixels) {
    std::vector<double> peaks;
    for (const pixel& p : pixels)
        if (carrier_at(p) && p.data.frames > 0) peaks.push_back(pixel_peak(p));
    std::vector<bool> out(pixels.size(), false);
    if (peaks.size() < 4) return out;
    std::nth_element(peaks.begin(), peaks.begin() + static_cast<std::ptrdiff_t>(peaks.size() / 2),
                     peaks.end());
    const double median = peaks[peaks.size() / 2];
    for (std::size_t i = 0; i < pixels.size(); ++i)
        out[i] = carrier_at(pixels[i]) && pixels[i].data.frames > 0 &&
                 pixel_peak(pixels[i]) < dropout_fraction * median;
    // A short break between two stretches of carrier is a dropout too (without -r the
    // carrier comes from the bytes, and a dropout ends their segment).
    std::size_t last_carrier = pixels.size();
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (!carrier_at(pixels[i])) continue;
        if (last_carrier < pixels.size() && i > last_carrier + 1 &&
            static_cast<double>(i - last_carrier - 1) <= gap_pixels) {
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(last_carrier + 1),
                      out.begin() + static_cast<std::ptrdiff_t>(i), true);
        }
        last_carrier = i;
    }
    return out;
}

// Runs of equal colour as one rectangle each; "" leaves a pixel empty.
void colour_runs(const std::vector<std::string>& colours, int top, int height, const char* what,
                 const text_sink& write) {
    std::size_t i = 0;
    while (i < colours.size()) {
        if (colours[i].empty()) {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < colours.size() && colours[j] == colours[i])
            ++j;
        write("<rect class=\"" + std::string(what) + "\" x=\"" +
              std::to_string(map_plot_left + static_cast<int>(i)) + "\" y=\"" +
              std::to_string(top) + "\" width=\"" + std::to_string(j - i) + "\" height=\"" +
              std::to_string(height) + "\" fill=\"" + colours[i] + "\"/>\n");
        i = j;
    }
}

std::string text(double x, double y, const std::string& content, const char* extra = "") {
    return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" + extra + ">" + xml_escape(content) +
           "</text>\n";
}

// A tick label: m:ss (h:mm:ss), with milliseconds when the ticks are closer than a second.
std::string tick_label(double seconds, bool with_millis) {
    const auto ms = static_cast<std::uint64_t>(std::llround(seconds * 1000.0));
    const std::string full = format_time(ms, 1000);
    return with_millis ? full : full.substr(0, full.size() - 4);
}

void write_axis(double seconds, const text_sink& write) {
    constexpr double steps[] = {0.001, 0.002, 0.005, 0.01, 0.02, 0.05,  0.1,  0.2, 0.5,
                                1,     2,     5,     10,   15,   30,    60,   120, 300,
                                600,   900,   1800,  3600, 7200, 14400, 36000};
    double step = steps[std::size(steps) - 1];
    for (double s : steps) {
        if (seconds / s <= 10.0) {
            step = s;
            break;
        }
    }
    // Beyond a hundred hours (a very low sample rate), tens of the longest step: never more
    // than ten ticks, whatever the length.
    while (seconds / step > 10.0)
        step *= 10.0;
    const int y = axis_top;
    write("<g class=\"axis\" stroke=\"#444\" stroke-width=\"1\">\n<line x1=\"" +
          std::to_string(map_plot_left) + "\" y1=\"" + std::to_string(y) + ".5\" x2=\"" +
          std::to_string(map_plot_left + map_plot_width) + "\" y2=\"" + std::to_string(y) +
          ".5\"/>\n");
    std::string labels;
    for (int k = 0; k * step <= seconds * (1.0 + 1e-9); ++k) {
        const double x = map_plot_left + k * step / seconds * map_plot_width;
        write("<line x1=\"" + num(x) + "\" y1=\"" + std::to_string(y) + "\" x2=\"" + num(x) +
              "\" y2=\"" + std::to_string(y + 6) + "\"/>\n");
        labels += text(x, y + 19, tick_label(k * step, step < 1.0), " text-anchor=\"middle\"");
    }
    write("</g>\n<g class=\"ticks\" font-size=\"12\" fill=\"#222\">\n" + labels + "</g>\n");
}

void write_legend(bool recovery, const text_sink& write) {
    struct item {
        const char* colour;
        const char* label;
    };
    const item items[] = {
        {"#7fa7d9", "signal min/max"},
        {"#2f5f9f", "RMS"},
        {"#6b6b6b", "carrier"},
        {recovery ? "#33cc33" : "#4a78cc",
         recovery ? "bytes (green sure, red doubtful)" : "bytes (darker: denser)"},
        {"#d62020", "doubtful byte, framing error or dropout"},
        {"#c58fd0", "print-through echo"},
    };
    double x = map_plot_left;
    std::string out = "<g class=\"legend\" font-size=\"12\" fill=\"#222\">\n";
    for (const item& i : items) {
        // Only the recovery demodulator tells print-through.
        if (!recovery && std::string_view(i.label) == "print-through echo") continue;
        out += "<rect x=\"" + num(x) + "\" y=\"" + std::to_string(legend_top - 10) +
               "\" width=\"12\" height=\"12\" fill=\"" + i.colour + "\"/>\n";
        out += text(x + 17, legend_top, i.label);
        x += 40.0 + 7.0 * static_cast<double>(std::string_view(i.label).size());
    }
    write(out + "</g>\n");
}

}  // namespace

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const char ch = text[0];
        std::size_t length = utf8_length(text, 0);
        // U+FFFE and U+FFFF are not characters XML 1.0 allows.
        if (text.substr(0, 3) == "\xEF\xBF\xBE" || text.substr(0, 3) == "\xEF\xBF\xBF") length = 0;
        switch (ch) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if (length == 0) {
                    // Bytes that are not UTF-8 (a path in another encoding) would make the
                    // whole file unreadable: each stands as the replacement character.
                    out += "\xEF\xBF\xBD";
                } else if (length > 1 || static_cast<unsigned char>(ch) >= 0x20 || ch == '\t' ||
                           ch == '\n') {
                    // Control characters other than tab and newline are not allowed in XML 1.0.
                    out.append(text.substr(0, length));
                }
        }
        text.remove_prefix(std::max<std::size_t>(length, 1));
    }
    return out;
}

void write_map(const report_collector& c, const text_sink& write) {
    const report_settings& s = c.settings;
    const double seconds = static_cast<double>(c.totals.frames) / std::max(s.sample_rate, 1);
    write(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" +
        std::to_string(map_width) + "\" height=\"" + std::to_string(map_height) +
        "\" viewBox=\"0 0 " + std::to_string(map_width) + " " + std::to_string(map_height) +
        "\" font-family=\"sans-serif\">\n");
    const std::string title = "fskdec map" + (s.name.empty() ? "" : " of " + s.name) + ": " +
                              format_time(c.totals.frames, s.sample_rate) + " at " +
                              std::to_string(s.sample_rate) + " Hz" +
                              (s.recovery ? ", recovery decoder (-r)" : "");
    std::string summary = summary_line(c);
    summary.erase(0, std::string_view("fskdec: ").size());
    write("<title>" + xml_escape(title) + "</title>\n");
    write("<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n");
    write(text(map_plot_left, 22, title, " font-size=\"15\" font-weight=\"bold\" fill=\"#111\""));
    write(text(map_plot_left, 42, summary, " class=\"summary\" font-size=\"12\" fill=\"#222\""));

    // Row labels and backgrounds.
    const struct {
        int top;
        int height;
        const char* label;
    } rows[] = {{signal_top, signal_height, "signal"},
                {carrier_top, strip_height, "carrier"},
                {bytes_top, strip_height, "bytes"},
                {marks_top, strip_height, "doubtful"}};
    std::string frame = "<g class=\"rows\" font-size=\"12\" fill=\"#222\">\n";
    for (const auto& r : rows) {
        frame += "<rect x=\"" + std::to_string(map_plot_left) + "\" y=\"" + std::to_string(r.top) +
                 "\" width=\"" + std::to_string(map_plot_width) + "\" height=\"" +
                 std::to_string(r.height) + "\" fill=\"#f3f3f3\"/>\n";
        frame += text(map_plot_left - 8, r.top + std::min(r.height, 14) / 2.0 + 4.5, r.label,
                      " text-anchor=\"end\"");
    }
    const double middle = signal_top + signal_height / 2.0;
    const double half = signal_height / 2.0 - 2.0;
    for (double level : {1.0, 0.5, 0.0, -0.5, -1.0}) {
        const double y = middle - level * half;
        frame += "<line x1=\"" + std::to_string(map_plot_left) + "\" y1=\"" + num(y) + "\" x2=\"" +
                 std::to_string(map_plot_left + map_plot_width) + "\" y2=\"" + num(y) +
                 "\" stroke=\"#dddddd\" stroke-width=\"1\"/>\n";
        frame += text(map_plot_left + map_plot_width + 4, y + 4, num(level),
                      " font-size=\"10\" fill=\"#777\"");
    }
    write(frame + "</g>\n");

    if (c.totals.frames == 0) {
        write(text(map_plot_left + map_plot_width / 2.0, middle, "no samples",
                   " text-anchor=\"middle\" font-size=\"14\" fill=\"#777\""));
        write_legend(s.recovery, write);
        write("</svg>\n");
        return;
    }

    const std::vector<pixel> pixels = gather(c);

    // The signal: one vertical stroke per pixel column from its minimum to its maximum, and
    // a darker one across +-RMS.
    std::string envelope;
    std::string rms;
    for (std::size_t p = 0; p < pixels.size(); ++p) {
        const report_column& d = pixels[p].data;
        if (d.frames == 0) continue;
        const double x = map_plot_left + static_cast<double>(p) + 0.5;
        double top = middle - d.high * half;
        double bottom = middle - d.low * half;
        if (bottom - top < 1.0) {
            top = (top + bottom) / 2.0 - 0.5;
            bottom = top + 1.0;
        }
        envelope += "M" + num(x) + " " + num(top) + "V" + num(bottom);
        const double r = std::sqrt(d.squares / static_cast<double>(d.frames)) * half;
        if (r >= 0.5) rms += "M" + num(x) + " " + num(middle - r) + "V" + num(middle + r);
    }
    write("<path class=\"envelope\" d=\"" + envelope +
          "\" stroke=\"#7fa7d9\" stroke-width=\"1\" fill=\"none\"/>\n");
    if (!rms.empty())
        write("<path class=\"rms\" d=\"" + rms +
              "\" stroke=\"#2f5f9f\" stroke-width=\"1\" fill=\"none\"/>\n");

    std::vector<std::string> carrier(pixels.size());
    std::vector<std::string> bytes(pixels.size());
    std::vector<std::string> marks(pixels.size());
    // Density: the share of the time the bytes fill (a byte lasts 9 bit times), so that a
    // pixel shorter than a byte shows it at full strength.
    const auto byte_length = static_cast<double>(byte_frames(s));
    const std::vector<bool> dropped =
        dropouts(pixels, dropout_seconds / seconds * static_cast<double>(map_plot_width));
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const pixel& p = pixels[i];
        if (carrier_at(p)) {
            carrier[i] = "#6b6b6b";
        } else if (2 * p.data.echo_frames >= std::max<std::uint64_t>(p.frames, 1)) {
            carrier[i] = "#c58fd0";
        }
        if (p.data.measured > 0) {
            bytes[i] = confidence_colour(p.data.confidence_sum / p.data.measured);
        } else if (p.data.bytes > 0) {
            // Over the pixel and its neighbours: pixels gather one or two columns in turn.
            double filled = 0.0;
            double counted = 0.0;
            for (std::size_t k = i > 0 ? i - 1 : 0; k <= i + 1 && k < pixels.size(); ++k) {
                filled += pixels[k].data.bytes * byte_length;
                counted += static_cast<double>(pixels[k].counted);
            }
            bytes[i] = density_colour(filled / counted);
        }
        if (p.data.doubtful > 0 || p.data.framing_errors > 0 || dropped[i]) marks[i] = "#d62020";
    }
    colour_runs(carrier, carrier_top, strip_height, "carrier", write);
    colour_runs(bytes, bytes_top, strip_height, "bytes", write);
    // The marks, at least 3 pixels wide to be seen, echoed faintly across the signal. Marks
    // at most mark_join pixels apart make one: a damaged stretch reads as one place.
    constexpr std::size_t mark_join = 4;
    std::string faint;
    for (std::size_t i = 0; i < marks.size();) {
        if (marks[i].empty()) {
            ++i;
            continue;
        }
        std::size_t j = i + 1;  // one past the last marked pixel of this mark
        for (std::size_t k = j; k < marks.size() && k <= j + mark_join; ++k)
            if (!marks[k].empty()) j = k + 1;
        const double width = std::max<double>(3.0, static_cast<double>(j - i));
        const double x = map_plot_left + (static_cast<double>(i + j) - width) / 2.0;
        write("<rect class=\"mark\" x=\"" + num(x) + "\" y=\"" + std::to_string(marks_top) +
              "\" width=\"" + num(width) + "\" height=\"" + std::to_string(strip_height) +
              "\" fill=\"#d62020\"/>\n");
        faint += "<rect x=\"" + num(x) + "\" y=\"" + std::to_string(signal_top) + "\" width=\"" +
                 num(width) + "\" height=\"" + std::to_string(marks_top - signal_top) +
                 "\" fill=\"#d62020\" fill-opacity=\"0.18\"/>\n";
        i = j;
    }
    if (!faint.empty()) write("<g class=\"mark-echo\">\n" + faint + "</g>\n");

    write_axis(seconds, write);
    write_legend(s.recovery, write);
    write("</svg>\n");
}

std::string map_svg(const report_collector& collector) {
    std::string out;
    write_map(collector, [&](std::string_view piece) { out += piece; });
    return out;
}
