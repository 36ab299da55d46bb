#include "demod/stream_framing.h"

#include <algorithm>

#include "base/error.h"

namespace {

constexpr int suspended = -2;

// 1 when the frame is there, 0 when the input ended before it, -1 when it is yet to come.
int have(const sample_window& window, std::uint64_t frame) {
    if (frame < window.loaded) return 1;
    return window.ended ? 0 : -1;
}

void begin_detect(stream_framing& s) {
    s.positioned = false;
    s.slide = false;
    s.first_position = true;
    s.prev_start = 0;
}

// detect_bit_fast from where it stopped: the bit, or `suspended`.
int detect(stream_framing& s) {
    const auto n = static_cast<std::uint64_t>(s.config.frames_per_bit);
    for (;;) {
        if (!s.positioned) {
            const int h = have(s.window, s.cursor);
            if (h < 0) return suspended;
            if (h == 0) return 0;
            if (s.slide) s.cursor -= n - 1;
            s.start = s.cursor;
            s.positioned = true;
        }
        const int h = have(s.window, s.start + n - 1);
        if (h < 0) return suspended;
        position_verdict v;
        if (h > 0) {
            evaluate_windows(s.detector.bins, s.window, s.start, 1);
            v = judge_node(s.detector, s.start);
            s.cursor += n;
        } else {
            v = judge_end_window(s.detector, s.window, s.start, s.first_position, s.prev_start);
            s.cursor = s.window.loaded;
        }
        s.positioned = false;
        if (v.bit >= 0) return v.bit;
        s.slide = v.slide;
        s.prev_start = s.start;
        s.first_position = false;
    }
}

// frame_bytes from where it stopped, until it needs a frame not yet pushed or is done.
void run(stream_framing& s, const byte_sink& emit) {
    using stage = stream_framing::stage;
    const auto n = static_cast<std::uint64_t>(s.config.frames_per_bit);
    const auto start_step_back = static_cast<std::uint64_t>(s.config.carrier_period / 2);
    const auto bit_step_back = static_cast<std::uint64_t>(s.config.carrier_period / 8 + 1);
    for (;;) {
        switch (s.at) {
            case stage::first_window: {
                const int h = have(s.window, n);
                if (h < 0) return;
                // Planned only once there is more than a window to decode, as the tool plans
                // after reading one: a window of a second at a huge rate costs nothing unused.
                if (h > 0) s.detector = make_fast_detector(s.config);
                s.at = h > 0 ? stage::next_byte : stage::done;
                break;
            }
            case stage::next_byte: {
                const int h = have(s.window, s.cursor);
                if (h < 0) return;
                begin_detect(s);
                s.at = h > 0 ? stage::search : stage::done;
                break;
            }
            case stage::search: {
                const int bit = detect(s);
                if (bit == suspended) return;
                s.at = bit == 1 ? stage::after_one : stage::start_bit;
                break;
            }
            case stage::after_one: {
                const int h = have(s.window, s.cursor);
                if (h < 0) return;
                if (h == 0) {
                    s.at = stage::done;
                    break;
                }
                s.cursor -= start_step_back;
                begin_detect(s);
                s.at = stage::search;
                break;
            }
            case stage::start_bit: {
                const int h = have(s.window, s.cursor);
                if (h < 0) return;
                if (h == 0) {
                    s.at = stage::done;
                    break;
                }
                s.start_frame = s.cursor - n;
                s.byte = 0;
                s.bits = 0;
                s.cursor -= bit_step_back;
                begin_detect(s);
                s.at = stage::data_bit;
                break;
            }
            case stage::data_bit: {
                const int bit = detect(s);
                if (bit == suspended) return;
                s.byte = (s.byte >> 1) + static_cast<unsigned>(bit) * 128u;
                s.at = stage::after_bit;
                break;
            }
            case stage::after_bit: {
                const int h = have(s.window, s.cursor);
                if (h < 0) return;
                ++s.bits;
                if (h == 0 || s.bits == 8) {  // a byte cut short keeps the bits so far
                    emit({static_cast<std::uint8_t>(s.byte), s.start_frame});
                    s.at = stage::next_byte;
                } else {
                    s.cursor -= bit_step_back;
                    begin_detect(s);
                    s.at = stage::data_bit;
                }
                break;
            }
            case stage::done:
                return;
        }
    }
}

}  // namespace

stream_framing make_stream_framing(const demod_config& config) {
    if (!fast_detector_applies(config)) throw fskdec_error("unsupported configuration");
    stream_framing s;
    s.config = config;
    s.window = make_pushed_window(detector_history(config), config.phase_sign < 0);
    return s;
}

void stream_samples(stream_framing& s, std::span<const double> samples, const byte_sink& emit) {
    // The machine has stopped on a frame not yet pushed: a piece of the size a source read
    // gives keeps every frame it may step back to (see push_frames).
    while (!samples.empty()) {
        const std::size_t take = std::min(samples.size(), window_piece_frames);
        push_frames(s.window, samples.first(take));
        samples = samples.subspan(take);
        run(s, emit);
    }
}

void stream_finish(stream_framing& s, const byte_sink& emit) {
    s.window.ended = true;
    run(s, emit);
}
