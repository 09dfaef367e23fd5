#!/usr/bin/python3
"""Decodes the corpus of real recordings (cu8, 250 kS/s) two ways and compares what comes out.

The truth for a recording is what rtl_433 decodes from it directly (rtl_433 -r cu8:FILE -s 250k
-F json). Our path: iqenv-config pulses --recording FILE --samplerate 250000 --format cu8 --all
--ook, its output decoded by rtl_433 -r ook:- -F json. Messages are compared as sets of their
JSON, `time` and `repeat` left out: a message counts once however many copies of it either path
gives.

Clean: per recording, the truth's messages, how many of them our path gives, the messages it
gives that are not in the truth (false), and whether it failed (a traceback or a nonzero exit).

With noise: complex Gaussian noise added to the samples (as floats centred on 127.5, then
rounded and clipped back to cu8) at an SNR set against each recording's strongest millisecond:
the largest 1 ms mean of |z - mean(z)|^2 over the noise power in the whole 250 kHz. Over the
recordings with a truth, several seeds a level: the share of (recording, seed) pairs where
rtl_433 alone and our path give at least one truth message, and every one; the false messages;
the share of bytes clipped, which near full scale keeps the noise below the level asked for.

Sweep: one real sensor (SWEEP, a temperature and humidity sensor whose messages carry a CRC,
so that rtl_433's own decoder tells a right message from a wrong one) with noise from +12 dB
down in 1 dB steps (--sweep-top, --sweep-step), 6 seeds a level: the share of its messages
each path decodes, and the SNR where that share crosses one half, interpolated; the gain is
rtl_433 alone's less ours.
"""
import argparse
import concurrent.futures
import fnmatch
import json
import os
import subprocess
import sys
import tempfile
import zlib

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import iqsignals  # noqa: E402
from pulses import half_point, pct  # noqa: E402

RATE = 250000
SWEEP = os.path.join("ambient_weather_01", "f007th.data")
LEFT_OUT = ("time", "repeat")  # fields that differ between two decodes of the same message


def messages(stdout):
    """rtl_433's JSON lines as a set of canonical strings, the LEFT_OUT fields dropped."""
    found = set()
    for line in stdout.splitlines():
        if line.startswith("{"):
            message = {k: v for k, v in json.loads(line).items() if k not in LEFT_OUT}
            found.add(json.dumps(message, sort_keys=True))
    return found


def direct(path):
    """What rtl_433 decodes from the cu8 recording at `path` itself."""
    out = subprocess.run(["rtl_433", "-r", f"cu8:{path}", "-s", "250k", "-F", "json"],
                         capture_output=True, text=True)
    return messages(out.stdout)


def ours(tool, path):
    """What our path decodes from the recording at `path`, and whether it failed."""
    pulses = subprocess.run([tool, "pulses", "--recording", path, "--samplerate", str(RATE),
                             "--format", "cu8", "--all", "--ook"], capture_output=True)
    out = subprocess.run(["rtl_433", "-r", "ook:-", "-F", "json"], input=pulses.stdout,
                         capture_output=True)
    failed = pulses.returncode != 0 or b"Traceback" in pulses.stderr or out.returncode != 0
    return messages(out.stdout.decode()), failed


def noisy_run(tool, corpus, folder, name, snr, seed):
    """Both paths on recording `name` with noise at `snr` dB from noise seed number `seed`: what
    each decodes, and the share of the noisy file's bytes clipped (0 or 255)."""
    with open(os.path.join(corpus, name), "rb") as f:
        raw = f.read()
    # The noise's seed follows from the recording, level and seed number alone: runs repeat.
    number = zlib.crc32(f"{name} {snr:g} {seed}".encode())
    path = os.path.join(folder, f"{number}.cu8")
    noisy = iqsignals.with_noise(raw, snr, number, RATE)
    with open(path, "wb") as f:
        f.write(noisy)
    clipped = np.mean(np.isin(np.frombuffer(noisy, dtype=np.uint8), (0, 255)))
    try:
        return direct(path), ours(tool, path)[0], clipped
    finally:
        os.unlink(path)


def models(found):
    """'model xN' for each model among the messages `found`."""
    names = sorted(json.loads(m).get("model", "?") for m in found)
    return ", ".join(f"{n} x{names.count(n)}" for n in sorted(set(names)))


def clean(args, tool, names, pool):
    """Prints the clean table; returns each recording's truth."""
    def both(name):
        path = os.path.join(args.corpus, name)
        return direct(path), ours(tool, path)

    results = list(pool.map(both, names))
    width = max(len(n) for n in names) + 2
    print(f"Clean: {len(names)} recordings; messages compared as sets of their JSON without "
          f"{' and '.join(LEFT_OUT)}")
    print(f"{'recording':<{width}}{'truth':>6}{'ours':>6}{'false':>7}  failed (a traceback or a "
          f"nonzero exit)")
    missed, extra = [], []
    for name, (truth, (found, failed)) in zip(names, results):
        print(f"{name:<{width}}{len(truth):6d}{len(truth & found):6d}{len(found - truth):7d}"
              + ("  FAILED" if failed else ""))
        if truth - found:
            missed.append(f"  {name}: {models(truth - found)}")
        if found and not truth:
            extra.append(name)
    with_truth = [(truth, found) for truth, (found, _) in results if truth]
    print(f"recordings with a truth: {len(with_truth)}; our path gives every message in "
          f"{sum(t <= f for t, f in with_truth)}, at least one in "
          f"{sum(bool(t & f) for t, f in with_truth)}")
    print(f"recordings with no truth where our path gives messages: {len(extra)}"
          + (f" ({', '.join(extra)})" if extra else ""))
    print("what rtl_433 decodes that we do not:")
    print("\n".join(missed) if missed else "  nothing")
    return {name: truth for name, (truth, _) in zip(names, results)}


def noisy(args, tool, truths, pool, folder):
    """Prints the table with added noise over the recordings with a truth."""
    names = [n for n, t in truths.items() if t]
    jobs = [(name, level, seed) for level in args.levels for name in names
            for seed in range(args.seeds)]
    results = pool.map(lambda job: noisy_run(tool, args.corpus, folder, *job), jobs)
    rows = {level: [] for level in args.levels}
    for (name, level, seed), (alone, found, clipped) in zip(jobs, results):
        truth = truths[name]
        # At least one truth message, every one, false messages: rtl_433 alone, then ours.
        rows[level].append([bool(truth & alone), bool(truth & found), truth <= alone,
                            truth <= found, len(alone - truth), len(found - truth), clipped])
        if args.verbose:
            print(f"  {level:+g} dB {name} seed {seed}: rtl_433 {len(truth & alone)}/"
                  f"{len(truth)} false {len(alone - truth)}; ours {len(truth & found)}/"
                  f"{len(truth)} false {len(found - truth)}", flush=True)
    print(f"\nWith noise: {len(names)} recordings with a truth x {args.seeds} seeds a level; "
          f"SNR: strongest 1 ms / noise in {RATE / 1e3:g} kHz")
    # Clipped: the mean share of bytes at 0 or 255; where it is large, the 8 bits cap the noise
    # (and the signal) below the level asked for.
    print(f"{'':8}{'at least one':>18}{'every message':>18}{'false messages':>18}")
    print(f"{'SNR':>8}" + f"{'rtl_433':>10}{'ours':>8}" * 3 + f"{'clipped':>9}")
    for level, items in rows.items():
        r = np.array(items)
        print(f"{level:+5g} dB{pct(r[:, 0]):>10}{pct(r[:, 1]):>8}{pct(r[:, 2]):>10}"
              f"{pct(r[:, 3]):>8}{r[:, 4].sum():10.0f}{r[:, 5].sum():8.0f}{pct(r[:, 6]):>9}",
              flush=True)


def sweep(args, tool, pool, folder):
    """Prints the sweep of one recording, `args.sweep`, through the noise levels."""
    truth = direct(os.path.join(args.corpus, args.sweep))
    levels = np.arange(args.sweep_top, -30.5, -args.sweep_step)
    print(f"\nSweep: {args.sweep} ({models(truth)}), {args.sweep_seeds} seeds a level; the share "
          f"of its messages decoded")
    print(f"{'SNR':>8}{'rtl_433':>10}{'ours':>8}")
    shares = {"rtl_433": [], "ours": []}
    for level in levels:
        runs = list(pool.map(lambda seed: noisy_run(tool, args.corpus, folder, args.sweep,
                                                    level, seed), range(args.sweep_seeds)))
        alone = np.mean([len(truth & a) / len(truth) for a, _, _ in runs])
        found = np.mean([len(truth & f) / len(truth) for _, f, _ in runs])
        shares["rtl_433"].append(alone)
        shares["ours"].append(found)
        print(f"{level:+5g} dB{alone:10.0%}{found:8.0%}", flush=True)
        if alone == found == 0:
            break
    at = {k: half_point(levels[:len(v)], v) for k, v in shares.items()}
    print(f"half decoded at: rtl_433 alone {at['rtl_433']:+.1f} dB, ours {at['ours']:+.1f} dB: "
          f"{at['rtl_433'] - at['ours']:.1f} dB better (goal: 15 dB)")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"),
                        help="build directory with tools/iqenv-config")
    parser.add_argument("--corpus", default=os.path.join(HERE, "..", "..", "shared", "corpus"),
                        help="the recordings, a folder each device (default ../shared/corpus "
                        "beside the repository)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="recordings decoded at once (default: the processors)")
    parser.add_argument("--levels", type=float, nargs="+", default=[6.0, 0.0, -3.0, -6.0],
                        help="SNRs of the added noise (dB)")
    parser.add_argument("--seeds", type=int, default=3, help="noise seeds a level")
    parser.add_argument("--only", choices=["clean", "noise", "sweep"])
    parser.add_argument("--sweep", default=SWEEP, help=f"the recording swept (default {SWEEP})")
    parser.add_argument("--sweep-seeds", type=int, default=6, help="noise seeds a level in the "
                        "sweep (default 6)")
    parser.add_argument("--sweep-top", type=float, default=12.0, help="the sweep's first SNR "
                        "(dB, default 12)")
    parser.add_argument("--sweep-step", type=float, default=1.0, help="the sweep's step (dB, "
                        "default 1)")
    parser.add_argument("--files", default="*", help="only recordings whose folder/file "
                        "matches this pattern")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="a line per recording and seed at each noise level")
    args = parser.parse_args()
    tool = os.path.abspath(os.path.join(args.build, "tools", "iqenv-config"))
    if not os.path.isdir(args.corpus):
        sys.exit(f"Error: no corpus at {args.corpus}; give --corpus")
    names = sorted(os.path.join(d, f) for d in os.listdir(args.corpus)
                   if os.path.isdir(os.path.join(args.corpus, d))
                   for f in os.listdir(os.path.join(args.corpus, d)))
    names = [n for n in names if fnmatch.fnmatch(n, args.files)]
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool, \
            tempfile.TemporaryDirectory() as folder:
        if args.only in (None, "sweep"):
            sweep(args, tool, pool, folder)
        if args.only == "sweep":
            return
        if args.only == "noise":
            truths = dict(zip(names, pool.map(
                lambda name: direct(os.path.join(args.corpus, name)), names)))
        else:
            truths = clean(args, tool, names, pool)
        if args.only != "clean":
            noisy(args, tool, truths, pool, folder)


if __name__ == "__main__":
    main()
