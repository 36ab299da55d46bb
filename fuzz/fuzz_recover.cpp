// The recovery demodulator on arbitrary samples (NaN, infinities, huge values, silence) with
// settings drawn from the input: any baud rate and lower tone the option scan accepts, any
// sample rate. The samples are fed twice, once in one piece and once in pieces of sizes the
// input chooses; the two runs must give the same bytes and segments, and what comes out must
// be well formed (frames in order, confidences between 0 and 1, segments in order and
// carriers that do not overlap). The decoder takes all of its memory when it is made: an
// allocation while it reads samples or finishes is a finding too.
// A fskdec_error from make_recover_decoder is a clean rejection of the settings.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "base/error.h"
#include "fuzz_input.h"
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
           a.framing_errors == b.framing_errors;
}

run_result run(const recover_prefix& p, std::span<const double> samples, bool in_pieces) {
    recover_decoder decoder = make_recover_decoder(recover_prefix_signal(p), recover_rate(p), 1.0);
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
        recover_samples(decoder, samples.subspan(at, n), sink);
        at += n;
    }
    recover_finish(decoder, sink);
    decoder_running = false;
    if (decoder_allocations != 0) std::abort();
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
