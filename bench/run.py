#!/usr/bin/python3
"""Benchmarks iqenv: its kernels alone, then whole runs against the floor.

Builds everything in Release, runs the kernel benchmarks (Google Benchmark), generates 10 s of
2.4 MS/s input once, then runs the floor (resampling and output only) and iqenv at 64, 256 and
1024 taps in turn, round after round, and prints the medians, the ratios to the floor and the
peak resident memory. CPU time (user + system) is the figure to trust on a shared machine; wall
time is printed beside it.
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
RATE = 2400000


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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build-release"),
                        help="Release build directory (default: build-release)")
    parser.add_argument("--data", help="where the input goes (default: BUILD/benchdata)")
    parser.add_argument("--runs", type=int, default=5, help="rounds, at least 5 for the goals")
    parser.add_argument("--taps", type=int, nargs="+", default=[64, 256, 1024])
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
    input_path = os.path.join(data, "input.cf32")
    iqenv = os.path.join(args.build, "iqenv")
    floor = os.path.join(args.build, "bench", "iqenv_floor")

    programs = [("floor", [floor, str(RATE)])]
    programs += [(f"iqenv {n} taps", [iqenv, os.path.join(data, f"taps_{n}.cfg")])
                 for n in args.taps]
    results = {name: [] for name, _ in programs}
    for r in range(args.runs):
        for name, argv in programs:
            results[name].append(timed_run(argv, input_path))
        print(f"round {r + 1}/{args.runs}: " + ", ".join(
            f"{name} {results[name][-1][1]:.2f} s" for name, _ in programs), flush=True)

    def median(name, i):
        return statistics.median(run[i] for run in results[name])

    print(f"\n{'program':<18}{'cpu s':>8}{'wall s':>8}{'cpu ratio':>11}{'wall ratio':>12}"
          f"{'goal':>7}{'peak RSS':>11}")
    for name, _ in programs:
        cpu, wall = median(name, 1), median(name, 0)
        rss = max(run[2] for run in results[name]) / 1024
        line = f"{name:<18}{cpu:8.2f}{wall:8.2f}"
        if name == "floor":
            line += f"{'':>11}{'':>12}{'':>7}"
        else:
            taps = int(name.split()[1])
            goal = f"{GOALS[taps]:.2f}" if taps in GOALS else ""
            line += (f"{cpu / median('floor', 1):11.3f}{wall / median('floor', 0):12.3f}"
                     f"{goal:>7}")
        print(line + f"{rss:8.1f} MiB")
    print(f"\nmedians of {args.runs} runs each, {os.path.getsize(input_path) // 8 / RATE:.0f} s "
          f"of {RATE / 1e6:g} MS/s input, output to /dev/null")


if __name__ == "__main__":
    main()
