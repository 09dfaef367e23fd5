"""An on-off-keyed, pulse-width-coded remote control: keying the bits and slicing them back.

Each bit is one pulse: a 0 is 1 unit on and 3 off, a 1 is 3 on and 1 off. A frame is the bits
followed by a sync mark (1 unit on, 31 off), and a press repeats the frame.
"""
import numpy as np

SHORT, LONG, SYNC_GAP = 1, 3, 31


def keying(bits, unit, frames):
    """On/off keying (1.0 / 0.0) of `frames` repeats of `bits`, `unit` samples per unit."""
    pattern = []
    for bit in bits:
        pattern += [(LONG, 1), (SHORT, 0)] if bit else [(SHORT, 1), (LONG, 0)]
    pattern += [(SHORT, 1), (SYNC_GAP, 0)]
    # Round the unit boundaries, not each piece, so that long trains keep their timing.
    edges = np.round(np.cumsum([0] + [units for units, _ in pattern] * frames) * unit)
    levels = [level for _, level in pattern] * frames
    out = np.zeros(int(edges[-1]), dtype=np.float32)
    for level, a, b in zip(levels, edges[:-1].astype(int), edges[1:].astype(int)):
        out[a:b] = level
    return out


def magnitude_from_envelope(values):
    """Undoes iqenv's running-mean removal up to a constant.

    iqenv writes u[n] = m[n] - mean(m[0..n]); the mean then grows by u[n] / n at each step, so
    m[n] = u[n] + m[0] + sum(u[i] / i for i = 1..n). m[0] is not known and is taken as 0.
    """
    u = np.asarray(values, dtype=np.float64)
    steps = np.zeros_like(u)
    steps[1:] = u[1:] / np.arange(1, len(u))
    return u + np.cumsum(steps)


def threshold(magnitude):
    """Halfway between the quiet level and the keyed-on level."""
    quiet, on = np.percentile(magnitude, [5, 99])
    return (quiet + on) / 2


def pulses(magnitude, level):
    """(start, end) sample indices of each run above `level`, runs cut by the ends dropped."""
    above = np.concatenate(([False], magnitude > level, [False]))
    change = np.flatnonzero(np.diff(above.astype(np.int8)))
    runs = change.reshape(-1, 2)
    return [(int(a), int(b)) for a, b in runs if a > 0 and b < len(magnitude)]


def frames_of(runs):
    """Bit lists, one per frame: pulses grouped by the sync gaps, each group's sync dropped.

    The unit is learnt from the pulses themselves: the widths split into short and long at
    their midpoint, and a gap longer than three long pulses ends a frame.
    """
    if not runs:
        return []
    widths = np.array([b - a for a, b in runs])
    split = (widths.min() + widths.max()) / 2
    frame_gap = 3 * widths.max()
    frames, current = [], []
    for i, (a, b) in enumerate(runs):
        current.append(int(b - a > split))
        gap = runs[i + 1][0] - b if i + 1 < len(runs) else np.inf
        if gap > frame_gap:
            frames.append(current[:-1])
            current = []
    return frames
