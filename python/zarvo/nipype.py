"""zarvo as a nipype interface: one NIfTI file denoised exactly as
``zarvo denoise`` does it, with the sidecar beside the output.

    from zarvo.nipype import Denoise
    node = pe.Node(Denoise(noise="rician"), name="denoise")

It runs in a node under any nipype plugin (Linear, MultiProc, SLURM, SGE,
PBS...); on a cluster, every execution host needs the zarvo package.

Threads: ``num_threads`` (nipype's name, which MultiProc reads to reserve
cores for the node; default 1) is the number of walk threads. The engine's
name ``threads`` is the same value: setting it sets ``num_threads`` (0, every
core, sets the number of cores), and a run given both with different values
fails.
"""

import os

from nipype.interfaces.base import (BaseInterfaceInputSpec, File, SimpleInterface, TraitedSpec,
                                    Undefined, isdefined, traits)

from . import _core
from ._options import DATATYPES, DECLARATIONS, DEFAULT_DATATYPE, keyword, shown_in
from .files import denoise_file, nifti_stem, recorded_sidecar


def _trait(d):
    """A trait for one of the engine's options; undefined: the engine's default."""
    desc = f"{d['help']} (default: {d['default']})"
    # The engine checks the range (a ValueError naming the option).
    if d["kind"] == "whole":
        return traits.Int(Undefined, desc=f"{desc}; from {d['min']:g} to {d['max']:g}")
    if d["kind"] == "real":
        return traits.Float(Undefined, desc=f"{desc}; from {d['min']:g} to {d['max']:g}")
    if d["kind"] == "flag":
        return traits.Bool(Undefined, desc=desc)
    if d["kind"] == "choice":
        return traits.Enum(*d["choices"], desc=desc)
    if d["kind"] == "levels":
        return traits.Either(traits.Float(), traits.List(traits.Float()), desc=desc)
    return File(exists=True, desc=desc)  # data: a NIfTI file


# The engine's options the nipype front end shows, by their keywords.
ENGINE_TRAITS = {keyword(d["name"]): d for d in shown_in("nipype")
                 if d["kind"] != "output"}


class DenoiseInputSpec(BaseInterfaceInputSpec):
    in_file = File(exists=True, mandatory=True, desc="noisy image (NIfTI-1/2)")
    out_file = File(desc="denoised image (.nii or .nii.gz; default: "
                         "<in_file stem>_denoised.nii.gz in the node's folder)")
    datatype = traits.Enum(*DATATYPES, desc=f"output data type (default: {DEFAULT_DATATYPE})")
    noise_map = traits.Bool(False, usedefault=True,
                            desc="also write the noise level the last stage used at every voxel "
                                 "(<out_file stem>_noise.nii.gz beside out_file)")
    report = traits.Bool(False, usedefault=True,
                         desc="also write the QC page (<out_file stem>.html beside out_file)")
    # nipype's convention: MultiProc reserves this many cores for the node.
    num_threads = traits.Int(1, usedefault=True,
                             desc="walk threads of the run, 1 or more (the node takes that many "
                                  "cores); the same value as threads")
    threads = _trait(dict(DECLARATIONS["threads"], help=DECLARATIONS["threads"]["help"] + (
        "; the same value as num_threads: setting it sets num_threads (0: the number of "
        "cores), and both given with different values is an error")))


def _thread_count(threads):
    """The walk threads a value of the engine's threads option stands for (0:
    every core this process may use)."""
    return threads if threads > 0 else _core.threads({})


for _name, _d in ENGINE_TRAITS.items():
    if _name != "threads":  # declared above, with num_threads
        DenoiseInputSpec.add_class_trait(_name, _trait(_d))


class DenoiseOutputSpec(TraitedSpec):
    out_file = File(exists=True, desc="denoised image")
    sidecar = File(exists=True, desc="JSON record of the run: levels, parameters, command line")
    noise_map = File(desc="noise level (standard deviation) at every voxel, when asked for")
    report = File(desc="QC page (HTML), when asked for")


class Denoise(SimpleInterface):
    """Denoises a NIfTI image with zarvo (block matching and collaborative
    filtering; Gaussian or Rician noise)."""

    input_spec = DenoiseInputSpec
    output_spec = DenoiseOutputSpec

    def __init__(self, **inputs):
        given = {k: inputs.pop(k) for k in ("num_threads", "threads") if k in inputs}
        super().__init__(**inputs)
        # num_threads set by the user: threads no longer changes it (a run
        # given both with different values fails).
        self._num_threads_given = False
        self._syncing = False
        self.inputs.on_trait_change(self._threads_set, "threads")
        self.inputs.on_trait_change(self._num_threads_set, "num_threads")
        for name, value in given.items():
            setattr(self.inputs, name, value)

    def _threads_set(self, new):
        if isdefined(new) and not self._num_threads_given:
            self._syncing = True
            try:
                self.inputs.num_threads = _thread_count(new)
            finally:
                self._syncing = False

    def _num_threads_set(self):
        self._num_threads_given = self._num_threads_given or not self._syncing

    def _walk_threads(self):
        """The one thread count of the inputs; ValueError when threads and a
        num_threads the user set disagree. (A copy of the interface, as
        nipype makes them, has lost the link: threads is applied here.)"""
        i = self.inputs
        if isdefined(i.threads):
            _core.threads({"threads": i.threads})  # the engine's check of its range
            count = _thread_count(i.threads)
            if count != i.num_threads and self._num_threads_given:
                raise ValueError(f"threads={i.threads} and num_threads={i.num_threads} "
                                 "disagree; give one of them (num_threads is what MultiProc "
                                 "reserves)")
            self._threads_set(i.threads)
        if i.num_threads < 1:
            raise ValueError(f"num_threads must be 1 or more (got {i.num_threads}); MultiProc "
                             "reserves that many cores (threads=0 asks for every core)")
        return i.num_threads

    def _out_file(self):
        if isdefined(self.inputs.out_file):
            return os.path.abspath(self.inputs.out_file)
        return os.path.abspath(nifti_stem(self.inputs.in_file) + "_denoised.nii.gz")

    def _run_interface(self, runtime):
        i = self.inputs
        options = {name: getattr(i, name) for name in list(ENGINE_TRAITS) + ["datatype"]
                   if isdefined(getattr(i, name))}
        options.pop("threads", None)
        threads = self._walk_threads()
        out_file = self._out_file()
        folder, stem = os.path.dirname(out_file), nifti_stem(out_file)
        extra = {"noise_map": os.path.join(folder, stem + "_noise.nii.gz") if i.noise_map else None,
                 "report": os.path.join(folder, stem + ".html") if i.report else None}
        # An existing out_file is replaced only when its sidecar records
        # exactly that file (a rerun of the node); any other file is refused.
        result = denoise_file(i.in_file, out_file, threads=threads, skip_complete=False,
                              force=recorded_sidecar(out_file) is not None,
                              **options, **{k: v for k, v in extra.items() if v})
        self._results["out_file"] = result["output"]
        self._results["sidecar"] = result["sidecar"]
        for name, path in extra.items():
            if path:
                self._results[name] = path
        return runtime
