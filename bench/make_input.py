#!/usr/bin/python3
"""Writes the benchmark's input (an AM tone in noise, cf32) and one configuration per tap count."""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import iqsignals  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", required=True, help="directory for input.cf32 and taps_N.cfg")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--rate", type=int, default=2400000)
    parser.add_argument("--taps", type=int, nargs="+", default=[64, 256, 1024])
    parser.add_argument("--offset", type=float, default=100e3, help="the signal's, in hertz")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    offset = args.offset
    for n in args.taps:
        taps = iqsignals.bandpass_taps(args.rate, offset, 20e3, n)
        iqsignals.write_config(os.path.join(args.out, f"taps_{n}.cfg"), offset, args.rate, taps)
    path = os.path.join(args.out, "input.cf32")
    if not os.path.exists(path):  # made once: it takes longer than a run
        iq = iqsignals.am_signal(args.rate, args.seconds, offset, 1000.0, 0.5, noise=0.05)
        tmp = path + ".tmp"
        iq.tofile(tmp)
        os.replace(tmp, path)


if __name__ == "__main__":
    main()
