#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "report/report.h"

// The map of a recording: one picture of the whole run, as plain SVG 1.1 (no scripts, no
// external fonts). From top to bottom: the title and the summary figures, the decoded
// channel's level (min/max envelope and RMS per pixel column), the carrier segments, where
// bytes were decoded (coloured by confidence with -r, by density otherwise), red marks for
// doubtful bytes, framing errors and dropouts, and the time axis. Every column of pixels
// aggregates the collector's columns that fall in it, so an hour reads as well as a second.

// The plot's horizontal extent, in SVG user units (pixels): time 0 is at map_plot_left,
// the recording's end at map_plot_left + map_plot_width.
inline constexpr int map_width = 1280;
inline constexpr int map_height = 345;
inline constexpr int map_plot_left = 80;
inline constexpr int map_plot_width = 1160;

// A carrier column counts as a dropout when its peak falls below this fraction of the
// median peak of the carrier columns.
inline constexpr double dropout_fraction = 0.25;

// A break in the carrier up to this long (seconds) between two segments is a dropout.
inline constexpr double dropout_seconds = 1.0;

using text_sink = std::function<void(std::string_view)>;

// Writes the map in pieces, in order.
void write_map(const report_collector& collector, const text_sink& write);

// The whole map as one string.
std::string map_svg(const report_collector& collector);

// Text made safe for XML character data and attribute values.
std::string xml_escape(std::string_view text);
