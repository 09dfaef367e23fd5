"""A receiver's conditions over time, through iqenv and the pulse analyser: steps of the gain and
of the noise, carriers that come and go in the channel, and noise alone."""
import subprocess
import threading

import numpy as np
import pytest
from conftest import IQENV, TOOL, run

import keyed
import scene
from iqenvconfig import analysis, bursts, matching, pipeline, pulses

RATE = 250000
OFFSET = 40e3
OUT = 24000
BITS = [1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0, 0, 1, 1, 0, 1, 0, 1, 1, 0, 0, 1]
DEVICE = keyed.Device("pwm_period", 500, BITS, repeats=3, jitter=0.05, seed=3)
KEYING = keyed.keying(DEVICE, RATE, lead=0.0)
LENGTH = len(KEYING) / RATE  # seconds a transmission lasts
EVERY = 1.0  # seconds from one transmission to the next


@pytest.fixture(scope="module")
def channel(tmp_path_factory):
    path = tmp_path_factory.mktemp("live") / "channel.cfg"
    result = run([TOOL, "design", "-o", str(path), "--samplerate", str(RATE), "--center",
                  str(OFFSET)], text=True)
    assert result.returncode == 0, result.stderr
    return path


def through(sc, cfg):
    """The scene through iqenv, then the burst reader: the bursts and their analyses."""
    proc = subprocess.Popen([IQENV, str(cfg)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)

    def feed():
        for chunk in sc.chunks():
            proc.stdin.write(chunk.tobytes())
        proc.stdin.close()

    writer = threading.Thread(target=feed)
    writer.start()
    values = np.frombuffer(proc.stdout.read(), dtype="<f4")
    writer.join()
    assert proc.wait() == 0
    reader = pulses.BurstReader()
    found = reader.feed(values) + reader.finish()
    return [(b, analysis.analyse(b, OUT)) for b in found]


def transmissions(seconds, amplitude=0.3):
    times = list(np.arange(0.5, seconds - 0.5, EVERY))
    return times, [scene.Transmission(KEYING, OFFSET, amplitude, times)]


def decoded_at(found):
    """Start times of the bursts that gave the bits sent."""
    sent = "".join(map(str, BITS))
    return [b.start for b, a in found if a.verdict == analysis.DECODED and a.consensus == sent]


@pytest.mark.parametrize("steps", [{"gain_steps": [(3.1, 0.25), (5.6, 4.0)]},
                                   {"gain_steps": [(3.1, 4.0), (5.6, 0.5)]},
                                   {"noise_steps": [(3.1, 1.5), (5.6, 4.0)]},
                                   {"noise_steps": [(3.1, 4.0), (5.6, 1.0)]}],
                         ids=["gain-down-up", "gain-up-down", "noise-up", "noise-up-down"])
def test_decoding_resumes_within_a_second_of_a_step_and_no_burst_outlives_its_transmission(
        channel, steps):
    # The second step falls inside a transmission (5.5 to 5.73 s).
    times, sent = transmissions(8.0)
    found = through(scene.Scene(RATE, 8.0, 0.02, sent, **steps), channel)
    at = decoded_at(found)
    steps_at = [t for pairs in steps.values() for t, _ in pairs]
    # Every transmission but one the step falls in, and those in the second after it.
    due = [t for t in times if all(not -LENGTH < t - s < 1.0 for s in steps_at)]
    assert all(any(abs(d - t) < 2e-3 for d in at) for t in due), (due, at)
    for burst, _ in found:
        length = sum(p + g for p, g in burst.pulses) / 1e6 - burst.pulses[-1][1] / 1e6 \
            if burst.pulses else 0.0
        assert length < LENGTH + 0.02, (burst.start, length)


def test_a_carrier_in_the_channel_is_a_level_and_a_strong_one_is_said_to_be_one(channel):
    times, sent = transmissions(8.0)
    weak = scene.Carrier(2.2, 7.2, OFFSET + 3e3, 0.3 / 5.6)  # 15 dB below the signal
    found = through(scene.Scene(RATE, 8.0, 0.02, sent, carriers=[weak]), channel)
    assert len(decoded_at(found)) == len(times)
    strong = scene.Carrier(2.2, 7.2, OFFSET + 3e3, 0.6)
    found = through(scene.Scene(RATE, 8.0, 0.02, sent, carriers=[strong]), channel)
    carriers = [b for b, a in found if a.verdict == analysis.CARRIER]
    assert len(carriers) == 1 and abs(carriers[0].start - 2.2) < 0.01
    # 0.6 over noise of 0.02 a part in the whole 250 kHz, some 21 kHz of it in the channel.
    assert carriers[0].carrier == pytest.approx(10 * np.log10(0.36 / (2 * 0.02 ** 2 * 21 / 250)),
                                                abs=3)
    assert all(-31 < b.snr_db < 60 and len(b.pulses) < 500 for b, _ in found)
    # Before it and after it, every transmission.
    assert sum(1 for t in decoded_at(found) if t < 2.2 or t > 7.3) == sum(
        1 for t in times if t < 2.2 or t > 7.3)


def test_noise_alone_is_never_given_bits(monkeypatch, channel):
    # A detector far keener than the default makes bursts of the noise itself; each is said to
    # be noise (or too weak to slice), none is given a coding.
    monkeypatch.setattr(bursts, "DETECT_SIGMAS", (4.5, 4.0, 4.0))
    found = through(scene.Scene(RATE, 20.0, 0.02, seed=9), channel)
    assert len(found) > 20
    assert not [a.verdict for _, a in found if a.verdict in (analysis.DECODED,
                                                             analysis.NO_CODING)]


def test_the_first_pass_measures_the_elements_of_the_signal_alone(monkeypatch, channel):
    """The element a channel is matched to comes from the transmissions (500 us), whatever else
    the first pass met: a carrier's burst says nothing, and bursts of noise alone give elements
    too short to narrow the channel at all."""
    def element(found):
        return matching.shortest_element(pipeline.Decoded(b, a) for b, a in found)

    times, sent = transmissions(6.0)
    strong = scene.Carrier(2.2, 4.2, OFFSET + 3e3, 0.6)
    found = through(scene.Scene(RATE, 6.0, 0.02, sent, carriers=[strong]), channel)
    assert any(a.verdict == analysis.CARRIER for _, a in found)
    assert element(found) == pytest.approx(500e-6, rel=0.05)
    # Only a few bursts come out of the carrier's way: the median still holds.
    assert element(found[: len(found) // 2 + 1]) == pytest.approx(500e-6, rel=0.05)

    monkeypatch.setattr(bursts, "DETECT_SIGMAS", (4.5, 4.0, 4.0))
    noise = element(through(scene.Scene(RATE, 10.0, 0.02, seed=9), channel))
    assert noise is None or matching.width_for(noise) > 20.9e3 / 2, noise
