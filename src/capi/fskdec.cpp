// The C interface over the decoders: no exception leaves a function here; each failure
// becomes -1 or NULL and the message an fskdec_error carries.

#include "fskdec.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "audio/input.h"
#include "base/error.h"
#include "demod/framing.h"
#include "demod/plan.h"
#include "demod/stream_framing.h"
#include "recover/measured.h"

#ifndef FSKDEC_VERSION
#define FSKDEC_VERSION "unknown"
#endif

struct fskdec_decoder {
    std::optional<stream_framing> exact;
    std::optional<measured_decoder> recovery;
    std::vector<double> piece;       // samples converted for the decoders
    std::vector<unsigned char> out;  // decoded, from `taken` on not yet read
    std::size_t taken = 0;
    bool finished = false;
    std::string error;
};

namespace {

// 16-bit full scale: the float samples are scaled back to the values the tool reads from a
// 16-bit recording (exactly, for any sample of 24 significant bits or fewer), so that both
// decoders compare them with the very levels the tool's run compares.
constexpr double sample_scale = 32768.0;

void copy_message(const std::string& message, char* err, std::size_t err_size) {
    if (err == nullptr || err_size == 0) return;
    const std::size_t n = std::min(message.size(), err_size - 1);
    std::memcpy(err, message.data(), n);
    err[n] = '\0';
}

// The recovery decoder: told the signal (recover 1), or measuring each carrier's (2).
measured_decoder make_recovery(const fskdec_options& o, const fsk_signal& signal,
                               const audio_format& format) {
    return make_measured_decoder(format.sample_rate, format.full_scale,
                                 o.recover == 2 ? std::nullopt : std::optional(signal));
}

// Runs `body`, turning whatever it throws into a message.
template <class Body>
bool guarded(std::string& message, Body&& body) {
    try {
        body();
        return true;
    } catch (const fskdec_error& e) {
        message = e.what();
    } catch (const std::bad_alloc&) {
        message = "cannot allocate memory";
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "unknown failure";
    }
    return false;
}

// The checks fskdec's command line makes on its options, in its order.
fsk_signal checked_signal(const fskdec_options& o) {
    if (o.baud_rate <= 0) throw fskdec_error("illegal baud rate");
    if (o.lower_tone <= 0) throw fskdec_error("illegal carrier frequency");
    if (!(o.threshold > 0.0 && o.threshold < 1.0)) {
        throw fskdec_error("threshold must be between 0 and 1");
    }
    if (o.lower_tone % o.baud_rate != 0) throw fskdec_error("illegal carrier frequency");
    fsk_signal signal;
    signal.baud_rate = o.baud_rate;
    signal.lower_tone = o.lower_tone;
    signal.phase_sign = o.reverse_phase ? -1 : 1;
    return signal;
}

fskdec_options options_or_defaults(const fskdec_options* options) {
    fskdec_options o;
    fskdec_default_options(&o);
    return options != nullptr ? *options : o;
}

}  // namespace

extern "C" {

void fskdec_default_options(fskdec_options* options) {
    if (options == nullptr) return;
    options->baud_rate = 1200;
    options->lower_tone = 1200;
    options->threshold = 0.15;
    options->reverse_phase = 0;
    options->recover = 0;
}

fskdec_decoder* fskdec_open(const fskdec_options* options, double sample_rate, char* err,
                            std::size_t err_size) {
    fskdec_decoder* decoder = nullptr;
    std::string message;
    const bool ok = guarded(message, [&] {
        const fskdec_options o = options_or_defaults(options);
        const fsk_signal signal = checked_signal(o);
        if (std::isnan(sample_rate) || sample_rate != std::floor(sample_rate) ||
            sample_rate > 2147483647.0) {
            throw fskdec_error("illegal sample rate");
        }
        audio_format format;
        format.channels = 1;
        // The tool's messages for a header rate of 0 or less come from the decoders.
        format.sample_rate = static_cast<std::int32_t>(std::max(sample_rate, -1.0));
        format.full_scale = sample_scale;
        auto d = std::make_unique<fskdec_decoder>();
        if (o.recover) {
            d->recovery = make_recovery(o, signal, format);
        } else {
            d->exact = make_stream_framing(make_demod_config(format, signal, o.threshold));
        }
        d->piece.resize(window_piece_frames);
        decoder = d.release();
    });
    if (!ok) copy_message(message, err, err_size);
    return ok ? decoder : nullptr;
}

int fskdec_write(fskdec_decoder* decoder, const float* samples, std::size_t count) {
    if (decoder == nullptr) return -1;
    if (decoder->finished) {
        decoder->error = "input already finished";
        return -1;
    }
    if (count > 0 && samples == nullptr) {
        decoder->error = "no samples";
        return -1;
    }
    const bool ok = guarded(decoder->error, [&] {
        const byte_sink exact_sink = [&](const framed_byte& b) { decoder->out.push_back(b.value); };
        const recover_sink recovery_sink{
            [&](const recovered_byte& b) { decoder->out.push_back(b.value); }, {}};
        for (std::size_t done = 0; done < count;) {
            const std::size_t n = std::min(count - done, decoder->piece.size());
            for (std::size_t i = 0; i < n; ++i) {
                const double v = samples[done + i];
                decoder->piece[i] = std::isfinite(v) ? v * sample_scale : 0.0;
            }
            const std::span<const double> piece(decoder->piece.data(), n);
            if (decoder->exact) {
                stream_samples(*decoder->exact, piece, exact_sink);
            } else {
                measured_samples(*decoder->recovery, piece, recovery_sink);
            }
            done += n;
        }
    });
    return ok ? 0 : -1;
}

int fskdec_finish(fskdec_decoder* decoder) {
    if (decoder == nullptr) return -1;
    if (decoder->finished) {
        decoder->error = "input already finished";
        return -1;
    }
    decoder->finished = true;
    const bool ok = guarded(decoder->error, [&] {
        if (decoder->exact) {
            stream_finish(*decoder->exact,
                          [&](const framed_byte& b) { decoder->out.push_back(b.value); });
        } else {
            measured_finish(
                *decoder->recovery,
                {[&](const recovered_byte& b) { decoder->out.push_back(b.value); }, {}});
        }
    });
    return ok ? 0 : -1;
}

std::size_t fskdec_read(fskdec_decoder* decoder, unsigned char* out, std::size_t max) {
    if (decoder == nullptr || out == nullptr) return 0;
    const std::size_t n = std::min(max, decoder->out.size() - decoder->taken);
    if (n == 0) return 0;
    std::memcpy(out, decoder->out.data() + decoder->taken, n);
    decoder->taken += n;
    // What was read is dropped once it is most of the buffer, so that a caller reading as it
    // writes keeps only the bytes it has not read.
    if (decoder->taken == decoder->out.size()) {
        decoder->out.clear();
        decoder->taken = 0;
    } else if (decoder->taken > 4096 && decoder->taken * 2 > decoder->out.size()) {
        decoder->out.erase(decoder->out.begin(),
                           decoder->out.begin() + static_cast<std::ptrdiff_t>(decoder->taken));
        decoder->taken = 0;
    }
    return n;
}

void fskdec_close(fskdec_decoder* decoder) {
    delete decoder;
}

const char* fskdec_last_error(const fskdec_decoder* decoder) {
    return decoder == nullptr ? "" : decoder->error.c_str();
}

int fskdec_decode_file(const char* path, const fskdec_options* options, int channel,
                       unsigned char** bytes, std::size_t* count, char* err, std::size_t err_size) {
    std::vector<unsigned char> decoded;
    std::string message;
    const bool ok = guarded(message, [&] {
        if (path == nullptr || bytes == nullptr || count == nullptr) {
            throw fskdec_error("no path or result given");
        }
        // As fskdec does: the options, the recording's header, each decoder's plan, the
        // channel, then the decoding.
        const fskdec_options o = options_or_defaults(options);
        const fsk_signal signal = checked_signal(o);
        if (channel < 1 || channel > 2) throw fskdec_error("illegal channel");
        const std::unique_ptr<sample_source> input = open_audio(path);
        const audio_format& format = input->format();
        const std::int32_t index = channel - 1;
        if (o.recover) {
            measured_decoder decoder = make_recovery(o, signal, format);
            if (channel > format.channels) throw fskdec_error("illegal channel");
            const auto channels = static_cast<std::size_t>(format.channels);
            std::vector<double> piece(window_piece_frames * channels);
            std::vector<double> samples(window_piece_frames);
            const recover_sink sink{[&](const recovered_byte& b) { decoded.push_back(b.value); },
                                    {}};
            for (std::size_t frames; (frames = input->read(piece)) > 0;) {
                for (std::size_t f = 0; f < frames; ++f)
                    samples[f] = piece[f * channels + static_cast<std::size_t>(index)];
                measured_samples(decoder, {samples.data(), frames}, sink);
            }
            measured_finish(decoder, sink);
        } else {
            const demod_config config = make_demod_config(format, signal, o.threshold);
            if (channel > format.channels) throw fskdec_error("illegal channel");
            sample_window window =
                make_sample_window(*input, index, detector_history(config), config.phase_sign < 0);
            exact_decoder exact = prepare_exact_decoder(window, config);
            decode_bytes(window, exact, [&](const framed_byte& b) { decoded.push_back(b.value); });
        }
        *bytes = nullptr;
        *count = 0;
        if (!decoded.empty()) {
            auto* copy = static_cast<unsigned char*>(std::malloc(decoded.size()));
            if (copy == nullptr) throw std::bad_alloc();
            std::memcpy(copy, decoded.data(), decoded.size());
            *bytes = copy;
            *count = decoded.size();
        }
    });
    if (!ok) copy_message(message, err, err_size);
    return ok ? 0 : -1;
}

void fskdec_free(void* p) {
    std::free(p);
}

const char* fskdec_version(void) {
    return FSKDEC_VERSION;
}

}  // extern "C"
