// The recovery demodulator on arbitrary samples (NaN, infinities, huge values, silence) with
// settings drawn from the input: any baud rate and lower tone the option scan accepts, any
// sample rate; read by the engine alone or through the measuring wrapper (told the signal, or
// measuring each carrier's). The samples are fed twice, once in one piece and once in pieces
// of sizes the input chooses; the two runs must give the same bytes and segments, and what
// comes out must be well formed (frames in order, confidences between 0 and 1, segments in
// order and carriers that do not overlap, measured tones only where the signal was not told).
// The engine takes all of its memory when it is made: an allocation while it reads samples
// or finishes is a finding too. The wrapper makes a new engine at each change of signal and
// nothing else: after it is made, it may allocate no more than an engine's allocations (and
// a refusal's) for each retune it counts.
// A fskdec_error from make_recover_decoder or make_measured_decoder is a clean rejection of
// the settings.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "base/error.h"
#include "fuzz_input.h"
#include "recover/measured.h"
#include "recover/recover.h"

// Counts the allocations made while the decoder runs (the sinks' own, which collect the
// results, are let through): the sanitizer calls this hook on every allocation.
namespace {
bool decoder_running = false;
std::uint64_t decoder_allocations = 0;
}  // namespace

extern "C" void __sanitizer_malloc_hook(const volatile void*, std::size_t) {
    if (decoder_running) ++decoder_allocations;
}

namespace {

// Runs `f` with the allocation count off: the harness's own work.
template <typename F>
void as_harness(F&& f) {
    const bool was = decoder_running;
    decoder_running = false;
    f();
    decoder_running = was;
}

struct run_result {
    std::vector<recovered_byte> bytes;
    std::vector<carrier_segment> segments;
};

bool same(const recovered_byte& a, const recovered_byte& b) {
    return a.value == b.value && a.start_frame == b.start_frame &&
           a.framing_error == b.framing_error &&
           std::memcmp(&a.confidence, &b.confidence, sizeof a.confidence) == 0;
}

bool same(const carrier_segment& a, const carrier_segment& b) {
    return a.start_frame == b.start_frame && a.end_frame == b.end_frame && a.bytes == b.bytes &&
           a.framing_errors == b.framing_errors &&
           std::memcmp(&a.lower_tone, &b.lower_tone, sizeof a.lower_tone) == 0 &&
           std::memcmp(&a.upper_tone, &b.upper_tone, sizeof a.upper_tone) == 0;
}

// Which decoder reads the samples (flags bits 6-7).
enum class reader { engine, told, measuring };

reader reader_of(const recover_prefix& p) {
    switch ((p.flags >> 6) & 3) {
        case 0:
            return reader::engine;
        case 1:
            return reader::told;
        default:
            return reader::measuring;
    }
}

// The allocations an engine makes, for the wrapper's allowance per retune: a retune the rate
// cannot carry may allocate part of them and then its exception and message.
constexpr std::uint64_t refusal_allocations = 4;

std::uint64_t engine_allocations(const fsk_signal& signal, std::int32_t rate) {
    decoder_allocations = 0;
    decoder_running = true;
    { const recover_decoder engine = make_recover_decoder(signal, rate, 1.0); }
    decoder_running = false;
    return decoder_allocations + refusal_allocations;
}

run_result run(const recover_prefix& p, std::span<const double> samples, bool in_pieces) {
    const fsk_signal signal = recover_prefix_signal(p);
    const std::int32_t rate = recover_rate(p);
    const reader how = reader_of(p);
    std::optional<recover_decoder> engine;
    std::optional<measured_decoder> measured;
    std::uint64_t per_retune = 0;
    if (how == reader::engine) {
        engine.emplace(make_recover_decoder(signal, rate, 1.0));
    } else {
        measured.emplace(make_measured_decoder(
            rate, 1.0, how == reader::told ? std::optional(signal) : std::nullopt));
        per_retune = engine_allocations(how == reader::told ? signal : fsk_signal{}, rate);
    }
    run_result r;
    const recover_sink sink{
        [&](const recovered_byte& b) { as_harness([&] { r.bytes.push_back(b); }); },
        [&](const carrier_segment& s) { as_harness([&] { r.segments.push_back(s); }); },
    };
    decoder_allocations = 0;
    decoder_running = true;
    std::size_t at = 0;
    std::uint32_t piece = p.piece;
    while (at < samples.size()) {
        std::size_t n = samples.size() - at;
        if (in_pieces) {
            n = std::min<std::size_t>(n, 1 + piece % 997);
            piece = piece * 1103515245u + 12345u;  // the next piece's size
        }
        if (engine)
            recover_samples(*engine, samples.subspan(at, n), sink);
        else
            measured_samples(*measured, samples.subspan(at, n), sink);
        at += n;
    }
    if (engine)
        recover_finish(*engine, sink);
    else
        measured_finish(*measured, sink);
    decoder_running = false;
    const std::uint64_t retunes = measured ? measured_retunes(*measured) : 0;
    if (decoder_allocations > retunes * per_retune) std::abort();
    // Only a measuring wrapper reports the signal a segment was read on.
    if (how != reader::measuring)
        for (const carrier_segment& s : r.segments)
            if (s.baud != 0.0 || s.lower_tone != 0.0 || s.upper_tone != 0.0) std::abort();
    return r;
}

void check_well_formed(const run_result& r, std::uint64_t frames) {
    std::uint64_t previous = 0;
    for (const recovered_byte& b : r.bytes) {
        if (b.start_frame < previous) std::abort();
        if (!(b.confidence >= 0.0 && b.confidence <= 1.0)) std::abort();
        previous = b.start_frame;
    }
    // Segments come in the order of their starts, within the recording; carriers do not
    // overlap, though an echo may lie inside the carrier it was cut from.
    std::uint64_t start = 0, carrier_end = 0;
    for (const carrier_segment& s : r.segments) {
        if (s.start_frame > s.end_frame || s.start_frame < start || s.end_frame > frames)
            std::abort();
        start = s.start_frame;
        if (s.echo) continue;
        if (s.start_frame < carrier_end) std::abort();
        carrier_end = s.end_frame;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    input_reader in{std::span<const std::uint8_t>(bytes, size)};
    const recover_prefix prefix = read_recover_prefix(in);
    const std::vector<double> samples = recover_samples_from(prefix, in.rest());

    run_result whole, pieces;
    try {
        whole = run(prefix, samples, false);
    } catch (const fskdec_error&) {
        return 0;  // settings the decoder refuses
    }
    pieces = run(prefix, samples, true);

    check_well_formed(whole, samples.size());
    if (whole.bytes.size() != pieces.bytes.size() ||
        whole.segments.size() != pieces.segments.size())
        std::abort();
    for (std::size_t i = 0; i < whole.bytes.size(); ++i)
        if (!same(whole.bytes[i], pieces.bytes[i])) std::abort();
    for (std::size_t i = 0; i < whole.segments.size(); ++i)
        if (!same(whole.segments[i], pieces.segments[i])) std::abort();
    return 0;
}
