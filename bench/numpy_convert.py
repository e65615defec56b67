#!/usr/bin/env python3
"""The reference conversion of the benchmarks, done in memory with numpy.

    numpy_convert.py i16le|f32le <input> <output>

The same arithmetic as the tool on a raw input: i16le samples become
(s - 0.5) / 32767 as 32-bit floats (f32le samples are taken as they are), the
peak and RMS of the I/Q magnitude are measured, data whose peak is above full
scale is scaled down to it, and every value v is written as the 16-bit word
trunc(v * 32767 + 0.5), little-endian. Only the sample words are written: no
tags, no temporary files, no cipher.
"""
import sys

import numpy as np


def main() -> int:
    if len(sys.argv) != 4 or sys.argv[1] not in ("i16le", "f32le"):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    kind, source, target = sys.argv[1:]
    if kind == "i16le":
        raw = np.fromfile(source, dtype="<i2")
        values = (raw.astype(np.float32) - np.float32(0.5)) / np.float32(32767.0)
    else:
        values = np.fromfile(source, dtype="<f4")
    values = values[: values.size // 2 * 2]
    # Peak and RMS of the magnitude in double precision, a block of pairs at
    # a time so that the statistics add no whole-file arrays.
    peak_power = 0.0
    total_power = 0.0
    block = 1 << 22
    for start in range(0, values.size, 2 * block):
        pairs = values[start : start + 2 * block].astype(np.float64).reshape(-1, 2)
        power = pairs[:, 0] * pairs[:, 0] + pairs[:, 1] * pairs[:, 1]
        peak_power = max(peak_power, float(power.max()))
        total_power += float(power.sum())
    count = values.size // 2
    peak = float(np.sqrt(peak_power))
    rms = float(np.sqrt(total_power / count)) if count else 0.0
    if peak > 1.0:
        values = values / np.float32(peak)
    values *= np.float32(32767.0)
    values += np.float32(0.5)
    words = np.trunc(values, out=values).astype("<i2")
    words.tofile(target)
    print(f"peak {peak:.6f} rms {rms:.6f} words {words.size}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
