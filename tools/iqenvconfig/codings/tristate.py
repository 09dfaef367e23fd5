"""Three-state codes of cheap fixed-code remotes (encoders such as the PT2262): each symbol two
pulse-gap pairs of PWM, 0 short-long short-long, 1 long-short long-short, and Z (the pin left
floating) short-long long-short; rtl_433 reads the same pulses as PWM, two bits a symbol (11, 00
and 10). A row may end with one more short pulse, the sync mark before the row gap."""
from .base import Coding, Fit, share
from .pwm import PWM

SYMBOLS = {(1, 1): "0", (0, 0): "1", (1, 0): "Z"}
LEAST_SYMBOLS = 4


class TriState(Coding):
    name = "three-state"
    rank = 0
    widths = 3
    symbols = "01Z"

    def fit(self, framing, limits):
        pwm = PWM().fit(framing, limits)
        if pwm is None or pwm.variant != "fixed period":
            return None
        return Fit(self, "", pwm.confidence, pwm.spec, 2 * pwm.bit_us,
                   "rtl_433 reads it as PWM, two bits a symbol")

    def confirm(self, fit, bits):
        """PWM's confidence times the share of pairs that make a symbol, over the rows long
        enough to count (0 where none is)."""
        pairs = [tuple(r[i:i + 2]) for r in bits if len(r) >= 2 * LEAST_SYMBOLS
                 for i in range(0, len(r) - 1, 2)]
        return fit.confidence * share([p in SYMBOLS for p in pairs])

    def rows(self, bits):
        out = []
        for r in bits:
            pairs = [tuple(r[i:i + 2]) for i in range(0, len(r) - 1, 2)]
            out.append("".join(SYMBOLS.get(p, "?") for p in pairs))
        return out
