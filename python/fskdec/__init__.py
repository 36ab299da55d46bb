"""fskdec: the bytes of a two-tone FSK serial signal, through libfskdec (ctypes).

    import fskdec
    data = fskdec.decode(samples, 44100)            # float32/float64, fractions of full scale
    data = fskdec.decode_file("tape.wav", recover=True)

Both give exactly the bytes the fskdec tool writes (samples of a 16-bit recording divided by
32768). Failures raise fskdec.Error with the tool's message.
"""

import array
import ctypes
import ctypes.util
import os
import sys

__all__ = ["decode", "decode_file", "Error", "__version__"]


class Error(Exception):
    """A failure, with the fskdec tool's message (e.g. "illegal baud rate")."""


class _Options(ctypes.Structure):
    _fields_ = [
        ("baud_rate", ctypes.c_int),
        ("lower_tone", ctypes.c_int),
        ("threshold", ctypes.c_double),
        ("reverse_phase", ctypes.c_int),
        ("recover", ctypes.c_int),
    ]


def _candidates():
    named = os.environ.get("FSKDEC_LIBRARY")
    if named:
        yield named
    # Installed as PREFIX/lib/python3/dist-packages/fskdec/: the library is in PREFIX/lib.
    lib = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))
    for name in ("libfskdec.so", "libfskdec.so.0", "libfskdec.dylib"):
        path = os.path.join(lib, name)
        if os.path.exists(path):
            yield path
    found = ctypes.util.find_library("fskdec")
    if found:
        yield found


def _load():
    tried = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            tried.append(str(e))
    raise ImportError("fskdec: cannot load libfskdec" + (": " + "; ".join(tried) if tried else
                      " (set FSKDEC_LIBRARY to its path)"))


_lib = _load()
_lib.fskdec_default_options.argtypes = [ctypes.POINTER(_Options)]
_lib.fskdec_default_options.restype = None
_lib.fskdec_open.argtypes = [ctypes.POINTER(_Options), ctypes.c_double, ctypes.c_char_p,
                             ctypes.c_size_t]
_lib.fskdec_open.restype = ctypes.c_void_p
_lib.fskdec_write.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_float), ctypes.c_size_t]
_lib.fskdec_write.restype = ctypes.c_int
_lib.fskdec_finish.argtypes = [ctypes.c_void_p]
_lib.fskdec_finish.restype = ctypes.c_int
_lib.fskdec_read.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
_lib.fskdec_read.restype = ctypes.c_size_t
_lib.fskdec_close.argtypes = [ctypes.c_void_p]
_lib.fskdec_close.restype = None
_lib.fskdec_last_error.argtypes = [ctypes.c_void_p]
_lib.fskdec_last_error.restype = ctypes.c_char_p
_lib.fskdec_decode_file.argtypes = [ctypes.c_char_p, ctypes.POINTER(_Options), ctypes.c_int,
                                    ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte)),
                                    ctypes.POINTER(ctypes.c_size_t), ctypes.c_char_p,
                                    ctypes.c_size_t]
_lib.fskdec_decode_file.restype = ctypes.c_int
_lib.fskdec_free.argtypes = [ctypes.c_void_p]
_lib.fskdec_free.restype = None
_lib.fskdec_version.argtypes = []
_lib.fskdec_version.restype = ctypes.c_char_p

__version__ = _lib.fskdec_version().decode()


def _options(baud_rate, lower_tone, threshold, reverse_phase, recover):
    o = _Options()
    _lib.fskdec_default_options(ctypes.byref(o))
    o.baud_rate = int(baud_rate)
    o.lower_tone = int(lower_tone)
    o.threshold = float(threshold)
    o.reverse_phase = 1 if reverse_phase else 0
    # True: the recovery decoder on the signal given; "measure": measuring each carrier's.
    o.recover = 2 if recover == "measure" else 1 if recover else 0
    return o


def _message(buf):
    return buf.value.decode("utf-8", "replace")


def _float32_bytes(samples):
    """The samples as the bytes of float32 values in native order."""
    try:
        import numpy
    except ImportError:
        numpy = None
    if numpy is not None and isinstance(samples, numpy.ndarray):
        if samples.ndim != 1:
            raise Error("samples must be one channel (a one-dimensional array)")
        if samples.dtype not in (numpy.float32, numpy.float64):
            raise Error("samples must be float32 or float64, not %s" % samples.dtype)
        return memoryview(numpy.ascontiguousarray(samples, dtype=numpy.float32)).cast("B")
    view = memoryview(samples)
    if view.ndim != 1:
        raise Error("samples must be one channel (a one-dimensional buffer)")
    fmt = view.format.lstrip("@=" + ("<" if sys.byteorder == "little" else ">!"))
    if fmt == "f":
        return view.cast("B") if view.c_contiguous else memoryview(view.tobytes())
    if fmt == "d":
        return memoryview(array.array("f", view)).cast("B")
    raise Error("samples must be float32 or float64, not format %r" % view.format)


_PIECE = 1 << 16


def _drain(decoder, chunk, out):
    while True:
        got = _lib.fskdec_read(decoder, chunk, len(chunk))
        out += chunk.raw[:got]
        if got < len(chunk):
            return


def decode(samples, sample_rate, baud_rate=1200, lower_tone=1200, threshold=0.15,
           reverse_phase=False, recover=False):
    """The bytes in `samples` (mono, fractions of full scale: a numpy array or any buffer of
    float32 or float64) recorded at `sample_rate` frames a second."""
    data = _float32_bytes(samples)
    count = len(data) // 4
    err = ctypes.create_string_buffer(256)
    o = _options(baud_rate, lower_tone, threshold, reverse_phase, recover)
    decoder = _lib.fskdec_open(ctypes.byref(o), float(sample_rate), err, len(err))
    if not decoder:
        raise Error(_message(err))
    try:
        out = bytearray()
        chunk = ctypes.create_string_buffer(_PIECE)
        for start in range(0, count, _PIECE):
            n = min(_PIECE, count - start)
            piece = (ctypes.c_float * n).from_buffer_copy(data[4 * start:4 * (start + n)])
            if _lib.fskdec_write(decoder, piece, n) != 0:
                raise Error(_lib.fskdec_last_error(decoder).decode("utf-8", "replace"))
            _drain(decoder, chunk, out)
        if _lib.fskdec_finish(decoder) != 0:
            raise Error(_lib.fskdec_last_error(decoder).decode("utf-8", "replace"))
        _drain(decoder, chunk, out)
        return bytes(out)
    finally:
        _lib.fskdec_close(decoder)


def decode_file(path, channel=1, baud_rate=1200, lower_tone=1200, threshold=0.15,
                reverse_phase=False, recover=False):
    """The bytes of a recording in any format the fskdec tool reads; `channel` from 1."""
    err = ctypes.create_string_buffer(4352)
    o = _options(baud_rate, lower_tone, threshold, reverse_phase, recover)
    data = ctypes.POINTER(ctypes.c_ubyte)()
    count = ctypes.c_size_t(0)
    name = os.fsencode(path)
    if _lib.fskdec_decode_file(name, ctypes.byref(o), int(channel), ctypes.byref(data),
                               ctypes.byref(count), err, len(err)) != 0:
        raise Error(_message(err))
    try:
        return ctypes.string_at(data, count.value) if count.value else b""
    finally:
        _lib.fskdec_free(data)
