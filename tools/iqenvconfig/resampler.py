"""iqenv's resampler: the rates iqenv accepts and the decimation ahead of it (iqenv's own
results, from facts.py), and its response, measured by running libsamplerate itself."""
import bisect
import ctypes
import ctypes.util

import numpy as np

from . import facts



class _SrcData(ctypes.Structure):
    _fields_ = [("data_in", ctypes.c_void_p), ("data_out", ctypes.c_void_p),
                ("input_frames", ctypes.c_long), ("output_frames", ctypes.c_long),
                ("input_frames_used", ctypes.c_long), ("output_frames_gen", ctypes.c_long),
                ("end_of_input", ctypes.c_int), ("src_ratio", ctypes.c_double)]


def _library():
    name = ctypes.util.find_library("samplerate") or "libsamplerate.so.0"
    lib = ctypes.CDLL(name)
    lib.src_new.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    lib.src_new.restype = ctypes.c_void_p
    lib.src_process.argtypes = [ctypes.c_void_p, ctypes.POINTER(_SrcData)]
    lib.src_process.restype = ctypes.c_int
    lib.src_delete.argtypes = [ctypes.c_void_p]
    lib.src_delete.restype = ctypes.c_void_p
    lib.src_strerror.argtypes = [ctypes.c_int]
    lib.src_strerror.restype = ctypes.c_char_p
    return lib


_lib = None
_responses = {}


def _samplerate_library():
    global _lib
    if _lib is None:
        _lib = _library()
    return _lib


def resampling_ratio(samplerate):
    """The ratio iqenv states and hands to every read below the decimated rates.

    Parameters
    ----------
    samplerate : float
        Input samples per second.

    Returns
    -------
    numpy.float32
        24000 / samplerate in double, rounded to float32.
    """
    return np.float32(facts.output_rate() / samplerate)


def decimation_for(samplerate):
    """How iqenv brings a rate to the resampler.

    Parameters
    ----------
    samplerate : int
        Input samples per second, 0 to 2**32 - 1.

    Returns
    -------
    int
        1 where the resampler takes the rate itself, the decimator's factor above, 0 if iqenv
        refuses the rate.
    """
    steps = facts.get()["decimation_steps"]
    return steps[bisect.bisect_right([first for first, _ in steps], samplerate) - 1][1]


def is_supported_samplerate(samplerate):
    """Whether iqenv accepts `samplerate` input samples per second (a bool)."""
    return decimation_for(samplerate) != 0


def supported_samplerates():
    """The input rates iqenv accepts: (lowest, highest) samples per second, both included."""
    rates = facts.get()["samplerates"]
    return rates["lowest"], rates["highest"]


def resample(iq, ratio, frames):
    """The first outputs of iqenv's converter (the one iqenv's build names: medium sinc, two
    channels).

    Parameters
    ----------
    iq : array_like
        complex64 input.
    ratio : float
        Output rate over input rate.
    frames : int
        How many outputs to make, at most.

    Returns
    -------
    numpy.ndarray
        complex64 outputs, fewer than `frames` if the input runs out.
    """
    lib = _samplerate_library()
    error = ctypes.c_int(0)
    kind, channels = facts.converter()
    state = lib.src_new(kind, channels, ctypes.byref(error))
    if not state:
        raise RuntimeError(lib.src_strerror(error.value).decode())
    frames_in = np.ascontiguousarray(np.asarray(iq, dtype=np.complex64)).view(np.float32)
    out = np.zeros(2 * frames, dtype=np.float32)
    used = made = 0
    try:
        # One call consumes what fits the converter's buffer; keep feeding until enough is out.
        while made < frames and used < len(iq):
            data = _SrcData(frames_in.ctypes.data + 8 * used, out.ctypes.data + 8 * made,
                            len(iq) - used, frames - made, 0, 0, 0, float(ratio))
            status = lib.src_process(state, ctypes.byref(data))
            if status:
                raise RuntimeError(lib.src_strerror(status).decode())
            used += data.input_frames_used
            made += data.output_frames_gen
            if data.input_frames_used == 0 and data.output_frames_gen == 0:
                break
    finally:
        lib.src_delete(state)
    return out[: 2 * made].view(np.complex64)


# How the response is measured: many tones at once, each tone's output amplitude fitted by least
# squares over a stretch after the converter has settled. Converter outputs are float32, which
# leaves the fit some 150 dB of range; the tones of one run lie far enough apart to separate.
FINE_STEP = 25.0  # hertz between the tones measured near DC
FINE_TOP = 13000.0  # past the resampler's edge; beyond, its stop band is surveyed coarsely
FINE_RUNS = 10  # runs of the fine grid: one run holds every tenth tone
FAR_TONES = 64
FAR_SEPARATION = 500.0  # hertz between tones of one run once they fold to the output rate


def _fit_amplitudes(rate_in, ratio, tones, iq, stride, count, settle):
    """Amplitudes of `tones` (hertz) at the converter's output for input `iq`.

    The fit uses every `stride`-th output from `settle` on, `count` of them.
    """
    y = resample(iq, ratio, settle + stride * count).astype(np.complex128)[settle::stride]
    if len(y) < count:
        raise RuntimeError("the resampler gave too few outputs to measure its response")
    m = settle + stride * np.arange(count)
    basis = np.exp(2j * np.pi * np.outer(m, np.asarray(tones) / (rate_in * float(ratio))))
    amplitudes, *_ = np.linalg.lstsq(basis, y[:count], rcond=None)
    return np.abs(amplitudes)


class Response:
    """|gain| of iqenv's resampler for a complex tone at `nu` hertz of its input rate.

    Measured by running libsamplerate at iqenv's ratio: on a fine grid near DC, where it falls
    from flat to its stop band, and on a coarse survey of the rest, whose highest value is taken
    for every frequency beyond the fine grid. A real filter on each channel: |gain| is even.
    """

    def __init__(self, rate_in):
        self.rate_in = float(rate_in)
        self.ratio = resampling_ratio(rate_in)
        out_rate = self.rate_in * float(self.ratio)
        # The converter settles within its kernel: about 50 input samples either side of an
        # output when it interpolates, 50 output samples when it decimates.
        self._settle = int(60 * max(1.0, float(self.ratio))) + 20
        nyquist = self.rate_in / 2
        if nyquist > FINE_TOP + FINE_STEP * FINE_RUNS:
            step = FINE_STEP
            members = int(FINE_TOP / (step * FINE_RUNS)) + 1
        else:
            members = 52
            step = nyquist / (members * FINE_RUNS + 1)
        self.freqs = np.arange(members * FINE_RUNS) * step
        spacing = step * FINE_RUNS
        stride = max(1, int(out_rate / (2.5 * self.freqs[-1])))
        count = max(300, int(np.ceil(4 * out_rate / (spacing * stride))))
        self.gain = self._measure_fine(members, spacing, stride, count)
        self.far_bound = self._measure_far(nyquist, out_rate)

    def _input(self, outputs):
        return np.arange(int((self._settle + outputs + 100) / float(self.ratio)) + 1024)

    def _measure_fine(self, members, spacing, stride, count):
        n = self._input(stride * count)
        # Each run is a comb of `members` tones `spacing` apart, shifted: one exponential per
        # sample and run.
        comb = np.zeros(len(n), dtype=np.complex128)
        term = np.ones(len(n), dtype=np.complex128)
        shift = np.exp(2j * np.pi * (spacing / self.rate_in) * n)
        for _ in range(members):
            comb += term
            term *= shift
        comb /= members
        gain = np.zeros(len(self.freqs))
        for r in range(FINE_RUNS):
            tones = self.freqs[r::FINE_RUNS]
            iq = comb * np.exp(2j * np.pi * (tones[0] / self.rate_in) * n)
            gain[r::FINE_RUNS] = members * _fit_amplitudes(
                self.rate_in, self.ratio, tones, iq, stride, count, self._settle)
        return gain

    def _measure_far(self, nyquist, out_rate):
        low = self.freqs[-1] + (self.freqs[1] - self.freqs[0])
        if low >= nyquist:
            return 0.0
        tones = np.linspace(low, nyquist, FAR_TONES, endpoint=False)
        runs = []
        for nu in tones:  # greedily into runs whose members stay apart once folded
            folded = nu % out_rate
            for run in runs:
                if all(min(abs(folded - g), out_rate - abs(folded - g)) >= FAR_SEPARATION
                       for g in run[1]):
                    run[0].append(nu)
                    run[1].append(folded)
                    break
            else:
                runs.append(([nu], [folded]))
        count = max(300, int(np.ceil(4 * out_rate / FAR_SEPARATION)))
        n = self._input(count)
        worst = 0.0
        for run, _ in runs:
            iq = np.exp(2j * np.pi * np.outer(n, np.array(run) / self.rate_in)).sum(axis=1)
            worst = max(worst, _fit_amplitudes(self.rate_in, self.ratio, run, iq, 1, count,
                                               self._settle).max())
        return worst

    def magnitude(self, nu):
        """|gain| at `nu` hertz of the input rate (array_like, any shape), an array."""
        nu = np.abs(np.asarray(nu, dtype=np.float64))
        with np.errstate(divide="ignore"):
            db = 20 * np.log10(np.maximum(self.gain, 1e-300))
        inside = np.interp(nu, self.freqs, db)
        return np.where(nu <= self.freqs[-1], 10 ** (inside / 20), self.far_bound)


def response(rate_in):
    """The resampler's measured response, measured once per ratio per process.

    Parameters
    ----------
    rate_in : float
        Samples per second into the resampler.

    Returns
    -------
    Response
    """
    key = float(resampling_ratio(rate_in))
    if key not in _responses:
        _responses[key] = Response(rate_in)
    return _responses[key]
