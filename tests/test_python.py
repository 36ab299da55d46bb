#!/usr/bin/env python3
"""The fskdec module as installed (PYTHONPATH set to its dist-packages): decode() on the
samples of a recording (float32 and float64, numpy arrays when numpy is there) and
decode_file() give fskdec's bytes in both modes; fskdec.Error carries the tool's message.

usage: test_python.py RECORDING.wav EXACT.bin RECOVERED.bin"""

import array
import sys
import wave

import fskdec

recording, wants = sys.argv[1], [open(p, "rb").read() for p in sys.argv[2:4]]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


with wave.open(recording) as w:
    width, rate = w.getsampwidth(), w.getframerate()
    raw = w.readframes(w.getnframes())
if width == 1:
    values = [(b - 128) / 128.0 for b in raw]
else:
    values = [v / 32768.0 for v in array.array("h", raw)]
inputs = {"float32": array.array("f", values), "float64": array.array("d", values)}
try:
    import numpy
    inputs["numpy float32"] = numpy.array(values, dtype=numpy.float32)
    inputs["numpy float64 slice"] = numpy.array([0.0] + values, dtype=numpy.float64)[1:]
except ImportError:
    pass

check(len(wants[0]) > 20, "fskdec decoded the recording")
# recover="measure" is fskdec -r told neither -b nor -w: on this recording, -r's bytes.
for recover in (False, True, "measure"):
    want = wants[1 if recover else 0]
    for name, samples in inputs.items():
        check(fskdec.decode(samples, rate, recover=recover) == want, "decode, %s, recover=%s" % (name, recover))
    check(fskdec.decode_file(recording, recover=recover) == want, "decode_file, recover=%s" % recover)

for call, message in [
    (lambda: fskdec.decode(inputs["float32"], rate, baud_rate=0), "illegal baud rate"),
    (lambda: fskdec.decode(inputs["float32"], rate, threshold=1.5), "threshold must be between 0 and 1"),
    (lambda: fskdec.decode_file(recording, channel=2), "illegal channel"),
    (lambda: fskdec.decode_file("/nonexistent/x.wav"), "cannot open /nonexistent/x.wav"),
    (lambda: fskdec.decode(array.array("h", [1, 2]), rate), None),
]:
    try:
        call()
        check(False, "no error for %s" % message)
    except fskdec.Error as e:
        check(message is None or str(e) == message, "message %r, not %r" % (str(e), message))
check(isinstance(fskdec.__version__, str) and fskdec.__version__ != "", "__version__")
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
