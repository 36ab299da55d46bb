#pragma once

#include <cstdint>

// Whether an FSK carrier is present, from each bit's quality (the share of the band's energy
// that tells the bit) and how well its tone sits where the clock's speed puts it, both
// averaged, with hysteresis. Silent windows are not fed: a dropout keeps the carrier.
struct carrier_detector {
    double quality = 0.0;  // the averages
    double tone_fit = 0.0;
    double lasting = 0.0;  // the quality over a longer stretch: noise dips, hiss stays low
    bool on = false;
    int run = 0;                  // good bits in a row up to the last one fed
    std::uint64_t run_start = 0;  // the first frame of the last run of good bits
    std::uint64_t last_good = 0;  // the frame of the last good bit in a run of a few (hiss
                                  // gives a good bit now and then, seldom a few in a row)
};

enum class carrier_change { none, began, ended };

// One bit's quality and fit, the frame its window ends at. A noisy carrier (one that has
// shown FSK structure through noise) ends on quality only once its longer average is poor too.
carrier_change feed(carrier_detector& c, double quality, double fit, std::uint64_t frame,
                    bool noisy = false);

// Forgets all (the averages too): nothing heard before counts for what comes.
void reset(carrier_detector& c);

// How well a tone's measured offset from nominal agrees with the clock's (both relative):
// 1 agrees, 0 a fifth of the tone's frequency off or more. FSK played fast or slow moves tones
// and bit rate alike; tones of music or speech near the band sit anywhere.
double frequency_fit(double tone_offset, double clock_offset);
