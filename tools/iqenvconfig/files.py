"""Writing files whole: a reader never sees half of one."""
import os
import tempfile


def replace_whole(path, write):
    """Writes a file beside `path`, then puts it in `path`'s place in one step.

    A failure leaves no trace and an old file as it was. The new file has the permissions
    the umask gives a new file.

    Parameters
    ----------
    path : str
        The file to write.
    write : callable
        Called with the temporary file's path; writes the content there.
    """
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(dir=folder, prefix=".iqenv-config-")
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    os.close(fd)
    try:
        write(tmp)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
