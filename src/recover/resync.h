#pragma once

#include <array>
#include <optional>
#include <span>

// Finding the byte frame again after a silent dropout. A signal back from silence mid-byte
// gives no sign of where bytes begin: its first space is as likely a data bit as a start bit,
// and with mixed idle gaps a wrong frame stays self-consistent for many bytes. So the bits
// after the return are framed from every space among the first ones in turn, and the framing
// that explains them in the fewest bits wins: data bits one each, start bits nothing, each
// idle gap by how often the segment has shown that gap (a wrong frame soon needs gaps the
// stream never had).

// Idle bits between bytes seen in a segment: 0, 1, 2, and 3 or more, recent ones weighing
// more (a stream keeps to a few gap lengths). Before any is seen, one of each short gap: a
// byte follows the last within two idle bits more often than not.
struct gap_statistics {
    std::array<double, 4> counts{1.0, 1.0, 1.0, 0.0};
};

void learn_gap(gap_statistics& g, int gap);

// The bits it takes to tell marks as bytes framed from a start bit at `first`: the bits
// before it (the end of a byte whose start went unheard) and every data bit one each, each
// idle gap by its likelihood; start bits cost nothing.
double framing_cost(const gap_statistics& g, std::span<const bool> marks, int first);

// The start bit among marks[0, reach) that frames all of marks best: none if there is no
// space there. The first of equally good ones; a space at marks[0] is kept unless another
// frames them better by more than `first_favoured` bits.
std::optional<int> choose_start(const gap_statistics& g, std::span<const bool> marks, int reach,
                                double first_favoured = 0.0);

// The next start bit after a byte, chosen from what follows it: margins[i] is the soft
// decision (> 0 a mark, -1 .. 1) of bit 9 + i after the byte's start, on its bit clock. Each
// way of framing those bits costs the margins it goes against (a start bit that reads as a
// mark, an idle bit that reads as a space; data bits nothing), `scale` bits each a whole unit
// of margin, and each idle gap between two starts its likelihood (idle bits up to the end
// may be the block's end: they cost no gap). Noise that flips the bit after a byte cannot
// slip the frame by a bit so long as the bytes after it show where they start. The idle gap
// before the next start (0 to most_gap bits), or none if the best framing has no start there
// (a trailer, a pause).
std::optional<int> choose_next_start(const gap_statistics& g, std::span<const double> margins,
                                     int most_gap, double scale);
