"""Pictures of a configuration: the taps' response with the bands iqenv cares about marked."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from .response import alias, analyse, response, surviving_band, to_db  # noqa: E402

FLOOR_DB = 200  # below the peak: nulls would stretch the axis to -inf


def peak_hold(freqs, db, columns=2048):
    """The response thinned to about `columns` points, each the highest of its group.

    Side lobes are far narrower than a pixel; drawn point by point they fill the plot down to
    their nulls, while their peaks are what matters.
    """
    group = max(len(freqs) // columns, 1)
    usable = len(freqs) // group * group
    return freqs[:usable:group], db[:usable].reshape(-1, group).max(axis=1)


def mark_bands(ax, mixer, samplerate, analysis, scale=1e3):
    """Shades the -3 dB passband and the bands that survive resampling; lines at mixer and image."""
    a = analysis
    lo3, hi3 = a.centre - a.width_3db / 2, a.centre + a.width_3db / 2
    ax.axvspan(lo3 / scale, hi3 / scale, color="tab:green", alpha=0.18, label="passband (-3 dB)")
    lo, hi = surviving_band(mixer, samplerate)
    ax.axvspan(lo / scale, hi / scale, color="tab:orange", alpha=0.25,
               label="kept by resampling to 24 kHz")
    ax.axvspan(-hi / scale, -lo / scale, color="tab:red", alpha=0.18, label="its image")
    f = alias(mixer, samplerate)
    ax.axvline(f / scale, color="tab:orange", lw=1, ls="--", label="mixer frequency")
    ax.axvline(-f / scale, color="tab:red", lw=1, ls=":", label="image")


def plot_response(config, path):
    fs = config.samplerate
    taps = config.taps
    a = analyse(taps, fs)
    freqs, gain = response(taps, fs)
    db = np.maximum(to_db(gain), a.peak_db - FLOOR_DB)
    bottom = a.peak_db - a.stop_db - 40

    fig, (full, zoom) = plt.subplots(2, 1, figsize=(10, 8))
    fig.suptitle(f"{len(taps)} complex taps at {fs} samples/s, "
                 f"mixer {alias(config.frequency, fs) / 1e3:g} kHz")
    thin_f, thin_db = peak_hold(freqs, db)
    full.plot(thin_f / 1e3, thin_db, lw=0.8, color="tab:blue")
    mark_bands(full, config.frequency, fs, a)
    full.set_xlim(-fs / 2e3, fs / 2e3)
    full.set_ylim(bottom, a.peak_db + 5)
    full.set_xlabel("frequency (kHz)")
    full.set_ylabel("magnitude (dB)")
    full.set_title("Magnitude over -fs/2 ... fs/2")
    full.grid(alpha=0.3)
    full.legend(loc="lower left", fontsize=8)

    # Phase only means something where the taps pass the signal: show it around the passband.
    half = max(1.5 * a.width_3db, 30e3)
    near = np.abs(freqs - a.centre) <= half
    zoom.plot(freqs[near] / 1e3, db[near], lw=1, color="tab:blue", label="magnitude")
    mark_bands(zoom, config.frequency, fs, a)
    zoom.set_xlim((a.centre - half) / 1e3, (a.centre + half) / 1e3)
    zoom.set_ylim(bottom, a.peak_db + 5)
    zoom.set_xlabel("frequency (kHz)")
    zoom.set_ylabel("magnitude (dB)")
    zoom.set_title("Around the passband, with the phase where the gain is within 40 dB of the peak")
    zoom.grid(alpha=0.3)
    phase_ax = zoom.twinx()
    passing = near & (to_db(gain) >= a.peak_db - 40)
    phase = np.full(freqs.shape, np.nan)
    phase[passing] = np.degrees(np.unwrap(np.angle(gain[passing])))
    phase_ax.plot(freqs[near] / 1e3, phase[near], lw=1, color="tab:purple", label="phase")
    phase_ax.set_ylabel("phase (degrees)", color="tab:purple")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
