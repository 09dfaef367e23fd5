#!/usr/bin/python3
"""iqenv's demo: a 433.92 MHz remote in a 2.4 MS/s recording, next to a strong carrier.

The recording is tuned to 433.64 MHz, so the remote's bursts lie 280 kHz above the centre. A
carrier 20 dB stronger sits at -285 kHz, right in the band that iqenv's cosine would fold onto
the remote if the taps did not remove it. The demo designs the taps with iqenv-config,
demodulates with iqenv, turns the envelope into pulses, a coding and bits with iqenv-config
pulses, and writes a WAV and a picture.

The remote codes each bit as one pulse of a fixed period of 4 units: a 1 is 1 unit on and 3
off, a 0 is 3 on and 1 off (pulse-width coding, a short pulse 1 as rtl_433 reads it), and a
press repeats the frame after 20 units of silence.
"""
import argparse
import os
import shlex
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import iqsignals  # noqa: E402
import keyed  # noqa: E402
from iqenvconfig import pipeline, pulsereport, sigmf  # noqa: E402

SAMPLERATE = 2400000
TUNED = 433.64e6
REMOTE = 433.92e6
OFFSET = REMOTE - TUNED
CARRIER_OFFSET = -285e3
UNIT = 350e-6  # seconds per keying unit, as common 433 MHz remotes use
REMOTE_CODING = "pwm_period"
RATIO = 3
BITS = [int(b) for b in f"{0xA5C3B6:024b}"]
FRAMES = 4


def scene(seed=7):
    """The recording: lead-in, FRAMES presses of the code, trail, plus a carrier and noise."""
    device = keyed.Device(REMOTE_CODING, UNIT * 1e6, BITS, repeats=FRAMES, ratio=RATIO,
                          jitter=0.0)
    on = keyed.keying(device, SAMPLERATE, lead=0.02)
    iq = iqsignals.carrier(SAMPLERATE, OFFSET, 0.3 * on)
    iq += iqsignals.carrier(SAMPLERATE, CARRIER_OFFSET, np.full(len(on), 3.0))
    iq += iqsignals.complex_noise(len(on), 0.1, seed)
    return iq


def run(command, **kwargs):
    print("$ " + " ".join(shlex.quote(str(c)) for c in command), flush=True)
    return subprocess.run(command, check=True, **kwargs)


def bit_string(bits):
    return "".join(str(b) for b in bits)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--iqenv", required=True, help="the iqenv program")
    parser.add_argument("--iqenv-config", required=True, help="the iqenv-config program")
    parser.add_argument("--out", required=True, help="folder for everything the demo writes")
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    path = {name: os.path.join(out, name) for name in
            ("recording.cf32", "remote.cfg", "envelope.f32", "envelope.wav", "demo.png")}
    started = time.monotonic()

    iq = scene()
    iq.tofile(path["recording.cf32"])
    print(f"Recording: {len(iq) / SAMPLERATE * 1e3:.0f} ms at {SAMPLERATE} samples/s tuned to "
          f"{TUNED / 1e6:g} MHz: a remote at {REMOTE / 1e6:g} MHz ({OFFSET / 1e3:+g} kHz), "
          f"a carrier 20 dB stronger at {CARRIER_OFFSET / 1e3:+g} kHz, noise")

    # The designer chooses the mixer, the bandwidth and the fewest taps. A gain of 1e-4 cancels
    # iqenv's x10000: the envelope comes out in the recording's own units, within +-1 as sox
    # needs for float input.
    run([args.iqenv_config, "design", "-o", path["remote.cfg"], "--samplerate", str(SAMPLERATE),
         "--center", f"{OFFSET:g}", "--gain", "1e-4"])
    taps = np.fromfile(path["remote.cfg"], dtype="<c8", offset=12)
    print("Taps: " + ", ".join(f"{t.real:+.6g}{t.imag:+.6g}j" for t in taps))
    with open(path["recording.cf32"], "rb") as recording, \
            open(path["envelope.f32"], "wb") as envelope:
        print(f"$ {args.iqenv} {path['remote.cfg']} < {path['recording.cf32']} "
              f"> {path['envelope.f32']}", flush=True)
        subprocess.run([args.iqenv, path["remote.cfg"]], stdin=recording, stdout=envelope,
                       check=True)
    # The envelope as a SigMF recording of its own, for any SigMF viewer.
    sigmf.envelope_meta(path["envelope.f32"], REMOTE)
    run(["sox", "-t", "raw", "-e", "floating-point", "-b", "32", "-r", "24000", "-c", "1",
         path["envelope.f32"], "-b", "16", path["envelope.wav"], "norm", "-1"])

    run([args.iqenv_config, "pulses", path["envelope.f32"]])
    # The same analysis by the library, for the bits and the picture.
    values = np.fromfile(path["envelope.f32"], dtype="<f4")
    bursts = [pulsereport.record(found.burst, found.analysis, n, pipeline.output_rate())
              for n, found in enumerate(pipeline.read_bursts([values]), 1)]
    frames = [[int(b) for b in row] for burst in bursts for row in burst.get("rows", [])]

    print(f"\nSent      ({FRAMES} presses): {bit_string(BITS)}")
    for i, bits in enumerate(frames):
        mark = "ok" if bits == BITS else "DIFFERENT"
        print(f"Recovered (press {i + 1}):   {bit_string(bits)}  {mark}")

    from demo_figure import draw  # matplotlib is slow to import; keep it out of the above

    draw(path["demo.png"], iq, SAMPLERATE, path["remote.cfg"], values, bursts,
         markers={"remote": OFFSET, "carrier": CARRIER_OFFSET})
    print(f"\nEverything is in {out}/ (recording, configuration, envelope as f32 with "
          f"its SigMF metadata and as WAV, demo.png), made in {time.monotonic() - started:.1f} s")
    ok = len(frames) == FRAMES and all(bits == BITS for bits in frames)
    if not ok:
        print("Error: the recovered bits differ from the bits sent", file=sys.stderr)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
