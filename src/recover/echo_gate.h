#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "recover/byte_hold.h"
#include "recover/recover.h"

// Print-through: a tape wound on itself copies each block, some 30 dB down, onto the turns
// next to it, a second or two before and after. A stretch of carrier at least 15 dB weaker
// than one within three seconds before or after it, that repeats most of that one's bytes, is
// such an echo: its bytes are not output and it is reported as a segment flagged echo.
//
// The gate stands between a carrier's bytes and the sink. It cuts a carrier into stretches
// where its level steps by 15 dB or more (an echo runs on from the end of its block, or into
// its beginning), and holds the bytes of a stretch that may be an echo until that is known:
// one 15 dB weaker than the last stretch output, if that ended within three seconds before it
// (compared when it ends); and one that a louder stretch could still follow (below full scale
// less 15 dB), until three seconds after its end or until a stretch 15 dB louder has given as
// many bytes. A stretch longer than the hold is no echo the gate can judge: its bytes go out.
struct echo_gate {
    // Fixed when made.
    std::uint64_t reach = 0;  // three seconds of input frames
    double ceiling = 0.0;     // a stretch louder than this has none 15 dB louder

    // The last stretch output: its latest bytes, its level and end.
    std::vector<std::uint8_t> last;
    std::size_t last_count = 0;
    double last_level = 0.0;
    std::optional<std::uint64_t> last_end;

    // The current carrier, from its establishment: where its stretches that are no echo
    // begin and end, and the bytes of its echoes.
    bool open = false;
    bool kept_any = false;
    std::uint64_t kept_start = 0, kept_end = 0;
    std::uint64_t dropped = 0;

    // The current stretch.
    bool suspect = false;  // weaker by 15 dB than the last one, which ended within reach
    bool passing = false;  // too long to judge: its bytes go straight out
    bool holding = false;  // its bytes held (suspect, or below the ceiling when it opened)
    double level = 0.0;
    std::uint64_t start = 0;
    std::uint64_t bytes = 0;
    std::vector<std::uint8_t> values;  // its latest bytes' values, a ring
    std::size_t value_count = 0;       // bytes recorded (the ring holds the latest)

    // Bytes held: a weak stretch's that ended (the first pending->count), then the current
    // one's.
    byte_hold hold;
    struct pending_stretch {
        carrier_segment segment;
        bool whole = false;  // a whole carrier, whose segment is reported once judged
        std::size_t count = 0;
        double level = 0.0;
    };
    std::optional<pending_stretch> pending;
    bool pending_in_carrier = false;  // it is a stretch of the current carrier
    std::vector<std::uint8_t> pending_values;
    std::size_t pending_value_count = 0;
    std::vector<std::uint8_t> scratch;
    std::vector<std::uint8_t> originals;  // the two stretches a weak one is looked for in

    // Echoes found inside the current carrier, reported with its segment when it ends, so
    // that the segments come out in the order of their starts.
    std::array<carrier_segment, 4> echoes{};
    std::size_t echo_count = 0;
    // Echoes dropped while a weak stretch before them waits to be judged: reported once it
    // is (whole carriers or stretches of one), again so that segments keep their order.
    struct dropped_echo {
        carrier_segment segment;
        bool whole = false;
    };
    std::array<dropped_echo, 8> after_pending{};
    std::size_t after_pending_count = 0;
};

echo_gate make_echo_gate(std::int32_t sample_rate, double full_scale);

// A carrier shows FSK from input frame `start` on, its tones at `level` (peak, sample units).
void gate_carrier(echo_gate& g, std::uint64_t start, double level, const recover_sink& sink);

// One of the current carrier's bytes, its tones at `level`.
void gate_byte(echo_gate& g, const recovered_byte& b, double level, const recover_sink& sink);

// The current carrier ended (established or not): its segment, with the bytes it gave.
void gate_end(echo_gate& g, carrier_segment segment, bool established, const recover_sink& sink);

// Input frame `frame` has been reached: a weak stretch held that long is no echo.
void gate_time(echo_gate& g, std::uint64_t frame, const recover_sink& sink);

// The input ended: what is held goes out.
void gate_finish(echo_gate& g, const recover_sink& sink);

// The share of `copy`'s byte triples found in `original`, or in the `second_count` bytes that
// follow it there (a second original), 0 for fewer than three bytes.
double repeated_share(const std::uint8_t* copy, std::size_t copy_count,
                      const std::uint8_t* original, std::size_t original_count,
                      std::size_t second_count = 0);
