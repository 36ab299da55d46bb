// The C library as a caller may use it, against itself: options and sample rate drawn from
// the input (any values, refused or not), samples as stored floats (NaN, infinities, huge
// values) or 16-bit values / 32768. One decoder takes every sample in one fskdec_write and is
// read at the end; another takes them in pieces of sizes the input chooses and is read between
// writes through small buffers. Both must give the same bytes, and a refused open must say
// why.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "fskdec.h"
#include "fuzz_input.h"

namespace {

std::vector<float> samples_from(const capi_prefix& p, std::span<const std::uint8_t> data) {
    std::vector<float> out;
    if (p.flags & 32) {
        for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
            float v;
            std::memcpy(&v, data.data() + i, 4);
            out.push_back(v);
        }
    } else {
        for (std::size_t i = 0; i + 2 <= data.size(); i += 2)
            out.push_back(static_cast<std::int16_t>(data[i] | (data[i + 1] << 8)) / 32768.0f);
    }
    return out;
}

fskdec_decoder* open(const capi_prefix& p) {
    fskdec_options o;
    fskdec_default_options(&o);
    o.reverse_phase = p.flags & 1;
    o.recover = (p.flags & 2) ? 1 + ((p.flags >> 6) & 1) : 0;
    o.baud_rate = (p.flags & 4) ? static_cast<int>(p.raw_baud) : decode_baud_table[p.baud_pick % 8];
    o.lower_tone = (p.flags & 8)
                       ? static_cast<int>(p.raw_tone)
                       : static_cast<int>(std::int64_t{o.baud_rate} * (1 + p.carrier_pick % 4));
    if (p.threshold_pick != 0) o.threshold = p.threshold_pick / 255.0;
    const double rate = (p.flags & 16) ? static_cast<double>(static_cast<std::int32_t>(p.raw_rate))
                                       : recover_rate_table[p.rate_pick % 8];
    char err[64];
    err[0] = 'x';
    fskdec_decoder* d = fskdec_open(&o, rate, err, sizeof err);
    if (d == nullptr && (err[0] == '\0' || std::memchr(err, '\0', sizeof err) == nullptr))
        std::abort();  // refused without a message
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    input_reader in{std::span<const std::uint8_t>(bytes, size)};
    const capi_prefix prefix = read_capi_prefix(in);
    const std::vector<float> samples = samples_from(prefix, in.rest());

    fskdec_decoder* whole = open(prefix);
    if (whole == nullptr) return 0;
    std::vector<unsigned char> once(samples.size() / 8 + 64);
    if (fskdec_write(whole, samples.data(), samples.size()) != 0) std::abort();
    if (fskdec_finish(whole) != 0 || fskdec_finish(whole) != -1) std::abort();
    std::vector<unsigned char> expected;
    for (std::size_t got; (got = fskdec_read(whole, once.data(), once.size())) > 0;)
        expected.insert(expected.end(), once.begin(), once.begin() + static_cast<long>(got));
    if (fskdec_write(whole, samples.data(), 1) != -1) std::abort();  // after the end
    fskdec_close(whole);

    fskdec_decoder* pieces = open(prefix);
    if (pieces == nullptr) std::abort();  // the same options opened a moment ago
    std::vector<unsigned char> got_bytes;
    unsigned char small[16];
    std::uint32_t seed = prefix.piece;
    const auto take = [&] {
        seed = seed * 1103515245u + 12345u;
        const std::size_t max = 1 + (seed >> 16) % sizeof small;
        for (std::size_t got; (got = fskdec_read(pieces, small, max)) > 0;)
            got_bytes.insert(got_bytes.end(), small, small + got);
    };
    for (std::size_t at = 0; at < samples.size();) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t n = std::min<std::size_t>(samples.size() - at, 1 + (seed >> 8) % 997);
        if (fskdec_write(pieces, samples.data() + at, n) != 0) std::abort();
        at += n;
        take();
    }
    if (fskdec_finish(pieces) != 0) std::abort();
    take();
    fskdec_close(pieces);
    if (got_bytes != expected) std::abort();
    return 0;
}
