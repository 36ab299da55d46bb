// The WAV reader on arbitrary bytes: every input is either rejected with fskdec_error or
// yields sample data that lies inside the input, made of whole frames, every frame readable.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "base/error.h"
#include "wav/wav.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::span<const std::uint8_t> file(bytes, size);
    wav_layout layout;
    try {
        layout = parse_wav(file);
    } catch (const fskdec_error&) {
        return 0;  // a clean rejection
    }
    const wav_format& f = layout.format;
    const bool valid = (f.channels == 1 || f.channels == 2) &&
                       (f.quantization_bit == 8 || f.quantization_bit == 16) &&
                       f.block_align >= f.quantization_bit / 8 && layout.data_offset <= size &&
                       f.data_size <= size - layout.data_offset &&
                       f.data_size % static_cast<std::uint32_t>(f.block_align) == 0;
    if (!valid) std::abort();

    // Every frame's first sample lies inside the data: the sanitizer checks each read.
    const std::uint8_t* cursor = bytes + layout.data_offset;
    const std::uint8_t* const end = cursor + f.data_size;
    long sum = 0;
    while (cursor < end)
        sum += read_sample(cursor, f);
    if (cursor != end) std::abort();
    return sum == 0x7FFFFFFF;  // keeps the reads
}
