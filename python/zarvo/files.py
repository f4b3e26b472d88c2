"""One NIfTI file, denoised exactly as ``zarvo denoise`` does it (the command's
own reading, checks, pipeline and atomic writing of the output and its JSON
sidecar together): a sidecar that matches the request marks the output as
complete, so reruns skip it.
"""

import json
import math
import numbers
import os
import shlex
import time

from . import _core
from ._options import engine_options

DATATYPES = ("float32", "float64", "int16", "uint16", "int32", "uint8")
DESCRIPTION = b"zarvo "  # how the header description the command writes begins


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


class Request:
    """What to do with one file: the normalised options and the equivalent
    command line (which also identifies the output's sidecar)."""

    def __init__(self, input, output, *, noise="gaussian", sigma=None, mask=None,
                 profile="default", datatype="float32", sigma_scope="series", **expert):
        if datatype not in DATATYPES:
            raise ValueError(f"unknown data type {datatype!r}; one of " + ", ".join(DATATYPES))
        if sigma is not None and not (isinstance(sigma, numbers.Real) and
                                      not isinstance(sigma, bool) and math.isfinite(sigma) and
                                      sigma > 0):
            raise ValueError(f"sigma: the noise level must be a number > 0 (got {sigma!r}); "
                             "omit it to estimate it")
        self.input = os.path.abspath(input)
        self.output = os.path.abspath(output)
        self.mask = None if mask is None else os.path.abspath(mask)
        self.datatype = datatype
        sigma = None if sigma is None else float(sigma)
        self.engine = engine_options(noise=noise, sigma=sigma, profile=profile,
                                     sigma_scope=sigma_scope, **expert)

    @property
    def sigma(self):
        return self.engine["sigma"][0] if self.engine["sigma"] else None

    def command_line(self):
        e = self.engine
        words = ["zarvo", "denoise", self.input, self.output, "--noise", e["noise"],
                 "--profile", e["profile"], "--datatype", self.datatype]
        if self.sigma is not None:
            words += ["--sigma", repr(self.sigma)]
        else:
            words += ["--sigma-scope", e["sigma_scope"]]
        if self.mask is not None:
            words += ["--mask", self.mask]
        for name, value in sorted(e["overrides"].items()):
            words += [f"--{name}"] if value is True else [f"--{name}", str(value)]
        if e["basic_only"]:
            words.append("--basic-only")
        return shlex.join(words)

    def is_complete(self):
        """The output exists and its sidecar says it was written for this
        request."""
        if not os.path.isfile(self.output):
            return False
        try:
            with open(sidecar_path(self.output)) as f:
                side = json.load(f)
            return side.get("complete") is True and side.get("command_line") == self.command_line()
        except (OSError, ValueError):
            return False

    def output_is_ours(self):
        """The output exists and the command wrote it (an interrupted earlier
        run, or other options): it may be replaced without --force."""
        try:
            import nibabel
            descrip = bytes(nibabel.load(self.output).header["descrip"])
        except Exception:
            return False
        return descrip.startswith(DESCRIPTION)

    def run_command(self, threads=None, force=False):
        e = self.engine
        _core.run_denoise({
            "input": self.input, "output": self.output, "noise": e["noise"],
            "sigma": "" if self.sigma is None else repr(self.sigma), "noise_map_file": "",
            "datatype": self.datatype, "profile": e["profile"], "overrides": e["overrides"],
            "basic_only": e["basic_only"], "force": force, "sigma_scope": e["sigma_scope"],
            "mask_file": self.mask, "command_line": self.command_line()}, threads)

    def record(self, shape, levels, pooled):
        """The sidecar's text and the header description the command would
        write for this request, the input's shape and these levels."""
        source = "estimated" if self.sigma is None else "given"
        return _core.record(self.engine, list(shape), [float(v) for v in levels], pooled,
                            source, self.command_line())


def write_text_atomically(path, text):
    temp = os.path.join(os.path.dirname(path), f".zarvo-{os.getpid()}-{os.path.basename(path)}")
    try:
        with open(temp, "w") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, path)
    finally:
        if os.path.exists(temp):
            os.remove(temp)


def denoise_file(input, output, *, threads=None, force=False, skip_complete=True, **options):
    """Denoises one NIfTI file into ``output`` (.nii or .nii.gz) exactly as
    ``zarvo denoise INPUT OUTPUT`` with the same options, and writes the
    sidecar (the output's name with .json). Options: ``noise``, ``sigma`` (one
    number or None), ``sigma_scope``, ``mask`` (a NIfTI file), ``profile``,
    ``datatype`` (default float32), the expert
    parameters of ``zarvo.denoise``. An output whose sidecar matches is kept
    (``skip_complete``); one the command wrote for other options is replaced;
    any other existing file only with ``force``.

    Returns a dict: output, sidecar, sigma (per volume), seconds, skipped."""
    request = Request(input, output, **options)
    return run_request(request, threads=threads, force=force, skip_complete=skip_complete)


def run_request(request, threads=None, force=False, skip_complete=True):
    started = time.monotonic()
    side = sidecar_path(request.output)
    if skip_complete and request.is_complete():
        with open(side) as f:
            levels = json.load(f)["noise_sigma"]
        return {"output": request.output, "sidecar": side, "sigma": levels,
                "seconds": 0.0, "skipped": True}
    replace = force or request.output_is_ours()
    if os.path.exists(request.output) and not replace:
        raise ValueError(f"output '{request.output}' exists and was not written by zarvo "
                         "(use force=True to overwrite it)")
    # A sidecar zarvo wrote for other options (or an unfinished run) is
    # replaced with its output; any other file of that name only with force.
    stale = os.path.exists(side) and (sidecar_is_ours(side) or request.output_is_ours())
    if os.path.exists(side) and not (stale or force):
        raise ValueError(f"'{side}' exists and was not written by zarvo "
                         "(use force=True to overwrite it)")
    request.run_command(threads=threads, force=replace or stale)
    with open(side) as f:
        levels = json.load(f)["noise_sigma"]
    return {"output": request.output, "sidecar": side, "sigma": levels,
            "seconds": time.monotonic() - started, "skipped": False}
