"""What iqenv-config knows of iqenv that iqenv itself defines: read from iqenv-facts.json,
which iqenv's build writes with a program made from iqenv's own code (tools/iqenv-facts.cpp).

The file is the one given to use(), else the one named by the environment variable
IQENV_FACTS, else iqenv-facts.json beside the package (where it is installed).
"""
import json
import os

FILE_NAME = "iqenv-facts.json"
_path = None
_facts = None


class MissingFacts(RuntimeError):
    """iqenv-facts.json is not where it is looked for: iqenv has not been built."""


def use(path):
    """Reads iqenv's facts from `path` from now on.

    Parameters
    ----------
    path : str
        The iqenv-facts.json that iqenv's build wrote.
    """
    global _path, _facts
    _path, _facts = path, None


def get():
    """iqenv's facts, read once.

    Returns
    -------
    dict
        "output_rate" (samples per second), "output_gain", "converter" ("type", libsamplerate's
        converter number, and "channels"), "samplerates" ("lowest", "highest" accepted),
        "decimation_steps" ([first rate, decimation from there] pairs, ascending; 0 refused,
        1 no decimator), "decimator" ("half_bands": [{"min_rate" in samples per second,
        "weights"}], shortest first),
        "cosine_table_period" (samples), "report" and "messages" (templates for str.format).

    Raises
    ------
    MissingFacts
        When no file is found.
    """
    global _facts
    if _facts is None:
        beside = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                              FILE_NAME)
        path = _path or os.environ.get("IQENV_FACTS") or beside
        try:
            with open(path, encoding="utf-8") as f:
                _facts = json.load(f)
        except FileNotFoundError:
            raise MissingFacts(f"{path}: iqenv's facts are missing; build iqenv first "
                               "(make build)") from None
    return _facts


def output_rate():
    """iqenv's output values per second (24000)."""
    return get()["output_rate"]


def output_gain():
    """iqenv's factor on every value it writes (10000)."""
    return float(get()["output_gain"])


def converter():
    """libsamplerate's converter iqenv uses: (its converter number, channels)."""
    found = get()["converter"]
    return found["type"], found["channels"]
