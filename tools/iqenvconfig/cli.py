"""iqenv-config: design, inspect and plot iqenv's configuration file."""
import argparse
import os
import sys
import tempfile

import numpy as np

from . import configfile, design, response, scan

UINT32_MAX = (1 << 32) - 1
NUMERIC_OPTIONS = ("--frequency", "--center", "--bandwidth", "--gain", "--samplerate")

DESCRIPTION = """Designs, shows and plots iqenv's configuration file (float32 frequency, uint32
sample rate, uint32 tap count, complex float32 taps, little-endian). Messages for a malformed
file are iqenv's own."""


class UsageError(Exception):
    pass


class Parser(argparse.ArgumentParser):
    # One message form for the whole tool: "Error: ..." on standard error, status 2.
    def error(self, message):
        raise UsageError(f"{message} (see {self.prog} --help)")


def _samplerate(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'") from None
    if not (value.is_integer() and 0 <= value <= UINT32_MAX):
        raise argparse.ArgumentTypeError(f"not a whole number from 0 to {UINT32_MAX}: '{text}'")
    return int(value)


def _rate(text):
    value = _samplerate(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be above 0")
    return value


def _number(text):
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'") from None


def _count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: '{text}'") from None
    if not 0 <= value <= UINT32_MAX:
        raise argparse.ArgumentTypeError(f"not a tap count from 0 to {UINT32_MAX}: '{text}'")
    return value


def make_parser(version):
    parser = Parser(prog="iqenv-config", description=DESCRIPTION,
                    epilog="Exit status: 0 on success, 1 for a file iqenv would refuse or an "
                    "I/O failure, 2 on a usage error. See iqenv(1).")
    parser.add_argument("--version", action="version", version="%(prog)s " + version)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    sub.required = True

    d = sub.add_parser("design", help="design a band-pass and write it as a configuration file",
                       description="Designs complex band-pass taps (a real windowed low-pass "
                       "from scipy.signal shifted to the passband centre), writes them with the "
                       "frequency and sample rate, and prints iqenv's report and the response.")
    d.add_argument("-o", "--output", required=True, metavar="FILE", help="configuration to write")
    d.add_argument("--samplerate", required=True, type=_samplerate, metavar="N",
                   help="input samples per second")
    d.add_argument("--frequency", required=True, type=_number, metavar="HZ",
                   help="frequency of iqenv's cosine (the mixer), in hertz")
    d.add_argument("--bandwidth", required=True, type=_number, metavar="HZ",
                   help="width of the flat passband, in hertz")
    d.add_argument("--center", type=_number, metavar="HZ",
                   help="passband centre in hertz (default: the mixer frequency)")
    d.add_argument("--taps", type=_count, metavar="N",
                   help="number of taps (default: the fewest that keep the stated band edges)")
    d.add_argument("--window", default="kaiser", choices=list(design.WINDOWS),
                   help="window of the low-pass prototype (default: kaiser)")
    d.add_argument("--gain", type=_number, default=1.0, metavar="G",
                   help="linear gain in the pass band (default: 1); 1e-4 makes iqenv's "
                   "output the envelope in input units, within +-1 for sox")

    s = sub.add_parser("show", help="print iqenv's report and what the taps do",
                       description="Prints the report iqenv prints for FILE, then the passband "
                       "centre, -3 dB width, stop-band attenuation and DC gain of its taps.")
    s.add_argument("file", metavar="FILE")
    s.add_argument("--taps", action="store_true", help="also list the taps as a table")

    p = sub.add_parser("plot", help="plot the taps' magnitude and phase as a PNG",
                       description="Plots magnitude (dB) and phase of FILE's taps over "
                       "-fs/2 ... fs/2, with the passband, the mixer frequency, its image and "
                       "the band that survives resampling to 24000 samples/s marked.")
    p.add_argument("file", metavar="FILE", nargs="?")
    p.add_argument("-o", "--output", required=True, metavar="PNG", help="image to write")
    scan.add_recording_options(p, _rate, "instead of FILE: draw this IQ recording's spectrogram "
                               "with the signals scan finds in it", rate="optional")

    scan.add_command(sub, _rate)
    return parser


def _load(path):
    """Reads and checks a file, printing iqenv's report in between exactly as iqenv does."""
    config = configfile.read_config(path)
    print("\n".join(configfile.report_lines(config)), flush=True)
    configfile.check_config(config)
    return config


def _analysis_lines(config):
    a = response.analyse(config.taps, config.samplerate)
    return response.describe(a, config.frequency, config.samplerate)


def cmd_show(args):
    config = _load(args.file)
    lines = _analysis_lines(config)
    if config.trailing_bytes:
        lines.append(f"  ({config.trailing_bytes} bytes after the last tap are ignored)")
    if args.taps:
        lines.append("Taps (tap 0 weights the newest input):")
        lines.append("      k            real            imag")
        lines += [f"{k:7d} {t.real:15.8g} {t.imag:15.8g}" for k, t in enumerate(config.taps)]
    print("\n".join(lines))
    return 0


def cmd_plot(args):
    if args.recording or args.file is None:
        return scan.plot_command(args, UsageError)
    from . import plot  # matplotlib is slow to import; only this command needs it

    config = _load(args.file)
    plot.plot_response(config, args.output)
    print(f"Wrote {args.output}")
    return 0


def cmd_design(args):
    # Stored as float32, as iqenv reads it: 1e39 becomes infinite and is refused like iqenv does.
    with np.errstate(over="ignore"):
        frequency = np.float32(args.frequency)
    # The same checks as iqenv's, in its order, before anything is designed or written.
    placeholder = configfile.FilterConfig(
        frequency, args.samplerate, 0, np.ones(0 if args.taps == 0 else 1, dtype=np.complex64))
    try:
        configfile.check_config(placeholder)
    except configfile.ConfigError as e:
        raise UsageError(str(e)) from None
    center = float(frequency) if args.center is None else args.center
    try:
        result = design.design(args.samplerate, center, args.bandwidth, args.taps, args.window,
                               args.gain)
    except design.DesignError as e:
        raise UsageError(str(e)) from None

    _write_atomically(args.output, frequency, args.samplerate, result.taps)
    config = _load(args.output)
    fmt = response.format_hz
    lines = [f"Design: {len(result.taps)} taps, {result.window} window, "
             f"centre {fmt(result.center)}"]
    if result.promised:
        (p_lo, p_hi), (s_lo, s_hi) = result.pass_edges, result.stop_edges
        lines.append(f"  Pass band : {fmt(p_lo)} to {fmt(p_hi)}, within "
                     f"{design.PASS_RIPPLE_DB:g} dB of {20 * np.log10(result.gain):g} dB")
        lines.append(f"  Stop band : below {fmt(s_lo)} and above {fmt(s_hi)}, at least "
                     f"{result.attenuation:g} dB below the pass band")
    print("\n".join(lines + _analysis_lines(config)))
    print(f"Wrote {args.output}")
    return 0


def _write_atomically(path, frequency, samplerate, taps):
    # A reader never sees half a file, and a failed design leaves an old file as it was.
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(dir=folder, prefix=".iqenv-config-")
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    os.close(fd)
    try:
        configfile.write_config(tmp, frequency, samplerate, taps)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _join_negative_numbers(argv):
    """"--center -30e3" as "--center=-30e3": argparse takes "-30e3" for an option otherwise."""
    out = []
    for token in argv:
        if out and out[-1] in NUMERIC_OPTIONS and token.startswith("-"):
            try:
                float(token)
            except ValueError:
                pass
            else:
                out[-1] += "=" + token
                continue
        out.append(token)
    return out


def main(argv=None, version="(unknown)"):
    try:
        argv = _join_negative_numbers(sys.argv[1:] if argv is None else argv)
        args = make_parser(version).parse_args(argv)
        return {"design": cmd_design, "show": cmd_show, "plot": cmd_plot,
                "scan": scan.command}[args.command](args)
    except UsageError as e:
        print(f"Error: {e}", file=sys.stderr)
        return 2
    except configfile.ConfigError as e:
        sys.stdout.flush()
        print(f"Error: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"Error: {e.filename or ''}: {e.strerror}" if e.filename else f"Error: {e}",
              file=sys.stderr)
        return 1
