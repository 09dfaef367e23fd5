#!/usr/bin/python3
"""Benchmarks iqenv: its kernels alone, then whole runs against the floor.

Builds everything in Release, runs the kernel benchmarks (Google Benchmark), generates 10 s of
2.4 MS/s input and 2 s of 20 MS/s input once, then runs the floor (resampling and output only),
iqenv at 64, 256 and 1024 taps and with the demo scene's design (iqenv-config's defaults) on the
first, and iqenv with iqenv-config's default design on the second (decimated ahead of the
resampler), in turn, round after round, and prints the medians, the ratios to the floor per
second of input and the peak resident memory. CPU time (user + system) is the figure to trust
on a shared machine; wall time is printed beside it.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GOALS = {64: 1.10, 256: 1.25, 1024: 2.0}
DEMO_GOAL = 1.05
RATE = 2400000
WIDE_RATE = 20000000
WIDE_OFFSET = 3.3e6
WIDE_GOAL = 3.0  # CPU per second of input, against the floor's per second of RATE input


def timed_run(argv, input_path):
    """Runs argv with input_path on stdin and output to /dev/null: (wall s, cpu s, peak KiB).

    The figures come from /usr/bin/time: a child of this interpreter would report the
    interpreter's own peak memory as its own.
    """
    with tempfile.NamedTemporaryFile("r") as report, open(input_path, "rb") as stdin, \
            open(os.devnull, "wb") as null:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", report.name] + argv,
                              stdin=stdin, stdout=null, stderr=null)
        wall = time.perf_counter() - start
        user, system, peak = report.read().split()[-3:]
    if proc.returncode != 0:
        sys.exit(f"Error: {' '.join(argv)} exited with status {proc.returncode}")
    return wall, float(user) + float(system), int(peak)


def _tap_count(path):
    with open(path, "rb") as f:
        return int.from_bytes(f.read(12)[8:], "little")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build-release"),
                        help="Release build directory (default: build-release)")
    parser.add_argument("--data", help="where the input goes (default: BUILD/benchdata)")
    parser.add_argument("--runs", type=int, default=5, help="rounds, at least 5 for the goals")
    parser.add_argument("--taps", type=int, nargs="+", default=[64, 256, 1024])
    parser.add_argument("--wide-seconds", type=float, default=2.0,
                        help="seconds of 20 MS/s input (0: skip that case)")
    parser.add_argument("--no-kernels", action="store_true", help="skip the kernel benchmarks")
    args = parser.parse_args()
    subprocess.run(["cmake", "-S", os.path.join(HERE, ".."), "-B", args.build,
                    "-DCMAKE_BUILD_TYPE=Release", "-DIQENV_BUILD_BENCH=ON",
                    "-DIQENV_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", args.build, "-j", str(os.cpu_count() or 1)], check=True)
    if not args.no_kernels:
        subprocess.run([os.path.join(args.build, "bench", "iqenv_kernel_bench"),
                        "--benchmark_min_time=0.3"], check=True)
        print(flush=True)
    data = args.data or os.path.join(args.build, "benchdata")
    subprocess.run([sys.executable, os.path.join(HERE, "make_input.py"), "--out", data,
                    "--rate", str(RATE), "--taps"] + [str(n) for n in args.taps], check=True)
    wide = os.path.join(data, "wide")
    if args.wide_seconds > 0:
        subprocess.run([sys.executable, os.path.join(HERE, "make_input.py"), "--out", wide,
                        "--rate", str(WIDE_RATE), "--seconds", str(args.wide_seconds),
                        "--offset", str(WIDE_OFFSET), "--taps", "1"], check=True)
    iqenv = os.path.join(args.build, "iqenv")
    floor = os.path.join(args.build, "bench", "iqenv_floor")

    # The demo scene's design with iqenv-config's defaults: a remote 280 kHz off the tuned
    # frequency, the gain the pipelines use.
    demo = os.path.join(data, "demo.cfg")
    subprocess.run([os.path.join(args.build, "tools", "iqenv-config"), "design", "-o", demo,
                    "--samplerate", str(RATE), "--center", "280e3", "--gain", "1e-4"],
                   check=True, stdout=subprocess.DEVNULL)

    # The same defaults for the 20 MS/s input's signal: a few taps, as far from the tuned
    # frequency as such a band's signals mostly are.
    wide_design = os.path.join(wide, "design.cfg")
    if args.wide_seconds > 0:
        subprocess.run([os.path.join(args.build, "tools", "iqenv-config"), "design", "-o",
                        wide_design, "--samplerate", str(WIDE_RATE), "--center", str(WIDE_OFFSET),
                        "--gain", "1e-4"], check=True, stdout=subprocess.DEVNULL)

    # name, command, input, goal (a ratio to the floor per second of input)
    programs = [("floor", [floor, str(RATE)], data, None)]
    programs += [(f"iqenv {n} taps", [iqenv, os.path.join(data, f"taps_{n}.cfg")], data,
                  GOALS.get(n)) for n in args.taps]
    programs.append((f"demo design, {_tap_count(demo)} taps", [iqenv, demo], data, DEMO_GOAL))
    if args.wide_seconds > 0:
        programs.append((f"20 MS/s, {_tap_count(wide_design)} taps", [iqenv, wide_design], wide,
                         WIDE_GOAL))
    results = {name: [] for name, *_ in programs}
    for r in range(args.runs):
        for name, argv, folder, _ in programs:
            results[name].append(timed_run(argv, os.path.join(folder, "input.cf32")))
        print(f"round {r + 1}/{args.runs}: " + ", ".join(
            f"{name} {results[name][-1][1]:.2f} s" for name, *_ in programs), flush=True)

    def median(name, i):
        return statistics.median(run[i] for run in results[name])

    def seconds(folder, rate):
        return os.path.getsize(os.path.join(folder, "input.cf32")) // 8 / rate

    base = seconds(data, RATE)
    width = max(len(name) for name, *_ in programs) + 2
    print(f"\n{'program':<{width}}{'cpu s':>8}{'wall s':>8}{'cpu ratio':>11}{'wall ratio':>12}"
          f"{'goal':>7}{'peak RSS':>11}")
    for name, _, folder, goal in programs:
        cpu, wall = median(name, 1), median(name, 0)
        rss = max(run[2] for run in results[name]) / 1024
        line = f"{name:<{width}}{cpu:8.2f}{wall:8.2f}"
        if name == "floor":
            line += f"{'':>11}{'':>12}{'':>7}"
        else:
            # Per second of input: the 20 MS/s input is shorter than the floor's.
            scale = base / seconds(folder, WIDE_RATE if folder == wide else RATE)
            line += (f"{cpu * scale / median('floor', 1):11.3f}"
                     f"{wall * scale / median('floor', 0):12.3f}"
                     f"{f'{goal:.2f}' if goal else '':>7}")
        print(line + f"{rss:8.1f} MiB")
    print(f"\nmedians of {args.runs} runs each, {base:.0f} s of {RATE / 1e6:g} MS/s input"
          + (f" and {seconds(wide, WIDE_RATE):.0f} s of {WIDE_RATE / 1e6:g} MS/s"
             if args.wide_seconds > 0 else "") + ", output to /dev/null")


if __name__ == "__main__":
    main()
