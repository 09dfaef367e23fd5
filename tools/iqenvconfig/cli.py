"""iqenv-config's command line: scan, design, show, plot and pulses. It parses, calls the
library (pipeline.py and the modules it names) and prints; nothing is worked out here."""
import argparse
import functools
import json
import os
import sys
import textwrap
from dataclasses import dataclass

import numpy as np

from . import (bursts, chain, codings, configfile, design, files, pipeline, pulsereport, pulses,
               pulsestream, reader, report, sigmf)
from .formats import FORMATS, described
from .recording import RecordingError
from .units import format_hz

UINT32_MAX = (1 << 32) - 1
PROGRESS_SECONDS = 5.0  # recordings longer than this show how far their reading is
NUMERIC_OPTIONS = ("--mixer", "--frequency", "--center", "--bandwidth", "--gain",
                   "--samplerate", "--rejection")

DESCRIPTION = """\
Finds the signals in an IQ recording (scan), designs the taps and the mixer of
iqenv's configuration file for one of them (design), shows and plots what a
configuration file does at iqenv's output (show, plot), and turns iqenv's output
into pulses, a coding and bits (pulses). For a malformed file the messages are
iqenv's own.

Example, from a recording to bits, and to iqenv's configuration for the live
receiver (the name says 2.4 MS/s at 433.64 MHz, as rtl_433 names its dumps;
--samplerate for one that does not):
  iqenv-config scan g001_433.64M_2400k.cu8
  iqenv-config pulses --recording g001_433.64M_2400k.cu8 --ook | rtl_433 -r ook:-
  iqenv-config design -o remote.cfg --recording g001_433.64M_2400k.cu8

Formats, algorithms and every message: see iqenv(1)."""

DESIGN_DESCRIPTION = """\
Designs the taps, and the mixer unless --mixer is given, for a channel: at
iqenv's output every tone within bandwidth/2 of the centre comes through within
0.5 dB of the gain, without a beat; every tone farther than one bandwidth from
the centre, the image included, is at least the rejection down; and no tone
outside the channel comes through louder than the channel's edge on its side.
Where 0 Hz would pass, a notch takes out the receiver's DC offset. Takes the
fewest taps that do, writes FILE and prints iqenv's report, the design and the
chain's response. With --recording it designs for the strongest keyed signal
that scan finds there.

Example:
  iqenv-config design -o remote.cfg --samplerate 2400000 --center 280e3

How the taps, the mixer, the notch and the default bandwidth are chosen: see
iqenv(1)."""

SHOW_DESCRIPTION = """\
Prints iqenv's report for FILE, then what the whole chain (taps, mixer,
resampler) does from input frequency to iqenv's output: the channel, the
mixer's products, the image, the worst rejection and where it lies, the
estimated cost, and a warning when tones that come through beat.

Example:
  iqenv-config show remote.cfg

What each line means: see iqenv(1)."""

PLOT_DESCRIPTION = """\
Plots the level at iqenv's output of a tone at each input frequency, with
close-ups of the channel and its image and the taps' own response beside it;
or, with --recording, the recording's spectrogram with the signals scan finds.

Example:
  iqenv-config plot remote.cfg -o response.png

See iqenv(1)."""

SCAN_DESCRIPTION = """\
Finds the transmissions in IQ recordings and prints, for each signal, its
offset from the tuned frequency (and its frequency, where the tuned frequency is
known), its power while on (dB above the noise in its band), its occupied
bandwidth (90 % of its power), when its first burst starts and how many bursts
it has. The rate, format and tuned frequency come from the recording's SigMF
metadata, WAV header or name, unless the options below say them.

Example:
  iqenv-config scan g001_433.64M_2400k.cu8

How signals and bursts are told from noise and from clipping, and which
recordings say what: see iqenv(1)."""

PULSES_DESCRIPTION = """\
Turns iqenv's output (float32 at {rate}/s, from FILE or - for standard input,
read as it arrives) into bursts of on/off-keyed pulses, each reported as soon
as {quiet:g} ms pass without a pulse: what it is (bursts of noise, carriers and
what the envelope cannot resolve get no bits, and say why), its width
clusters, its coding named and ranked ({codings}), its rows and their
consensus, and the rtl_433 flex decoder that reads the same bits. With
--recording, from an IQ recording to bits in one command: scan, design, iqenv,
slice.

Example:
  iqenv remote.cfg < capture.cf32 | iqenv-config pulses - --ook | rtl_433 -r ook:-

How it slices, the codings' conventions and every field: see iqenv(1)."""


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """Descriptions as written, with their examples on lines of their own."""


def _refilled(text):
    """`text` with its first paragraph filled again to the width the others are written in
    (after what was put into it)."""
    first, _, rest = text.partition("\n\n")
    return textwrap.fill(" ".join(first.split()), 78) + "\n\n" + rest


SCAN_GENERATOR = "iqenv-config scan"  # "core:generator" of the annotations scan writes
PULSES_GENERATOR = "iqenv-config pulses"  # and of those pulses writes


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


def _channel_options(parser, center_help, bandwidth_help):
    parser.add_argument("--center", type=_number, metavar="HZ", help=center_help)
    parser.add_argument("--bandwidth", type=_number, metavar="HZ", help=bandwidth_help)


def make_parser(version):
    """The command line: design, show, plot and scan, each with `run`, its handler.

    Parameters
    ----------
    version : str
        What --version prints after the program's name.

    Returns
    -------
    Parser
    """
    rate = pipeline.output_rate()
    parser = Parser(prog="iqenv-config", description=DESCRIPTION, formatter_class=_Formatter,
                    epilog="Exit status: 0 on success, 1 for a file iqenv would refuse or an "
                    "I/O failure,\n2 on a usage error. See iqenv(1).")
    parser.add_argument("--version", action="version", version="%(prog)s " + version)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    add = functools.partial(sub.add_parser, formatter_class=_Formatter)
    sub.required = True

    d = add("design", help="design taps and mixer for a channel, write the file",
            description=DESIGN_DESCRIPTION)
    d.set_defaults(run=cmd_design)
    d.add_argument("-o", "--output", required=True, metavar="FILE", help="configuration to write")
    d.add_argument("--samplerate", type=_samplerate, metavar="N",
                   help="input samples per second (default, with --recording: the "
                   "recording's)")
    _channel_options(d, "where the wanted signal is, relative to the tuned frequency "
                     "(default: the --mixer given)",
                     "width of the flat channel (default: the widest the resampler keeps "
                     "flat, about 20 kHz, or less where the centre allows less)")
    d.add_argument("--rejection", type=_number, default=design.DEFAULT_REJECTION, metavar="DB",
                   help=f"least attenuation beyond one bandwidth from the centre (default: "
                   f"{design.DEFAULT_REJECTION:g})")
    d.add_argument("--mixer", "--frequency", dest="mixer", type=_number, metavar="HZ",
                   help="frequency of iqenv's cosine, in hertz, as the file stores it (default: "
                   "chosen); --frequency is its older name")
    d.add_argument("--taps", type=_count, metavar="N",
                   help="number of taps (default: the fewest that keep the promise)")
    d.add_argument("--no-dc-notch", dest="dc_notch", action="store_false",
                   help="no notch at 0 Hz: the whole channel flat, the receiver's DC offset "
                   "passed")
    d.add_argument("--element", type=_number, metavar="US",
                   help="the shortest element (pulse or gap) of the signal, in microseconds: the "
                   "channel matched to it (about 2 / element wide), within what one core runs; "
                   "with --recording, measured there when not given")
    d.add_argument("--drift", type=_number, default=0.0, metavar="HZ",
                   help="with a matched channel, hertz more bandwidth for a carrier that "
                   "wanders (the transmitter's and the receiver's drift over days; default: 0, "
                   "a recording's own wander is in its occupied band)")
    d.add_argument("--gain", type=_number, default=1.0, metavar="G",
                   help="gain from input to iqenv's output in the channel (default: 1); 1e-4 "
                   "makes the values iqenv writes the envelope in input units, as sox needs")
    _add_recording_options(d, _rate, "design for the strongest signal scan finds in this IQ "
                           "recording: the centre at its offset, the bandwidth the widest "
                           "that rejects the other signals found, at least twice its "
                           "occupied band", rate=False)

    s = add("show", help="print iqenv's report and what the chain does",
            description=SHOW_DESCRIPTION)
    s.set_defaults(run=cmd_show)
    s.add_argument("file", metavar="FILE")
    _channel_options(s, "where the channel is (default: where the chain passes most; show "
                     "says when that is ambiguous)", "the channel's width, with --center "
                     "(default: where the chain keeps within 0.5 dB of the centre)")
    s.add_argument("--taps", action="store_true", help="also list the taps as a table")

    p = add("plot", help="plot the chain's response (or a recording) as a PNG",
            description=PLOT_DESCRIPTION)
    p.set_defaults(run=cmd_plot)
    p.add_argument("file", metavar="FILE", nargs="?")
    p.add_argument("-o", "--output", required=True, metavar="PNG", help="image to write")
    _add_recording_options(p, _rate, "instead of FILE: draw this IQ recording's spectrogram "
                           "with the signals scan finds in it")

    c = add("scan", help="find the transmissions in IQ recordings",
            description=SCAN_DESCRIPTION)
    c.set_defaults(run=cmd_scan)
    _add_recording_options(c, _rate, "IQ recordings to scan, one after another", positional=True)
    c.add_argument("--json", action="store_true",
                   help='print one JSON object a line per signal, with "file", "offset_hz", '
                   '"frequency_hz" (where the tuned frequency is known), "power_db", '
                   '"bandwidth_hz", "start_s", "bursts" and "burst_times_s"')
    c.add_argument("--annotate", action="store_true",
                   help="write each burst found as a SigMF annotation: into the recording's "
                   ".sigmf-meta, or a NAME.sigmf-meta written beside a file that has none")

    q = add("pulses", help="turn iqenv's output into pulses, a coding and bits",
            description=_refilled(PULSES_DESCRIPTION.format(
                rate=rate, quiet=bursts.END_QUIET * 1e3, codings=", ".join(codings.names()))))
    q.set_defaults(run=cmd_pulses)
    q.add_argument("input", metavar="FILE", nargs="*",
                   help=f"iqenv's output, float32 at {rate}/s, one file after another; - for "
                   "standard input")
    out = q.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true",
                     help="one JSON object per burst, one line each")
    out.add_argument("--ook", action="store_true",
                     help="rtl_433's OOK pulse data (a header, a 'pulse gap' line in us per "
                     "pulse, ';end' after each burst), for rtl_433 -r ook:-")
    _add_recording_options(q, _rate, "instead of FILE: scan this IQ recording, design for its "
                           "strongest keyed signal, run iqenv and slice its output",
                           rate="optional")
    for name, default, about in (
            ("--center", None, "the signal at this offset instead of the strongest"),
            ("--bandwidth", None, "the channel's width (default: as design --recording chooses: "
             "matched to the elements a first pass measures)"),
            ("--drift", 0.0, "hertz more bandwidth for a carrier that wanders beyond what the "
             "recording shows (default: 0)"),
            ("--rejection", design.DEFAULT_REJECTION,
             f"as for design (default: {design.DEFAULT_REJECTION:g})")):
        q.add_argument(name, type=_number, default=default, help="with --recording: " + about,
                       metavar="DB" if name == "--rejection" else "HZ")
    q.add_argument("--annotate", action="store_true",
                   help="with --recording: write each burst decoded, its coding and bits, as a "
                   "SigMF annotation of the recording (as scan --annotate does)")
    q.add_argument("--envelope", metavar="FILE",
                   help="with --recording, one signal: keep iqenv's output in FILE, and its "
                   f"SigMF metadata beside it (rf32_le at {rate}/s, the channel's frequency)")
    q.add_argument("--all", action="store_true",
                   help="with --recording: every keyed signal scan finds, each through its own "
                   "iqenv run, the bursts labelled by offset")
    q.add_argument("--iqenv", metavar="PROGRAM",
                   help="with --recording: the iqenv to run (default: the one beside "
                   "iqenv-config, else iqenv on PATH)")
    return parser


def _add_recording_options(parser, samplerate_type, about, positional=False, rate=True):
    """The recording (scan: recordings), and what the command line may say of it: its sample
    rate (unless `rate` is False, where the command has --samplerate already), its format and
    its tuned frequency, which win over what the file says."""
    if positional:
        parser.add_argument("recording", metavar="RECORDING", nargs="+", help=about)
    else:
        parser.add_argument("--recording", metavar="RECORDING", help=about)
    if rate:
        parser.add_argument("--samplerate", type=samplerate_type, metavar="N",
                            help="the recording's samples per second (default: what its SigMF "
                            "metadata, WAV header or name says)")
    parser.add_argument("--format", choices=list(FORMATS),
                        help=f"sample format of the recording: {described()} pairs (default: "
                        "what its SigMF metadata, WAV header or name's extension says, else "
                        "cf32)")
    parser.add_argument("--tuned", type=_number, metavar="HZ",
                        help="the frequency the receiver was tuned to, in hertz (default: what "
                        "its SigMF metadata or name says)")


def _open_recording(args, path=None):
    """The recording `path` (default: --recording), opened with what the command line says;
    reading a long one shows how far it is on standard error, where that is a terminal."""
    recording = reader.open_recording(path or args.recording, args.samplerate, args.format,
                                      args.tuned)
    if sys.stderr.isatty() and recording.seconds > PROGRESS_SECONDS:
        recording.progress = _Progress(os.path.basename(recording.path))
    return recording


class _Progress:
    """Writes "NAME: 42 %" over itself on standard error as a recording is read, each pass
    from 0; the line is cleared when a pass ends."""

    def __init__(self, name):
        self.name, self.shown = name, None

    def __call__(self, read, samples):
        percent = 100 * read // max(samples, 1)
        if percent != self.shown:
            self.shown = percent
            end = "\r" if read < samples else "\r\033[K"
            text = f"\r{self.name}: {percent} %" if read < samples else ""
            print(text, end=end, file=sys.stderr, flush=True)


def _load(path):
    """Reads and checks a file, printing iqenv's report in between exactly as iqenv does."""
    config = configfile.read_config(path)
    print("\n".join(configfile.report_lines(config)), flush=True)
    configfile.check_config(config)
    return config


def _analysis_lines(config, center=None, bandwidth=None, passband=None):
    return report.describe(chain.Chain(config.frequency, config.samplerate, config.taps),
                           center, bandwidth, passband)


def cmd_show(args):
    """Runs `show FILE` with the parsed arguments `args`; returns the exit status, 0."""
    if args.bandwidth is not None and args.center is None:
        raise UsageError("--bandwidth needs --center (see iqenv-config show --help)")
    if args.bandwidth is not None and not (args.bandwidth > 0 and np.isfinite(args.bandwidth)):
        raise UsageError("Bandwidth must be above 0")
    config = _load(args.file)
    lines = _analysis_lines(config, args.center, args.bandwidth)
    if config.trailing_bytes:
        lines.append(f"  ({config.trailing_bytes} bytes after the last tap are ignored)")
    if args.taps:
        lines += report.taps_table(config.taps)
    print("\n".join(lines))
    return 0


def cmd_plot(args):
    """Runs `plot` (FILE or --recording) with the parsed arguments `args`; returns the exit
    status, 0."""
    # matplotlib takes a second to import and only plot needs it: plot and scanplot, which
    # import it, are imported here, when they are needed (no import circle is involved).
    if args.recording or args.file is None:
        # plot --recording: the spectrogram instead of a configuration's response.
        if args.file is not None or args.recording is None:
            raise UsageError("plot takes FILE, or --recording RECORDING "
                             "(see iqenv-config plot --help)")
        from . import scanplot

        recording = _open_recording(args)
        found = pipeline.find_signals(recording)
        print("\n".join(report.table(found, recording.frequency)))
        scanplot.plot_recording(recording, found, args.output)
    else:
        from . import plot

        config = _load(args.file)
        plot.plot_response(config, args.output)
    print(f"Wrote {args.output}")
    return 0


def cmd_scan(args):
    """Runs `scan RECORDING...` with the parsed arguments `args`.

    Each recording is scanned in turn; one that cannot be read or analysed is reported and the
    others are scanned still.

    Returns
    -------
    int
        The exit status: 0, or the highest of the refused recordings' (1 unreadable, 2 a
        rate nothing gives).
    """
    status = 0
    for n, path in enumerate(args.recording):
        try:
            _scan_one(args, path, first=n == 0)
        except BrokenPipeError:
            raise
        except reader.RateUnknown as e:
            print(f"Error: {e}", file=sys.stderr)
            status = 2
        except OSError as e:
            sys.stdout.flush()
            print(_message(e), file=sys.stderr)
            status = max(status, 1)
    return status


def _scan_one(args, path, first):
    recording = _open_recording(args, path)
    if args.annotate:
        sigmf.annotation_target(recording)  # refused before the work, and nothing written
    found = pipeline.find_signals(recording)
    tuned = recording.frequency
    if args.json:
        for s in found:
            # A line a write: beside other scans writing to the same file, lines stay whole.
            print(json.dumps({"file": path, **s.as_dict(tuned)}), flush=True)
    else:
        print(("" if first else "\n") + report.recording_line(recording))
        print("\n".join(report.table(found, tuned)))
    if args.annotate:
        marks = report.scan_annotations(found, recording.samplerate, tuned)
        meta = sigmf.write_annotations(recording, marks, SCAN_GENERATOR)
        if not args.json:
            print(f"Wrote {meta}")


def cmd_design(args):
    """Runs `design` with the parsed arguments `args`; returns the exit status, 0."""
    recording = None
    if args.recording:
        if args.center is not None:
            raise UsageError("--recording sets the centre; give --center or --recording "
                             "(see iqenv-config design --help)")
        recording = _open_recording(args)
        samplerate = recording.samplerate
    elif args.samplerate is None:
        raise UsageError("design needs --samplerate, or a --recording that gives it "
                         "(see iqenv-config design --help)")
    else:
        samplerate = args.samplerate
    # Stored as float32, as iqenv reads it: 1e39 becomes infinite and is refused like iqenv does.
    with np.errstate(over="ignore"):
        frequency = np.float32(0.0 if args.mixer is None else args.mixer)
    # The same checks as iqenv's, in its order, before anything is designed or written.
    placeholder = configfile.FilterConfig(
        frequency, samplerate, 0, np.ones(0 if args.taps == 0 else 1, dtype=np.complex64))
    try:
        configfile.check_config(placeholder)
    except configfile.ConfigError as e:
        raise UsageError(str(e)) from None
    if args.element is not None and (args.bandwidth is not None or args.taps is not None):
        raise UsageError("--element sets the bandwidth and the taps; give --element or "
                         "--bandwidth and --taps (see iqenv-config design --help)")
    if args.element is not None and not args.element > 0:
        raise UsageError("--element must be above 0 microseconds")
    options = (args.rejection, args.mixer, args.gain, args.dc_notch)
    element = None if args.element is None else args.element * 1e-6
    try:
        if recording:
            found = pipeline.find_signals(recording)
            if not found:
                raise RecordingError(recording.path, "no signal found to design for")
            [choice] = pipeline.choose(found, samplerate, args.bandwidth, args.rejection,
                                       args.mixer)
            print("\n".join(report.table(found, recording.frequency)))
            print(report.choice_line(choice, recording.frequency))
            result = pipeline.design_channel(choice, samplerate, args.rejection, args.mixer,
                                             args.taps, args.gain, args.dc_notch)
            matched = None
            if args.bandwidth is None and args.taps is None:
                matched = pipeline.match_channel(recording, choice, result, None, args.drift,
                                                 *options, element_s=element)
        else:
            center = args.center if args.center is not None else args.mixer
            if center is None:
                raise UsageError("Give --center (where the signal is), or --mixer")
            result, matched = pipeline.design_at(center, samplerate, args.bandwidth, args.taps,
                                                 *options, element_s=element, drift=args.drift)
    except design.DesignError as e:
        raise UsageError(str(e)) from None
    if matched:
        print(report.match_line(matched, samplerate))
        result = matched.design
    elif args.element is not None:
        print(f"No channel matched to {args.element:g} us elements is narrower than this one")
    _write_atomically(args.output, result.mixer, samplerate, result.taps)
    config = _load(args.output)
    print("\n".join(report.design_lines(result) + _analysis_lines(
        config, result.center, result.bandwidth, result.flat)))
    print(f"Wrote {args.output}")
    return 0


def cmd_pulses(args):
    """Runs `pulses` with the parsed arguments `args`; returns the exit status, 0."""
    with_recording = ("--center", args.center), ("--bandwidth", args.bandwidth), \
        ("--all", args.all or None), ("--iqenv", args.iqenv), ("--samplerate", args.samplerate), \
        ("--annotate", args.annotate or None), ("--envelope", args.envelope)
    recording = None
    if args.recording:
        if args.input:
            raise UsageError("give FILE or --recording, not both")
        if args.envelope and args.all:
            raise UsageError("--envelope keeps one signal's envelope: give it without --all")
        recording = _open_recording(args)
        if args.annotate:
            sigmf.annotation_target(recording)  # refused before the work, and nothing written
        sources = _recording_sources(args, recording)
    else:
        given = [name for name, value in with_recording if value is not None]
        if given:
            raise UsageError(f"{given[0]} goes with --recording")
        if not args.input:
            raise UsageError("Give FILE (- for standard input), or --recording")
        sources = [_PulseSource(path, None, [], None, None) for path in args.input]
    text = not (args.json or args.ook)
    rate = pipeline.output_rate()
    if text:
        print("\n".join(pulsereport.header_lines(rate)), flush=True)
    count, dropped, glitches, marks = 0, 0, 0, []
    for source in sources:
        if text and source.lines:
            print("\n".join(source.lines), flush=True)
        reader = pulses.BurstReader(rate)
        for found in pipeline.read_bursts(_values(args, recording, source), reader=reader):
            count += 1
            marks += _print_burst(args, found, count, source, rate, recording)
        dropped += reader.dropped
        glitches += reader.glitches
        if args.envelope and text:
            print(f"Wrote {args.envelope} and {sigmf.meta_beside(args.envelope)}")
    if text:
        print("\n".join(pulsereport.summary_lines(count, dropped, glitches)))
    if args.annotate:
        meta = sigmf.write_annotations(recording, marks, PULSES_GENERATOR)
        if text:
            print(f"Wrote {meta}")
    return 0


@dataclass
class _PulseSource:
    """Where one stream of iqenv's values comes from: the file named in JSON ("-": none), the
    signal's label (with --all), lines saying what was designed, and with --recording the
    channel designed (design.Design) and the signal chosen (pipeline.Choice)."""

    file: str
    label: str
    lines: list
    channel: object
    choice: object


def _recording_sources(args, recording):
    """pulses --recording: for each signal to decode, a _PulseSource with its channel, all
    designed before anything is printed (a design refused leaves nothing behind)."""
    samplerate = recording.samplerate
    if args.center is not None:
        choices = [pipeline.choice_at(args.center, args.bandwidth)]
    else:
        choices = pipeline.choose(pipeline.find_signals(recording), samplerate, args.bandwidth,
                                  args.rejection, every=args.all)
        if not choices or not choices[0].keyed:
            raise RecordingError(recording.path, "no keyed signal found to decode")
    sources = []
    for choice in choices:
        try:
            channel = pipeline.design_channel(choice, samplerate, args.rejection)
            matched = None
            if args.bandwidth is None:
                matched = pipeline.match_channel(recording, choice, channel, args.iqenv,
                                                 args.drift, args.rejection)
        except design.DesignError as e:
            raise UsageError(str(e)) from None
        if matched:
            channel = matched.design
        lines = [f"Signal at {format_hz(choice.signal.offset_hz)}: "
                 + report.design_lines(channel)[0]]
        if matched:
            lines.append("  " + report.match_line(matched, samplerate))
        if choice.signal.fsk is not None:
            lines.append(report.fsk_pulses_line(choice.signal.fsk, pipeline.output_rate()))
        label = choice.label if len(choices) > 1 or args.all else None
        sources.append(_PulseSource(recording.path, label, lines, channel, choice))
    return sources


def _values(args, recording, source):
    """The stream of iqenv's values for one source."""
    if recording is None:
        return pulsestream.read_values(sys.stdin.buffer if source.file == "-" else
                                       open(source.file, "rb"), sys.stdout)
    values = pipeline.run_iqenv(recording, source.channel, args.iqenv)
    if args.envelope:
        tuned = recording.frequency
        values = pipeline.keep_envelope(values, args.envelope, None if tuned is None else
                                        tuned + source.choice.signal.offset_hz)
    return values


def _print_burst(args, found, index, source, rate, recording):
    """Prints one burst as asked; returns its SigMF annotation in a list where --annotate asks
    for one (else an empty list)."""
    burst, said = found.burst, found.analysis
    if args.ook:
        if said.verdict in pulsereport.PASSED_ON:
            print("\n".join(pulsereport.ook_lines(burst)), flush=True)
        return []
    file = None if source.file == "-" else source.file
    if args.json:
        print(pulsereport.json_line(burst, said, index, rate, source.label, file), flush=True)
    else:
        print("\n".join(pulsereport.text_lines(burst, said, index, rate, source.label)),
              flush=True)
    if not args.annotate:
        return []
    channel = (source.channel.center, source.channel.bandwidth)
    return [pulsereport.annotation(burst, said, channel, recording.samplerate,
                                    recording.frequency)]


def _write_atomically(path, frequency, samplerate, taps):
    # A reader never sees half a file, and a failed design leaves an old file as it was.
    files.replace_whole(path, lambda tmp: configfile.write_config(tmp, frequency, samplerate,
                                                                  taps))


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
    """iqenv-config's command line, run.

    Parameters
    ----------
    argv : list of str, optional
        The arguments after the program's name; sys.argv's by default.
    version : str
        The version --version prints.

    Returns
    -------
    int
        Exit status: 0 success, 1 a file iqenv would refuse or an I/O failure, 2 a usage error.
    """
    try:
        status = _run(argv, version)
        sys.stdout.flush()  # here, where a reader that went away can still be told from a fault
        return status
    except BrokenPipeError:
        # Standard output goes nowhere now, so that the interpreter's last flush does not fail
        # again. A one-off command's reader has what it wanted (head, say): end quietly, as a
        # filter does. pulses runs unattended ahead of a decoder, whose leaving is a fault that
        # whoever watches the pipeline must hear of (pulses | head says so too).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        if (sys.argv[1:] if argv is None else argv)[:1] == ["pulses"]:
            print("Error: standard output was closed; stopping", file=sys.stderr)
        return 1


def _run(argv, version):
    try:
        argv = _join_negative_numbers(sys.argv[1:] if argv is None else argv)
        args = make_parser(version).parse_args(argv)
        return args.run(args)
    except BrokenPipeError:
        raise
    except (UsageError, reader.RateUnknown) as e:
        print(f"Error: {e}", file=sys.stderr)
        return 2
    except configfile.ConfigError as e:
        sys.stdout.flush()
        print(f"Error: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(_message(e), file=sys.stderr)
        return 1


def _message(error):
    """The message for a file that cannot be read or written: "Error: PATH: what"."""
    if error.filename:
        return f"Error: {error.filename}: {error.strerror}"
    return f"Error: {error}"
