#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "audio/sample_source.h"

// The bytes of an input, read front to back: an open file descriptor (a regular file, a pipe,
// a device) or a file image in memory. Regular files and images are seekable and have a known
// size; anything else is read strictly in order, and skipping reads and discards.
//
// A stream may retain its first bytes (up to `prefix_limit`) so that a reader that sniffed
// them can go back and read them again; seeking back is possible only within that prefix.
class byte_input {
  public:
    // Takes ownership of `fd`. `before_block` runs before any read that would wait.
    byte_input(int fd, std::string path, std::function<void()> before_block);
    // The image must outlive the input; `owned` (if any) is kept alive with it.
    explicit byte_input(std::span<const std::uint8_t> image, std::vector<std::uint8_t> owned = {});
    byte_input(byte_input&& other) noexcept;
    byte_input& operator=(byte_input&&) = delete;
    byte_input(const byte_input&) = delete;
    ~byte_input();

    const std::string& path() const { return path_; }
    bool seekable() const { return seekable_; }
    std::uint64_t size() const { return size_; }  // meaningful only when seekable
    std::uint64_t position() const { return position_; }
    input_identity identity() const { return identity_; }

    // One read of at most n bytes: fewer when that is what is ready, 0 only at the end.
    // Throws fskdec_error("cannot read PATH").
    std::size_t read_some(std::uint8_t* dst, std::size_t n);
    // Reads until n bytes or the end; returns the bytes read.
    std::size_t read_full(std::uint8_t* dst, std::size_t n);
    // Moves on by n bytes; false when the input ends first (a seekable input then stays put).
    bool skip(std::uint64_t n);
    // Moves to `to`: anywhere in a seekable input; in a stream, only within the retained
    // prefix of what has been read. False when that is impossible.
    bool seek(std::uint64_t to);
    // Stops retaining the first bytes of a stream and frees them.
    void drop_prefix();

    static constexpr std::size_t prefix_limit = std::size_t{1} << 18;

  private:
    std::size_t read_fd(std::uint8_t* dst, std::size_t n);

    int fd_ = -1;
    std::string path_;
    std::function<void()> before_block_;
    std::span<const std::uint8_t> image_;
    std::vector<std::uint8_t> owned_;
    bool seekable_ = false;
    bool regular_ = false;
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;  // where the reader stands
    std::uint64_t consumed_ = 0;  // bytes taken from a stream's descriptor
    std::vector<std::uint8_t> prefix_;
    bool prefix_whole_ = true;  // prefix_ holds every byte consumed so far
    input_identity identity_;
};
