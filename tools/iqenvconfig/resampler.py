"""The input rates iqenv's resampler accepts, asked of libsamplerate itself as iqenv does."""
import ctypes
import ctypes.util

import numpy as np

OUTPUT_RATE = 24000
_UINT32_END = 1 << 32


def _library():
    name = ctypes.util.find_library("samplerate") or "libsamplerate.so.0"
    lib = ctypes.CDLL(name)
    lib.src_is_valid_ratio.argtypes = [ctypes.c_double]
    lib.src_is_valid_ratio.restype = ctypes.c_int
    return lib


_lib = None
_range = None


def resampling_ratio(samplerate):
    """24000 / samplerate in double, rounded to float32, as iqenv hands it to every read."""
    return np.float32(OUTPUT_RATE / samplerate)


def is_supported_samplerate(samplerate):
    global _lib
    if samplerate == 0:
        return False
    if _lib is None:
        _lib = _library()
    return _lib.src_is_valid_ratio(float(resampling_ratio(samplerate))) != 0


def supported_samplerates():
    """(lo, hi): the accepted rates form one interval around the output rate; bisect each end."""
    global _range
    if _range is None:
        bad, good = 0, OUTPUT_RATE
        while good - bad > 1:
            mid = (bad + good) // 2
            bad, good = (bad, mid) if is_supported_samplerate(mid) else (mid, good)
        lo, good, beyond = good, OUTPUT_RATE, _UINT32_END
        while beyond - good > 1:
            mid = (good + beyond) // 2
            good, beyond = (mid, beyond) if is_supported_samplerate(mid) else (good, mid)
        _range = (lo, good)
    return _range
