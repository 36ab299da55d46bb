/* libfskdec as a C program sees it, built against the installed header through pkg-config:
 * a recording's samples pushed in pieces of 1, 7 and 4093 frames, and the whole file, must
 * give the bytes fskdec wrote (16-bit samples / 32768, 8-bit ones / 128).
 *
 * usage: capi_test RECORDING.wav EXACT.bin RECOVERED.bin (what fskdec and fskdec -r wrote) */
#include <fskdec.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char* read_all(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    unsigned char* data = NULL;
    size_t n = 0, got;
    unsigned char buf[65536];
    if (f == NULL) return NULL;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) {
        data = realloc(data, n + got + 1);
        memcpy(data + n, buf, got);
        n += got;
    }
    fclose(f);
    *size = n;
    return data != NULL ? data : malloc(1);
}

static unsigned u16(const unsigned char* p) {
    return p[0] | (unsigned)p[1] << 8;
}
static unsigned long u32(const unsigned char* p) {
    return u16(p) | (unsigned long)u16(p + 2) << 16;
}

/* The mono samples of a PCM WAV file as fractions of full scale. */
static float* samples_of(const unsigned char* wav, size_t size, size_t* count, double* rate) {
    size_t at = 12, i;
    unsigned bits = 16;
    float* out;
    while (at + 8 <= size) {
        unsigned long len = u32(wav + at + 4);
        if (memcmp(wav + at, "fmt ", 4) == 0) {
            *rate = (double)u32(wav + at + 12);
            bits = u16(wav + at + 22);
        } else if (memcmp(wav + at, "data", 4) == 0) {
            if (len > size - at - 8) len = size - at - 8;
            *count = len / (bits / 8);
            out = malloc(*count * sizeof *out + 1);
            for (i = 0; i < *count; ++i)
                out[i] = bits == 8 ? (float)(wav[at + 8 + i] - 128) / 128.0f
                                   : (float)(short)u16(wav + at + 8 + 2 * i) / 32768.0f;
            return out;
        }
        at += 8 + len + (len & 1);
    }
    return NULL;
}

static int failures = 0;

static void expect(int ok, const char* what, const char* mode, size_t piece) {
    if (!ok) {
        fprintf(stderr, "capi_test: %s (%s, pieces of %lu)\n", what, mode, (unsigned long)piece);
        ++failures;
    }
}

int main(int argc, char** argv) {
    size_t wav_size, count = 0, want_size[2];
    double rate = 0;
    unsigned char *wav, *want[2];
    float* x;
    const size_t pieces[] = {1, 7, 4093};
    int recover;
    if (argc != 4) {
        fprintf(stderr, "usage: capi_test recording.wav exact.bin recovered.bin\n");
        return 2;
    }
    wav = read_all(argv[1], &wav_size);
    want[0] = read_all(argv[2], &want_size[0]);
    want[1] = read_all(argv[3], &want_size[1]);
    if (wav == NULL || want[0] == NULL || want[1] == NULL) return 2;
    x = samples_of(wav, wav_size, &count, &rate);
    if (x == NULL || want_size[0] < 20) return 2;
    /* 2 measures the signal, as fskdec -r told neither -b nor -w: on this recording, the
     * bytes of -r. */
    for (recover = 0; recover <= 2; ++recover) {
        const int w = recover > 0;
        const char* mode = recover == 2 ? "-r measuring" : recover ? "-r" : "exact";
        fskdec_options o;
        size_t p;
        unsigned char* bytes = NULL;
        size_t n = 0;
        char err[256];
        fskdec_default_options(&o);
        o.recover = recover;
        for (p = 0; p < sizeof pieces / sizeof pieces[0]; ++p) {
            fskdec_decoder* d = fskdec_open(&o, rate, err, sizeof err);
            unsigned char* got = malloc(count / 8 + 16);
            size_t i, have = 0;
            if (d == NULL) {
                expect(0, err, mode, pieces[p]);
                continue;
            }
            for (i = 0; i < count; i += pieces[p]) {
                size_t k = count - i < pieces[p] ? count - i : pieces[p];
                expect(fskdec_write(d, x + i, k) == 0, "write", mode, pieces[p]);
                have += fskdec_read(d, got + have, count / 8 + 16 - have);
            }
            expect(fskdec_finish(d) == 0, "finish", mode, pieces[p]);
            have += fskdec_read(d, got + have, count / 8 + 16 - have);
            expect(have == want_size[w] && memcmp(got, want[w], have) == 0,
                   "bytes differ from fskdec's", mode, pieces[p]);
            fskdec_close(d);
            free(got);
        }
        expect(fskdec_decode_file(argv[1], &o, 1, &bytes, &n, err, sizeof err) == 0 &&
                   n == want_size[w] && memcmp(bytes, want[w], n) == 0,
               "fskdec_decode_file differs from fskdec", mode, 0);
        fskdec_free(bytes);
    }
    {
        fskdec_options o;
        char err[64];
        fskdec_default_options(&o);
        o.lower_tone = 1800;
        expect(fskdec_open(&o, rate, err, sizeof err) == NULL &&
                   strcmp(err, "illegal carrier frequency") == 0,
               "the message for -w 1800", "exact", 0);
    }
    expect(strlen(fskdec_version()) > 0, "a version", "", 0);
    free(x);
    free(wav);
    free(want[0]);
    free(want[1]);
    return failures == 0 ? 0 : 1;
}
