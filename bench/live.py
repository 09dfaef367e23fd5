#!/usr/bin/python3
"""Benchmarks the live pipeline `iqenv CFG | iqenv-config pulses - --ook | rtl_433 -r ook:-` on
a receiver's band generated over time (tools/scene.py): cf32 at 250 kS/s as sox writes it from
an 8-bit receiver, a sensor 40 kHz off the tuned frequency sending 24 bits (a 16-bit counter
and a check byte, PWM of 500 us, three rows) every 2.8 s or so, and a flex decoder for it.

Latency: the scene written at its own pace (10 ms at a time) into both pipelines, the one above
and `iqenv | pulses - --json`; from each transmission's last pulse to its line arriving.

Catching up: a recording's values read from a pipe as fast as the writer goes, against real
time (24000 values/s): iqenv itself writing into pulses, and the values iqenv wrote written
again one at a time as iqenv writes them (dd obs=4), or in large writes (cat); beside the first
two writers into cat, and pulses reading the values from a file.

Noise alone: receiver noise only, as fast as it goes, through `iqenv | pulses - --json` at the
default threshold: bursts an hour, and those given a coding and bits.

Soak: hours of the sensor through the live pipeline as fast as it goes, with steps of the
receiver's gain (x0.25 to x4), carriers in the channel (15 dB below the sensor, and one
stronger than it) and short loud noise: the sensor's messages rtl_433 gets with the right bits,
its false messages, and the memory iqenv and pulses hold.
"""
import argparse
import collections
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import keyed  # noqa: E402
import scene  # noqa: E402

RATE = 250000
OUTPUT_RATE = 24000
OFFSET = 40e3
NOISE = 0.02  # receiver noise, sigma a part (full scale 1)
AMPLITUDE = 0.3  # the sensor's: some 31 dB over the noise in the channel
EVERY = 2.8  # seconds between the sensor's transmissions, give or take 0.2
UNIT = 500  # us
FLEX = "n=sensor,m=OOK_PWM,s=500,l=1000,r=15000,g=5000,t=200"
PACE = 0.01  # seconds of IQ a paced write holds
# The soak's events, in seconds of the scene: a gain step every GAIN_EVERY, through GAINS; a
# carrier 15 dB below the sensor for 5 s and a strong one for 3 s in each CARRIER_EVERY; and
# 50 ms of noise 25 times the receiver's every BANG_EVERY.
GAINS = (0.25, 4.0, 0.5, 2.0, 1.0)
GAIN_EVERY = 150.0
CARRIER_EVERY = 600.0
BANG_EVERY = 97.0


def bits(k):
    """The k-th message's bits: the counter k (16 bits), then a check byte."""
    word = (k & 0xffff) << 8 | ((k >> 8) ^ k ^ 0xa5) & 0xff
    return [int(b) for b in f"{word:024b}"]


def sent_index(row):
    """The counter of a 24-bit row whose check byte holds, else None."""
    if row.get("len") != 24:
        return None
    word = int(row["data"], 16)
    k = word >> 8
    return k if ((k >> 8) ^ k ^ 0xa5) & 0xff == word & 0xff else None


def keying(k):
    """The sensor's k-th transmission as on/off keying at RATE."""
    device = keyed.Device("pwm_period", UNIT, bits(k), repeats=3, jitter=0.05, seed=k)
    return keyed.keying(device, RATE, lead=0.0)


def sensor(seconds, seed):
    """The sensor, sending from 0.5 s on while a whole transmission fits."""
    rng = np.random.default_rng(seed)
    starts = np.arange(0.5, seconds - 1.0, EVERY)
    return scene.Transmission(keying, OFFSET, AMPLITUDE,
                              list(starts + rng.uniform(0, 0.2, len(starts))))


def last_pulse_ends(tx):
    """Seconds of the scene where each transmission's last pulse ends."""
    return [t + (np.flatnonzero(keying(k))[-1] + 1) / RATE for k, t in enumerate(tx.times)]


def message_index(line):
    """The counter rtl_433's JSON line carries (its rows' most common), else None (also for a
    line cut short: rtl_433 cuts a message of very many rows)."""
    try:
        rows = json.loads(line).get("rows", [])
    except ValueError:
        return None
    found = [sent_index(r) for r in rows]
    found = [k for k in found if k is not None]
    return collections.Counter(found).most_common(1)[0][0] if found else None


def pipeline(*commands):
    """The commands started, each reading the one before; the first reads a pipe of ours."""
    procs = []
    for command in commands:
        procs.append(subprocess.Popen(command, stdin=procs[-1].stdout if procs else
                                      subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL))
        if len(procs) > 1:
            procs[-2].stdout.close()
    return procs


def collect(proc, into):
    """A thread that keeps each of the last process's lines with the time it arrived."""
    def read():
        for line in proc.stdout:
            into.append((time.monotonic(), line))
    reader = threading.Thread(target=read, daemon=True)  # a failure here ends the pipeline
    reader.start()
    return reader


def finish(procs, readers):
    """Closes the pipeline's input and waits for it; returns the exit statuses."""
    procs[0].stdin.close()
    for reader in readers:
        reader.join()
    return [p.wait() for p in procs]


def status_field(pid, name):
    """A number from /proc/PID/status (kB for memory), None once the process is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(name + ":"):
                    return int(line.split()[1])
    except OSError:
        return None


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def load():
    """The machine's load, said beside a figure of speed (the cores are shared)."""
    return f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"


def ms(values):
    return f"{1e3 * np.median(values):7.0f}{1e3 * max(values):7.0f}" if values else \
        f"{'-':>7s}{'-':>7s}"


def latency(args, tool, iqenv, cfg):
    tx = sensor(args.seconds, 1)
    ends = last_pulse_ends(tx)
    ook = pipeline([iqenv, cfg], [tool, "pulses", "-", "--ook"],
                   ["rtl_433", "-R", "0", "-X", FLEX, "-r", "ook:-", "-M", "time:iso",
                    "-F", "json"])
    js = pipeline([iqenv, cfg], [tool, "pulses", "-", "--json"])
    got_ook, got_js = [], []
    readers = [collect(ook[-1], got_ook), collect(js[-1], got_js)]
    # Made beforehand, so that the pace holds; the interpreters start meanwhile.
    chunks = list(scene.Scene(RATE, args.seconds, NOISE, [tx], seed=1).chunks(RATE))
    pulses = js[1].pid
    start = time.monotonic()
    before = None
    written = 0
    for chunk in chunks:
        for at in range(0, len(chunk), int(PACE * RATE)):
            piece = chunk[at:at + int(PACE * RATE)]
            written += len(piece)
            delay = start + written / RATE - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            for procs in (ook, js):
                procs[0].stdin.write(piece.tobytes())
                procs[0].stdin.flush()
        if before is None:
            before = (time.monotonic(), status_field(pulses, "voluntary_ctxt_switches"),
                      cpu_seconds(pulses))
    after = (time.monotonic(), status_field(pulses, "voluntary_ctxt_switches"),
             cpu_seconds(pulses))
    finish(ook, readers[:1])
    finish(js, readers[1:])
    late_ook = {}
    for arrived, line in got_ook:
        k = message_index(line)
        if k is not None and k not in late_ook:
            late_ook[k] = arrived - start - ends[k]
    late_js = {}
    for arrived, line in got_js:
        burst = json.loads(line)
        k = int(np.argmin([abs(burst["start_s"] - t) for t in tx.times]))
        if burst["verdict"] == "decoded" and abs(burst["start_s"] - tx.times[k]) < 0.01:
            late_js.setdefault(k, arrived - start - ends[k])
    wall = after[0] - before[0]
    print(f"\nLatency, live: {args.seconds:g} s of the scene at its own pace ({PACE * 1e3:g} ms "
          f"of cf32 at a time), {len(tx.times)} transmissions; from a transmission's last "
          f"pulse to its line ({load()})")
    print(f"{'':40s}{'got':>7s}{'median':>8s}{'max':>7s}")
    print(f"{'iqenv | pulses --ook | rtl_433 -X':40s}{len(late_ook):4d}/{len(tx.times):<3d}"
          f"{ms(list(late_ook.values()))} ms")
    print(f"{'iqenv | pulses --json (decoded)':40s}{len(late_js):4d}/{len(tx.times):<3d}"
          f"{ms(list(late_js.values()))} ms")
    print(f"pulses --json woke {(after[1] - before[1]) / wall:.1f} times a second and used "
          f"{100 * (after[2] - before[2]) / wall:.1f} % of a core (after its first second)")


def catching_up(args, tool, iqenv, cfg):
    folder = os.path.dirname(cfg)
    recording = os.path.join(folder, "recording.cf32")
    with open(recording, "wb") as f:
        sc = scene.Scene(RATE, args.recording, NOISE, [sensor(args.recording, 2)], seed=2)
        for chunk in sc.chunks():
            f.write(chunk.tobytes())
    values = os.path.join(folder, "values.f32")
    subprocess.run(f"{iqenv} {cfg} < {recording} > {values}", shell=True, check=True,
                   stderr=subprocess.DEVNULL)
    count = os.path.getsize(values) // 4
    reference = subprocess.run(f"{tool} pulses - --json < {values}", shell=True,
                               capture_output=True, check=True).stdout
    print(f"\nCatching up: {args.recording:g} s of a recording ({count} values) through a pipe "
          f"as fast as the writer goes; x real time is values a second over {OUTPUT_RATE} "
          f"({load()})")
    print(f"{'writer':34s}{'into':>10s}{'wall s':>8s}{'x real time':>13s}")
    same = True
    for name, writer, readers in (
            ("iqenv < recording", f"{iqenv} {cfg} < {recording} 2>/dev/null", 2),
            ("dd obs=4 < iqenv's values", f"dd if={values} ibs=1M obs=4 status=none", 2),
            ("cat < iqenv's values", f"cat {values}", 1),
            ("(none: pulses - < the values)", None, 1)):
        for into in ("cat", "pulses -")[-readers:]:
            reader = "cat > /dev/null" if into == "cat" else f"{tool} pulses - --json"
            began = time.monotonic()
            command = f"{writer} | {reader}" if writer else f"{reader} < {values}"
            out = subprocess.run(command, shell=True, capture_output=True).stdout
            wall = time.monotonic() - began
            same = same and (into == "cat" or out == reference)
            print(f"{name:34s}{into:>10s}{wall:8.2f}{count / wall / OUTPUT_RATE:13.1f}",
                  flush=True)
    print(f"pulses' output the same through each pipe: {'yes' if same else 'NO'}; goal: pulses -"
          f" at least 30x real time")


def noise_alone(args, tool, iqenv, cfg):
    seconds = args.noise_hours * 3600
    procs = pipeline([iqenv, cfg], [tool, "pulses", "-", "--json"])
    lines = []
    reader = collect(procs[-1], lines)
    began = time.monotonic()
    for chunk in scene.Scene(RATE, seconds, NOISE, seed=3).chunks():
        procs[0].stdin.write(chunk.tobytes())
    finish(procs, [reader])
    wall = time.monotonic() - began
    verdicts = collections.Counter(json.loads(line)["verdict"] for _, line in lines)
    hours = seconds / 3600
    print(f"\nNoise alone: {hours:g} h of receiver noise (sigma {NOISE} a part) in "
          f"{wall / 60:.1f} min, at the default threshold ({load()})")
    print(f"  bursts an hour {len(lines) / hours:.1f}; given a coding and bits "
          f"{verdicts['decoded'] / hours:.1f} (goal at most 1); verdicts: "
          + (", ".join(f"{v} {n}" for v, n in verdicts.most_common()) or "none"))


def soak_scene(seconds):
    """The soak's scene: the sensor, gain steps, carriers and bangs of noise."""
    gains = [(GAIN_EVERY * (i + 1), GAINS[i % len(GAINS)])
             for i in range(int(seconds / GAIN_EVERY))]
    carriers, bangs = [], []
    for at in np.arange(0.0, seconds, CARRIER_EVERY):
        carriers += [scene.Carrier(at + 60, at + 65, OFFSET + 3e3, AMPLITUDE / 5.6),
                     scene.Carrier(at + 200, at + 203, OFFSET + 3e3, 2 * AMPLITUDE)]
    for at in np.arange(BANG_EVERY / 2, seconds, BANG_EVERY):
        bangs += [(at, 25.0), (at + 0.05, 1.0)]
    tx = sensor(seconds, 4)
    return tx, scene.Scene(RATE, seconds, NOISE, [tx], carriers, bangs, gains, seed=4)


def troubled(t, sc):
    """What the scene did within a second before a transmission at `t` or during it."""
    near = lambda when: -1.0 < t - when < 0.2  # noqa: E731
    if any(near(when) for when, _ in sc.gain_steps):
        return "gain step"
    for c in sc.carriers:
        if c.start - 0.2 < t < c.stop + 1.0:
            return "strong carrier" if c.amplitude > AMPLITUDE else "weak carrier"
    if any(near(when) for when, factor in sc.noise_steps if factor > 1):
        return "noise"
    return "nothing"


def soak(args, tool, iqenv, cfg):
    seconds = args.hours * 3600
    tx, sc = soak_scene(seconds)
    procs = pipeline([iqenv, cfg], [tool, "pulses", "-", "--ook"],
                     ["rtl_433", "-R", "0", "-X", FLEX, "-r", "ook:-", "-F", "json"])
    lines = []
    reader = collect(procs[-1], lines)
    memory = []  # (seconds, iqenv kB, pulses kB)
    began = time.monotonic()
    last = 0.0
    for chunk in sc.chunks():
        procs[0].stdin.write(chunk.tobytes())
        if time.monotonic() - last > args.every:
            last = time.monotonic()
            memory.append((last - began, status_field(procs[0].pid, "VmRSS"),
                           status_field(procs[1].pid, "VmRSS")))
    statuses = finish(procs, [reader])
    wall = time.monotonic() - began
    got = collections.Counter(message_index(line) for _, line in lines)
    false = sum(n for k, n in got.items() if k is None or k >= len(tx.times))
    right = [k for k in got if k is not None and k < len(tx.times)]
    missed = collections.Counter(troubled(t, sc) for k, t in enumerate(tx.times)
                                 if k not in got)
    print(f"\nSoak: {args.hours:g} h of the scene in {wall / 60:.1f} min ({seconds / wall:.0f}x "
          f"real time) through iqenv | pulses --ook | rtl_433 -X; {len(sc.gain_steps)} gain "
          f"steps, {len(sc.carriers)} carriers, {len(sc.noise_steps) // 2} bangs of noise "
          f"({load()})")
    print(f"  transmissions sent {len(tx.times)}; decoded with the right bits {len(right)} "
          f"({100 * len(right) / len(tx.times):.2f} %); false messages {false} (of "
          f"{len(lines)}: a transmission's three rows come as one to three messages)")
    print("  missed, by what came within a second before: " + (", ".join(
        f"{why} {n}" for why, n in missed.most_common()) or "none"))
    print("  latency: not measured here (the scene runs faster than real time); see Latency")
    if memory:
        print(f"  memory (VmRSS, MiB){'at start':>12s}{'at most':>10s}{'at end':>10s}")
        for i, name in ((1, "iqenv"), (2, "pulses")):
            kb = [m[i] for m in memory if m[i] is not None]
            print(f"  {name:19s}{kb[0] / 1024:12.1f}{max(kb) / 1024:10.1f}{kb[-1] / 1024:10.1f}")
    if any(statuses):
        print(f"  exit statuses (iqenv, pulses, rtl_433): {statuses}")


PARTS = {"latency": latency, "catching-up": catching_up, "noise": noise_alone, "soak": soak}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"),
                        help="build directory with iqenv and tools/iqenv-config")
    parser.add_argument("--seconds", type=float, default=90.0,
                        help="seconds of the paced run for latency (default 90)")
    parser.add_argument("--recording", type=float, default=300.0,
                        help="seconds of the recording for catching up (default 300)")
    parser.add_argument("--noise-hours", type=float, default=1.0,
                        help="hours of noise alone (default 1)")
    parser.add_argument("--hours", type=float, default=2.0, help="hours of the soak (default 2)")
    parser.add_argument("--every", type=float, default=5.0,
                        help="seconds between the soak's readings of memory (default 5)")
    parser.add_argument("--quick", action="store_true",
                        help="30 s paced, a 60 s recording, 3 min of noise, a 6 min soak")
    parser.add_argument("--only", choices=list(PARTS), nargs="+", default=list(PARTS))
    args = parser.parse_args()
    if args.quick:
        args.seconds, args.recording, args.noise_hours, args.hours = 30.0, 60.0, 0.05, 0.1
    tool = os.path.abspath(os.path.join(args.build, "tools", "iqenv-config"))
    iqenv = os.path.abspath(os.path.join(args.build, "iqenv"))
    with tempfile.TemporaryDirectory() as folder:
        cfg = os.path.join(folder, "channel.cfg")
        subprocess.run([tool, "design", "-o", cfg, "--samplerate", str(RATE), "--center",
                        str(OFFSET)], capture_output=True, check=True)
        for name in args.only:
            PARTS[name](args, tool, iqenv, cfg)


if __name__ == "__main__":
    main()
