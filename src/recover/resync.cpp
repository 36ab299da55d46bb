#include "recover/resync.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// Bits it takes to tell an idle gap of this length (or, cut off by the end of what is seen,
// of at least this length) under the gaps the segment has shown. Between bytes, a gap of
// three idle bits and more that the segment never showed is rare (a wrong frame soon needs
// one); at the end of what is seen it may be the block's trailer.
double gap_cost(const gap_statistics& g, int gap, bool at_least) {
    double total = 0.0, here = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double c = g.counts[k] + (k < 3 || at_least ? 0.25 : 0.02);
        total += c;
        if (k == std::min(gap, 3) || (at_least && k > gap)) here += c;
    }
    return std::log2(total / here);
}

}  // namespace

void learn_gap(gap_statistics& g, int gap) {
    double total = 0.0;
    for (const double c : g.counts)
        total += c;
    if (total > 200.0) {
        for (double& c : g.counts)
            c *= 0.5;
    }
    g.counts[std::clamp(gap, 0, 3)] += 1.0;
}

double framing_cost(const gap_statistics& g, std::span<const bool> marks, int first) {
    const int count = static_cast<int>(marks.size());
    // Before it, the end of a byte whose start went unheard: up to eight data bits, then the
    // gap, which may be any of the marks it ends with. More than that passes over a byte.
    double cost = 0.0;
    if (first > 0) {
        int idle = 0;
        while (idle < first && marks[first - 1 - idle])
            ++idle;
        double chance = 0.0;
        for (int k = std::max(0, first - 8); k <= idle; ++k)
            chance += std::exp2(-gap_cost(g, k, false) - (first - k));
        cost = chance > 0.0 ? -std::log2(chance) : first + 8.0;
    }
    // The gaps are learnt as they are read: a stream keeps to its few gap lengths, and a
    // wrong frame soon needs gaps the right one never does.
    gap_statistics seen = g;
    int at = first;
    while (at < count) {
        if (at + 9 > count) {
            cost += count - at - 1;
            break;
        }
        cost += 8.0;
        int run = 0;
        while (at + 9 + run < count && marks[at + 9 + run])
            ++run;
        if (at + 9 + run >= count) {
            cost += gap_cost(seen, run, true);
            break;
        }
        cost += gap_cost(seen, run, false);
        seen.counts[std::min(run, 3)] += 1.0;
        at += 9 + run;
    }
    return cost;
}

std::optional<int> choose_start(const gap_statistics& g, std::span<const bool> marks, int reach,
                                double first_favoured) {
    std::optional<int> best;
    double best_cost = 0.0;
    for (int k = 0; k < std::min(static_cast<int>(marks.size()), reach); ++k) {
        if (marks[k]) continue;
        const double cost = framing_cost(g, marks, k) + (k > 0 ? first_favoured : 0.0);
        if (!best || cost < best_cost) {
            best = k;
            best_cost = cost;
        }
    }
    return best;
}

std::optional<int> choose_next_start(const gap_statistics& g, std::span<const double> margins,
                                     int most_gap, double scale) {
    constexpr int most_bits = 64;
    const int count = std::min(static_cast<int>(margins.size()), most_bits);
    if (count == 0) return std::nullopt;
    // The gaps' costs, each worked out when first needed.
    std::array<double, 4> exactly_known;
    exactly_known.fill(-1.0);
    const auto exactly = [&](int gap) {
        const int k = std::min(gap, 3);
        if (exactly_known[k] < 0.0) exactly_known[k] = gap_cost(g, k, false);
        return exactly_known[k];
    };
    // The plain reading first: each start at the first space after a byte. It goes against
    // no margin; any other framing goes against at least one (the first start moved onto a
    // mark, or a space taken for idle), so if the plain one's gaps cost less than the
    // weakest margin, it is the best.
    {
        double cost = 0.0, weakest = 1.0;
        for (int i = 0; i < count; ++i)
            weakest = std::min(weakest, std::abs(margins[i]));
        std::optional<int> first;
        int j = 0;
        bool plain = true;
        while (j < count) {
            int f = j;
            while (f < count && margins[f] > 0.0)
                ++f;
            if (f == count) break;
            if (f - j > most_gap) {
                plain = false;
                break;
            }
            if (!first) first = f - j;
            cost += exactly(f - j);
            j = f + 9;
        }
        if (plain && cost < weakest * scale) return first;
    }
    const auto against_mark = [&](int i) { return std::max(0.0, -margins[i]) * scale; };
    const auto against_space = [&](int i) { return std::max(0.0, margins[i]) * scale; };
    // Backwards over the bits: after[j], the least cost of bits j.. once a byte's data ends
    // before j; start[i], of bits i.. with a start bit at i. Bits past the end cost nothing.
    std::array<double, most_bits + 1> after, start;
    std::array<int, most_bits + 1> choice;
    std::array<double, most_bits + 1> marks_from;  // against_mark summed from a bit to the end
    marks_from[count] = 0.0;
    for (int j = count - 1; j >= 0; --j)
        marks_from[j] = marks_from[j + 1] + against_mark(j);
    const auto after_at = [&](int j) { return j < count ? after[j] : 0.0; };
    std::array<double, 4> gap_costs;
    for (int k = 0; k < 4; ++k)
        gap_costs[k] = exactly(k);
    for (int j = count - 1; j >= 0; --j) {
        start[j] = against_space(j) + after_at(j + 9);
        // No start up to the end: the rest is idle, a gap or the block's end (no gap's cost).
        double best = marks_from[j];
        int best_gap = -1;
        double marks = 0.0;
        for (int gap = 0; gap <= most_gap && j + gap < count; ++gap) {
            const double cost = marks + gap_costs[std::min(gap, 3)] + start[j + gap];
            if (cost < best) {
                best = cost;
                best_gap = gap;
            }
            marks += against_mark(j + gap);
        }
        after[j] = best;
        choice[j] = best_gap;
    }
    if (choice[0] < 0) return std::nullopt;
    return choice[0];
}
