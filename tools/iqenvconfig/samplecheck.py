"""Whether a recording's bytes can be IQ samples of the format they are read as.

Any bytes are samples of an integer format, and most are of cf32, so the check looks only for
what a receiver's recording never is, in blocks spread over the file (BLOCKS of BLOCK_BYTES),
and refuses only on evidence:

- Text: nearly every byte printable (ASCII, or UTF-8 beyond it), in lines. A recording is
  not: its I and Q swing both ways about their zero, which takes them out of the printable
  bytes, and a line break (byte 10) among printable bytes would be a leap no signal makes.
- cf32 (float32): values that are not finite, or of a size no recording holds (beyond
  FLOAT_LIMIT, or not zero and below FLOAT_TINY), in more than FLOAT_BAD of them. In 8 and
  16-bit samples read as float32 the exponent is a sample's top bits: most of the values are
  such.
- An integer format read from float32 samples: read as a floating-point format of the table
  (cf32), the bytes are values of a plausible size (nearly all, most of them not zero), within
  FLOAT_SPREAD of each other (from the 1st to the 99th percentile). Integer samples never are:
  their top byte, the float's exponent, swings through 0 with the signal.
- An integer format read from samples whose zero lies where this format's scale ends (cu8 read
  as cs8 or cs16, cs8 read as cu8): the samples that are not at the format's limits lie
  beyond half of full scale (more than WRAP_FAR of them) and leap from one end of the scale to
  the other between one sample and the next (more than WRAP_LEAPS of the steps). No signal
  keeps that many of its samples that far out: a tone at full scale, the most, keeps two thirds
  of them, noise far fewer; clipping puts samples at the limits themselves, which are left out.
  Recordings where the two formats cannot be told apart (noise that fills the whole scale, a
  noise of less than a step, silence) are not refused.

What is not refused is analysed as the format says.
"""
import numpy as np

from .formats import FORMATS

BLOCKS = 8
BLOCK_BYTES = 1 << 16
TEXT_SHARE = 0.99  # of the characters, printable or white space
FLOAT_LIMIT = 1e10  # no recording's float32 sample is this large...
FLOAT_TINY = 1e-30  # ...or this small, but for 0
FLOAT_BAD = 0.1  # of the values
FLOAT_PLAUSIBLE = 0.99  # of the values not zero, for integer samples that read as float32
FLOAT_SPREAD = 1e8  # from the 1st to the 99th percentile of their sizes, at most
WRAP_FAR = 0.8
WRAP_LEAPS = 0.05
MIN_VALUES = 1000
ALIGN = max(f.sample_bytes for f in FORMATS.values())


def blocks_of(path, offset, length):
    """Up to BLOCKS blocks of BLOCK_BYTES spread evenly over `length` bytes from `offset`, the
    first at the start and the last at the end; the whole where it is shorter. Each starts on
    a sample of every format.

    Parameters
    ----------
    path : str
    offset, length : int
        Where the samples lie in the file, in bytes.

    Returns
    -------
    list of bytes
    """
    with open(path, "rb") as f:
        if length <= BLOCKS * BLOCK_BYTES:
            f.seek(offset)
            return [f.read(length)]
        blocks = []
        for i in range(BLOCKS):
            at = (length - BLOCK_BYTES) * i // (BLOCKS - 1) // ALIGN * ALIGN
            f.seek(offset + at)
            blocks.append(f.read(BLOCK_BYTES))
        return blocks


def refusal(blocks, fmt):
    """Why the bytes in `blocks` cannot be IQ samples in `fmt`, or None where they can.

    Parameters
    ----------
    blocks : list of bytes
        Pieces of the recording, each starting on a sample.
    fmt : str
        One of formats.FORMATS.

    Returns
    -------
    str or None
        What the bytes look like instead, as a sentence to follow "PATH: ".
    """
    kind = FORMATS[fmt]
    what = f"{fmt} IQ samples ({kind.description})"
    share = _text_share(blocks)
    if share is not None:
        return (f"this is text, not {what}: {_percent(share)} of the bytes read are printable "
                "characters, in lines")
    if kind.floating:
        bad = _float_bad(blocks, kind.component)
        if bad is not None:
            return (f"does not look like {what}: {_percent(bad)} of the values read are not "
                    f"finite, or of a size no recording holds (beyond {FLOAT_LIMIT:g}, or "
                    f"below {FLOAT_TINY:g} but not 0), as 8 or 16-bit samples read as float "
                    "are; give --format")
        return None
    for other in (f for f in FORMATS.values() if f.floating):
        floats = _integer_as_float(blocks, other.component)
        if floats is not None:
            return (f"does not look like {what}: read as {other.name} ({other.description}), "
                    f"{_percent(floats)} of its values are of a plausible size; give --format")
    wrap = _wrapped(blocks, kind.component)
    if wrap is not None:
        far, leaps = wrap
        others = [f.name for f in FORMATS.values() if not f.floating and f is not kind]
        return (f"does not look like {what}: {_percent(far)} of its values lie beyond half of "
                f"full scale, and {_percent(leaps)} of the steps leap from one end of the "
                f"scale to the other, as samples of another format ({' or '.join(others)}, "
                f"say) read as {fmt} do; give --format")
    return None


def _percent(share):
    return f"{100 * share:.0f} %" if share < 0.995 else f"{100 * share:.1f} %"


def _text_share(blocks):
    """The share of printable characters where the bytes are text, else None."""
    total = printable = breaks = 0
    for block in blocks:
        b = np.frombuffer(block, np.uint8)
        ascii_ok = ((b >= 0x20) & (b < 0x7F)) | (b == 9) | (b == 10) | (b == 13)
        high = b >= 0x80
        count = int(np.sum(ascii_ok))
        if high.any() and _utf8(block):
            count += int(np.sum(high))  # the bytes of characters beyond ASCII
        total += len(b)
        printable += count
        breaks += int(np.sum(b == 10))
        if printable < TEXT_SHARE * total:
            return None  # not text so far: no need to read on
    if total < 64 or not breaks:
        return None
    return printable / total


def _utf8(block):
    """Whether `block` is UTF-8, but for a character cut at either end."""
    b = np.frombuffer(block, np.uint8)
    start = int(np.argmax((b & 0xC0) != 0x80)) if len(b) else 0  # past a cut character's tail
    for end in range(len(b), max(len(b) - 4, start) - 1, -1):  # before a cut character's head
        try:
            block[start:end].decode("utf-8")
            return True
        except UnicodeDecodeError as e:
            if e.start < end - start - 4:
                return False
    return False


def _float_bad(blocks, component):
    """The share of values no float32 recording holds, where it is over FLOAT_BAD."""
    values = np.concatenate([np.frombuffer(b, component, len(b) // component.itemsize)
                             for b in blocks])
    if len(values) < MIN_VALUES:
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        size = np.abs(values.astype(np.float64))
    bad = ~np.isfinite(size) | (size > FLOAT_LIMIT) | ((size < FLOAT_TINY) & (size != 0))
    share = float(np.mean(bad))
    return share if share > FLOAT_BAD else None


def _integer_as_float(blocks, component):
    """The share of floating-point values (of type `component`) of a plausible size, where the
    bytes read as such are such values (nearly all, most not zero, within FLOAT_SPREAD of each
    other), else None."""
    values = np.concatenate([np.frombuffer(b, component, len(b) // component.itemsize)
                             for b in blocks])
    if len(values) < MIN_VALUES:
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        size = np.abs(values.astype(np.float64))
    nonzero = size != 0
    plausible = np.isfinite(size) & (size <= FLOAT_LIMIT) & (size >= FLOAT_TINY)
    if nonzero.mean() < 0.5 or plausible.sum() < FLOAT_PLAUSIBLE * nonzero.sum():
        return None
    low, high = np.percentile(size[plausible], [1, 99])
    if high > FLOAT_SPREAD * low:
        return None
    return float(plausible.sum() / nonzero.sum())


def _wrapped(blocks, component):
    """(share of values beyond half of full scale, share of steps from end to end) where they
    show samples whose zero is where this format's scale ends, else None."""
    info = np.iinfo(component)
    centre2 = int(info.min) + int(info.max)  # twice the centre of the scale
    half2 = (int(info.max) - int(info.min) + 1) // 2  # twice half of full scale
    far_count = inner_count = leaps = steps = 0
    for block in blocks:
        usable = len(block) // (2 * component.itemsize) * 2
        raw = np.frombuffer(block, component, usable).reshape(-1, 2)
        x2 = 2 * raw.astype(np.int32) - centre2  # twice the value, from the centre
        inner = (raw != info.min) & (raw != info.max)  # at a limit: clipping, no evidence
        high, low = x2 >= half2, x2 <= -half2
        far_count += int(np.count_nonzero((high | low) & inner))
        inner_count += int(np.count_nonzero(inner))
        both = inner[1:] & inner[:-1]
        leap = (high[1:] & low[:-1]) | (low[1:] & high[:-1])
        leaps += int(np.count_nonzero(leap & both))
        steps += int(np.count_nonzero(both))
    if inner_count < MIN_VALUES or steps < MIN_VALUES:
        return None
    far_share, leap_share = far_count / inner_count, leaps / steps
    if far_share <= WRAP_FAR or leap_share <= WRAP_LEAPS:
        return None
    return far_share, leap_share
