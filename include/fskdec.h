/* libfskdec: the fskdec decoder as a C library.
 *
 * Recovers the bytes of a two-tone FSK serial signal (lower tone = 0, upper tone at twice it
 * = 1, a start bit and 8 data bits least significant first, the upper tone idling between
 * bytes) from samples or from a recording, exactly as the fskdec tool does: the default
 * (exact) decoder or the recovery decoder (fskdec -r).
 *
 * No global state: decoders are independent, and each may be used by one thread at a time.
 * Strings given back through `err` are the tool's messages (without its "fskdec: " prefix),
 * always NUL-terminated and cut to err_size - 1 bytes. See docs/api.md. */
#ifndef FSKDEC_H
#define FSKDEC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fskdec_options {
    int baud_rate;     /* 1200 */
    int lower_tone;    /* 1200 (Hz, a whole multiple of baud_rate; the upper tone is twice it) */
    double threshold;  /* 0.15, default decoder only (as a fraction of full scale) */
    int reverse_phase; /* 0 */
    int recover;       /* 0: the default (exact) decoder, 1: the recovery decoder (fskdec -r),
                        * 2: the recovery decoder measuring each carrier's bit rate and tones
                        * (fskdec -r without -b and -w; baud_rate and lower_tone unused) */
} fskdec_options;

typedef struct fskdec_decoder fskdec_decoder;

/* Fills `options` with the defaults above. */
void fskdec_default_options(fskdec_options* options);

/* A decoder for mono samples at `sample_rate` frames a second (a whole number); options
 * NULL means the defaults. NULL on failure, with the tool's message (e.g. "illegal baud
 * rate") in err (err may be NULL). */
fskdec_decoder* fskdec_open(const fskdec_options* options, double sample_rate, char* err,
                            size_t err_size);

/* Mono samples as fractions of full scale (16-bit samples divided by 32768 give exactly the
 * tool's bytes), any number at a time; NaN and infinities count as 0. Memory stays bounded
 * whatever the input's length (the decoded bytes wait for fskdec_read). 0 or -1 (after
 * fskdec_finish, or out of memory). */
int fskdec_write(fskdec_decoder* decoder, const float* samples, size_t count);

/* End of input: the last bytes become readable. 0 or -1 (called twice). */
int fskdec_finish(fskdec_decoder* decoder);

/* Up to max bytes decoded and not yet taken; returns how many. */
size_t fskdec_read(fskdec_decoder* decoder, unsigned char* out, size_t max);

/* Frees the decoder (NULL is fine). */
void fskdec_close(fskdec_decoder* decoder);

/* The message of the decoder's last failure ("" when none). */
const char* fskdec_last_error(const fskdec_decoder* decoder);

/* A whole recording in any format the tool reads; channel from 1. On success *bytes holds
 * *count bytes (to release with fskdec_free; NULL when there are none). 0, or -1 with the
 * tool's message in err (e.g. "cannot open PATH"). */
int fskdec_decode_file(const char* path, const fskdec_options* options, int channel,
                       unsigned char** bytes, size_t* count, char* err, size_t err_size);

/* Releases what fskdec_decode_file returned. */
void fskdec_free(void* p);

/* The library's version, e.g. "0.1.0" (as fskdec --version). */
const char* fskdec_version(void);

#ifdef __cplusplus
}
#endif

#endif /* FSKDEC_H */
