"""Rates above what the resampler takes, through iqenv itself: the decimator's alias rejection
and flatness measured with keyed tones, AM recovery, a NaN burst, and where the stage starts."""
import numpy as np
import pytest
from conftest import IQENV, TOOL, config, iqsignals, magnitudes, run, values

from iqenvconfig import chain
from iqenvconfig.resampler import decimation_for

RATE = 20000000
DECIMATED = RATE / 128  # the rate the resampler receives at RATE


def run_iqenv(folder, samples, rate, frequency=0.0):
    """(values, report lines) of iqenv with one unit tap on these samples."""
    r = run([IQENV, config(folder, frequency, rate)], samples.astype(np.complex64).tobytes())
    assert r.returncode == 0, r.stderr
    return values(r.stdout), r.stderr.decode().splitlines()


def keyed_tones(rate, offsets, on=0.003, off=0.002, ramp=0.0005):
    """Silence, then each tone (unit amplitude) on for `on` seconds and off for `off`; returns
    the samples and, for each tone, the output indices well inside its on time. The tones rise
    and fall in raised-cosine ramps: a step would splash onto every frequency, the kept band
    included, far above the levels measured."""
    on_n, off_n, ramp_n = int(rate * on), int(rate * off), int(rate * ramp)
    shape = np.ones(on_n)
    shape[:ramp_n] = 0.5 - 0.5 * np.cos(np.pi * np.arange(ramp_n) / ramp_n)
    shape[-ramp_n:] = shape[:ramp_n][::-1]
    t = np.arange(on_n) / rate
    parts, windows, at = [np.zeros(off_n, np.complex64)], [], off_n
    for f in offsets:
        parts += [(shape * np.exp(2j * np.pi * f * t)).astype(np.complex64),
                  np.zeros(off_n, np.complex64)]
        # The resampler takes about a millisecond to settle after the ramp.
        start = (at + ramp_n) / rate + 0.001
        windows.append(slice(int(start * 24000), int((at + on_n - ramp_n) / rate * 24000)))
        at += on_n + off_n
    return np.concatenate(parts), windows


def tone_levels(tmp_path, rate, offsets):
    envelope, _ = run_iqenv(tmp_path, *keyed_tones(rate, offsets)[:1], rate=rate)
    m = magnitudes(envelope)
    return np.array([np.median(m[w]) for w in keyed_tones(rate, offsets)[1]])


IN_BAND = [-10e3, -6e3, -2.5e3, 1e3, 4e3, 8e3, 10e3]
# Each stage halves its rate R and folds R/2 + d onto d: the weakest point of the stage k from
# the end is 2^k * DECIMATED +- 10 kHz (the edge of the flat band). Both signs, every stage,
# odd multiples for the last one, and the highest input frequency.
FOLDING = [(2 ** k * DECIMATED + s * 10e3, s * 10e3) for k in range(7) for s in (-1, 1)]
FOLDING += [(-3 * DECIMATED + 8e3, 8e3), (RATE / 2 - 10e3 - DECIMATED, -10e3)]


@pytest.fixture(scope="module")
def levels(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keyed")
    # The weak tones first, while the running mean is small and the magnitudes come back from
    # the values to within about 1e-9.
    offsets = [f for f, _ in FOLDING] + IN_BAND
    return dict(zip(offsets, np.maximum(tone_levels(folder, RATE, offsets), 1e-9)))


def test_what_folds_onto_the_band_is_100_db_down(levels):
    for f, lands in FOLDING:
        rejection = 20 * np.log10(levels[f] / levels[lands])
        assert rejection <= -100, f"{f:.0f} Hz lands on {lands:.0f} Hz at {rejection:.1f} dB"


def test_the_band_is_flat_within_a_tenth_of_a_db(levels):
    band = np.array([levels[f] for f in IN_BAND])
    assert band.min() > 0.9
    assert 20 * np.log10(band.max() / band.min()) <= 0.1


@pytest.mark.parametrize("rate", [10000000, 20000000, 61440000])
def test_am_at_a_large_offset_is_recovered_with_a_design(tmp_path, rate):
    offset = -0.43 * rate
    path = str(tmp_path / "c.cfg")
    designed = run([TOOL, "design", "-o", path, "--samplerate", str(rate), "--center",
                    repr(offset), "--taps", "4", "--gain", "1e-4"])
    assert designed.returncode == 0, designed.stderr
    x = iqsignals.am_signal(rate, 0.02, offset, 1500.0, 0.5, noise=0.01)
    result = run([IQENV, path], x.tobytes())
    assert result.returncode == 0 and result.stderr.decode().splitlines()[-1].startswith(
        f"Decimation : {decimation_for(rate)}, ")
    envelope = values(result.stdout)
    assert 0.02 * 24000 - 60 <= len(envelope) <= 0.02 * 24000
    # With the design's gain of 1e-4 the envelope is in the input's units: depth 0.5 of 1.
    tone, amplitude = iqsignals.tone_of(envelope[len(envelope) // 3:])
    assert tone == pytest.approx(1500.0, abs=15)
    assert amplitude == pytest.approx(0.5, rel=0.01)


def test_nan_burst_gives_zeros_then_recovers(tmp_path):
    x = iqsignals.am_signal(RATE, 0.03, 3e6, 1500.0, 0.5, noise=0.01)
    clean, _ = run_iqenv(tmp_path, x, RATE, frequency=3e6)
    burst = x.copy()
    burst[200000:202000] = np.nan  # 0.1 ms from 10 ms on
    burst[201000] = np.inf
    envelope, _ = run_iqenv(tmp_path, burst, RATE, frequency=3e6)
    assert len(envelope) == len(clean) and np.isfinite(envelope).all()
    hit = np.flatnonzero(envelope != clean)
    zeros = np.flatnonzero(envelope == 0)[1:]  # the first value is always 0
    # The bad input reaches the output for a few milliseconds around 10 ms (the resampler's
    # filter reaches both ways), as zeros.
    assert hit[0] >= 0.007 * 24000 and zeros[0] == hit[0]
    assert len(zeros) == zeros[-1] - zeros[0] + 1 <= 0.005 * 24000
    # Then the envelope is the clean one again, its mean barely moved by the missing values.
    after = slice(zeros[-1] + 24, None)
    np.testing.assert_allclose(envelope[after], clean[after], atol=0.01 * 2500)


def test_the_stage_starts_just_above_the_resampler_limit(tmp_path):
    results = {}
    for rate in (6144000, 6144001):
        x = iqsignals.am_signal(rate, 0.02, 1e6, 1500.0, 0.5, noise=0.01)
        results[rate] = run_iqenv(tmp_path, x, rate, frequency=1e6)
    below, above = results[6144000][1], results[6144001][1]
    assert below[-1] == "Resampling ratio : 0.00390625"
    assert above[-2:] == ["Resampling ratio : 0.00390625",
                          "Decimation : 64, the resampler receives 96000.015625 samples per second"]
    for envelope, _ in results.values():
        tone, amplitude = iqsignals.tone_of(envelope[len(envelope) // 3:])
        assert tone == pytest.approx(1500.0, abs=15)
        assert amplitude == pytest.approx(2500, rel=0.02)


def test_the_configuration_tool_predicts_the_stages_iqenv_runs(levels):
    """iqenv-config's model of the decimator, built from the half-bands iqenv's build reports,
    against iqenv itself: the flat band and what folds onto it, to half a dB."""
    offsets = np.array(list(levels))
    predicted = 20 * np.log10(chain.Chain(0.0, RATE).after_mixer(offsets))
    measured = 20 * np.log10(np.array(list(levels.values())))
    audible = predicted > -145  # the measurement rounds more, and its floor is -180 dB
    assert audible.sum() >= len(IN_BAND) + 8  # the flat band and 8 folding tones
    np.testing.assert_allclose(measured[audible], predicted[audible], atol=0.5)
