"""iqenv and iqenv-config as their users meet them: files read or refused alike, the messages
and options the man page lists, the terminal refusal, memory, and installing."""
import functools
import math
import os
import pty
import re
import resource
import struct
from concurrent.futures import Future, ThreadPoolExecutor

import pytest
from conftest import (BLOCK, BUILD, IQENV, ONE_TAP, ROOT, TOOL, carrier, config, config_bytes,
                      iqsignals, run, serve_fifo, with_one_block)

LOWEST, HIGHEST = 94, 4294967295  # the rates iqenv accepts, as documented
GOOD = config_bytes()


def report(mhz, rate, taps):
    return ["=== Filter Configuration ===", f"  Frequency : {mhz} MHz", f"  Samplerate  : {rate}",
            f"  Number of complex filter taps : {taps}"]


GOOD_REPORT = report("0.1", 2400000, 1)
# Paths that cannot be opened (relative to a folder), files cut at every field and failing
# every check, and a few that are accepted; and, word for word, what iqenv writes on standard
# error for each ({path}: the file's path).
FILES = {
    "missing": ("missing.cfg", ["Error: Cannot open config file: {path}"]),
    "a directory": ("", ["Error: Cannot open config file: {path}"]),
    "empty": (b"", ["Error: Failed to read 'frequency' (need 4 bytes)"]),
    "frequency short": (GOOD[:3], ["Error: Failed to read 'frequency' (need 4 bytes)"]),
    "samplerate missing": (GOOD[:4], ["Error: Failed to read 'samplerate' (need 4 bytes)"]),
    "samplerate short": (GOOD[:7], ["Error: Failed to read 'samplerate' (need 4 bytes)"]),
    "count short": (GOOD[:11], ["Error: Failed to read the number of taps (need 4 bytes)"]),
    "no taps": (config_bytes(taps=b""),
                report("0.1", 2400000, 0) + ["Error: The filter has no taps"]),
    "truncated at tap 2": (config_bytes(count=5, taps=ONE_TAP * 2),
                           ["Error: Failed to read complex sample[2] (file truncated?)"]),
    "half a tap": (config_bytes(count=2, taps=ONE_TAP + ONE_TAP[:5]),
                   ["Error: Failed to read complex sample[1] (file truncated?)"]),
    "huge count": (config_bytes(count=0xFFFFFFFF, taps=ONE_TAP * 3),
                   ["Error: Failed to read complex sample[3] (file truncated?)"]),
    # A FIFO has no size to check the count against: the taps must be read as they come.
    "huge count through a FIFO": (("fifo", config_bytes(count=0xFFFFFFFF, taps=ONE_TAP * 1000)),
                                  ["Error: Failed to read complex sample[1000] (file truncated?)"]),
    "samplerate 0": (config_bytes(rate=0), report("0.1", 0, 1) + [
        "Error: Samplerate 0 is not supported (the resampler accepts 94 to 4294967295 samples "
        "per second)"]),
    "samplerate below": (config_bytes(rate=LOWEST - 1), report("0.1", 93, 1) + [
        "Error: Samplerate 93 is not supported (the resampler accepts 94 to 4294967295 samples "
        "per second)"]),
    "nan frequency": (config_bytes(math.nan), report("nan", 2400000, 1) + [
        "Error: Frequency is not a finite number"]),
    "negative nan frequency": (config_bytes(-math.nan), report("-nan", 2400000, 1) + [
        "Error: Frequency is not a finite number"]),
    "infinite frequency": (config_bytes(-math.inf), report("-inf", 2400000, 1) + [
        "Error: Frequency is not a finite number"]),
    "nan tap 3": (config_bytes(taps=ONE_TAP * 3 + struct.pack("<ff", 0, math.nan) + ONE_TAP),
                  report("0.1", 2400000, 5) + ["Error: Filter tap[3] is not a finite number"]),
    "infinite tap 0": (config_bytes(taps=struct.pack("<ff", -math.inf, 0)),
                       GOOD_REPORT + ["Error: Filter tap[0] is not a finite number"]),
    "accepted, lowest rate, odd report": (
        config_bytes(-1.5e-7, LOWEST, taps=ONE_TAP + b"tail"),
        report("-1.5e-13", 94, 1) + ["Resampling ratio : 255.319"]),
    "accepted, highest rate": (config_bytes(433.92e6, HIGHEST, taps=ONE_TAP * 2), report(
        "433.92", 4294967295, 2) + ["Resampling ratio : 5.58794e-06", "Decimation : 1024, the "
                                    "resampler receives 4194303.9990234375 samples per second"]),
    "accepted, ratio 1": (config_bytes(0.0, 24000), report("0", 24000, 1) + [
        "Resampling ratio : 1"]),
}


def config_path(folder, content):
    if isinstance(content, str):
        return str(folder / content)
    if isinstance(content, tuple):
        return serve_fifo(folder, content[1])[0]
    (folder / "c.cfg").write_bytes(content)
    return str(folder / "c.cfg")


def limit_address_space():
    # Memory must follow the bytes present, not the count declared. Instrumented and emulated
    # builds reserve more address space than this at start-up, and set the variable.
    if "IQENV_NO_ADDRESS_LIMIT" not in os.environ:
        resource.setrlimit(resource.RLIMIT_AS, (64 << 20, 64 << 20))


@pytest.mark.parametrize("name", FILES)
def test_iqenv_and_show_read_and_refuse_as_written(tmp_path, name):
    """iqenv's report and message word for word, show's the same; a refusing iqenv leaves stdin
    unread."""
    content, expected = FILES[name]
    path = config_path(tmp_path, content)
    expected = [line.format(path=path) for line in expected]
    r, left = with_one_block([IQENV, path], preexec_fn=limit_address_space)
    assert r.stderr.decode().splitlines() == expected
    assert (r.returncode, left) == ((0, 0) if name.startswith("accepted") else (1, BLOCK))
    shown = run([TOOL, "show", config_path(tmp_path, content)], text=True)
    report_lines = expected[:4] if expected[0].startswith("===") else []
    assert shown.stdout.splitlines()[:len(report_lines)] == report_lines
    assert (shown.returncode, shown.stderr.splitlines()) == (
        r.returncode, [line for line in expected if line.startswith("Error: ")])


def on_terminal(arguments):
    """Runs iqenv with a pseudo-terminal as standard output: status, stderr, terminal text."""
    controller, terminal = pty.openpty()
    result = run([IQENV, *arguments], stdout=terminal, text=True)
    os.close(terminal)
    try:
        shown = os.read(controller, 4096)
    except OSError:  # EIO: nothing was written, and the terminal side is closed
        shown = b""
    os.close(controller)
    return result.returncode, result.stderr, shown.decode()


def page_entries(page):
    """The messages of the page's DIAGNOSTICS, as patterns, its placeholders matching values."""
    section = page.split(".SH DIAGNOSTICS")[1].split("\n.SH ")[0]
    entries = {}
    for line in section.splitlines():
        if line.startswith(".B "):
            pattern = re.escape(line[3:]).replace(r"\[COMMAND\]\ ", r"(?:\w+ )?")
            for words, value in (("PATH|TEXT|MESSAGE", ".+"), ("K|N|M|LO|HI", r"\d+"),
                                 ("HZ", r"[-+.e\d]+")):
                pattern = re.sub(rf"\b(?:{words})\b", lambda _: value, pattern)
            entries[line[3:]] = re.compile(pattern)
    return entries


def test_the_programs_say_what_the_man_page_says(tmp_path):
    source = os.path.join(ROOT, "docs", "iqenv.1")
    assert run(["groff", "-man", "-t", "-ww", "-z", "-Tutf8", source]).stderr == b""
    with open(source) as f:
        page = f.read().replace("\\-", "-").replace("\\e", "\\")
    cfg = config(tmp_path)
    # Every way to make the programs speak, with the status it must give.
    runs = [(run([IQENV, config_path(tmp_path, c)]), int(not name.startswith("accepted")))
            for name, (c, _) in FILES.items() if not isinstance(c, tuple)]
    with open("/dev/full", "wb") as full:
        runs.append((run([IQENV, cfg], carrier(40), stdout=full), 1))
    directory = os.open("/", os.O_RDONLY | os.O_DIRECTORY)
    runs.append((run([IQENV, cfg], stdin=directory), 1))
    os.close(directory)
    runs += [(run([IQENV, *args]), 2) for args in ([], ["a", "b"], ["a", "b", "c"])]
    # iqenv-config starts slowly (numpy, scipy): its runs, which write nothing, go on side by
    # side.
    pool = ThreadPoolExecutor(4)
    started = functools.partial(pool.submit, run)
    design = [TOOL, "design", "-o", str(tmp_path / "d.cfg"), "--samplerate", "2400000",
              "--frequency", "1e5", "--bandwidth"]
    runs += [(started(design + args), 2) for args in (
        ["0"], ["2e4", "--center", "nan"], ["2e4", "--gain", "0"], ["1"], ["2e4", "--taps", "x"],
        ["2e4", "--rejection", "0"], ["3e4"], ["2e4", "--center", "6e3", "--frequency", "12e3"],
        ["1e4", "--center", "4.5e3", "--frequency", "4.5e3"])]
    runs += [(started(design[:6] + args), 2) for args in (
        ["--bandwidth", "2e4"], ["--bandwidth", "2e4", "--center", "5.25e3"])]
    runs.append((started([TOOL, "nope"]), 2))
    runs.append((started(design[:3] + ["/no/such/dir/d.cfg"] + design[4:] + ["2e4"]), 1))
    (tmp_path / "short.cf32").write_bytes(b"")
    runs += [(started([TOOL, "scan", "--samplerate", "2400000", path]), 1)
             for path in (str(tmp_path / "short.cf32"), "/dev/null")]
    runs.append((started([TOOL, "scan", str(tmp_path / "short.cf32")]), 2))  # no rate given
    (tmp_path / "silent.cf32").write_bytes(bytes(8 * 20000))
    # Text, and 8-bit samples read as float32: refused for what they are.
    (tmp_path / "text.cu8").write_text(page)
    (tmp_path / "bytes.cf32").write_bytes(iqsignals.as_recorded(
        iqsignals.complex_noise(20000, 0.3, 1), "cu8"))
    runs += [(started([TOOL, "scan", "--samplerate", "250000", str(tmp_path / name)]), 1)
             for name in ("text.cu8", "bytes.cf32")]
    runs.append((started(design[:-3] + ["--recording", str(tmp_path / "silent.cf32")]), 1))
    pulses = [TOOL, "pulses"]
    runs += [(started(pulses + args), 2) for args in (
        [], ["-", "--all"], ["-", "--recording", "r.cu8", "--samplerate", "1e6"],
        ["--recording", "r.cu8", "--all", "--envelope", "e.f32"],
        ["--recording", str(tmp_path / "short.cf32")])]  # the last: a rate nothing gives
    recording = ["--recording", str(tmp_path / "silent.cf32"), "--samplerate", "2400000"]
    failing = tmp_path / "failing-iqenv"
    failing.write_text("#!/bin/sh\necho 'Error: it failed' >&2\nexit 1\n")
    failing.chmod(0o755)
    runs += [(started(pulses + recording + args), 1) for args in (
        [], ["--center", "1e5", "--iqenv", "/bin/false"],
        ["--center", "1e5", "--iqenv", str(failing)])]
    gone, dead = os.pipe()
    os.close(gone)  # a pipe on standard output whose reader has left
    runs.append((started(pulses + ["-"], stdout=dead), 1))
    said = []
    for result, status in runs:
        result = result.result() if isinstance(result, Future) else result
        assert result.returncode == status, result.stderr
        said += [line for line in result.stderr.decode().splitlines()
                 if line.startswith(("Error: ", "Usage: "))]
    pool.shutdown()
    os.close(dead)
    # A terminal is refused before anything is opened, a valid configuration or a missing one.
    for path in (cfg, str(tmp_path / "missing.cfg")):
        status, err, shown = on_terminal([path])
        assert (status, shown, err.count("\n")) == (2, "", 1)
        said.append(err.strip())
    entries = page_entries(page)
    for line in said:
        assert [e for e, p in entries.items() if p.fullmatch(line)], line
    # libsamplerate's own failures are the only ones no input can bring about.
    silent = [e for e, p in entries.items() if not any(p.fullmatch(line) for line in said)]
    assert all("the resampler:" in e or "src_callback" in e for e in silent), silent

    # The report as the page shows it, and the ratio line it quotes.
    example = re.search(r"^\.RS\n(===.*?)\n\.RE", page, re.M | re.S).group(1).splitlines()
    taps = [complex(1, 0)] * int(example[3].split(":")[1])
    r = run([IQENV, config(tmp_path, 433.92e6, 2400000, taps)], b"")
    assert (r.returncode, r.stdout) == (0, b"")
    assert r.stderr.decode().splitlines()[:4] == example
    assert f'"{r.stderr.decode().splitlines()[4]}"' in page

    # Help, also on a terminal, and every option it names; the version.
    helps = [run([IQENV, flag]).stdout.decode() for flag in ("-h", "--help")]
    assert helps[0] == helps[1] == on_terminal(["--help"])[2].replace("\r\n", "\n")
    assert helps[0].startswith(run([IQENV]).stderr.decode().splitlines()[0] + "\n")
    helps += [run([TOOL, *c, "--help"]).stdout.decode()
              for c in ([], ["design"], ["show"], ["plot"], ["scan"], ["pulses"])]
    options = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", "\n".join(helps)))
    assert {"--help", "--samplerate", "--taps", "--gain", "-o"} <= options
    assert [o for o in options if o not in page] == []
    for program in (IQENV, TOOL):
        version = run([program, "--version"]).stdout.decode().split()[1]
        assert f'"iqenv {version}"' in page.splitlines()[1]


def test_a_process_substitution_configures_like_the_file(tmp_path):
    path = config(tmp_path, 5000.0, 96000, iqsignals.bandpass_taps(96000, 5000, 8000, 33))
    for command in ([IQENV], [TOOL, "show"]):
        direct = run([*command, path], carrier(20))
        substituted = run(["bash", "-c", 'exec "$@" <(cat "$0")', path, *command], carrier(20))
        assert direct.returncode == 0 and direct.stdout
        assert (substituted.returncode, substituted.stdout, substituted.stderr) == \
            (0, direct.stdout, direct.stderr)


def test_install_with_a_prefix(tmp_path):
    prefix = tmp_path / "prefix"
    result = run(["cmake", "--install", BUILD, "--prefix", str(prefix)], text=True)
    assert result.returncode == 0, result.stderr
    man = prefix / "share" / "man" / "man1"
    with open(os.path.join(ROOT, "docs", "iqenv.1"), "rb") as page:
        assert (man / "iqenv.1").read_bytes() == page.read()
    assert (man / "iqenv-config.1").read_text().strip() == ".so man1/iqenv.1"

    # The installed tool finds its package beside it, also when called through a link.
    os.symlink(prefix / "bin" / "iqenv-config", tmp_path / "linked")
    cfg = str(tmp_path / "cfg.bin")
    design = run([str(tmp_path / "linked"), "design", "-o", cfg, "--samplerate", "48000",
                  "--center", "5e3", "--bandwidth", "2e3"], text=True, cwd="/")
    assert design.returncode == 0, design.stderr
    r = run([str(prefix / "bin" / "iqenv"), cfg], text=True)
    assert r.returncode == 0 and r.stderr.splitlines()[:4] == design.stdout.splitlines()[:4]
