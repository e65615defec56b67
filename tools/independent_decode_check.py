#!/usr/bin/env python3
"""Converts capture files made by general tools (NumPy, SciPy, Python's
tarfile and json) with wavora and compares the sample words of each output
with words computed here from the tools' own reading of the file.

    independent_decode_check.py <wavora> <work dir>

Values stay inside full scale, so no scaling down applies: the word of a
value v (as the 32-bit float the import makes of the sample) is
floor(v * 32767 + 0.5 + 1/256). Prints one line per file and exits 1 when
any file differs or fails to convert.
"""
import io
import json
import os
import re
import struct
import subprocess
import sys
import tarfile

import numpy as np
import scipy.io
import scipy.io.wavfile

PAIRS = 4000


def words_of(values):
    v = np.asarray(values, dtype=np.float32).astype(np.float64)
    return np.floor(v * 32767.0 + 0.5 + 1.0 / 256.0).astype(np.int64)


def read_output_words(path):
    data = open(path, "rb").read()
    match = re.search(rb"\{WAVEFORM-(\d+): #", data)
    start = match.end()
    count = (int(match.group(1)) - 1) // 2
    return np.frombuffer(data, dtype="<i2", count=count, offset=start).astype(np.int64)


def tone(scale=0.6):
    n = np.arange(PAIRS)
    return scale * np.cos(2 * np.pi * n / 37.0), scale * np.sin(2 * np.pi * n / 37.0)


def interleave(i, q):
    out = np.empty(2 * len(i), dtype=np.asarray(i).dtype)
    out[0::2], out[1::2] = i, q
    return out


def int16_value(s):
    return (np.asarray(s, dtype=np.float64) - 0.5) / 32767.0


def make_cases(work):
    i, q = tone()
    si = np.round(i * 32767).astype(np.int16)
    sq = np.round(q * 32767).astype(np.int16)
    cases = []

    def add(name, args, expected_i, expected_q):
        cases.append((name, args, interleave(np.asarray(expected_i), np.asarray(expected_q))))

    # WAV, stereo 16-bit (SciPy) and mono float32 (SciPy): I and Q, or I with Q = 0.
    path = os.path.join(work, "stereo16.wav")
    scipy.io.wavfile.write(path, 2_000_000, np.stack([si, sq], axis=1))
    rate, back = scipy.io.wavfile.read(path)
    add("WAV stereo int16 (scipy)", [path], int16_value(back[:, 0]), int16_value(back[:, 1]))
    path = os.path.join(work, "mono32.wav")
    scipy.io.wavfile.write(path, 1_000_000, i.astype(np.float32))
    rate, back = scipy.io.wavfile.read(path)
    add("WAV mono float32 (scipy)", [path], back, np.zeros(PAIRS))

    # RIFX: the same stereo 16-bit file with every field and sample big-endian.
    payload = interleave(si, sq).astype(">i2").tobytes()
    fmt = struct.pack(">HHIIHH", 1, 2, 2_000_000, 8_000_000, 4, 16)
    riff = b"WAVE" + b"fmt " + struct.pack(">I", 16) + fmt + b"data" + struct.pack(
        ">I", len(payload)) + payload
    path = os.path.join(work, "bigendian.wav")
    open(path, "wb").write(b"RIFX" + struct.pack(">I", len(riff)) + riff)
    back = np.frombuffer(payload, dtype=">i2").reshape(-1, 2)
    add("RIFX stereo int16 (struct)", [path], int16_value(back[:, 0]), int16_value(back[:, 1]))

    # NumPy: complex64, float64 of shape (N, 2), real float32.
    path = os.path.join(work, "c64.npy")
    np.save(path, (i + 1j * q).astype(np.complex64))
    back = np.load(path)
    add("NumPy complex64", [path, "-clock", "2"], back.real, back.imag)
    path = os.path.join(work, "f8pairs.npy")
    np.save(path, np.stack([i, q], axis=1))
    back = np.load(path)
    add("NumPy float64 (N, 2)", [path, "-clock", "2"], back[:, 0], back[:, 1])
    path = os.path.join(work, "real.npy")
    np.save(path, i.astype(np.float32))
    back = np.load(path)
    add("NumPy real float32", [path, "-clock", "2"], back, np.zeros(PAIRS))

    # The names SDR tools give their raw files.
    path = os.path.join(work, "rec.cfile")
    interleave(i, q).astype("<f4").tofile(path)
    back = np.fromfile(path, dtype="<f4")
    add(".cfile (float32 pairs)", [path, "-clock", "2"], back[0::2], back[1::2])
    path = os.path.join(work, "rec.complex")
    interleave(i, q).astype("<f4").tofile(path)
    add(".complex (float32 pairs)", [path, "-clock", "2"], back[0::2], back[1::2])
    path = os.path.join(work, "rec.complex16u")
    u8 = np.clip(np.round(interleave(i, q) * 127.5 + 127.5), 0, 255).astype(np.uint8)
    u8.tofile(path)
    back = np.fromfile(path, dtype=np.uint8).astype(np.float64)
    add(".complex16u (cu8)", [path, "-clock", "2"], (back[0::2] - 127.5) / 128.0,
        (back[1::2] - 127.5) / 128.0)
    path = os.path.join(work, "rec.complex16s")
    s8 = np.round(interleave(i, q) * 127).astype(np.int8)
    s8.tofile(path)
    back = np.fromfile(path, dtype=np.int8).astype(np.float64)
    add(".complex16s (cs8)", [path, "-clock", "2"], back[0::2] / 128.0, back[1::2] / 128.0)
    path = os.path.join(work, "rec.complex32s")
    interleave(si, sq).astype("<i2").tofile(path)
    back = np.fromfile(path, dtype="<i2")
    add(".complex32s (i16le)", [path, "-clock", "2"], int16_value(back[0::2]),
        int16_value(back[1::2]))

    # SigMF archive (tarfile, json): ci16_le, and a real rf32_le recording.
    path = os.path.join(work, "capture.sigmf")
    with tarfile.open(path, "w", format=tarfile.PAX_FORMAT) as tar:
        for name, datatype, data in (
                ("iq", "ci16_le", interleave(si, sq).astype("<i2").tobytes()),
                ("real", "rf32_le", i.astype("<f4").tobytes())):
            meta = {"global": {"core:datatype": datatype, "core:version": "1.0.0",
                               "core:sample_rate": 1e6},
                    "captures": [{"core:sample_start": 0}], "annotations": []}
            for suffix, content in ((".sigmf-meta", json.dumps(meta).encode()),
                                    (".sigmf-data", data)):
                info = tarfile.TarInfo(f"{name}/{name}{suffix}")
                info.size = len(content)
                tar.addfile(info, io.BytesIO(content))
    with tarfile.open(path) as tar:
        iq = np.frombuffer(tar.extractfile("iq/iq.sigmf-data").read(), dtype="<i2")
        real = np.frombuffer(tar.extractfile("real/real.sigmf-data").read(), dtype="<f4")
    # Each recording of an archive gives an output named after it.
    cases.append(("SigMF archive, ci16_le member (tarfile)", [path, "=_iq.wv"],
                  interleave(int16_value(iq[0::2]), int16_value(iq[1::2]))))
    cases.append(("SigMF archive, rf32_le member (tarfile)", [path, "=_real.wv"],
                  interleave(real, np.zeros(PAIRS))))

    # MAT-files (SciPy): Level 5 compressed and plain, Level 4; complex double
    # and an int16 N x 2 matrix.
    for label, options in (("Level 5 compressed", {"do_compression": True}),
                           ("Level 5", {}), ("Level 4", {"format": "4"})):
        path = os.path.join(work, "v" + label.replace(" ", "_") + ".mat")
        scipy.io.savemat(path, {"iq": (i + 1j * q).reshape(-1, 1)}, **options)
        back = scipy.io.loadmat(path)["iq"].ravel()
        add(f"MAT {label} complex double (scipy)", [path, "-format", "mat", "-clock", "2"],
            back.real, back.imag)
    path = os.path.join(work, "int16.mat")
    scipy.io.savemat(path, {"pairs": np.stack([si, sq], axis=1)}, do_compression=True)
    back = scipy.io.loadmat(path)["pairs"]
    add("MAT Level 5 int16 N x 2 (scipy)", [path, "-format", "mat", "-clock", "2"],
        int16_value(back[:, 0]), int16_value(back[:, 1]))
    return cases


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[4], file=sys.stderr)
        return 2
    wavora, work = os.path.abspath(sys.argv[1]), sys.argv[2]
    os.makedirs(work, exist_ok=True)
    failed = 0
    for name, args, expected in make_cases(work):
        # "=name": the output the program names itself; else -out out.wv.
        named = [a[1:] for a in args if a.startswith("=")]
        args = [a for a in args if not a.startswith("=")]
        if "-format" not in args:
            args += ["-format", "auto"]
        out = named[0] if named else "out.wv"
        command = [wavora] + args + ["-batch", "-overwrite"] + ([] if named else ["-out", out])
        run = subprocess.run(command, cwd=work, stdin=subprocess.DEVNULL, capture_output=True)
        if run.returncode != 0:
            print(f"FAILED  {name}: exit {run.returncode}")
            print(run.stdout.decode(errors="replace")[-600:])
            failed += 1
            continue
        got = read_output_words(os.path.join(work, out))
        want = words_of(expected)
        if got.shape == want.shape and np.array_equal(got, want):
            print(f"equal   {name}: {len(got) // 2} pairs")
        else:
            diff = np.flatnonzero(got != want)[:3] if got.shape == want.shape else []
            print(f"DIFFER  {name}: {got.shape} vs {want.shape}, first at {list(diff)}")
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
