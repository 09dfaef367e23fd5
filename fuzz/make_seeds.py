#!/usr/bin/python3
"""Writes the seed corpus of each fuzz target into fuzz/corpus/<target>/ (committed; rerun
only to change the seeds). Each seed is a small valid case the target should grow from."""
import os
import struct

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def config(frequency, rate, taps, declared=None):
    taps = np.asarray(taps, dtype=np.complex64)
    count = len(taps) if declared is None else declared
    return struct.pack("<fII", frequency, rate, count) + taps.tobytes()


def tone(n, cycles_per_sample, amplitude=1.0):
    return (amplitude * np.exp(2j * np.pi * cycles_per_sample * np.arange(n))).astype(np.complex64)


def specials():
    """A block of the values that break arithmetic: NaN, infinities, subnormals, extremes."""
    f = np.finfo(np.float32)
    values = [np.nan, np.inf, -np.inf, f.tiny / 8, -f.tiny / 8, f.max, -f.max, 0.0, -0.0, 1.0]
    re = np.resize(np.array(values, dtype=np.float32), 256)
    z = np.empty(256, dtype=np.complex64)
    z.real, z.imag = re, np.roll(re, 3)  # built part by part: 1j * inf would make NaNs
    return z


def seeds():
    one = [1 + 0j]
    band = tone(16, 0.05) * np.hamming(16) / 8
    yield "config", "one_tap", config(100e3, 2400000, one)
    yield "config", "band", config(433.92e6, 2400000, band) + b"trailing"
    yield "config", "no_taps", config(0.0, 24000, [])
    yield "config", "truncated", config(1.0, 48000, one * 3)[:-5]
    yield "config", "huge_count", config(1.0, 48000, one, declared=0xFFFFFFFF)
    yield "config", "rate_low", config(1.0, 93, one)
    yield "config", "rate_high", config(1.0, 6144001, one)
    yield "config", "nan_frequency", config(float("nan"), 24000, one)
    yield "config", "inf_tap", config(1.0, 24000, [1, complex(0, float("inf"))])

    yield "chain", "unit_rate", config(0.0, 24000, one) + tone(512, 0.25).tobytes()
    yield "chain", "downsample", config(6e3, 48000, band) + tone(1024, 0.1).tobytes()
    yield "chain", "upsample", config(10.0, 2400, one) + tone(256, 0.01).tobytes()
    yield "chain", "specials", config(0.0, 24000, [0.5 + 0.5j, -1j]) + specials().tobytes()
    yield "chain", "partial", config(1e3, 96000, one) + tone(300, 0.3).tobytes()

    yield "fir", "band", bytes([15, 7]) + band.tobytes() + tone(600, 0.05).tobytes()
    yield "fir", "specials", bytes([3, 1]) + np.array([1, 1j, -1, np.inf], np.complex64).tobytes() \
        + specials().tobytes()

    for name, f, rate, start in [("quarter", 600000.0, 2400000, 0), ("uhf", 433.92e6, 2400000, 1 << 39),
                                  ("zero", 0.0, 24000, 12345), ("negative", -1234.5, 48000, 7),
                                  ("tiny", 1e-30, 3, (1 << 40) - 5000), ("above", 5e6, 96000, 99)]:
        yield "oscillator", name, struct.pack("<fIQHB", f, rate, start, 2000, 5)

    yield "envelope", "constant", bytes([9]) + tone(500, 0.1, 3.0).tobytes()
    yield "envelope", "specials", bytes([4]) + specials().tobytes()
    yield "envelope", "ramp", bytes([0]) + (np.arange(300, dtype=np.float32) * (1 + 1j)).astype(
        np.complex64).tobytes()


def main():
    for target, name, data in seeds():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
