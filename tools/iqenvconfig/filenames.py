"""What a recording's file name says: its sample rate, tuned frequency and sample format.

Receivers and the programs around them name recordings after what they hold:

    g001_433.92M_250k.cu8                              rtl_433: MHz ("M"), then kS/s ("k")
    gqrx_20240102_123456_433920000_2400000_fc.raw      gqrx: Hz, then S/s, complex float32
    baseband_433920000Hz_12-34-56_02-01-2024.wav      SDR++ (the rate is in the WAV header)

The name is cut at "_" into tokens. A token with a unit says what it is: "433920000Hz",
"433.92MHz" and "433920kHz" are frequencies, "2.4Msps" and "250ksps" rates. rtl_433 writes a
frequency with "M" and a rate with "k"; a second "M" token, or a plain number right after the
frequency, is the rate ("433.92M_2.4M", "315M_2400000"). Anything else is not taken: dates and
times are plain numbers too. Where a token could mean two things it is not guessed: a rate
outside RATE_RANGE ("433920k" would be 433.92 MS/s), two different frequencies or rates, or a
lone "2.4M" with no rate beside it (a low frequency or a rate). What was not taken, and why, is
kept, so that a refusal can say it.
"""
import os
import re
from decimal import Decimal
from dataclasses import dataclass, field

from . import formats

# File name extensions that name a sample format (rtl_433's and GNU Radio's), as FORMATS names.
EXTENSIONS = formats.by_extension()
RATE_RANGE = (1e3, 100e6)  # samples per second a receiver's recording plausibly has
FREQUENCY_RANGE = (1e3, 300e9)  # hertz
LONE_MEGA_LIMIT = 64e6  # a lone "M" token below this may be a rate as well as a frequency

GQRX = re.compile(r"gqrx_\d{8}_\d{6}_(\d+)_(\d+)_fc\.raw", re.IGNORECASE)
NUMBER = r"(\d+(?:\.\d+)?)"
PREFIX = {"": 1, "k": 1000, "m": 1000000, "g": 1000000000}
HERTZ = re.compile(NUMBER + r"([kmg]?)hz", re.IGNORECASE)
PER_SECOND = re.compile(NUMBER + r"([km]?)(?:sps|s)", re.IGNORECASE)
KILO = re.compile(NUMBER + r"k", re.IGNORECASE)
MEGA = re.compile(NUMBER + r"([MG])")
PLAIN = re.compile(r"\d+")


@dataclass
class NameFacts:
    """What a file name says.

    Attributes
    ----------
    samplerate : int or None
        Samples per second.
    frequency : float or None
        Tuned frequency, in hertz.
    format : str or None
        Sample format, as formats.FORMATS names it.
    doubts : list of str
        Tokens that were not taken, each with the reason.
    """

    samplerate: int = None
    frequency: float = None
    format: str = None
    doubts: list = field(default_factory=list)


def extension(path):
    """The file name's extension, lower case, without the dot ("" where there is none).

    Parameters
    ----------
    path : str
        A file name or path.

    Returns
    -------
    str
    """
    suffix = os.path.splitext(os.path.basename(path))[1][1:]
    # "g001_433.92M_250k" has no extension: its last dot is a decimal point.
    return suffix.lower() if re.fullmatch(r"[A-Za-z][A-Za-z0-9]*", suffix) else ""


def facts(path):
    """The sample rate, tuned frequency and format a file name gives.

    Parameters
    ----------
    path : str
        The recording's path; only its last component is read.

    Returns
    -------
    NameFacts
    """
    name = os.path.basename(path)
    found = NameFacts(format=EXTENSIONS.get(extension(name)))
    gqrx = GQRX.fullmatch(name)
    if gqrx:
        found.format = "cf32"
        _take(found, [(gqrx[1], _value(gqrx[1]))], [(gqrx[2], _value(gqrx[2]))])
        return found
    stem = name[:-len(extension(name)) - 1] if extension(name) else name
    tokens = [t for t in stem.split("_") if t]
    frequencies, rates, megas = [], [], []
    after_frequency = False
    for token in tokens:
        if m := HERTZ.fullmatch(token):
            frequencies.append((token, _value(m[1], m[2])))
        elif m := PER_SECOND.fullmatch(token):
            rates.append((token, _value(m[1], m[2])))
        elif m := KILO.fullmatch(token):
            rates.append((token, _value(m[1], "k")))
        elif m := MEGA.fullmatch(token):
            megas.append((token, _value(m[1], m[2])))
        elif PLAIN.fullmatch(token) and after_frequency:
            rates.append((token, _value(token)))
        after_frequency = bool(HERTZ.fullmatch(token) or MEGA.fullmatch(token))
    if len(megas) == 2 and not rates and not frequencies:
        frequencies, rates = megas[:1], megas[1:]
    elif (len(megas) == 1 and not rates and not frequencies
          and megas[0][1] < LONE_MEGA_LIMIT and megas[0][0][-1] == "M"):
        found.doubts.append(f"'{megas[0][0]}' may be a rate or a frequency")
    else:
        frequencies += megas
    _take(found, frequencies, rates)
    return found


def _value(number, prefix=""):
    """A token's number times its prefix, exactly: "433.92" "M" is 433920000."""
    return Decimal(number) * PREFIX[prefix.lower()]


def _plain(value):
    text = format(value, "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def _take(found, frequencies, rates):
    """Keeps one frequency and one rate where the name gives one each, plausible."""
    def one(candidates, what):
        if len({v for _, v in candidates}) > 1:
            found.doubts.append(f"{' and '.join(repr(t) for t, _ in candidates)} are two {what}")
            return None
        return candidates[0] if candidates else None

    frequency, rate = one(frequencies, "frequencies"), one(rates, "rates")
    if frequency:
        token, value = frequency
        if FREQUENCY_RANGE[0] <= value <= FREQUENCY_RANGE[1]:
            found.frequency = float(value)
        else:
            found.doubts.append(f"'{token}' would be {_plain(value)} Hz, not a tuned frequency")
    if rate:
        token, value = rate
        if not RATE_RANGE[0] <= value <= RATE_RANGE[1]:
            found.doubts.append(f"'{token}' would be {_plain(value)} samples/s, not a "
                                "receiver's rate")
        elif value != int(value):
            found.doubts.append(f"'{token}' would be {_plain(value)} samples/s, not a whole "
                                "number")
        else:
            found.samplerate = int(value)
