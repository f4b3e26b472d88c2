"""One NIfTI file, denoised exactly as ``zarvo denoise`` does it (the command's
own reading, checks, pipeline and output set: the output and its JSON sidecar
committed together): a sidecar that matches the request and records the
output's size and CRC-32 marks the output as complete, so reruns skip it.
"""

import json
import os
import shlex
import time
import warnings
import zlib

from . import _core
from ._options import DATATYPES, DECLARATIONS, given_options


def nifti_stem(path):
    name = os.path.basename(path)
    for ending in (".nii.gz", ".nii", ".hdr.gz", ".img.gz", ".hdr", ".img"):
        if name.endswith(ending):
            return name[: -len(ending)]
    return name


def sidecar_path(output):
    folder, name = os.path.split(output)
    return os.path.join(folder, nifti_stem(name) + ".json")


def sidecar_is_ours(path):
    try:
        with open(path) as f:
            return "zarvo_version" in json.load(f)
    except (OSError, ValueError, TypeError):
        return False


def recorded_sidecar(output):
    """The sidecar of `output` when it is complete and records the file as
    it is now (size and CRC-32): the proof that zarvo wrote exactly this
    file, which a header description is not. None otherwise."""
    if not os.path.isfile(output):
        return None
    try:
        with open(sidecar_path(output)) as f:
            side = json.load(f)
        if side.get("complete") is not True:
            return None
        name = os.path.basename(output)
        records = [o for o in side.get("outputs", ())
                   if o.get("role") == "output" and o.get("file") in (name, output)]
        if len(records) == 1 and _digest(output) == (records[0].get("bytes"),
                                                     records[0].get("crc32")):
            return side
    except (OSError, ValueError, TypeError, AttributeError):
        pass
    return None


class Note(UserWarning):
    """What the command prints as a note about a file (the level it
    estimated, a mask or map taken despite another affine, negative Rician
    input, ...), given to Python as a warning of this class."""


def _command_words(name, value):
    """An option as the command takes it (the equivalent command line)."""
    flag = "--" + name.replace("_", "-")
    kind = DECLARATIONS[name]["kind"]
    if kind == "flag":
        return [flag if value else "--no-" + flag[2:]]
    if kind == "levels":
        return [flag, ",".join(repr(float(v)) for v in value)]
    return [flag, str(value)]


class Request:
    """What to do with one file: the options given (by the engine's names;
    the engine's defaults for the rest) and the equivalent command line
    (which also identifies the output's sidecar)."""

    def __init__(self, input, output, *, mask=None, sigma_map=None, datatype=None,
                 noise_map=None, report=None, residual=None, sources=None, metadata=None,
                 **options):
        if datatype is not None and datatype not in DATATYPES:
            raise ValueError(f"datatype: unknown data type {datatype!r}; one of "
                             + ", ".join(DATATYPES))
        self.input = os.path.abspath(input)
        self.output = os.path.abspath(output)
        self.mask = None if mask is None else os.path.abspath(mask)
        self.sigma_map = None if sigma_map is None else os.path.abspath(sigma_map)
        self.datatype = datatype
        # For the sidecar: the output's sources (BIDS URIs) and the source's
        # metadata to carry over (a JSON object's text); None: the input's
        # path and its own sidecar's fields.
        self.sources = list(sources) if sources else []
        self.metadata = metadata or ""
        # Further files the run writes with the output (None: not written).
        self.written = {name: None if path is None else os.path.abspath(path) for name, path in
                        (("noise_map", noise_map), ("report", report), ("residual", residual))}
        self.given = given_options(options, files=True)
        self.engine = _core.resolved(self.given)  # every engine option as it will be used

    def inputs(self):
        """The files the run reads."""
        return [f for f in (self.input, self.mask, self.sigma_map) if f is not None]

    @property
    def sigma(self):
        """The level given (one, or one per volume), else None."""
        levels = self.given.get("sigma")
        return None if levels is None else (levels[0] if len(levels) == 1 else levels)

    def command_line(self):
        words = ["zarvo", "denoise", self.input, self.output]
        for name in DECLARATIONS:  # in the engine's order
            if name in self.given:
                words += _command_words(name, self.given[name])
        for flag, value in (("--mask", self.mask), ("--sigma-map", self.sigma_map),
                            ("--datatype", self.datatype),
                            *(("--" + name.replace("_", "-"), path)
                              for name, path in self.written.items())):
            if value is not None:
                words += [flag, value]
        return shlex.join(words)

    def is_complete(self):
        """The output exists, its sidecar says it was written for this
        request, and the sidecar's record of the output (size and CRC-32,
        kept by the output set) matches the file as it is now: a truncated
        or replaced output, or a sidecar left from another input's run, does
        not count."""
        side = recorded_sidecar(self.output)
        return side is not None and side.get("command_line") == self.command_line()

    def run(self, threads=None, force=False):
        """Denoises the file through the I/O library; returns the levels and
        the notes of the run."""
        given = dict(self.given, **given_options({"threads": threads}))
        result = _core.denoise_file(given, {
            "input": self.input, "output": self.output, "mask": self.mask,
            "sigma_map": self.sigma_map, "datatype": self.datatype, "force": force,
            "command_line": self.command_line(), "sources": self.sources,
            "metadata": self.metadata, **self.written})
        return result["sigma"], result["notes"]

    def record(self, shape, levels, pooled):
        """The sidecar's text and the header description a file run would
        write for this request, the input's shape and these levels."""
        source = "estimated" if self.sigma is None else "given"
        return _core.record(self.given, list(shape), [float(v) for v in levels], pooled,
                            source, self.command_line())


def _digest(path):
    """The size and CRC-32 (8 hex digits, as the output set records it)."""
    crc, size = 0, 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            crc = zlib.crc32(block, crc)
            size += len(block)
    return size, f"{crc:08x}"


def denoise_file(input, output, *, threads=None, force=False, skip_complete=True, **options):
    """Denoises one NIfTI file into ``output`` (.nii or .nii.gz) exactly as
    ``zarvo denoise INPUT OUTPUT`` with the same options, and writes the
    sidecar (the output's name with .json). Options: ``mask`` and
    ``sigma_map`` (NIfTI files), ``datatype`` (default: the I/O library's),
    files to write with the output: ``noise_map``, ``report`` (the QC page,
    HTML) and ``residual`` (input minus output, NIfTI),
    and the engine's options of ``zarvo.denoise`` (``sigma`` one number or
    one per volume). An output whose sidecar matches the request and records
    this very file (size and CRC-32) is kept (``skip_complete``); any other
    existing output or sidecar is replaced only with ``force``, as the
    command does it (the old set stays whole if the run fails or is
    interrupted). A mask or level map whose affine differs from the input's
    is refused unless ``allow_affine_mismatch=True`` (then taken voxel for
    voxel); what the command prints as notes comes as ``zarvo.files.Note``
    warnings.

    Returns a dict: output, sidecar, sigma (per volume), notes, seconds,
    skipped."""
    request = Request(input, output, **options)
    return run_request(request, threads=threads, force=force, skip_complete=skip_complete)


def run_request(request, threads=None, force=False, skip_complete=True, warn=True):
    """As denoise_file; ``warn``: the notes also as Note warnings (else only
    in the result, for a caller that tells them itself)."""
    started = time.monotonic()
    side = sidecar_path(request.output)
    if skip_complete and request.is_complete():
        with open(side) as f:
            levels = json.load(f)["noise_sigma"]
        return {"output": request.output, "sidecar": side, "sigma": levels,
                "notes": [], "seconds": 0.0, "skipped": True}
    for path in (request.output, side):
        if os.path.lexists(path) and not force:
            raise ValueError(f"'{path}' exists (use force=True to overwrite it)")
    levels, notes = request.run(threads=threads, force=force)
    for note in notes if warn else ():
        warnings.warn(note, Note, stacklevel=3)
    return {"output": request.output, "sidecar": side, "sigma": levels, "notes": notes,
            "seconds": time.monotonic() - started, "skipped": False}
