"""zarvo: denoising of MRI and CT volumes by block matching and collaborative
filtering of cubes (hard thresholding, then Wiener shrinkage), for Gaussian or
Rician noise.

    import zarvo
    clean = zarvo.denoise(noisy)                        # level estimated
    clean, info = zarvo.denoise(noisy, 12.0, noise="rician", return_info=True)

Arrays are indexed (x, y[, z[, t]]), as nibabel returns them: a 2-D image, a
3-D volume or a 4-D series of volumes. Submodules: ``zarvo.files`` (one NIfTI
file as ``zarvo denoise`` does it), ``zarvo.nipype`` (a nipype interface) and
``zarvo.batch`` (many files on Dask distributed).
"""

from . import _core
from ._options import (
    EXPERT_PARAMETERS,
    engine_options,
    profile_names,
    profile_params,
)
from ._arrays import as_engine_array, engine_call

__all__ = ["denoise", "estimate_sigma", "profile_names", "profile_params",
           "EXPERT_PARAMETERS", "__version__"]
__version__ = _core.version


def denoise(volume, sigma=None, *, noise="gaussian", mask=None, profile="default",
            threads=None, return_info=False, sigma_scope="series", **overrides):
    """Denoise a 2-D image, 3-D volume or 4-D series; returns float64 of the
    same shape (Fortran order).

    volume:  real array of any float or integer type and any memory layout,
             indexed (x, y[, z[, t]]); no NaN or infinite values.
    sigma:   noise standard deviation in the array's units: None to estimate
             it, one number, or one per volume of a series (all > 0).
    noise:   "gaussian" or "rician" (magnitude MRI).
    mask:    None, or an array of the volume's spatial shape, nonzero inside:
             the level is estimated inside it, only cubes touching it are
             filtered, and every voxel outside keeps its value exactly.
    sigma_scope: for an estimated level of a series, "series" (one level
             from all volumes together, the default) or "volume".
    profile: a parameter profile (``zarvo.profile_names()``).
    threads: threads of the walk (default: $ZARVO_THREADS, else every core
             this process may use); the result does not depend on it.
    return_info: also return a dict with ``sigma`` (level per volume),
             ``sigma_source`` ("given" or "estimated" per volume),
             ``per_group``, ``params`` (as used: the depth is limited to the
             slices) and ``noise_map`` (the noise standard deviation the
             last stage used at every voxel; not a residual).
    overrides: expert parameters by the command's names, see
             ``zarvo.EXPERT_PARAMETERS`` (``lambda_`` for ``--lambda``,
             ``basic_only`` to stop after the first stage).

    Raises ValueError with the command's message for bad input or options.
    The engine runs without the GIL: Python threads denoise in parallel.
    """
    array = as_engine_array(volume)
    options = engine_options(noise=noise, sigma=sigma, mask=mask, profile=profile,
                             noise_map=return_info, sigma_scope=sigma_scope, **overrides)
    estimate, noise_map, info = engine_call(_core.denoise, array, options, threads)
    if not return_info:
        return estimate
    info["noise_map"] = noise_map
    info["noise"] = noise
    return estimate, info


def estimate_sigma(volume, noise="gaussian", mask=None, sigma_scope="series"):
    """The noise level ``denoise`` estimates when none is given: a float for a
    2-D image or 3-D volume, an array with one level per volume for a 4-D
    series (all equal with the default ``sigma_scope="series"``: one level
    from all volumes together). Raises ValueError when no level can be
    estimated (a constant or noise-free image)."""
    array = as_engine_array(volume)
    options = engine_options(noise=noise, mask=mask, sigma_scope=sigma_scope)
    levels = engine_call(_core.estimate_sigma, array, options)
    if array.ndim == 4:
        import numpy as np
        return np.asarray(levels)
    return levels[0]
