#include "recover/resync.h"

#include <algorithm>
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
