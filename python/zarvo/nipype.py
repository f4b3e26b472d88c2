"""zarvo as a nipype interface: one NIfTI file denoised exactly as
``zarvo denoise`` does it, with the sidecar beside the output.

    from zarvo.nipype import Denoise
    node = pe.Node(Denoise(noise="rician"), name="denoise")

It runs in a node under any nipype plugin (Linear, MultiProc, SLURM, SGE,
PBS...); on a cluster, every execution host needs the zarvo package.
"""

import os

from nipype.interfaces.base import (BaseInterfaceInputSpec, File, SimpleInterface, TraitedSpec,
                                    isdefined, traits)

from .files import denoise_file, nifti_stem


class DenoiseInputSpec(BaseInterfaceInputSpec):
    in_file = File(exists=True, mandatory=True, desc="noisy image (NIfTI-1/2)")
    out_file = File(desc="denoised image (.nii or .nii.gz; default: "
                         "<in_file stem>_denoised.nii.gz in the node's folder)")
    noise = traits.Enum("gaussian", "rician", usedefault=True, desc="noise model")
    sigma = traits.Float(desc="noise standard deviation in image units (default: estimated)")
    mask = File(exists=True, desc="NIfTI mask of the input's spatial shape (nonzero inside): "
                "the level is estimated inside it, the outside is kept")
    profile = traits.Str("default", usedefault=True, desc="parameter profile")
    datatype = traits.Enum("float32", "float64", "int16", "uint16", "int32", "uint8",
                           usedefault=True, desc="output data type")
    threads = traits.Int(desc="walk threads (default: $ZARVO_THREADS, else every core)")
    basic_only = traits.Bool(False, usedefault=True, desc="stop after the first stage")
    expert = traits.Dict(desc="expert parameters by the names of zarvo.denoise "
                              "(cube, depth, step, search, group1, group2, lambda_, tau1, tau2, "
                              "alpha, soft, synchronous, estimate)")


class DenoiseOutputSpec(TraitedSpec):
    out_file = File(exists=True, desc="denoised image")
    sidecar = File(exists=True, desc="JSON record of the run: levels, parameters, command line")


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
        options = dict(i.expert) if isdefined(i.expert) else {}
        if isdefined(i.sigma):
            options["sigma"] = i.sigma
        if isdefined(i.mask):
            options["mask"] = i.mask
        result = denoise_file(i.in_file, self._out_file(), noise=i.noise, profile=i.profile,
                              datatype=i.datatype, basic_only=i.basic_only,
                              threads=i.threads if isdefined(i.threads) else None,
                              force=True, skip_complete=False, **options)
        self._results["out_file"] = result["output"]
        self._results["sidecar"] = result["sidecar"]
        return runtime
