#include "audio/container.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <vector>

#include "base/error.h"

namespace {

bool starts_with(std::span<const std::uint8_t> b, std::size_t at, const char* id) {
    const std::size_t n = std::strlen(id);
    return b.size() >= at + n && std::memcmp(b.data() + at, id, n) == 0;
}

// libsndfile reads through these from a byte_input, so pipes work as well as files. A stream
// claims the largest length: the formats read here find their end by reading, not by size.
// An exception cannot pass through the library: the read callback keeps it for the source to
// throw once the library call has returned.
struct vio_state {
    byte_input in;
    std::exception_ptr failure;
};

sf_count_t vio_length(void* user) {
    const byte_input* in = &static_cast<vio_state*>(user)->in;
    return in->seekable() ? static_cast<sf_count_t>(in->size())
                          : std::numeric_limits<sf_count_t>::max();
}

sf_count_t vio_tell(void* user) {
    return static_cast<sf_count_t>(static_cast<vio_state*>(user)->in.position());
}

sf_count_t vio_seek(sf_count_t offset, int whence, void* user) {
    byte_input* in = &static_cast<vio_state*>(user)->in;
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<sf_count_t>(in->position());
    if (whence == SEEK_END) {
        if (!in->seekable()) return -1;
        base = static_cast<sf_count_t>(in->size());
    }
    const sf_count_t to = base + offset;
    if (to < 0 || !in->seek(static_cast<std::uint64_t>(to))) return -1;
    return to;
}

sf_count_t vio_read(void* ptr, sf_count_t count, void* user) {
    auto* state = static_cast<vio_state*>(user);
    if (count <= 0 || state->failure) return 0;
    try {
        return static_cast<sf_count_t>(
            state->in.read_full(static_cast<std::uint8_t*>(ptr), static_cast<std::size_t>(count)));
    } catch (...) {
        state->failure = std::current_exception();
        return 0;
    }
}

sf_count_t vio_write(const void*, sf_count_t, void*) {
    return 0;
}

struct sndfile_closer {
    void operator()(SNDFILE* f) const { sf_close(f); }
};

constexpr std::size_t pending_frames = 4096;

class container_source final : public sample_source {
  public:
    explicit container_source(byte_input in)
        : io_(std::make_unique<vio_state>(vio_state{std::move(in), nullptr})) {
        SF_VIRTUAL_IO io{vio_length, vio_seek, vio_read, vio_write, vio_tell};
        SF_INFO info{};
        file_.reset(sf_open_virtual(&io, SFM_READ, &info, io_.get()));
        if (io_->failure) std::rethrow_exception(io_->failure);
        if (!file_) throw fskdec_error("cannot read " + io_->in.path());
        if (info.channels != 1 && info.channels != 2) {
            throw fskdec_error("the number of channels must be 1 or 2");
        }
        sf_command(file_.get(), SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
        format_ = {info.channels, info.samplerate, 1.0};
        // The first frames are read now, so an empty recording fails before any decoding.
        pending_.resize(pending_frames * static_cast<std::size_t>(info.channels));
        pending_.resize(read_frames(pending_) * static_cast<std::size_t>(info.channels));
        if (pending_.empty()) throw fskdec_error("cannot allocate memory");
    }

    const audio_format& format() const override { return format_; }
    input_identity identity() const override { return io_->in.identity(); }
    std::optional<std::uint64_t> cut_short_at() const override { return cut_short_at_; }

    std::size_t read(std::span<double> out) override {
        const auto channels = static_cast<std::size_t>(format_.channels);
        if (pending_.size() > used_) {
            const std::size_t n =
                std::min(out.size() / channels, (pending_.size() - used_) / channels) * channels;
            std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(used_), n, out.begin());
            used_ += n;
            if (used_ == pending_.size()) std::vector<double>().swap(pending_);
            return n / channels;
        }
        return read_frames(out);
    }

  private:
    std::size_t read_frames(std::span<double> out) {
        const auto channels = static_cast<std::size_t>(format_.channels);
        const auto frames = static_cast<sf_count_t>(out.size() / channels);
        if (frames == 0) return 0;
        if (cut_short_at_) return 0;
        const sf_count_t got = sf_readf_double(file_.get(), out.data(), frames);
        if (io_->failure) std::rethrow_exception(io_->failure);
        if (got < 0 || (got == 0 && sf_error(file_.get()) != SF_ERR_NO_ERROR)) {
            // The bytes were there but the library cannot decode them: the file is cut short
            // or damaged from here on. Before the first frame that is an unreadable file.
            if (frames_read_ == 0) throw fskdec_error("cannot read " + io_->in.path());
            cut_short_at_ = frames_read_;
            return 0;
        }
        frames_read_ += static_cast<std::uint64_t>(got);
        const std::size_t values = static_cast<std::size_t>(got) * channels;
        for (std::size_t k = 0; k < values; ++k) {
            if (!std::isfinite(out[k])) out[k] = 0.0;
        }
        return static_cast<std::size_t>(got);
    }

    std::unique_ptr<vio_state> io_;  // stays put: the library holds its address
    std::unique_ptr<SNDFILE, sndfile_closer> file_;
    audio_format format_;
    std::vector<double> pending_;
    std::size_t used_ = 0;
    std::uint64_t frames_read_ = 0;  // from the library so far
    std::optional<std::uint64_t> cut_short_at_;
};

}  // namespace

bool has_container_mark(std::span<const std::uint8_t> head) {
    return starts_with(head, 0, "fLaC") || starts_with(head, 0, "OggS") ||
           starts_with(head, 0, "ID3") ||
           (starts_with(head, 0, "FORM") &&
            (starts_with(head, 8, "AIFF") || starts_with(head, 8, "AIFC")));
}

bool is_mpeg_frame(std::span<const std::uint8_t> head) {
    if (head.size() < 4 || head[0] != 0xFF || (head[1] & 0xE0) != 0xE0) return false;
    const int version = (head[1] >> 3) & 3;  // 1 is reserved
    const int layer = (head[1] >> 1) & 3;    // 1: layer III, 2: layer II
    const int bit_rate = head[2] >> 4;       // 0 (free format) and 15 are not taken
    const int sample_rate = (head[2] >> 2) & 3;
    return version != 1 && (layer == 1 || layer == 2) && bit_rate != 0 && bit_rate != 15 &&
           sample_rate != 3;
}

bool is_container(std::span<const std::uint8_t> head) {
    return has_container_mark(head) || is_mpeg_frame(head);
}

std::unique_ptr<sample_source> open_container(byte_input in) {
    return std::make_unique<container_source>(std::move(in));
}
