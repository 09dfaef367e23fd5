"""The codings the analysis knows, one class a file, each registered here by being in this
folder: its name, its timing model and how well a burst fits it, the flex decoder that reads
its bits in rtl_433, and how those bits become its symbols.

To add a coding, add a file with one subclass of base.Coding; nothing else names it.
"""
import importlib
import pkgutil

from .base import REGISTRY, Coding, Fit, Limits

__all__ = ["CODINGS", "Coding", "Fit", "Limits", "names"]

for _module in pkgutil.iter_modules(__path__):
    if _module.name != "base":
        importlib.import_module(f"{__name__}.{_module.name}")

CODINGS = sorted((cls() for cls in REGISTRY), key=lambda c: c.rank)
"""Every coding, the most specific first (the order among equally good fits)."""


def names():
    """The codings' names, as reports print them, the most specific first."""
    return [c.name for c in CODINGS]
