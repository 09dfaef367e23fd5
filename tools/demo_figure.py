"""The demo's picture: what the taps keep of the recording, and the pulses and bits found in the
envelope."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import scipy.signal  # noqa: E402

from iqenvconfig import configfile, plot  # noqa: E402
from iqenvconfig.facts import output_rate  # noqa: E402


def _spectrum(ax, iq, samplerate, config, markers):
    freqs, psd = scipy.signal.welch(iq, samplerate, nperseg=8192, return_onesided=False)
    order = np.argsort(freqs)
    psd_db = 10 * np.log10(psd[order] / psd.max())
    ax.plot(freqs[order] / 1e3, psd_db, lw=0.6, color="0.35", label="recording (PSD)")
    plot.ChainPicture(config).draw(ax)
    for name, hz in markers.items():
        ax.annotate(name, (hz / 1e3, 3), ha="center", fontsize=9)
    ax.set_ylim(-160, 12)
    ax.set_xlabel("frequency relative to the tuned centre (kHz)")
    ax.set_title("Input spectrum, and the level each input frequency reaches iqenv's output")
    ax.legend(loc="center left", fontsize=7, ncol=2, framealpha=0.9)


def _pulse_times(burst):
    """(start, end) in ms of each pulse of a burst that iqenv-config pulses reported."""
    t, out = burst["start_s"] * 1e3, []
    for pulse, gap in burst["timings_us"]:
        out.append((t, t + pulse / 1e3))
        t += (pulse + gap) / 1e3
    return out


def _envelope(ax, values, spans, labels, span=None):
    """The envelope with each pulse found shaded; `labels` holds (first, last, text) runs of
    pulses to label."""
    t = np.arange(len(values)) / output_rate() * 1e3
    ax.plot(t, values, lw=0.8, color="tab:blue", label="iqenv output")
    top = values.max()
    for k, (a, b) in enumerate(spans):
        ax.axvspan(a, b, color="tab:green", alpha=0.2, lw=0,
                   label="pulses found" if k == 0 else None)
    for first, last, text in labels:
        middle = (spans[first][0] + spans[last][1]) / 2
        if span is None or span[0] <= middle <= span[1]:
            ax.text(middle, top * 1.04, text, ha="center", fontsize=8)
    ax.set_ylim(values.min() - 0.05 * (top - values.min()), top * 1.18)
    if span:
        ax.set_xlim(*span)
    ax.set_xlabel("time (ms)")
    ax.set_ylabel("envelope (input units)")
    ax.legend(loc="lower right", fontsize=7)
    ax.grid(alpha=0.3)


def draw(path, iq, samplerate, config_path, values, bursts, markers):
    """The demo's picture: the input spectrum with the chain's response, the envelope with the
    pulses and bits `iqenv-config pulses` found (its --json records, `bursts`), and a close-up
    of the first press."""
    config = configfile.read_config(config_path)
    fig, (spec, whole, zoom) = plt.subplots(3, 1, figsize=(12, 11))
    _spectrum(spec, iq, samplerate, config, markers)

    # One label per row over the whole train, one per pulse in the close-up of the first;
    # each pulse of a pulse-width code is one bit.
    spans, per_pulse, per_row = [], [], []
    for burst in bursts:
        at = len(spans)
        spans += _pulse_times(burst)
        for row in burst.get("rows", []):
            per_pulse += [(at + k, at + k, b) for k, b in enumerate(row)]
            per_row.append((at, at + len(row) - 1, row))
            at += len(row)
    _envelope(whole, values, spans, per_row)
    named = "no burst found"
    if bursts and bursts[0].get("codings"):
        best = bursts[0]["codings"][0]
        named = f"{best['name']}{', ' + best['variant'] if best['variant'] else ''}"
    whole.set_title(f"Envelope, the pulses iqenv-config pulses found and the bits of every "
                    f"press (coding: {named})")
    if per_row:
        first, last, _ = per_row[0]
        window = (spans[first][0] - 1, spans[last][1] + 1)
        _envelope(zoom, values, spans, per_pulse, window)
        zoom.set_title("First press: a short pulse is 1, a long pulse 0")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
