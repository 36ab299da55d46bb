#include "wav/wav.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/error.h"

namespace {

constexpr std::size_t canonical_header_size = 44;
constexpr std::size_t fmt_size = 16;             // the fields the decoder needs
constexpr std::size_t extensible_fmt_size = 40;  // ... plus the sub-format GUID
constexpr std::int16_t format_pcm = 1;
constexpr std::int16_t format_extensible = static_cast<std::int16_t>(0xFFFE);
constexpr std::array<std::uint8_t, 16> pcm_subformat = {
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

bool has_id(std::span<const std::uint8_t> bytes, std::size_t at, const char* id) {
    return bytes.size() >= at + 4 && std::memcmp(bytes.data() + at, id, 4) == 0;
}

std::uint32_t u32_at(std::span<const std::uint8_t> bytes, std::size_t at) {
    const std::uint8_t* p = bytes.data() + at;
    return read_u32le(p);
}

// Validates a fmt chunk body (at least 16 bytes) and keeps its fields.
wav_format read_fmt(std::span<const std::uint8_t> fmt) {
    const std::uint8_t* p = fmt.data();
    std::int16_t tag = read_s16le(p);
    wav_format format;
    format.channels = read_s16le(p);
    format.sample_rate = static_cast<std::int32_t>(read_u32le(p));
    read_u32le(p);  // byte rate: not used
    format.block_align = read_s16le(p);
    format.quantization_bit = read_s16le(p);

    bool pcm = tag == format_pcm ||
               (tag == format_extensible && fmt.size() >= extensible_fmt_size &&
                std::equal(pcm_subformat.begin(), pcm_subformat.end(), fmt.begin() + 24));
    if (!pcm) throw fskdec_error("not PCM");
    if (format.channels != 1 && format.channels != 2) {
        throw fskdec_error("the number of channels must be 1 or 2");
    }
    if (format.quantization_bit != 8 && format.quantization_bit != 16) {
        throw fskdec_error("quantization_bit must be 8 or 16");
    }
    if (format.block_align < format.quantization_bit / 8) {
        throw fskdec_error("illegal block align");
    }
    return format;
}

// The data actually present: the declared size clamped to the file, trimmed to whole frames.
wav_layout place_data(wav_format format, std::size_t offset, std::uint32_t declared,
                      std::size_t file_size) {
    std::size_t present = std::min<std::size_t>(declared, file_size - offset);
    if (present == 0) throw fskdec_error("cannot allocate memory");
    present -= present % static_cast<std::size_t>(format.block_align);
    format.data_size = static_cast<std::uint32_t>(present);
    return {format, offset};
}

wav_layout walk_riff_chunks(std::span<const std::uint8_t> file) {
    std::span<const std::uint8_t> fmt;
    bool have_data = false;
    std::size_t data_offset = 0;
    std::uint32_t data_declared = 0;

    std::size_t pos = 12;
    while (file.size() - pos >= 8) {
        std::uint32_t size = u32_at(file, pos + 4);
        std::size_t body = pos + 8;
        std::size_t available = file.size() - body;
        bool is_data = has_id(file, pos, "data");
        if (is_data && !have_data) {
            have_data = true;
            data_offset = body;
            data_declared = size;
        } else if (has_id(file, pos, "fmt ") && fmt.empty() && size >= fmt_size &&
                   available >= fmt_size) {
            fmt = file.subspan(body, std::min<std::size_t>(size, available));
        }
        // A chunk that claims more than the file holds ends the walk; for the data chunk
        // this is a truncated recording, and its bytes present are the data.
        if (size > available) break;
        std::size_t padded = std::size_t{size} + (size & 1u);
        if (padded >= available) break;
        pos = body + padded;
    }
    if (fmt.empty() || !have_data) throw fskdec_error("not a WAV file");
    return place_data(read_fmt(fmt), data_offset, data_declared, file.size());
}

}  // namespace

std::int16_t read_s16le(const std::uint8_t*& cursor) {
    auto value = static_cast<std::uint16_t>(cursor[0] | (cursor[1] << 8));
    cursor += 2;
    return static_cast<std::int16_t>(value);
}

std::uint32_t read_u32le(const std::uint8_t*& cursor) {
    std::uint32_t value = std::uint32_t{cursor[0]} | (std::uint32_t{cursor[1]} << 8) |
                          (std::uint32_t{cursor[2]} << 16) | (std::uint32_t{cursor[3]} << 24);
    cursor += 4;
    return value;
}

wav_format read_wav_header(std::span<const std::uint8_t, 44> header) {
    wav_format format = read_fmt(std::span<const std::uint8_t>(header).subspan(20, fmt_size));
    format.data_size = u32_at(header, 40);
    return format;
}

wav_layout parse_wav(std::span<const std::uint8_t> file) {
    if (file.size() >= 12 && has_id(file, 0, "RIFF") && has_id(file, 8, "WAVE")) {
        return walk_riff_chunks(file);
    }
    if (file.size() < canonical_header_size) throw fskdec_error("not a WAV file");
    wav_format format = read_wav_header(file.first<44>());
    return place_data(format, canonical_header_size, format.data_size, file.size());
}

std::vector<std::uint8_t> read_stream_bytes(std::FILE* stream, const std::string& path) {
    std::vector<std::uint8_t> bytes;
    std::size_t capacity = 1 << 16;
    struct stat info {};
    if (fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode)) {
        capacity = static_cast<std::size_t>(info.st_size) + 1;  // + 1 sees the end at once
    }
    try {
        std::size_t used = 0;
        for (;;) {
            if (used == bytes.size()) bytes.resize(std::max(capacity, bytes.size() * 2));
            const std::size_t got = std::fread(bytes.data() + used, 1, bytes.size() - used, stream);
            used += got;
            if (got == 0) break;
        }
        bytes.resize(used);
    } catch (const std::bad_alloc&) {
        throw fskdec_error("cannot allocate memory");
    }
    if (std::ferror(stream)) throw fskdec_error("cannot read " + path);
    return bytes;
}

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

using file_handle = std::unique_ptr<std::FILE, file_closer>;

file_handle open_for_reading(const std::string& path) {
    file_handle file(std::fopen(path.c_str(), "rb"));
    struct stat info {};
    if (!file || (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode))) {
        throw fskdec_error("cannot open " + path);
    }
    return file;
}

// A buffer of `size` bytes with no initial value, its pages mapped in one go when it is
// taken rather than one fault at a time as it is filled (a large recording loads in half the
// time). Throws std::bad_alloc.
std::shared_ptr<std::uint8_t> take_buffer(std::size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return {static_cast<std::uint8_t*>(p), [size](std::uint8_t* q) { munmap(q, size); }};
}

// The whole file image: a regular file read straight into a buffer of its size, anything
// else (a pipe, a device) through read_stream_bytes.
std::shared_ptr<const std::uint8_t> read_image(const std::string& path, std::size_t& size) {
    const file_handle file = open_for_reading(path);
    struct stat info {};
    if (fstat(fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        try {
            std::shared_ptr<std::uint8_t> image =
                take_buffer(static_cast<std::size_t>(info.st_size));
            size = std::fread(image.get(), 1, static_cast<std::size_t>(info.st_size), file.get());
            if (std::ferror(file.get())) throw fskdec_error("cannot read " + path);
            return image;
        } catch (const std::bad_alloc&) {
            throw fskdec_error("cannot allocate memory");
        }
    }
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(read_stream_bytes(file.get(), path));
    size = bytes->size();
    return {bytes, bytes->data()};
}

}  // namespace

std::vector<std::uint8_t> read_file_bytes(const std::string& path) {
    return read_stream_bytes(open_for_reading(path).get(), path);
}

wav_file load_wav(const std::string& path) {
    std::size_t size = 0;
    std::shared_ptr<const std::uint8_t> image = read_image(path, size);
    const wav_layout layout = parse_wav({image.get(), size});
    return {layout.format,
            {image.get() + layout.data_offset, layout.format.data_size},
            std::move(image)};
}
