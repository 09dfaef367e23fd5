#!/usr/bin/python3
"""Benchmarks `iqenv-config pulses` against rtl_433, side by side, on generated keyed devices.

Accuracy: CASES devices of every coding (with and without sync and preamble, symbols of
200-2000 us, +-10 % jitter, SNR 10-30 dB in iqenv's default channel) written as cu8 at
250 kS/s at a random offset; `pulses --recording` finds, designs, runs iqenv and slices; rtl_433
-A analyses the same file. Figures: the coding named first, every width class's mean within
max(10 us, 3 %), the bits exact (our consensus; rtl_433's first row) at 15 dB and above.

Sensitivity: PWM packets of each symbol length at 250 kS/s with noise added, the SNR given in
the whole 250 kHz band. rtl_433 alone (-X SPEC on the IQ) against the user's default path,
pulses --recording FILE --ook -> rtl_433 -X SPEC -r ook:- (scan, design, a first pass, the
channel matched to the elements it measured, the second pass), against iqenv -> pulses --ook ->
rtl_433 through the default channel and through one matched to the known symbol, and an ideal
detector (each symbol's IQ summed over the symbol, its
magnitude against the best threshold). A packet counts when all its bits are right; the figure
is the SNR where half the packets are, interpolated.

Speed: `pulses -` on a stream paced at 24000 values/s, its CPU time against the wall time of the
stream in the same run, and how soon after a burst ends its report arrives.
"""
import argparse
import os
import re
import resource
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import iqsignals  # noqa: E402
import keyed  # noqa: E402
from iqenvconfig import facts, pipeline, pulsereport  # noqa: E402

RATE = 250000
CHANNEL = 20.9e3  # iqenv-config's default bandwidth, where the accuracy cases' SNR is taken
# rtl_433 -A's guesses, by the words that name them.
GUESSES = [("Position", "PPM"), ("Width", "PWM"), ("Manchester", "Manchester"),
           ("Code Modulation", "PCM")]


def truth_rows(device):
    return [([0] if device.coding == "manchester" else []) + list(map(int, r))
            for r in device.rows]


def same_bits(kind, a, b):
    """Equal rows; PCM rows also when they differ only by zeros at either end: a PCM row's
    leading and trailing 0s are silence, which no receiver can tell from the quiet around."""
    if kind == "pcm":
        return a.strip("0") == b.strip("0")
    return a == b


def width_classes(device):
    """(is pulse, mean us sent) per nominal width, row gaps left out."""
    nominal = keyed.Device(device.coding, device.unit, device.bits, repeats=device.repeats,
                           sync=device.sync, preamble=device.preamble, ratio=device.ratio,
                           jitter=0.0).levels()
    sent = device.levels()
    groups = {}
    for (level, w0), (_, w) in zip(nominal, sent):
        if w0 >= device.row_gap():
            continue
        groups.setdefault((level, round(w0, 3)), []).append(w)
    return [(level == 1, float(np.mean(ws))) for (level, _), ws in groups.items()]


def widths_ok(classes, pulse_means, gap_means):
    for is_pulse, mean in classes:
        found = pulse_means if is_pulse else gap_means
        if not found or min(abs(f - mean) for f in found) > max(10.0, 0.03 * mean):
            return False
    return True


def ours(iqenv, path, samplerate):
    """What pulses --recording --json reports of a recording, by the library's own steps."""
    recording = pipeline.open_recording(path, samplerate)
    out = []
    for choice in pipeline.choose(pipeline.find_signals(recording), samplerate):
        channel = pipeline.design_channel(choice, samplerate)
        for n, found in enumerate(pipeline.read_bursts(pipeline.run_iqenv(recording, channel,
                                                                           iqenv)), 1):
            out.append(pulsereport.record(found.burst, found.analysis, n,
                                          pipeline.output_rate()))
    return out


def rtl_433_analysis(path, samplerate):
    """rtl_433 -A on the recording: per package, (coding, pulse widths, gap widths, rows)."""
    result = subprocess.run(["rtl_433", "-A", "-R", "0", "-s", str(samplerate), "-r", path],
                            capture_output=True, text=True)
    packages = []
    # The analyser writes to standard error.
    for part in (result.stdout + result.stderr).split("Analyzing pulses")[1:]:
        guess = re.search(r"Guessing modulation: (.*)", part)
        name = None
        if guess:
            name = next((n for word, n in GUESSES if word in guess.group(1)), None)
        pulses = _distribution(part, "Pulse width distribution")
        gaps = _distribution(part, "Gap width distribution")
        rows = ["".join(r.split()) for r in re.findall(r"^\[\d+\] \{\s*\d+\}[^:]*: ([01 ]*)$",
                                                       part, re.M)]
        packages.append((name, pulses, gaps, [r for r in rows if r]))
    return packages


def _distribution(text, title):
    at = text.find(title)
    if at < 0:
        return []
    out = []
    for line in text[at:].splitlines()[1:]:
        m = re.match(r"\s*\[\s*\d+\] count:\s*\d+,\s*width:\s*(\d+) us", line)
        if not m:
            break
        out.append(float(m.group(1)))
    return out


def accuracy(args, iqenv, folder):
    rng = np.random.default_rng(args.seed)
    kinds = {}
    rows = []
    for i in range(args.cases):
        device = keyed.random_device(rng, coding=keyed.CODINGS[i % len(keyed.CODINGS)])
        snr = float(rng.uniform(10, 30))
        offset = float(rng.choice([-1, 1]) * rng.uniform(15e3, 100e3))
        path = os.path.join(folder, f"case{i}.cu8")
        iq = keyed.recording(device, RATE, offset, snr, CHANNEL, amplitude=0.5)
        with open(path, "wb") as f:
            f.write(iqsignals.as_recorded(iq, "cu8"))
        truth = "".join(map(str, truth_rows(device)[0]))
        classes = width_classes(device)
        expected = keyed.NAMES[device.coding]
        found = ours(iqenv, path, RATE)
        mine = max(found, key=lambda r: r["pulses"]) if found else {}
        named = mine.get("codings", [{}])[0].get("name")
        pulse_means = [c["mean_us"] for c in mine.get("pulse_clusters", [])]
        gap_means = [c["mean_us"] for c in mine.get("gap_clusters", [])]
        for key, into in (("sync_pulse", pulse_means), ("sync_gap", gap_means)):
            if mine.get(key):
                into.append(mine[key]["mean_us"])
        ok_named = named == expected
        ok_family = ok_named or (expected == "differential Manchester" and named == "Manchester")
        ok_widths = widths_ok(classes, pulse_means, gap_means)
        ok_bits = same_bits(device.coding, mine.get("consensus", ""), truth)
        packages = rtl_433_analysis(path, RATE)
        theirs = max(packages, key=lambda p: len(p[1])) if packages else (None, [], [], [])
        their_named = theirs[0] == expected
        their_widths = widths_ok(classes, theirs[1], theirs[2])
        their_bits = any(same_bits(device.coding, r, truth) for p in packages for r in p[3][:1])
        rows.append((device.coding, snr, ok_named, ok_family, ok_widths, ok_bits, their_named,
                     their_widths, their_bits))
        kinds.setdefault(device.coding, []).append(rows[-1])
        if args.verbose:
            print(f"case {i}: {device.coding} unit {device.unit} sync {device.sync} preamble "
                  f"{device.preamble} snr {snr:.1f} offset {offset:.0f}: named {named} "
                  f"widths {ok_widths} bits {ok_bits}; rtl_433 {theirs[0]} {their_widths} "
                  f"{their_bits}", flush=True)
        os.unlink(path)
    r = np.array([row[2:] for row in rows], dtype=bool)
    snr = np.array([row[1] for row in rows])
    strong = snr >= 15
    print(f"\nAccuracy: {len(rows)} cases, SNR 10-30 dB in a {CHANNEL / 1e3:g} kHz channel, "
          f"cu8 at {RATE / 1e3:g} kS/s, offsets found by the designer")
    print(f"{'':34s}{'pulses':>10s}{'rtl_433 -A':>12s}{'goal':>8s}")
    print(f"{'coding named first':34s}{pct(r[:, 0]):>10s}{pct(r[:, 4]):>12s}{'95 %':>8s}")
    print(f"{'  (Manchester for diff. Manchester)':34s}{pct(r[:, 1]):>10s}")
    print(f"{'widths within max(10 us, 3 %)':34s}{pct(r[:, 2]):>10s}{pct(r[:, 5]):>12s}"
          f"{'':>8s}")
    print(f"{'bits exact at >= 15 dB':34s}{pct(r[strong, 3]):>10s}{pct(r[strong, 6]):>12s}"
          f"{'95 %':>8s}")
    print(f"{'bits exact at < 15 dB':34s}{pct(r[~strong, 3]):>10s}{pct(r[~strong, 6]):>12s}")
    print("per coding (named first / widths / bits >= 15 dB; rtl_433's after the bar):")
    for kind, items in kinds.items():
        k = np.array([row[2:] for row in items], dtype=bool)
        s = np.array([row[1] for row in items]) >= 15
        print(f"  {kind:11s} {len(items):4d}: {pct(k[:, 0]):>6s} {pct(k[:, 2]):>6s} "
              f"{pct(k[s, 3]):>6s} | {pct(k[:, 4]):>6s} {pct(k[:, 5]):>6s} {pct(k[s, 6]):>6s}")


def pct(values):
    return f"{100 * np.mean(values):.0f} %" if len(values) else "-"


# Sensitivity ---------------------------------------------------------------------------------

def packet_train(unit, packets, seed):
    """`packets` PWM packets (24 bits each, one row) with 150 ms between: the keying at RATE,
    the bits of each, and the sample where each starts."""
    rng = np.random.default_rng(seed)
    parts, bits, starts = [np.zeros(int(0.05 * RATE), np.float32)], [], []
    for _ in range(packets):
        b = [int(x) for x in rng.integers(0, 2, 24)]
        d = keyed.Device("pwm_period", unit, b, repeats=1, jitter=0.0)
        starts.append(sum(len(p) for p in parts))
        parts.append(keyed.keying(d, RATE, lead=0.0))
        parts.append(np.zeros(int(0.15 * RATE), np.float32))
        bits.append("".join(map(str, b)))
    return np.concatenate(parts), bits, starts


def spec_for(unit):
    return (f"n=bench,m=OOK_PWM,s={unit},l={2 * unit},r={max(20 * unit, 10000)},"
            f"g={max(10 * unit, 5000)},t={int(0.45 * unit)}")


def decoded(stdout, sent):
    """Packets whose bits came out whole: each sent row found among rtl_433's rows, once."""
    rows = re.findall(r"\{(\d+)\}([0-9a-f]*)", stdout)
    found = set()
    for n, digits in rows:
        n = int(n)
        if n == 0:
            continue
        text = bin(int(digits, 16))[2:].zfill(4 * len(digits))[:n]
        found.add(text)
    return sum(1 for b in sent if b in found)


def _design(tool, path, offset, bandwidth=None):
    """Designs at `offset` (bandwidth None: the default); returns the tap count."""
    extra = ["--bandwidth", str(bandwidth)] if bandwidth else []
    out = subprocess.run([tool, "design", "-o", path, "--samplerate", str(RATE), "--center",
                          str(offset)] + extra, capture_output=True, text=True, check=True)
    return int(re.search(r"Design: (\d+) taps", out.stdout).group(1))


def _through_pulses(tool, iqenv, cfg, cf32, spec, bits, cpu):
    """Share of packets rtl_433 -X spec decodes from iqenv -> pulses --ook; iqenv's CPU
    seconds and the input's seconds are added to cpu[cfg]."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    env = subprocess.run([iqenv, cfg], input=cf32, capture_output=True).stdout
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    used = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    total = cpu.setdefault(cfg, [0.0, 0.0])
    total[0] += used
    total[1] += len(cf32) / 8 / RATE
    ook = subprocess.run([tool, "pulses", "-", "--ook"], input=env,
                         capture_output=True).stdout.decode()
    out = subprocess.run(["rtl_433", "-R", "0", "-X", spec, "-r", "ook:-", "-F", "json"],
                         input=ook, capture_output=True, text=True)
    return decoded(out.stdout, bits) / len(bits)


def _default_path(tool, path, spec, bits):
    """Share of packets rtl_433 -X spec decodes from pulses --recording's pulse data."""
    ook = subprocess.run([tool, "pulses", "--recording", path, "--samplerate", str(RATE),
                          "--format", "cu8", "--ook"], capture_output=True).stdout
    out = subprocess.run(["rtl_433", "-R", "0", "-X", spec, "-r", "ook:-", "-F", "json"],
                         input=ook, capture_output=True)
    return decoded(out.stdout.decode(), bits) / len(bits)


def sensitivity(args, tool, iqenv, folder):
    offset = 40e3
    default = os.path.join(folder, "default.cfg")
    taps = _design(tool, default, offset)
    print(f"\nSensitivity: PWM packets (24 bits, 1:2 fixed period) at {RATE / 1e3:g} kS/s, "
          f"{args.packets} per level; the SNR (in the whole {RATE / 1e3:g} kHz band) where half "
          f"decode. rtl_433 alone on the IQ; the default path (pulses --recording, its channel "
          f"matched to what it measured); iqenv -> pulses -> rtl_433 with the default "
          f"channel ({taps} taps) and with a channel matched to the known symbol (2 / symbol "
          f"wide); the ideal detector. Gains against rtl_433 alone (goal >= 12 dB); the default "
          f"path's distance from the ideal (goal <= 2 dB).")
    print(f"{'symbol':>8s}{'rtl_433':>9s}{'path':>8s}{'gain':>6s}{'default':>9s}{'gain':>6s}"
          f"{'matched':>9s}{'gain':>6s}{'taps':>6s}{'ideal':>8s}{'gain':>6s}"
          f"   short of ideal (path, default, matched)")
    cpu = {}
    for unit in args.units:
        matched = os.path.join(folder, f"matched{unit}.cfg")
        matched_taps = _design(tool, matched, offset, 2e6 / unit)
        keyed_on, bits, starts = packet_train(unit, args.packets, unit)
        spec = spec_for(unit)
        curves = {"rtl_433": [], "path": [], "default": [], "matched": [], "ideal": []}
        levels = np.arange(args.top, args.bottom - 0.5, -1.0)
        for snr in levels:
            # The noise as a receiver's gain sets it, well inside the 8 bits; the signal below.
            sigma = 0.1
            amplitude = np.sqrt(2 * sigma ** 2 * 10 ** (snr / 10))
            iq = iqsignals.carrier(RATE, offset, amplitude * keyed_on)
            iq = iq + iqsignals.complex_noise(len(iq), sigma, int(1000 * (snr + 50)) + unit)
            raw = iqsignals.as_recorded(iq, "cu8")
            path = os.path.join(folder, "sens.cu8")
            with open(path, "wb") as f:
                f.write(raw)
            alone = subprocess.run(["rtl_433", "-R", "0", "-X", spec, "-s", str(RATE), "-r",
                                    path, "-F", "json"], capture_output=True, text=True)
            curves["rtl_433"].append(decoded(alone.stdout, bits) / len(bits))
            curves["path"].append(_default_path(tool, path, spec, bits))
            u8 = np.frombuffer(raw, dtype=np.uint8)
            cf32 = ((u8 - np.float32(127.5)) / np.float32(127.5)).astype(np.float32).tobytes()
            for name, cfg in (("default", default), ("matched", matched)):
                curves[name].append(_through_pulses(tool, iqenv, cfg, cf32, spec, bits, cpu))
            curves["ideal"].append(ideal(u8.astype(np.float64), unit, keyed_on, bits, starts,
                                         offset))
            if args.verbose:
                print(f"  {unit} us at {snr:+.0f} dB: " + ", ".join(
                    f"{k} {v[-1]:.2f}" for k, v in curves.items()), flush=True)
            if all(v[-1] == 0 for v in curves.values()):
                break
        at = {k: half_point(levels[:len(v)], v) for k, v in curves.items()}
        gain = {k: at["rtl_433"] - at[k] for k in at}
        print(f"{unit:6d} us{at['rtl_433']:+9.1f}{at['path']:+8.1f}{gain['path']:6.1f}"
              f"{at['default']:+9.1f}{gain['default']:6.1f}"
              f"{at['matched']:+9.1f}{gain['matched']:6.1f}{matched_taps:6d}{at['ideal']:+8.1f}"
              f"{gain['ideal']:6.1f}   {gain['ideal'] - gain['path']:.1f}, "
              f"{gain['ideal'] - gain['default']:.1f}, {gain['ideal'] - gain['matched']:.1f} dB",
              flush=True)
    ms = {k: 1e3 * used / input_s for k, (used, input_s) in cpu.items()}
    print(f"iqenv's CPU per second of {RATE / 1e3:g} kS/s input: default channel "
          f"{ms[default]:.1f} ms; matched " + ", ".join(
              f"{u} us {ms[os.path.join(folder, f'matched{u}.cfg')]:.1f} ms" for u in args.units))


def ideal(received_u8, unit, keyed_on, bits, starts, offset):
    """Share of packets an ideal detector gets right: the IQ mixed to 0 Hz, summed over each
    keying unit where the sender's clock puts it, its magnitude against the best threshold."""
    iq = (received_u8[0::2] - 127.5) + 1j * (received_u8[1::2] - 127.5)
    iq = iq * np.exp(-2j * np.pi * offset / RATE * np.arange(len(iq)))
    per_unit = unit * 1e-6 * RATE
    right = 0
    for b, s in zip(bits, starts):
        units = 3 * len(b)  # 1:2 fixed period: three units a bit
        bounds = s + np.round(np.arange(units + 1) * per_unit).astype(int)
        mags = np.abs(np.add.reduceat(iq[bounds[0]:bounds[-1]], bounds[:-1] - bounds[0]))
        truth = keyed_on[((bounds[:-1] + bounds[1:]) // 2)] > 0.5
        # The best single threshold for this packet: as few unit errors as any can give.
        order = np.sort(mags)
        errors = min(np.sum((mags > t) != truth) for t in (order[:-1] + order[1:]) / 2)
        right += errors == 0
    return right / len(bits)


def half_point(levels, rates):
    """The SNR (dB) where the success rate crosses 1/2, interpolated; levels descend."""
    for i in range(1, len(rates)):
        if rates[i - 1] >= 0.5 > rates[i]:
            a, b = rates[i - 1], rates[i]
            return levels[i - 1] + (levels[i] - levels[i - 1]) * (a - 0.5) / (a - b)
    return float("nan")


# Speed ----------------------------------------------------------------------------------------

def speed(args, tool, iqenv, folder):
    """CPU share of `pulses -` on a stream paced at 24000 values/s, with bursts in it."""
    offset = 40e3
    cfg = os.path.join(folder, "speed.cfg")
    subprocess.run([tool, "design", "-o", cfg, "--samplerate", str(RATE), "--center",
                    str(offset)], capture_output=True, check=True)
    device = keyed.Device("pwm_period", 400, [1, 0, 1, 1, 0, 0, 1, 0] * 3, repeats=3, seed=9)
    one = keyed.recording(device, RATE, offset, 20.0, CHANNEL, lead=0.5)
    iq = np.concatenate([one] * max(1, int(args.seconds / (len(one) / RATE))))
    raw = np.frombuffer(iqsignals.as_recorded(iq, "cu8"), dtype=np.uint8)
    env = subprocess.run([iqenv, cfg], input=((raw - np.float32(127.5)) / np.float32(
        127.5)).astype(np.float32).tobytes(), capture_output=True).stdout
    values = len(env) // 4
    ends = []  # stream seconds where each burst's last pulse ends
    period = len(one) / RATE
    length = sum(w for _, w in device.levels()) / 1e6
    ends = [k * period + 0.5 + length for k in range(int(values / facts.output_rate() / period))]
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%U %S", "-o", os.path.join(folder, "t"),
                             tool, "pulses", "-", "--json"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    arrivals = []

    def read():
        for line in proc.stdout:
            arrivals.append(time.monotonic())

    reader = threading.Thread(target=read)
    reader.start()
    time.sleep(1.0)  # the interpreter's start, kept out of the stream's wall time
    chunk = facts.output_rate() // 50 * 4
    start = time.monotonic()
    for at in range(0, len(env), chunk):
        due = start + at / 4 / facts.output_rate()
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        proc.stdin.write(env[at: at + chunk])
        proc.stdin.flush()
    wall = time.monotonic() - start
    proc.stdin.close()
    reader.join()
    proc.wait()
    with open(os.path.join(folder, "t")) as f:
        user, system = map(float, f.read().split()[-2:])
    idle = subprocess.run(["/usr/bin/time", "-f", "%U %S", tool, "pulses", "-", "--json"],
                          input=b"", capture_output=True, text=False)
    startup = sum(map(float, idle.stderr.decode().split()[-2:]))
    late = [a - (start + e) for a, e in zip(arrivals, ends)]
    print(f"\nSpeed: {values / facts.output_rate():.0f} s of iqenv output paced at {facts.output_rate()} "
          f"values/s, {len(arrivals)} bursts")
    print(f"  CPU {user + system:.2f} s over {wall:.1f} s of stream: "
          f"{100 * (user + system) / wall:.1f} % of one core "
          f"({100 * (user + system - startup) / wall:.1f} % without the "
          f"{startup:.2f} s the interpreter takes to start); goal <= 5 %")
    if late:
        print(f"  report after a burst's end: median {1e3 * np.median(late):.0f} ms, "
              f"at most {1e3 * max(late):.0f} ms; goal <= 300 ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"),
                        help="build directory with iqenv and tools/iqenv-config")
    parser.add_argument("--cases", type=int, default=210, help="accuracy cases (default 210)")
    parser.add_argument("--seed", type=int, default=15)
    parser.add_argument("--units", type=int, nargs="+", default=[250, 500, 1000, 2000],
                        help="symbol lengths (us) for sensitivity")
    parser.add_argument("--packets", type=int, default=10, help="packets per noise level")
    parser.add_argument("--top", type=float, default=10.0, help="highest SNR swept (dB)")
    parser.add_argument("--bottom", type=float, default=-22.0, help="lowest SNR swept (dB)")
    parser.add_argument("--seconds", type=float, default=60.0, help="stream for the speed run")
    parser.add_argument("--only", choices=["accuracy", "sensitivity", "speed"], nargs="+",
                        default=["accuracy", "sensitivity", "speed"])
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args()
    tool = os.path.abspath(os.path.join(args.build, "tools", "iqenv-config"))
    iqenv = os.path.abspath(os.path.join(args.build, "iqenv"))
    facts.use(os.path.join(args.build, "tools", "iqenv-facts.json"))
    with tempfile.TemporaryDirectory() as folder:
        if "accuracy" in args.only:
            accuracy(args, iqenv, folder)
        if "sensitivity" in args.only:
            sensitivity(args, tool, iqenv, folder)
        if "speed" in args.only:
            speed(args, tool, iqenv, folder)


if __name__ == "__main__":
    main()
