"""A recording's spectrogram with the signals scan finds in it marked."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from .spectra import Framer, frame_window, plan_for, power_spectra  # noqa: E402
from .units import format_rf, signed_hz  # noqa: E402

COLUMNS, ROWS = 1200, 1024  # at most, so that a long or wide recording stays a picture
MAX_BOXES = 300  # bursts outlined per signal


def spectrogram(recording, plan):
    """The recording's spectrogram, at most COLUMNS x ROWS, read a chunk at a time.

    Parameters
    ----------
    recording : recording.Recording
        The IQ recording.
    plan : spectra.Plan
        Its frame sizes.

    Returns
    -------
    (numpy.ndarray, float)
        Power, columns (time) x rows (frequency from -fs/2), each cell the highest of the
        frames and bins it stands for; and the seconds one column stands for.
    """
    frames = (recording.samples - plan.frame) // plan.hop + 1
    per_column = -(-frames // COLUMNS)
    per_row = -(-plan.frame // ROWS)
    window = frame_window(plan.frame)
    image = np.zeros((-(-frames // per_column), plan.frame // per_row), dtype=np.float32)
    framer = Framer(plan.frame, plan.hop)
    for chunk in recording.chunks(plan.chunk):
        first, block = framer.push(chunk)
        if not len(block):
            continue
        power = power_spectra(block, window)
        power = power[:, :image.shape[1] * per_row].reshape(len(power), -1, per_row).max(axis=2)
        np.maximum.at(image, (first + np.arange(len(power))) // per_column, power)
    return image, per_column * plan.hop / recording.samplerate


def plot_recording(recording, found, path):
    """Draws the recording's spectrogram with the signals found boxed, burst by burst.

    Parameters
    ----------
    recording : recording.Recording
        The IQ recording.
    found : list of scan.Signal
        What scan found in it.
    path : str
        The PNG to write.
    """
    plan = plan_for(recording.samplerate, recording.samples, recording.path)
    image, column_seconds = spectrogram(recording, plan)
    with np.errstate(divide="ignore"):
        db = 10 * np.log10(image)
        mean = 10 * np.log10(np.mean(image, axis=0))
    heard = db[np.isfinite(db)]
    floor = float(np.median(heard)) if len(heard) else 0.0  # digital silence: no floor
    db -= floor
    fs, seconds = recording.samplerate, recording.seconds
    scale, unit = (1e6, "MHz") if fs >= 4e6 else (1e3, "kHz")

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(12, 10), height_ratios=(3, 1.3))
    tuned = "" if recording.frequency is None else f", tuned to {format_rf(recording.frequency)}"
    fig.suptitle(f"{recording.path}: {seconds:.3f} s at {fs} samples/s ({recording.format})"
                 f"{tuned}, {len(found)} signal{'' if len(found) == 1 else 's'} found")
    extent = (0, image.shape[0] * column_seconds, -fs / 2 / scale, fs / 2 / scale)
    shown = top.imshow(db.T, origin="lower", aspect="auto", extent=extent, cmap="viridis",
                       vmin=-3, vmax=max(float(np.max(db)), 10), interpolation="nearest")
    fig.colorbar(shown, ax=top, pad=0.01, label="dB above the median")
    top.set_xlim(0, seconds)
    top.set_xlabel("time (s)")
    top.set_ylabel(f"offset from the tuned frequency ({unit})")
    top.set_title("Spectrogram (each pixel the strongest of the frames and bins it covers); "
                  "the signals found, boxed burst by burst")

    peak, mean = db.max(axis=0), mean - floor
    freqs = (np.arange(len(peak)) + 0.5) * fs / len(peak) - fs / 2
    bottom.plot(freqs / scale, peak, lw=0.7, color="0.35", label="highest over time")
    bottom.plot(freqs / scale, mean, lw=0.7, color="tab:blue", label="mean over time")
    bottom.set_xlim(-fs / 2 / scale, fs / 2 / scale)
    # The bin at 0 Hz is empty once the DC offset is taken out; it must not set the scale.
    bottom.set_ylim(-10, max(float(np.max(peak)), 0.0) + 12)
    bottom.set_xlabel(f"offset from the tuned frequency ({unit})")
    bottom.set_ylabel("dB above the median")
    bottom.grid(alpha=0.3)

    # Boxes a few percent of the band tall, or a narrow signal would vanish in a wide band.
    least = 0.03 * fs
    for i, s in enumerate(found, 1):
        color = plt.cm.tab10((i - 1) % 10)
        lower, upper = s.band_hz()  # all its tones', where it is frequency-keyed
        centre, half = (lower + upper) / 2, max(upper - lower, least) / 2
        for a, b in s.bursts[:MAX_BOXES]:
            top.add_patch(plt.Rectangle((a, (centre - half) / scale), max(b - a, 1e-4),
                                        2 * half / scale, fill=False, lw=1.2, ec=color))
        label = (f"{i}: {signed_hz(s.offset_hz)}, "
                 f"{s.power_db:.0f} dB, {len(s.bursts)} burst{'' if len(s.bursts) == 1 else 's'}")
        top.annotate(label.split(",")[0], (s.bursts[0][0], (centre + half) / scale),
                     color=color, fontsize=9, fontweight="bold", va="bottom",
                     bbox={"boxstyle": "round,pad=0.15", "fc": "white", "ec": "none",
                           "alpha": 0.8})
        bottom.axvline(s.offset_hz / scale, color=color, lw=1, ls="--", label=label)
    bottom.legend(loc="upper left", fontsize=8, ncol=2, framealpha=0.9)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
