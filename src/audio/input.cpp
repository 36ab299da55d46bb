#include "audio/input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "audio/byte_input.h"
#include "audio/container.h"
#include "audio/pcm.h"
#include "audio/riff.h"
#include "base/error.h"

namespace {

constexpr std::size_t piece_size = std::size_t{1} << 16;

// WAV sample data read in pieces of 64 KiB and converted a block at a time.
class pcm_source final : public sample_source {
  public:
    pcm_source(byte_input in, const wav_data& data, input_identity identity)
        : in_(std::move(in)),
          format_(data.format),
          layout_(data.layout),
          identity_(identity),
          left_(data.limit) {
        buffer_.resize(piece_size);
        if (!fill()) throw fskdec_error("cannot allocate memory");
    }

    const audio_format& format() const override { return format_; }
    input_identity identity() const override { return identity_; }

    std::size_t read(std::span<double> out) override {
        const auto channels = static_cast<std::size_t>(format_.channels);
        const auto frame = static_cast<std::size_t>(layout_.block_align);
        const std::size_t wanted = out.size() / channels;
        if (wanted == 0) return 0;
        while (end_ - begin_ < frame) {
            if (!fill()) return 0;
        }
        const std::size_t frames = std::min(wanted, (end_ - begin_) / frame);
        convert_frames(layout_, buffer_.data() + begin_, frames, out.data());
        begin_ += frames * frame;
        return frames;
    }

  private:
    // Moves what is left of the buffer to its front and reads once more behind it; false at
    // the end of the data.
    bool fill() {
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        const std::size_t room =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - end_, left_));
        const std::size_t got = in_.read_some(buffer_.data() + end_, room);
        end_ += got;
        left_ -= got;
        return got > 0;
    }

    byte_input in_;
    audio_format format_;
    pcm_layout layout_;
    input_identity identity_;
    std::uint64_t left_;  // data bytes not yet read from the input
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0, end_ = 0;
};

std::unique_ptr<sample_source> open_input(byte_input in) {
    std::array<std::uint8_t, 12> head{};
    const std::size_t sniffed = in.read_full(head.data(), head.size());
    const std::span<const std::uint8_t> first(head.data(), sniffed);
    if (is_container(first)) {
        if (!in.seek(0)) throw fskdec_error("cannot read " + in.path());
        return open_container(std::move(in));
    }
    in.drop_prefix();
    wav_data data = read_wav_header(in, first);
    const input_identity identity = in.identity();
    if (data.held) {
        byte_input held({}, std::move(data.held_bytes));
        return std::make_unique<pcm_source>(std::move(held), data, identity);
    }
    return std::make_unique<pcm_source>(std::move(in), data, identity);
}

}  // namespace

std::unique_ptr<sample_source> open_audio(const std::string& path,
                                          std::function<void()> before_block) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw fskdec_error("cannot open " + path);
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        throw fskdec_error("cannot open " + path);
    }
    return open_input(byte_input(fd, path, std::move(before_block)));
}

bool starts_like_recording(std::span<const std::uint8_t> head) {
    const auto marked = [&](std::size_t at, const char* id) {
        return head.size() >= at + 4 && std::memcmp(head.data() + at, id, 4) == 0;
    };
    return (marked(0, "RIFF") && marked(8, "WAVE")) || has_container_mark(head);
}

std::unique_ptr<sample_source> memory_audio(std::span<const std::uint8_t> image) {
    return open_input(byte_input(image));
}
