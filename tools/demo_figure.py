"""The demo's picture: what the taps keep of the recording, and the envelope sliced into bits."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import scipy.signal  # noqa: E402

from iqenvconfig import configfile, plot  # noqa: E402
from iqenvconfig.resampler import OUTPUT_RATE  # noqa: E402


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


def _envelope(ax, values, magnitude, level, runs, labels, span=None):
    """The envelope with each labelled run shaded; `labels` holds (first, last, text) runs."""
    t = np.arange(len(values)) / OUTPUT_RATE * 1e3
    # The slicer works on the magnitude; drawn over iqenv's output, its level moves with
    # the running mean that iqenv removed.
    level_in_values = level - (magnitude - values)
    ax.plot(t, values, lw=0.8, color="tab:blue", label="iqenv output")
    ax.plot(t, level_in_values, lw=0.8, ls="--", color="tab:red", label="slicing level")
    top = values.max()
    for a, b in runs:
        ax.axvspan(t[a], t[b - 1], color="tab:green", alpha=0.15, lw=0)
    for first, last, text in labels:
        middle = (t[runs[first][0]] + t[runs[last][1] - 1]) / 2
        if span is None or span[0] <= middle <= span[1]:
            ax.text(middle, top * 1.04, text, ha="center", fontsize=8)
    ax.set_ylim(values.min() - 0.05 * (top - values.min()), top * 1.18)
    if span:
        ax.set_xlim(*span)
    ax.set_xlabel("time (ms)")
    ax.set_ylabel("envelope (input units)")
    ax.legend(loc="lower right", fontsize=7)
    ax.grid(alpha=0.3)


def draw(path, iq, samplerate, config_path, values, magnitude, level, runs, frames, markers):
    config = configfile.read_config(config_path)
    fig, (spec, whole, zoom) = plt.subplots(3, 1, figsize=(12, 11))
    _spectrum(spec, iq, samplerate, config, markers)

    # One label per frame over the whole train, one per pulse in the close-up of the first;
    # the slicer's frames take the runs in order, each its bits and a sync pulse.
    per_pulse, per_frame, i = [], [], 0
    for bits in frames:
        per_pulse += [(i + k, i + k, str(b)) for k, b in enumerate(bits)]
        per_pulse.append((i + len(bits), i + len(bits), "sync"))
        per_frame.append((i, i + len(bits), "".join(map(str, bits))))
        i += len(bits) + 1
    _envelope(whole, values, magnitude, level, runs, per_frame)
    whole.set_title("Envelope and the recovered bits of every press")
    if frames:
        first = runs[: len(frames[0]) + 1]
        span = (first[0][0] / OUTPUT_RATE * 1e3 - 1, first[-1][1] / OUTPUT_RATE * 1e3 + 1)
        _envelope(zoom, values, magnitude, level, runs, per_pulse, span)
    zoom.set_title("First press: short pulse 0, long pulse 1")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
