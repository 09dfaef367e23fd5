"""iqenv-config's chain model against iqenv itself: levels of keyed tones across the band."""
import numpy as np
import pytest
from conftest import measured_levels

from iqenvconfig import chain, configfile

TAPS = np.array([0.9, 0.3 + 0.2j, -0.1j, 0.05], dtype=np.complex64)


@pytest.mark.parametrize("samplerate, mixer", [
    (2400000, 280e3),  # two products, the image band at -280 kHz
    (2400000, 0.0),  # one product at full amplitude
    (2400000, 4.5e3),  # both products of a tone near DC pass: they beat
    (2400000, -1.2e6),  # cos(pi n): one product, half the rate away
    (250000, -30e3),
])
def test_predicted_levels_are_iqenv_s(tmp_path, samplerate, mixer):
    path = tmp_path / "c.cfg"
    configfile.write_config(path, np.float32(mixer), samplerate, TAPS)
    model = chain.Chain(mixer, samplerate, TAPS)
    # Around both products' bands, across the resampler's edge, and far off.
    edges = np.array([0, 4e3, 9e3, 10.5e3, 10.9e3, 11.4e3, 11.8e3, 12.2e3, 30e3])
    tones = np.concatenate((mixer + edges, mixer - edges, -mixer + edges, [100e3, -7e3]))
    tones = (tones + samplerate / 2) % samplerate - samplerate / 2
    with np.errstate(divide="ignore"):
        predicted = 20 * np.log10(model.level(tones))
    measured = measured_levels(path, samplerate, tones)
    audible = predicted > -100
    assert audible.sum() >= 8
    np.testing.assert_allclose(measured[audible], predicted[audible], atol=1.0)
    # Below that the model may only overstate: the resampler's far stop band is a bound.
    assert np.all(measured[~audible] < -95)
