#!/usr/bin/python3
"""The built-in demo: an AM tone at an offset, demodulated by iqenv, summarised in one line."""
import argparse
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import iqsignals  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--iqenv", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    rate, offset, tone, depth = 2400000, 100e3, 1000.0, 0.5
    config = os.path.join(args.out, "demo.cfg")
    iqsignals.write_config(config, offset, rate, iqsignals.bandpass_taps(rate, offset, 20e3, 129))
    iq = iqsignals.am_signal(rate, 1.0, offset, tone, depth, noise=0.05)
    envelope_path = os.path.join(args.out, "envelope.f32")
    with open(envelope_path, "wb") as out:
        subprocess.run([args.iqenv, config], input=iq.tobytes(), stdout=out, check=True)
    values = np.fromfile(envelope_path, dtype=np.float32)
    settled = values[len(values) // 4 :]
    found, amplitude = iqsignals.tone_of(settled)
    print(f"demo: {len(values)} envelope values in {envelope_path}: a {found:.1f} Hz tone "
          f"(sent {tone:.0f} Hz), amplitude {amplitude:.0f}")


if __name__ == "__main__":
    main()
