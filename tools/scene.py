"""A receiver's band over time, for the tests and the soak of `iqenv-config pulses`: keyed
transmissions repeated at their times, steady carriers that come and go, receiver noise, and
steps of the receiver's gain or of its noise, written a chunk at a time as a receiver would
deliver them (8-bit, then converted to cf32 as sox does), so that hours of it need no memory.
"""
import os
import sys
from dataclasses import dataclass, field

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import iqsignals  # noqa: E402


@dataclass
class Transmission:
    """One transmitter: its complex baseband (amplitude 1 while on) and when it sends it.

    keying: on/off keying or complex baseband at the scene's rate, or a function that gives it
    for the k-th sending (a message that changes, a counter say; each cut to the first's length);
    offset: hertz from the tuned frequency; amplitude: while on (1.0 is full scale); times:
    seconds where each sending starts."""
    keying: object
    offset: float
    amplitude: float
    times: list


@dataclass
class Carrier:
    """A steady carrier from `start` to `stop` seconds, at `offset` hertz."""
    start: float
    stop: float
    offset: float
    amplitude: float


@dataclass
class Scene:
    """Everything the receiver hears, and its own changes.

    noise: receiver noise, sigma per part (full scale 1); noise_steps: (seconds, factor) from
    when the noise alone is that many times its first level; gain_steps: (seconds, factor) from
    when the receiver's gain multiplies everything, noise included."""
    rate: int
    seconds: float
    noise: float
    transmissions: list = field(default_factory=list)
    carriers: list = field(default_factory=list)
    noise_steps: list = field(default_factory=list)
    gain_steps: list = field(default_factory=list)
    seed: int = 1

    def chunks(self, size=1 << 18):
        """The scene as complex64 samples, as an 8-bit receiver records them (rounded and
        clipped) and sox turns them into cf32, `size` samples at a time."""
        rng = np.random.default_rng(self.seed)
        total = int(self.seconds * self.rate)
        for at in range(0, total, size):
            n = min(size, total - at)
            t = (at + np.arange(n)) / self.rate
            sigma = self.noise * _steps(t, self.noise_steps)
            iq = (sigma * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))
            for c in self.carriers:
                on = (t >= c.start) & (t < c.stop)
                iq[on] += c.amplitude * np.exp(2j * np.pi * c.offset * t[on])
            for tx in self.transmissions:
                iq += self._sent(tx, at, n, t)
            iq *= _steps(t, self.gain_steps)
            raw = np.frombuffer(iqsignals.as_recorded(iq, "cu8"), dtype=np.uint8)
            yield ((raw.astype(np.float32) - np.float32(127.5)) / np.float32(127.5)).view(
                np.complex64)

    def _sent(self, tx, at, n, t):
        out = np.zeros(n, dtype=np.complex128)
        length = len(_sending(tx, 0))
        for k, start in enumerate(tx.times):
            first = int(round(start * self.rate))
            if first < at + n and first + length > at:
                sent = _sending(tx, k)[:length]
                a, b = max(first, at), min(first + len(sent), at + n)
                if a < b:
                    out[a - at:b - at] = sent[a - first:b - first]
        return tx.amplitude * out * np.exp(2j * np.pi * tx.offset * t)

    def cf32(self):
        """The whole scene as cf32 bytes (for short scenes)."""
        return b"".join(c.tobytes() for c in self.chunks())


def _sending(tx, k):
    """The keying of a transmitter's k-th sending."""
    return tx.keying(k) if callable(tx.keying) else tx.keying


def _steps(t, steps):
    """The factor in force at each time: 1, then each step's factor from its time on."""
    factor = np.ones(len(t))
    for when, value in sorted(steps):
        factor[t >= when] = value
    return factor
