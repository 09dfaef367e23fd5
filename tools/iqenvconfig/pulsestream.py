"""Where the pulse analyser's values come from: iqenv's output on a stream, read as it arrives,
or iqenv run here on a recording."""
import os
import shutil
import subprocess
import sys
import threading
import time

import numpy as np

READ_BYTES = 1 << 16
LIVE_PAUSE = 0.1  # seconds to let a live stream gather values between reads


def read_values(stream):
    """iqenv's float32 values from a binary stream, a chunk at a time, as they arrive.

    iqenv writes and flushes each value alone; reading as fast as they come would wake for
    each. After a read that found the pipe short of a full chunk, it waits LIVE_PAUSE seconds
    (a burst is still reported well within 0.3 s of its end).

    Parameters
    ----------
    stream : binary file object
        Standard input or a file.

    Yields
    ------
    array of float32
        The next values, in order (a partial last value is dropped).
    """
    fd = stream.fileno()
    pending = b""
    while True:
        data = os.read(fd, READ_BYTES)
        if not data:
            return
        pending += data
        whole = len(pending) // 4 * 4
        if whole:
            yield np.frombuffer(pending[:whole], dtype="<f4")
            pending = pending[whole:]
        if len(data) < READ_BYTES:
            time.sleep(LIVE_PAUSE)


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
