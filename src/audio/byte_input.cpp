#include "audio/byte_input.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/error.h"

byte_input::byte_input(int fd, std::string path, std::function<void()> before_block)
    : fd_(fd), path_(std::move(path)), before_block_(std::move(before_block)) {
    struct stat info {};
    if (fstat(fd_, &info) == 0) {
        identity_ = {true, static_cast<std::uint64_t>(info.st_dev),
                     static_cast<std::uint64_t>(info.st_ino)};
        regular_ = S_ISREG(info.st_mode);
        // Devices report a size of 0 and would seek anywhere: only regular files are
        // taken as what they claim to be.
        if (regular_ && lseek(fd_, 0, SEEK_CUR) == 0) {
            seekable_ = true;
            size_ = static_cast<std::uint64_t>(info.st_size);
        }
    }
}

byte_input::byte_input(std::span<const std::uint8_t> image, std::vector<std::uint8_t> owned)
    : path_("(memory)"), image_(image), owned_(std::move(owned)), seekable_(true) {
    if (image_.empty()) image_ = owned_;
    size_ = image_.size();
}

byte_input::byte_input(byte_input&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      before_block_(std::move(other.before_block_)),
      image_(other.image_),
      owned_(std::move(other.owned_)),
      seekable_(other.seekable_),
      regular_(other.regular_),
      size_(other.size_),
      position_(other.position_),
      consumed_(other.consumed_),
      prefix_(std::move(other.prefix_)),
      prefix_whole_(other.prefix_whole_),
      identity_(other.identity_) {
    // A moved vector keeps its buffer, so the span into it stays valid.
}

byte_input::~byte_input() {
    if (fd_ >= 0) close(fd_);
}

std::size_t byte_input::read_fd(std::uint8_t* dst, std::size_t n) {
    for (;;) {
        if (!regular_) {
            pollfd p{fd_, POLLIN, 0};
            int ready = poll(&p, 1, 0);
            if (ready == 0) {
                if (before_block_) before_block_();
                ready = poll(&p, 1, -1);
            }
            if (ready < 0 && errno != EINTR) throw fskdec_error("cannot read " + path_);
        }
        const ssize_t got = ::read(fd_, dst, n);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR && errno != EAGAIN) throw fskdec_error("cannot read " + path_);
    }
}

std::size_t byte_input::read_some(std::uint8_t* dst, std::size_t n) {
    if (n == 0) return 0;
    if (fd_ < 0) {  // a memory image
        const std::size_t got = static_cast<std::size_t>(
            std::min<std::uint64_t>(n, size_ - std::min(position_, size_)));
        if (got > 0) std::memcpy(dst, image_.data() + position_, got);
        position_ += got;
        return got;
    }
    if (position_ < consumed_) {  // back within a stream's retained prefix
        const std::size_t got =
            static_cast<std::size_t>(std::min<std::uint64_t>(n, consumed_ - position_));
        std::memcpy(dst, prefix_.data() + position_, got);
        position_ += got;
        return got;
    }
    const std::size_t got = read_fd(dst, n);
    position_ += got;
    if (!seekable_) {
        consumed_ += got;
        if (prefix_whole_ && prefix_.size() + got <= prefix_limit) {
            prefix_.insert(prefix_.end(), dst, dst + got);
        } else {
            drop_prefix();
        }
    }
    return got;
}

std::size_t byte_input::read_full(std::uint8_t* dst, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const std::size_t got = read_some(dst + done, n - done);
        if (got == 0) break;
        done += got;
    }
    return done;
}

bool byte_input::skip(std::uint64_t n) {
    if (seekable_) {
        if (n > size_ - std::min(position_, size_)) return false;
        return seek(position_ + n);
    }
    std::uint8_t scrap[1 << 16];
    while (n > 0) {
        const std::size_t got =
            read_some(scrap, static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof scrap)));
        if (got == 0) return false;
        n -= got;
    }
    return true;
}

bool byte_input::seek(std::uint64_t to) {
    if (seekable_) {
        if (fd_ >= 0 && lseek(fd_, static_cast<off_t>(to), SEEK_SET) < 0) return false;
        position_ = to;
        return true;
    }
    // A stream goes back only within its retained prefix, and never ahead of what it read:
    // a reader that wants to jump ahead and come back could not have the bytes between.
    if (to == position_ || (to <= consumed_ && prefix_whole_)) {
        position_ = to;
        return true;
    }
    return false;
}

void byte_input::drop_prefix() {
    prefix_whole_ = false;
    std::vector<std::uint8_t>().swap(prefix_);
}
