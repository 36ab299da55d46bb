// The recovery demodulator on arbitrary samples (NaN, infinities, huge values, silence) with
// settings drawn from the input: any baud rate and lower tone the option scan accepts, any
// sample rate. The samples are fed twice, once in one piece and once in pieces of sizes the
// input chooses; the two runs must give the same bytes and segments, and what comes out must
// be well formed (frames in order, confidences between 0 and 1, segments that do not overlap).
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

namespace {

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
    recover_decoder decoder = make_recover_decoder(recover_signal(p), recover_rate(p), 1.0);
    run_result r;
    const recover_sink sink{
        [&](const recovered_byte& b) { r.bytes.push_back(b); },
        [&](const carrier_segment& s) { r.segments.push_back(s); },
    };
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
    return r;
}

void check_well_formed(const run_result& r, std::uint64_t frames) {
    std::uint64_t previous = 0;
    for (const recovered_byte& b : r.bytes) {
        if (b.start_frame < previous) std::abort();
        if (!(b.confidence >= 0.0 && b.confidence <= 1.0)) std::abort();
        previous = b.start_frame;
    }
    std::uint64_t segment_end = 0;
    for (const carrier_segment& s : r.segments) {
        if (s.start_frame > s.end_frame || s.start_frame < segment_end) std::abort();
        if (s.end_frame > frames) std::abort();
        segment_end = s.end_frame;
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
