"""Pictures of a configuration: the level a tone at each input frequency reaches iqenv's output."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from .chain import Chain, taps_spectrum  # noqa: E402
from .response import assess, find_channel, passing_spans, sweep  # noqa: E402
from .units import to_db  # noqa: E402

FLOOR_DB = 180  # below the channel: nulls would stretch the axis to -inf


def peak_hold(freqs, db, columns=2048):
    """The response thinned to about `columns` points, each the highest of its group.

    Side lobes are far narrower than a pixel; drawn point by point they fill the plot down to
    their nulls, while their peaks are what matters.

    Parameters
    ----------
    freqs : numpy.ndarray
        Frequencies in hertz, ascending.
    db : numpy.ndarray
        The response there, dB.
    columns : int
        About how many points to keep.

    Returns
    -------
    (numpy.ndarray, numpy.ndarray)
        The first frequency of each group and the group's highest dB.
    """
    group = max(len(freqs) // columns, 1)
    usable = len(freqs) // group * group
    return freqs[:usable:group], db[:usable].reshape(-1, group).max(axis=1)


def _spectrum_points(num_taps, least=1 << 16):
    """Points enough to draw the taps' own response: 32 per 1/num_taps of the rate at least."""
    return max(least, 1 << int(np.ceil(np.log2(32 * max(num_taps, 1)))))


class ChainPicture:
    """The chain's response relative to its channel, and the marks that go with it."""

    def __init__(self, config):
        self.chain = Chain(config.frequency, config.samplerate, config.taps)
        self.fs = config.samplerate
        self.centre, self.width, width3, _ = find_channel(self.chain)
        self.assessment = assess(self.chain, self.centre, width3)
        # The coarse sweep of the whole band, and the fine spans where tones pass.
        parts = [sweep(self.chain)] + [(g, self.chain.level(g, taps))
                                       for g, taps, _ in passing_spans(self.chain)]
        g = np.concatenate([p[0] for p in parts])
        order = np.argsort(g)
        self.g = g[order]
        levels = np.concatenate([p[1] for p in parts])[order]
        self.db = np.maximum(to_db(levels / self.assessment.level), -FLOOR_DB)
        f, taps = taps_spectrum(config.taps, self.fs, _spectrum_points(len(config.taps)))
        self.taps_f = f
        self.taps_db = np.maximum(to_db(taps / np.abs(taps).max()), -FLOOR_DB)

    def draw(self, ax, span=None, scale=1e3):
        """Draws the chain's response (and the taps' own, dimmed) on `ax`.

        Parameters
        ----------
        ax : matplotlib.axes.Axes
            Where to draw.
        span : (float, float), optional
            Input frequencies (lo, hi) in hertz; the whole band by default.
        scale : float
            Hertz per unit of the frequency axis.
        """
        a = self.assessment
        lo, hi = span if span else (-self.fs / 2, self.fs / 2)
        for f, db, style in ((self.taps_f, self.taps_db, dict(lw=0.7, color="0.6",
                                                              label="taps alone (from their peak)")),
                             (self.g, self.db, dict(lw=1.1, color="tab:blue",
                                                    label="at iqenv's output (from the channel)"))):
            inside = (f >= lo) & (f <= hi)
            thin_f, thin_db = peak_hold(f[inside], db[inside])
            ax.plot(thin_f / scale, thin_db, **style)
        ax.axvspan((self.centre - self.width / 2) / scale, (self.centre + self.width / 2) / scale,
                   color="tab:green", alpha=0.2, label="channel (within 0.5 dB)")
        if a.image is not None:
            ax.axvline(a.image / scale, color="tab:red", lw=1, ls=":",
                       label=f"image, {a.image_db:.0f} dB down")
        ax.plot([a.worst_at / scale], [-a.rejection_db], "v", color="tab:red",
                label=f"worst beyond the channel: {a.rejection_db:.1f} dB")
        ax.set_xlim(lo / scale, hi / scale)
        ax.set_ylim(-FLOOR_DB + 20 if a.rejection_db < FLOOR_DB - 40 else -FLOOR_DB, 10)
        ax.set_xlabel("input frequency (kHz)")
        ax.set_ylabel("dB")
        ax.grid(alpha=0.3)


def plot_response(config, path):
    """Draws the chain's response over the whole band and around the channel and its image.

    Parameters
    ----------
    config : configfile.FilterConfig
        The configuration, with its taps.
    path : str
        The PNG to write.

    Returns
    -------
    matplotlib.figure.Figure
        The figure written (closed).
    """
    picture = ChainPicture(config)
    a = picture.assessment
    fig = plt.figure(figsize=(11, 9))
    full = fig.add_subplot(2, 1, 1)
    fig.suptitle(f"{len(config.taps)} complex taps at {config.samplerate} samples/s, mixer "
                 f"{abs(picture.chain.frequency) / 1e3:g} kHz: level at iqenv's output")
    picture.draw(full)
    full.set_title("Over -fs/2 ... fs/2")
    full.legend(loc="lower left", fontsize=8)
    half = max(2 * picture.width, 30e3)
    # Below the whole band: the channel, and its image beside it where there is one.
    zoom = fig.add_subplot(2, 2, 3) if a.image is not None else fig.add_subplot(2, 1, 2)
    picture.draw(zoom, (picture.centre - half, picture.centre + half))
    zoom.set_title("Around the channel")
    if a.image is not None:
        image = fig.add_subplot(2, 2, 4)
        picture.draw(image, (a.image - half, a.image + half))
        image.set_title("Around its image")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return fig
