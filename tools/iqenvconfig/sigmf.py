"""SigMF recordings: reading what their metadata says, writing annotations beside them.

A SigMF recording is NAME.sigmf-meta (JSON) and NAME.sigmf-data (the samples), or both in a
NAME.sigmf tar archive, or a .sigmf-meta whose global "core:dataset" names a file of another
kind (a raw .cu8, a WAV). The fields the standard requires are read strictly (the "global",
"captures" and "annotations" objects; "core:datatype", "core:version"; each capture's and each
annotation's "core:sample_start"), and so is "core:sample_rate" where it is given, which the
analysis cannot do without; other optional fields are read leniently: one that makes no sense
is passed over with a note.

For the commands that write what they found (scan --annotate, pulses), with this module as
`sigmf`:

    target = sigmf.annotation_target(recording)   # before the work: refuses what cannot be
    ...                                           # written (an archive), writes nothing
    marks = [sigmf.annotation(start, count, lower_hz, upper_hz, "label", "comment"), ...]
    sigmf.write_annotations(recording, marks, "iqenv-config pulses")

`recording` is what reader.open_recording returns. For a SigMF recording the .sigmf-meta is
rewritten with every field kept but the annotations of the same generator, which the new ones
replace; the data is not touched. For any other file, NAME.sigmf-meta is written beside it
(NAME: the file's name without its extension), with "core:dataset" naming it.

    sigmf.envelope_meta("envelope.f32", 433.92e6)   # iqenv's output: rf32_le at 24000/s

Errors are RecordingError("FILE", "FIELD: what is wrong"), reported as "Error: FILE: ...".
"""
import json
import os
import tarfile
from dataclasses import dataclass, field

from . import facts
from .files import replace_whole
from .filenames import extension
from .formats import FORMATS, by_datatype
from .recording import RecordingError

VERSION = "1.2.0"  # of the standard, as written into new metadata
META, DATA, ARCHIVE = ".sigmf-meta", ".sigmf-data", ".sigmf"
# SigMF datatypes iqenv-config reads, and the format (formats.FORMATS) each is.
DATATYPES = by_datatype()
ENVELOPE_DATATYPE = "rf32_le"  # iqenv's output


@dataclass
class Description:
    """What a SigMF recording says about its samples.

    Attributes
    ----------
    meta : str
        The metadata's path ("ARCHIVE/MEMBER" inside an archive).
    data : str
        The file that holds the samples (inside an archive: the archive).
    offset : int
        Bytes before the first sample.
    length : int
        Bytes of samples.
    format : str
        The sample format, as formats.FORMATS names it.
    samplerate : int or None
        Samples per second, where given.
    frequency : float or None
        The first capture's "core:frequency", in hertz, where given.
    archive : bool
        Whether the recording is inside a .sigmf archive.
    notes : list of str
        Optional fields passed over, and why.
    claims : tuple
        (samples, where): the farthest sample a capture or annotation reaches, and which.
    trailing : int
        Bytes after the last sample.
    """

    meta: str
    data: str
    offset: int
    length: int
    format: str
    samplerate: int = None
    frequency: float = None
    archive: bool = False
    notes: list = field(default_factory=list)
    claims: tuple = (0, "")
    trailing: int = 0


def meta_beside(path):
    """The .sigmf-meta that would describe `path` (NAME.EXT gives NAME.sigmf-meta).

    Parameters
    ----------
    path : str

    Returns
    -------
    str
    """
    for suffix in (META, DATA, ARCHIVE):
        if path.endswith(suffix):
            return path[:-len(suffix)] + META
    suffix = extension(path)
    return (path[:-len(suffix) - 1] if suffix else path) + META


def describe(path):
    """The SigMF description of `path`, or None where none applies.

    Parameters
    ----------
    path : str
        A .sigmf-meta, a .sigmf-data, a .sigmf archive, or any file that a .sigmf-meta beside
        it names as its "core:dataset".

    Returns
    -------
    Description or None

    Raises
    ------
    RecordingError
        For metadata that breaks the standard or that iqenv-config cannot read.
    OSError
        For a file that cannot be read.
    """
    if path.endswith(ARCHIVE):
        return _describe_archive(path)
    if path.endswith((META, DATA)):
        meta = meta_beside(path)
        with open(meta, "rb") as f:
            content = f.read()
        return _describe(meta, content, os.path.dirname(meta), os.path.basename(meta))
    meta = meta_beside(path)
    content = _metadata_of(path)
    if content is None:
        return None
    return _describe(meta, content, os.path.dirname(meta), os.path.basename(meta))


def _metadata_of(path):
    """The content of the .sigmf-meta beside `path` if it names `path` as its dataset."""
    try:
        with open(meta_beside(path), "rb") as f:
            content = f.read()
        dataset = json.loads(content)["global"]["core:dataset"]
    except (OSError, ValueError, KeyError, TypeError):
        return None  # no metadata, or metadata that is not about this file
    return content if dataset == os.path.basename(path) else None


def _describe_archive(path):
    try:
        with tarfile.open(path, "r:") as tar:
            members = tar.getmembers()
            metas = [m for m in members if m.name.endswith(META)]
            if len(metas) != 1:
                names = ", ".join(m.name for m in metas) or "none"
                raise RecordingError(path, f"holds {len(metas)} SigMF recordings ({names}); "
                                     "iqenv-config reads an archive of one")
            meta = metas[0]
            if not meta.isreg():
                raise RecordingError(path, f"{meta.name}: not a regular file")
            content = tar.extractfile(meta).read()
            data = {m.name: m for m in members}
            description = _describe(f"{path}/{meta.name}", content, None, meta.name)
            name = meta.name[:-len(META)] + DATA
            member = data.get(name)
            if member is None or not member.isreg() or member.sparse is not None:
                raise RecordingError(path, f"{name}: missing, or not a plain file")
    except tarfile.ReadError as e:
        raise RecordingError(path, f"not a SigMF archive (an uncompressed tar file): {e}") \
            from None
    description.data, description.archive = path, True
    _place(description, member.size)
    description.offset += member.offset_data
    return description


def _describe(meta_path, content, folder, meta_name):
    """Checks the metadata in `content`; `folder` None: inside an archive."""
    def fail(where, message):
        raise RecordingError(meta_path, f"{where}: {message}")

    document = _required(content, fail)
    top, captures, notes = document["global"], document["captures"], []
    rate = top.get("core:sample_rate")
    if rate is not None:
        if isinstance(rate, bool) or not isinstance(rate, (int, float)) or not rate > 0:
            fail("global core:sample_rate", f"not a number above 0: {json.dumps(rate)}")
        if rate != int(rate) or rate > 0xFFFFFFFF:
            fail("global core:sample_rate", f"{json.dumps(rate)} is not a whole number of "
                 "samples per second that iqenv takes (up to 4294967295)")
        rate = int(rate)
    if top.get("core:metadata_only") is True:
        fail("global core:metadata_only", "the recording holds no samples")
    channels = top.get("core:num_channels", 1)
    if isinstance(channels, int) and not isinstance(channels, bool) and channels > 1:
        fail("global core:num_channels", f"{channels} channels; iqenv-config reads one")
    frequency = captures[0].get("core:frequency") if captures else None
    if frequency is not None and (isinstance(frequency, bool)
                                  or not isinstance(frequency, (int, float))):
        notes.append(f"captures[0] core:frequency {json.dumps(frequency)} passed over: not a "
                     "number")
        frequency = None
    offset = _whole(captures[0].get("core:header_bytes", 0), "captures[0] core:header_bytes",
                    notes) if captures else 0
    for i, capture in enumerate(captures[1:], 1):
        if capture.get("core:header_bytes", 0):
            fail(f"captures[{i}] core:header_bytes", "headers between captures are not read")
    trailing = _whole(top.get("core:trailing_bytes", 0), "global core:trailing_bytes", notes)
    dataset = top.get("core:dataset")
    if dataset is not None and not (isinstance(dataset, str) and dataset
                                    and os.path.basename(dataset) == dataset):
        fail("global core:dataset", f"not a file name beside the metadata: {json.dumps(dataset)}")
    data = None
    if folder is not None:
        data = os.path.join(folder, dataset or meta_name[:-len(META)] + DATA)
    description = Description(meta_path, data, offset, 0, DATATYPES[top["core:datatype"]], rate,
                              None if frequency is None else float(frequency), notes=notes,
                              claims=_claims(document, notes), trailing=trailing)
    if data is not None:
        with open(data, "rb") as f:
            _place(description, os.fstat(f.fileno()).st_size)
    return description


def _required(content, fail):
    """The metadata's JSON, with the fields the standard requires checked, and the datatype."""
    try:
        document = json.loads(content)
    except UnicodeDecodeError as e:
        fail("the file", f"not UTF-8 text ({e.reason})")
    except json.JSONDecodeError as e:
        fail(f"line {e.lineno} column {e.colno}", f"not valid JSON ({e.msg})")
    if not isinstance(document, dict):
        fail("the file", "not a JSON object")
    for key, kind in (("global", dict), ("captures", list), ("annotations", list)):
        if key not in document:
            fail(key, "missing (the standard requires it)")
        if not isinstance(document[key], kind):
            fail(key, f"not a JSON {'object' if kind is dict else 'array'}")
    top = document["global"]
    for key in ("core:datatype", "core:version"):
        if key not in top:
            fail(f"global {key}", "missing (the standard requires it)")
        if not isinstance(top[key], str):
            fail(f"global {key}", f"not a string: {json.dumps(top[key])}")
    if top["core:datatype"] not in DATATYPES:
        fail("global core:datatype", f"'{top['core:datatype']}' is not one iqenv-config reads "
             f"({', '.join(DATATYPES)})")
    for kind in ("captures", "annotations"):
        for i, item in enumerate(document[kind]):
            if not isinstance(item, dict):
                fail(f"{kind}[{i}]", "not a JSON object")
            if "core:sample_start" not in item:
                fail(f"{kind}[{i}] core:sample_start", "missing (the standard requires it)")
            start = item["core:sample_start"]
            if isinstance(start, bool) or not isinstance(start, int) or start < 0:
                fail(f"{kind}[{i}] core:sample_start",
                     f"not a whole number from 0: {json.dumps(start)}")
    return document


def _claims(document, notes):
    """(sample, where): the farthest sample a capture or an annotation reaches, and which."""
    claims = [(c["core:sample_start"], f"captures[{i}]")
              for i, c in enumerate(document["captures"])]
    for i, a in enumerate(document["annotations"]):
        count = _whole(a.get("core:sample_count", 0), f"annotations[{i}] core:sample_count",
                       notes)
        claims.append((a["core:sample_start"] + count, f"annotations[{i}]"))
    return max(claims, default=(0, ""))


def _whole(value, where, notes):
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        notes.append(f"{where} {json.dumps(value)} passed over: not a whole number from 0")
        return 0
    return value


def _place(description, size):
    """The samples' bytes in a dataset of `size` bytes, less its header and trailing bytes.
    Refuses data shorter than the captures and annotations say."""
    description.length = max(size - description.offset - description.trailing, 0)
    samples = description.length // FORMATS[description.format].sample_bytes
    end, where = description.claims
    if end > samples:
        raise RecordingError(description.meta, f"{where}: reaches sample {end}, but the data "
                             f"({os.path.basename(description.data)}) holds {samples} samples")


def _datatype_of(fmt):
    return FORMATS[fmt].datatypes[0]


# Writing.

def annotation(start, count, lower_hz=None, upper_hz=None, label=None, comment=None):
    """One SigMF annotation.

    Parameters
    ----------
    start, count : int
        First sample, and how many samples it spans.
    lower_hz, upper_hz : float or None
        Its frequency edges, in hertz: on the radio frequency where the recording's tuned
        frequency is known, else relative to it.
    label : str or None
        A short name ("core:label").
    comment : str or None
        Anything more ("core:comment").

    Returns
    -------
    dict
        The annotation's fields, those given as None left out, frequencies to 0.1 Hz.
    """
    fields = {"core:sample_start": int(start), "core:sample_count": int(count),
              "core:freq_lower_edge": lower_hz, "core:freq_upper_edge": upper_hz,
              "core:label": label, "core:comment": comment}
    return {k: (round(v, 1) if isinstance(v, float) else v)
            for k, v in fields.items() if v is not None}


def annotation_target(recording):
    """The .sigmf-meta that write_annotations would write for `recording`.

    Parameters
    ----------
    recording : recording.Recording

    Returns
    -------
    str

    Raises
    ------
    RecordingError
        Where none can be written: inside an archive, or where a .sigmf-meta beside a raw file
        describes another one.
    """
    described = recording.metadata
    if described is not None:
        if described.archive:
            raise RecordingError(recording.path, "annotations are not written into an archive; "
                                 "unpack it (tar xf) and annotate its .sigmf-meta")
        return described.meta
    return _free_meta(recording.path)


def _free_meta(path):
    meta = meta_beside(path)
    if os.path.exists(meta):
        raise RecordingError(meta, f"exists and does not describe {os.path.basename(path)} "
                             "(no core:dataset naming it); nothing written")
    return meta


def write_annotations(recording, annotations, generator):
    """Writes `annotations` into the SigMF metadata of `recording`.

    Annotations written before by the same generator are replaced; every other field, and
    every other annotation, is kept. Where the recording has no metadata, NAME.sigmf-meta is
    written beside it, "core:dataset" naming it.

    Parameters
    ----------
    recording : recording.Recording
    annotations : list of dict
        As annotation() makes them.
    generator : str
        Who wrote them ("core:generator"), e.g. "iqenv-config scan".

    Returns
    -------
    str
        The path of the metadata written.
    """
    meta = annotation_target(recording)
    marks = [{**a, "core:generator": generator} for a in annotations]
    if recording.metadata is not None:
        with open(meta, "rb") as f:
            document = json.loads(f.read())
        kept = [a for a in document["annotations"] if a.get("core:generator") != generator]
        document["annotations"] = sorted(kept + marks, key=lambda a: a["core:sample_start"])
    else:
        document = _document(recording.path, _datatype_of(recording.format),
                             recording.samplerate, recording.frequency, recording.offset,
                             recording.samples * recording.component.itemsize * 2)
        document["annotations"] = sorted(marks, key=lambda a: a["core:sample_start"])
    _write(meta, document)
    return meta


def envelope_meta(path, frequency=None):
    """Writes the SigMF metadata for an envelope iqenv wrote: real float32 at its output rate.

    Parameters
    ----------
    path : str
        The envelope file (iqenv's output).
    frequency : float or None
        The channel's radio frequency, in hertz, where known.

    Returns
    -------
    str
        The metadata's path, NAME.sigmf-meta beside the file.
    """
    meta = meta_beside(path)
    if _metadata_of(path) is None:
        _free_meta(path)  # refuses to overwrite the metadata of another recording
    size = os.path.getsize(path)
    document = _document(path, ENVELOPE_DATATYPE, facts.output_rate(), frequency, 0, size)
    document["global"]["core:description"] = "amplitude envelope written by iqenv"
    _write(meta, document)
    return meta


def _document(path, datatype, samplerate, frequency, offset, length):
    top = {"core:datatype": datatype, "core:version": VERSION, "core:sample_rate": samplerate,
           "core:dataset": os.path.basename(path)}
    trailing = os.path.getsize(path) - offset - length
    if trailing > 0:
        top["core:trailing_bytes"] = trailing
    capture = {"core:sample_start": 0}
    if offset:
        capture["core:header_bytes"] = offset
    if frequency is not None:
        capture["core:frequency"] = frequency
    return {"global": top, "captures": [capture], "annotations": []}


def _write(path, document):
    def dump(tmp):
        with open(tmp, "w") as f:
            json.dump(document, f, indent=2)
            f.write("\n")

    replace_whole(path, dump)
