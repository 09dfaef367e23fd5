"""Keyed devices for the tests and benchmarks of `iqenv-config pulses`: bits coded as on/off
keying in each coding the pulse analyser names, with jitter, then written as IQ at an offset
with noise, as a receiver records them.

Conventions are rtl_433's, so that its flex decoders read back the bits sent:
PWM a short pulse is 1, a long pulse 0; PPM a short gap is 0, a long gap 1; Manchester a
falling edge mid-bit is 1 (on then off), and the packet starts with a 0 bit whose silent first
half cannot be seen; differential Manchester a whole-bit element is 0 and two half-bit elements
are 1 (the level always changes at each bit's start); PIWM every pulse and every gap carries a
bit, short 1 and long 0; PCM (NRZ) each bit is one unit, on for 1.
"""
import os
import sys
from dataclasses import dataclass, field

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import iqsignals  # noqa: E402

CODINGS = ("pwm_gap", "pwm_period", "ppm", "manchester", "dmc", "pcm", "piwm")
# What the analyser calls each coding.
NAMES = {"pwm_gap": "PWM", "pwm_period": "PWM", "ppm": "PPM", "manchester": "Manchester",
         "dmc": "differential Manchester", "pcm": "PCM", "piwm": "PIWM"}
PREAMBLE = [1, 0] * 4
SHORT_UNITS, LONG_UNITS, SYNC_GAP_UNITS = 1, 3, 31  # a fixed-code remote's widths (fixed_code)


@dataclass
class Device:
    """One transmitter: its coding, unit (shortest nominal element, us), bits and framing."""
    coding: str
    unit: float
    bits: list
    repeats: int = 3
    sync: bool = False
    preamble: bool = False
    ratio: float = 2.0  # long element over short, for PWM, PPM
    jitter: float = 0.1  # each element's width varies by up to this share
    seed: int = 1
    rows: list = field(default_factory=list, init=False)

    def __post_init__(self):
        head = PREAMBLE if self.preamble else []
        self.rows = [head + list(self.bits)] * self.repeats

    def nominal(self):
        """Nominal widths (us) by name: what the analyser should find."""
        u, r = self.unit, self.ratio
        return {"pwm_gap": {"short": u, "long": r * u, "gap": u},
                "pwm_period": {"short": u, "long": r * u},
                "ppm": {"pulse": u, "short": r * u, "long": 2 * r * u},
                "manchester": {"short": u, "long": 2 * u},
                "dmc": {"short": u, "long": 2 * u},
                "pcm": {"short": u},
                "piwm": {"short": u, "long": 2.5 * u}}[self.coding]

    def sync_widths(self):
        """(pulse, gap) of the sync mark ahead of each row, or None."""
        if not self.sync:
            return None
        n = self.nominal()
        if self.coding.startswith("pwm"):
            return 4 * n["long"], n["short"]
        return n["pulse"], 2.5 * n["long"]  # PPM: a long gap after one pulse

    def row_gap(self):
        """Silence between repeats (us): well beyond any element of a row."""
        longest = max(self.nominal().values())
        if self.sync:
            longest = max(longest, *self.sync_widths())
        return max(5000.0, 4 * longest, 20 * self.unit)

    def levels(self):
        """The whole transmission as (on, width us) runs, repeats included, jitter applied."""
        rng = np.random.default_rng(self.seed)
        runs = []
        for row in self.rows:
            if self.sync:
                p, g = self.sync_widths()
                runs += [(1, p), (0, g)]
            runs += self._row_levels(row)
            runs.append((0, self.row_gap()))
        merged = []
        for level, width in runs:
            if merged and merged[-1][0] == level:
                merged[-1] = (level, merged[-1][1] + width)
            else:
                merged.append((level, width))
        if merged[0][0] == 0:
            merged.pop(0)
        out = []
        for level, width in merged:
            if level == 1 or width < self.row_gap():
                # PCM runs keep a clock: their jitter is a share of one unit, not of the run.
                base = self.unit if self.coding == "pcm" else width
                width = width + base * self.jitter * rng.uniform(-1, 1)
            out.append((level, width))
        return out

    def _row_levels(self, bits):
        n, u = self.nominal(), self.unit
        if self.coding == "pwm_gap":
            return [r for b in bits for r in ((1, n["short"] if b else n["long"]), (0, n["gap"]))]
        if self.coding == "pwm_period":
            s, l_ = n["short"], n["long"]
            return [r for b in bits for r in (((1, s), (0, l_)) if b else ((1, l_), (0, s)))]
        if self.coding == "ppm":
            out = [r for b in bits for r in ((1, n["pulse"]), (0, n["long"] if b else n["short"]))]
            return out + [(1, n["pulse"])]
        if self.coding == "manchester":
            return [r for b in [0] + list(bits) for r in (((1, u), (0, u)) if b else
                                                         ((0, u), (1, u)))]
        if self.coding == "dmc":
            out, level = [], 1
            for b in bits:
                if not b:
                    out.append((level, 2 * u))
                else:
                    out += [(level, u), (1 - level, u)]
                    level = 1 - level
                level = 1 - level
            return out
        if self.coding == "pcm":
            return [(b, u) for b in bits]
        if self.coding == "piwm":
            out, level = [], 1
            for b in bits:
                out.append((level, n["short"] if b else n["long"]))
                level = 1 - level
            return out
        raise ValueError(self.coding)

    def pulses(self):
        """(pulse us, gap us) pairs, the last gap the silence after the last row."""
        runs = self.levels()
        return [(runs[i][1], runs[i + 1][1] if i + 1 < len(runs) else self.row_gap())
                for i in range(0, len(runs), 2)]


def keying(device, samplerate, lead=0.02):
    """0/1 keying at `samplerate`, `lead` seconds of silence around the transmission."""
    edges = np.round(np.cumsum([lead * 1e6] + [w for _, w in device.levels()]) * samplerate / 1e6)
    out = np.zeros(int(edges[-1] + lead * samplerate), dtype=np.float32)
    for (level, _), a, b in zip(device.levels(), edges[:-1].astype(int), edges[1:].astype(int)):
        out[a:b] = level
    return out


def recording(device, samplerate, offset, snr_db, channel_hz, lead=0.02, amplitude=0.3,
              seed=None):
    """IQ of `device` at `offset` Hz with white noise such that the SNR in a band of
    `channel_hz` is `snr_db` (carrier power against the noise power in that band)."""
    keyed = keying(device, samplerate, lead)
    iq = iqsignals.carrier(samplerate, offset, amplitude * keyed)
    # Noise density: power A^2 over the band's share of the whole rate.
    noise_power = amplitude ** 2 / 10 ** (snr_db / 10) * samplerate / channel_hz
    sigma = np.sqrt(noise_power / 2)
    return iq + iqsignals.complex_noise(len(iq), sigma, device.seed if seed is None else seed)


def visible_end(coding, bits, preamble=False):
    """`bits` changed at the end where the silence after a row would hide the last bit: PCM
    ends on a 1, PIWM on a pulse (an odd count), differential Manchester on a pulse."""
    bits = list(bits)
    if coding == "pcm":
        bits[-1] = 1
    if coding == "piwm" and (len(bits) + (len(PREAMBLE) if preamble else 0)) % 2 == 0:
        bits.append(1)
    if coding == "dmc":
        levels = Device("dmc", 1, bits, repeats=1, preamble=preamble, jitter=0).levels()
        if levels[-1][0] == 0 or len(levels) % 2 == 0:
            bits[-1] ^= 1
    return bits


def random_device(rng, coding=None, unit=None):
    """A device with random coding, unit (200-2000 us), framing and bits."""
    coding = coding or CODINGS[rng.integers(len(CODINGS))]
    unit = unit or float(np.exp(rng.uniform(np.log(200), np.log(2000))))
    nbits = int(rng.integers(16, 41))
    bits = [int(b) for b in rng.integers(0, 2, nbits)]
    sync = coding in ("pwm_gap", "pwm_period", "ppm") and bool(rng.integers(2))
    preamble = bool(rng.integers(2))
    bits = visible_end(coding, bits, preamble)
    ratio = float(rng.choice([2.0, 3.0])) if coding.startswith("pwm") else 2.0
    return Device(coding, round(unit), bits, repeats=int(rng.integers(3, 5)), sync=sync,
                  preamble=preamble, ratio=ratio, seed=int(rng.integers(1 << 30)))


def fixed_code(bits, unit, frames):
    """On/off keying (1.0 / 0.0) of a fixed-code remote: `frames` repeats of `bits`, `unit`
    samples per unit. Each bit is one pulse: a 0 is 1 unit on and 3 off, a 1 is 3 on and 1 off
    (rtl_433's PWM reads them inverted: a short pulse is its 1); each frame ends with a sync
    mark, 1 unit on and 31 off."""
    pattern = []
    for bit in bits:
        pattern += [(LONG_UNITS, 1), (SHORT_UNITS, 0)] if bit else [(SHORT_UNITS, 1), (LONG_UNITS, 0)]
    pattern += [(SHORT_UNITS, 1), (SYNC_GAP_UNITS, 0)]
    # Round the unit boundaries, not each piece, so that long trains keep their timing.
    edges = np.round(np.cumsum([0] + [units for units, _ in pattern] * frames) * unit)
    levels = [level for _, level in pattern] * frames
    out = np.zeros(int(edges[-1]), dtype=np.float32)
    for level, a, b in zip(levels, edges[:-1].astype(int), edges[1:].astype(int)):
        out[a:b] = level
    return out
