"""iqenv as a Unix tool: the README's pipelines, the terminal refusal, the man page, install."""
import os
import pty
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest
import scipy.io.wavfile

IQENV = os.environ["IQENV"]
TOOL = os.environ["IQENV_CONFIG"]
BUILD = os.environ["IQENV_BUILD_DIR"]
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import iqsignals  # noqa: E402

RAW_F32 = "-t raw -e floating-point -b 32 -r 24000 -c 1"


def shell(command, cwd):
    return subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=cwd,
                          capture_output=True, text=True)


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    """A folder with a unit-envelope configuration and an AM signal (1 kHz, depth 0.5)."""
    folder = tmp_path_factory.mktemp("pipeline")
    subprocess.run([TOOL, "design", "-o", "remote.cfg", "--samplerate", "2400000",
                    "--frequency", "100e3", "--bandwidth", "40e3", "--gain", "1e-4"],
                   cwd=folder, check=True, capture_output=True)
    iqsignals.am_signal(2400000, 0.3, 100e3, 1000.0, 0.5, noise=0.01).tofile(
        folder / "capture.cf32")
    direct = shell(f"{IQENV} remote.cfg < capture.cf32 > envelope.f32", folder)
    assert direct.returncode == 0, direct.stderr
    return folder, np.fromfile(folder / "envelope.f32", dtype=np.float32)


def test_envelope_into_a_sox_wav(scene):
    folder, direct = scene
    result = shell(f"{IQENV} remote.cfg < capture.cf32 | sox {RAW_F32} - envelope.wav", folder)
    assert result.returncode == 0, result.stderr
    assert "clipped" not in result.stderr
    rate, wav = scipy.io.wavfile.read(folder / "envelope.wav")
    assert rate == 24000 and wav.ndim == 1 and len(wav) == len(direct) > 5000
    np.testing.assert_allclose(wav, direct, atol=1e-7)
    # With the design's gain of 1e-4 the values are the envelope in input units: the
    # modulation (depth 0.5 of 1, halved by the cosine) comes out as 0.25.
    tone, amplitude = iqsignals.tone_of(wav[len(wav) // 4:])
    assert tone == pytest.approx(1000.0, abs=1.0)
    assert amplitude == pytest.approx(0.25, rel=0.03)


def test_receiver_bytes_converted_by_sox(scene):
    """Unsigned 8-bit IQ, as many receivers write it, through sox into iqenv, bit for bit."""
    folder, _ = scene
    iq = np.fromfile(folder / "capture.cf32", dtype=np.float32)
    u8 = np.clip(np.round(iq * 100 + 128), 0, 255).astype(np.uint8)
    u8.tofile(folder / "capture.cu8")
    ((u8.astype(np.float32) - 128) / 128).astype(np.float32).tofile(folder / "expected.cf32")
    result = shell(
        f"sox -t raw -e unsigned-integer -b 8 -c 2 -r 2400000 - "
        f"-t raw -e floating-point -b 32 - < capture.cu8 | {IQENV} remote.cfg > from_u8.f32 && "
        f"{IQENV} remote.cfg < expected.cf32 > expected.f32", folder)
    assert result.returncode == 0, result.stderr
    got = (folder / "from_u8.f32").read_bytes()
    assert len(got) > 20000 and got == (folder / "expected.f32").read_bytes()


@pytest.mark.skipif(shutil.which("aplay") is None, reason="aplay is not installed")
def test_envelope_into_aplay(scene):
    folder, direct = scene
    result = shell(f"{IQENV} remote.cfg < capture.cf32 | "
                   f"aplay -D null -t raw -f FLOAT_LE -r 24000 -c 1 -v", folder)
    assert result.returncode == 0, result.stderr
    assert "FLOAT_LE" in result.stderr and "24000" in result.stderr


def on_terminal(arguments):
    """Runs iqenv with a pseudo-terminal as standard output: status, stderr, terminal text."""
    controller, terminal = pty.openpty()
    try:
        result = subprocess.run([IQENV] + arguments, stdout=terminal, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, text=True)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
    return result.returncode, result.stderr, shown.decode()


def test_iqenv_refuses_a_terminal_before_reading_anything(scene, tmp_path):
    folder, _ = scene
    message = "Error: Standard output is a terminal; redirect it to a file or a pipe\n"
    # A valid configuration, and one that does not exist: neither is opened.
    for config in (folder / "remote.cfg", tmp_path / "missing.cfg"):
        assert on_terminal([str(config)]) == (2, message, "")
    status, err, shown = on_terminal(["--help"])
    assert status == 0 and err == "" and shown.startswith("Usage: iqenv CONFIG_FILE")


def test_man_page_renders_and_agrees_with_help_and_messages():
    page = os.path.join(SOURCE, "docs", "iqenv.1")
    render = subprocess.run(["groff", "-man", "-t", "-ww", "-z", "-Tutf8", page],
                            capture_output=True, text=True)
    assert render.returncode == 0 and render.stderr == ""
    text = open(page).read().replace("\\-", "-").replace("\\e", "\\")

    helps = [subprocess.run([IQENV, "--help"], capture_output=True, text=True).stdout]
    for command in ([], ["design"], ["show"], ["plot"]):
        helps.append(subprocess.run([TOOL] + command + ["--help"], capture_output=True,
                                    text=True).stdout)
    options = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", "\n".join(helps)))
    assert {"--help", "--version", "--samplerate", "--taps", "--gain", "-o"} <= options
    assert not [o for o in options if o not in text]
    for window in re.search(r"\{(\w+(?:,\w+)+)\}", helps[2]).group(1).split(","):
        assert window in text

    version = subprocess.run([IQENV, "--version"], capture_output=True, text=True).stdout
    assert f'"{version.strip()}"' in text.splitlines()[1]

    # Every message the programs can give is listed: the literal part of each one in the code.
    literals = []
    for folder, _, files in os.walk(os.path.join(SOURCE, "src")):
        for name in files:
            code = open(os.path.join(folder, name)).read()
            literals += re.findall(r'runtime_error\(\s*(?:std::string\()?"([^"]+)"', code)
            literals += re.findall(r'"((?:Error: |src_callback)[^"]+)"', code)
    tool = os.path.join(SOURCE, "tools", "iqenvconfig")
    for name in os.listdir(tool):
        if name.endswith(".py"):
            literals += re.findall(r'(?:Config|Design)Error\(\s*f?"([^"{]+)', open(os.path.join(tool, name)).read())
    assert len(literals) > 15
    for literal in literals:
        literal = literal.replace("\\n", "").strip()
        assert literal in text, literal


def test_install_with_a_prefix(tmp_path):
    prefix = tmp_path / "prefix"
    result = subprocess.run(["cmake", "--install", BUILD, "--prefix", str(prefix)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    man = prefix / "share" / "man" / "man1"
    assert (man / "iqenv.1").read_bytes() == open(os.path.join(SOURCE, "docs", "iqenv.1"),
                                                  "rb").read()
    assert (man / "iqenv-config.1").read_text().strip() == ".so man1/iqenv.1"

    # The installed tool finds its package beside it, also when called through a link.
    os.symlink(prefix / "bin" / "iqenv-config", tmp_path / "linked")
    cfg = tmp_path / "cfg.bin"
    design = subprocess.run([str(tmp_path / "linked"), "design", "-o", str(cfg),
                             "--samplerate", "48000", "--frequency", "5e3", "--bandwidth", "2e3"],
                            capture_output=True, text=True, cwd="/")
    assert design.returncode == 0, design.stderr
    run = subprocess.run([str(prefix / "bin" / "iqenv"), str(cfg)], stdin=subprocess.DEVNULL,
                         capture_output=True, text=True)
    assert run.returncode == 0 and run.stderr.splitlines()[:4] == design.stdout.splitlines()[:4]
