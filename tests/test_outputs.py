#!/usr/bin/env python3
"""fskdec -j and -s on recordings of several blocks, clean and damaged, in both modes: the
JSON report parsed and held against what -v prints (segments, offsets, doubtful bytes, the
warning and the hint), the split files against the output, and the refusals.

usage: test_outputs.py FSKDEC FSKENC"""

import array
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import wave

FSKDEC, FSKENC = sys.argv[1], sys.argv[2]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def make_recording(dir, name, gain=1.0, noise=0.0):
    """Three blocks of text with silence between, as fskenc writes them; damaged (noise, as
    a fraction of full scale): at `gain`, with that noise and a dropout in the second block."""
    frames = array.array("h")
    params = None
    for i, text in enumerate([b"first block\n", b"the second block, longer\n" * 3, b"last\n"]):
        src = os.path.join(dir, "block%d.txt" % i)
        wav = os.path.join(dir, "block%d.wav" % i)
        with open(src, "wb") as f:
            f.write(text)
        subprocess.run([FSKENC, "-l", "200", src, wav], check=True)
        with wave.open(wav) as w:
            params = w.getparams()
            frames.frombytes(w.readframes(w.getnframes()))
        frames.extend([0] * 11025)
    if noise > 0:
        rng = random.Random(7)
        dropout = len(frames) // 2
        for i in range(len(frames)):
            v = 0 if dropout <= i < dropout + 900 else frames[i] * gain + rng.gauss(0, noise * 32768)
            frames[i] = max(-32768, min(32767, int(v)))
    path = os.path.join(dir, name)
    with wave.open(path, "wb") as w:
        w.setparams(params)
        w.writeframes(frames.tobytes())
    return path


def seconds(text):
    """m:ss.mmm or h:mm:ss.mmm"""
    parts = [float(p) for p in text.split(":")]
    return sum(p * 60 ** (len(parts) - 1 - i) for i, p in enumerate(parts))


def run(dir, args):
    return subprocess.run([FSKDEC] + args, cwd=dir, capture_output=True)


def check_report(dir, recording, mode_args, label):
    out = os.path.join(dir, "out.bin")
    report = os.path.join(dir, "report.json")
    parts = os.path.join(dir, "parts-" + label)
    r = run(dir, ["-v"] + mode_args + ["-j", report, "-s", parts, recording, out])
    check(r.returncode == 0, label + ": status " + str(r.returncode) + " " + r.stdout.decode())
    lines = r.stderr.decode().splitlines()
    with open(report, "rb") as f:
        doc = json.load(f)
    with open(out, "rb") as f:
        data = f.read()
    carriers = [re.match(r"fskdec: carrier ([\d:.]+)-([\d:.]+): (\d+) bytes?", l) for l in lines]
    carriers = [m for m in carriers if m]
    segments = doc["segments"]
    check(len(segments) == len(carriers) > 0,
          "%s: %d segments, -v printed %d" % (label, len(segments), len(carriers)))
    offset = 0
    for i, (s, m) in enumerate(zip(segments, carriers)):
        check(s["offset"] == offset, "%s: segment %d at offset %d, not %d" % (label, i, s["offset"], offset))
        check(s["bytes"] == int(m.group(3)), "%s: segment %d bytes" % (label, i))
        check(abs(s["start"] - seconds(m.group(1))) <= 0.0006 and
              abs(s["end"] - seconds(m.group(2))) <= 0.0006, "%s: segment %d times" % (label, i))
        check(("snr_db" in s) == ("-r" in mode_args), "%s: -r figures" % label)
        offset += s["bytes"]
    check(doc["bytes"] == len(data) == offset, "%s: bytes %d, output %d, segments %d"
          % (label, doc["bytes"], len(data), offset))
    check(doc["mode"] == ("recovery" if "-r" in mode_args else "exact"), label + ": mode")
    check((doc["input"], doc["sample_rate"], doc["channels"], doc["channel"], doc["baud_rate"],
           doc["lower_tone"], doc["upper_tone"]) == (recording, 44100, 1, 1, 1200, 1200, 2400),
          label + ": settings")
    check(abs(doc["duration"] - os.path.getsize(recording) / 88200.0) < 0.001, label + ": duration")
    # Each doubtful byte as -v lists it.
    listed = [re.match(r"fskdec: doubtful byte at [\d:.]+, offset (\d+): 0x([0-9A-F]{2})", l)
              for l in lines]
    listed = [(int(m.group(1)), int(m.group(2), 16)) for m in listed if m]
    check([(d["offset"], d["value"]) for d in doc["doubtful"]] == listed,
          label + ": doubtful bytes")
    for d in doc["doubtful"]:
        check(data[d["offset"]] == d["value"], label + ": doubtful byte's value")
    warnings = [l for l in lines if re.match(r"fskdec: \d+ doubtful bytes? \(", l)]
    check(["fskdec: " + w for w in doc["warnings"]] == warnings, label + ": warnings")
    # The split files put together are the output, segment by segment.
    names = sorted(os.listdir(parts))
    check(names == ["%03d.bin" % (i + 1) for i in range(len(segments))], label + ": file names")
    for name, s in zip(names, segments):
        with open(os.path.join(parts, name), "rb") as f:
            check(f.read() == data[s["offset"]:s["offset"] + s["bytes"]], label + ": " + name)
    return doc


with tempfile.TemporaryDirectory(prefix="fskdec_outputs_") as dir:
    clean = make_recording(dir, "clean.wav")
    damaged = make_recording(dir, "damaged.wav", 0.6, 0.04)
    wrecked = make_recording(dir, "wrecked.wav", 0.25, 0.09)
    doc = check_report(dir, clean, [], "clean")
    check(len(doc["segments"]) == 3 and doc["doubtful"] == [] and doc["hint"] is None,
          "clean: three blocks, nothing doubtful")
    check_report(dir, clean, ["-r"], "clean-r")
    check_report(dir, damaged, [], "damaged")
    check_report(dir, damaged, ["-r"], "damaged-r")
    doc = check_report(dir, wrecked, ["-r"], "wrecked-r")
    check(len(doc["doubtful"]) > 0, "wrecked-r: some doubtful bytes to compare")

    # The hint: the line standard error gets, without its prefix.
    r = run(dir, ["-t", "0.9", "-j", "hint.json", clean, "none.bin"])
    with open(os.path.join(dir, "hint.json")) as f:
        hint = json.load(f)["hint"]
    check(hint is not None and r.stderr.decode() == "fskdec: " + hint + "\n", "hint: " + str(hint))

    # A name that is not UTF-8 stays valid JSON, and its bytes can be told back.
    odd = os.path.join(dir, "t\xe9\n\"p\".wav").encode("utf-8").replace(b"\xc3\xa9", b"\xe9")
    os.link(clean, odd)
    run(dir, ["-q", "-j", "odd.json", odd, "odd.bin"])
    with open(os.path.join(dir, "odd.json"), "rb") as f:
        text = f.read()
    check(b"\\udce9" in text and b"\\n\\\"p\\\"" in text, "odd name: escaped")
    check(os.fsencode(json.loads(text)["input"]) == odd, "odd name: bytes told back")

    # Refusals, as for -m: nothing is written and the input stays (nor a recording the
    # report would replace).
    before = open(clean, "rb").read()
    shutil.copy(clean, os.path.join(dir, "tape.wav"))
    for args, message in [
        (["-j", clean, clean, "x.bin"], "input and output are the same file"),
        (["-j", "x.bin", clean, "x.bin"], "the report and the output are the same file"),
        (["-j", "m.svg", "-m", "m.svg", clean, "x.bin"], "the report and the map are the same file"),
        (["-s", clean, clean, "x.bin"], "cannot create directory " + clean),
        (["-j", "tape.wav", clean, "x.bin"], "refusing to replace the recording tape.wav"),
    ]:
        r = run(dir, args)
        said = (r.stdout + r.stderr).decode()
        check(r.returncode == 1 and message in said, "refused %s: %r" % (args, said))
        check(not os.path.exists(os.path.join(dir, "x.bin")), "refused %s: no output" % args)
    check(open(clean, "rb").read() == before, "the input untouched")

print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
