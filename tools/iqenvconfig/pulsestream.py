"""Where the pulse analyser's values come from: iqenv's output on a stream, read as it arrives,
or iqenv run here on a recording."""
import errno
import fcntl
import os
import select
import shutil
import stat
import struct
import subprocess
import sys
import termios
import threading
import time

import numpy as np

READ_BYTES = 1 << 16  # the most iqenv_values takes from iqenv at a time
PIPE_BYTES = 1 << 20  # what a pipe on standard input is widened to, where Linux allows
LIVE_PAUSE = 0.1  # seconds to let a live stream gather values between reads
AGAIN_BYTES = 1 << 14  # a pipe that holds this much after a chunk's analysis is read at once


def read_values(stream, output=None):
    """iqenv's float32 values from a binary stream, a chunk at a time, as they arrive.

    iqenv writes and flushes each value alone; reading as fast as they come would wake for
    each. A stream that holds fewer than AGAIN_BYTES once the last chunk is analysed is left
    to gather more for LIVE_PAUSE seconds, or for as long as half the pipe takes to fill at the
    pace the last read saw, if shorter: a live stream (96000 bytes a second) is read some ten
    times a second, and a burst is still reported well within 0.3 s of its end. One that holds
    more is read again at once, so that a recording, or a backlog after a stall, is read as
    fast as the analysis goes; a pipe is widened to PIPE_BYTES (10 s of values) so that its
    writer seldom waits on it meanwhile, and where it cannot be, the pauses shorten.

    Parameters
    ----------
    stream : binary file object
        Standard input or a file.
    output : file object, optional
        Where the results go. Where it is a pipe, its reader going away is noticed within
        LIVE_PAUSE seconds even while nothing is written to it.

    Yields
    ------
    array of float32
        The next values, in order (a partial last value is dropped).

    Raises
    ------
    BrokenPipeError
        The reader of `output` has gone.
    """
    fd = stream.fileno()
    size = _widen(fd)
    gone = select.poll()  # the output's reader leaving
    ready = select.poll()  # values to read, or the output's reader leaving
    ready.register(fd, select.POLLIN)
    if output is not None and stat.S_ISFIFO(os.fstat(output.fileno()).st_mode):
        # Registered for no event: poll still reports the POLLERR of a pipe without a reader.
        gone.register(output, 0)
        ready.register(output, 0)
    pending = b""
    last = time.monotonic()
    while True:
        _stop_if_gone(ready.poll(), fd)
        data = os.read(fd, size)
        if not data:
            return
        # A pipe found full shows less than its writer's pace, and halves the next pause.
        now = time.monotonic()
        pause = min(LIVE_PAUSE, size / 2 * max(now - last, 1e-3) / len(data))
        last = now
        pending += data
        whole = len(pending) // 4 * 4
        if whole:
            yield np.frombuffer(pending[:whole], dtype="<f4")
            pending = pending[whole:]
        if _held(fd) < AGAIN_BYTES:
            _stop_if_gone(gone.poll(pause * 1e3), fd)


def _widen(fd):
    """Widens a pipe at `fd` to PIPE_BYTES where it can be; returns the bytes a read takes."""
    if not stat.S_ISFIFO(os.fstat(fd).st_mode):
        return PIPE_BYTES
    try:
        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, PIPE_BYTES)
    except OSError:
        pass  # above /proc/sys/fs/pipe-max-size, or the user's pipes hold their share already
    return fcntl.fcntl(fd, fcntl.F_GETPIPE_SZ)


def _held(fd):
    """Bytes waiting at `fd` (0 where it cannot tell)."""
    try:
        return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]
    except OSError:
        return 0


def _stop_if_gone(events, fd):
    if any(f != fd for f, _ in events):
        raise BrokenPipeError(errno.EPIPE, os.strerror(errno.EPIPE))


def find_iqenv():
    """The iqenv program beside this iqenv-config (build tree, install tree), else on PATH.

    Returns
    -------
    str or None
        Its path; None where there is none.
    """
    here = os.path.dirname(os.path.abspath(sys.argv[0]))
    for folder in (here, os.path.dirname(here)):
        path = os.path.join(folder, "iqenv")
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return shutil.which("iqenv")


def iqenv_values(iqenv, config_path, recording, chunk=1 << 16):
    """iqenv's output for a recording: iqenv run on `config_path`, fed the recording as cf32
    from a thread, its values read as they come.

    Parameters
    ----------
    iqenv : str
        The iqenv program.
    config_path : str
        Its configuration file.
    recording : recording.Recording
        The IQ to feed it.
    chunk : int
        Samples fed at a time.

    Yields
    ------
    array of float32
    """
    proc = subprocess.Popen([iqenv, config_path], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    failure = []

    def feed():
        try:
            for samples in recording.chunks(chunk):
                proc.stdin.write(samples.astype(np.complex64).tobytes())
        except BrokenPipeError:
            pass
        except OSError as e:
            failure.append(e)
        finally:
            try:
                proc.stdin.close()
            except BrokenPipeError:
                pass

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    finished = False
    try:
        pending = b""
        while True:
            data = proc.stdout.read1(READ_BYTES)
            if not data:
                break
            pending += data
            whole = len(pending) // 4 * 4
            yield np.frombuffer(pending[:whole], dtype="<f4")
            pending = pending[whole:]
        finished = True
    finally:
        if not finished:
            proc.kill()  # the reader stopped early: iqenv would wait on its output for ever
        writer.join()
        errors = proc.stderr.read().decode(errors="replace")
        status = proc.wait()
    if failure:
        raise failure[0]
    if status != 0:
        said = [line for line in errors.splitlines() if line.startswith("Error: ")]
        why = f": {said[-1][len('Error: '):]}" if said else ""
        raise OSError(None, f"iqenv exited with status {status}{why}", iqenv)
