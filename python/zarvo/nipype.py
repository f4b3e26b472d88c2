"""zarvo as a nipype interface: one NIfTI file denoised exactly as
``zarvo denoise`` does it, with the sidecar beside the output.

    from zarvo.nipype import Denoise
    node = pe.Node(Denoise(noise="rician"), name="denoise")

It runs in a node under any nipype plugin (Linear, MultiProc, SLURM, SGE,
PBS...); on a cluster, every execution host needs the zarvo package.
"""

import os

from nipype.interfaces.base import (BaseInterfaceInputSpec, File, SimpleInterface, TraitedSpec,
                                    Undefined, isdefined, traits)

from ._options import DATATYPES, DEFAULT_DATATYPE, keyword, shown_in
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
                             desc="walk threads of the run (the node takes that many cores)")


for _name, _d in ENGINE_TRAITS.items():
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

    def _out_file(self):
        if isdefined(self.inputs.out_file):
            return os.path.abspath(self.inputs.out_file)
        return os.path.abspath(nifti_stem(self.inputs.in_file) + "_denoised.nii.gz")

    def _run_interface(self, runtime):
        i = self.inputs
        options = {name: getattr(i, name) for name in list(ENGINE_TRAITS) + ["datatype"]
                   if isdefined(getattr(i, name))}
        # The engine's threads option, when given, wins over num_threads.
        threads = options.pop("threads", i.num_threads)
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
