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

import warnings

from . import _core
from ._options import (
    DATATYPES,
    EXPERT_PARAMETERS,
    given_options,
    mask_array,
    options_help,
    profile_names,
    profile_params,
)
from ._arrays import as_engine_array, engine_call

__all__ = ["denoise", "estimate_sigma", "profile_names", "profile_params",
           "EXPERT_PARAMETERS", "__version__"]
__version__ = _core.version


def denoise(volume, sigma=None, *, mask=None, sigma_map=None, return_info=False, **options):
    """Denoise a 2-D image, 3-D volume or 4-D series; returns float64 of the
    same shape (Fortran order).

    volume:  real array of any float or integer type and any memory layout,
             indexed (x, y[, z[, t]]); no NaN or infinite values.
    sigma:   noise standard deviation in the array's units: None to estimate
             it, one number, or one per volume of a series (all > 0).
    mask:    None, or an array of the volume's spatial shape, nonzero inside:
             the level is estimated inside it, only cubes touching it are
             filtered, and every voxel outside keeps its value exactly.
    sigma_map: None, or the noise level at every voxel, the volume's shape
             (one volume for a whole series, or one per volume): Rician
             noise, or either model with ``series="joint"``;
             ``sigma_scope="voxel"`` estimates one from the series.
    return_info: also return a dict with ``sigma`` (level per volume),
             ``sigma_source`` ("given", "estimated", "map" or "estimated map"
             per volume),
             ``per_group``, ``noise``, ``params`` (as used: the depth is
             limited to the slices), ``noise_map`` (the noise standard
             deviation the last stage used at every voxel; not a residual)
             and ``notes`` (what the run found worth telling, such as fewer
             threads than asked, or a time series whose weak slow signals
             ``series="joint"`` may attenuate; each also given as a
             ``UserWarning``).
    options: the engine's options by keyword (None or absent: the engine's
             default), listed below; ``threads`` does not change the result.

    Raises ValueError naming the option or the problem for bad values,
    TypeError for an unknown option or a value of the wrong type. The engine
    runs without the GIL: Python threads denoise in parallel.
    """
    array = as_engine_array(volume)
    # Trailing axes of size 1 past the fourth (a 5-D NIfTI's) are kept, as
    # the command keeps them: the engine sees the 4-D series.
    shape = array.shape
    if array.ndim > 4 and all(n == 1 for n in shape[4:]):
        array = array.reshape(shape[:4], order="A")
    given = given_options(dict(options, sigma=sigma))
    level_map = None if sigma_map is None else as_engine_array(sigma_map)
    estimate, noise_map, info = engine_call(_core.denoise, array, given, mask_array(mask),
                                            level_map, bool(return_info))
    for note in info["notes"]:
        warnings.warn("zarvo: " + note, UserWarning, stacklevel=2)
    if estimate.shape != shape:
        estimate = estimate.reshape(shape, order="F")
        noise_map = None if noise_map is None else noise_map.reshape(shape, order="F")
    if not return_info:
        return estimate
    info["noise_map"] = noise_map
    return estimate, info


def estimate_sigma(volume, noise=None, mask=None, sigma_scope=None):
    """The noise level ``denoise`` estimates when none is given: a float for a
    2-D image or 3-D volume, an array with one level per volume for a 4-D
    series (all equal with the default scope: one level from all volumes
    together), or with ``sigma_scope="voxel"`` the level map of a series (an
    array of its spatial shape, the map ``denoise`` uses with that scope).
    Raises ValueError when no level can be estimated (a constant or
    noise-free image)."""
    array = as_engine_array(volume)
    given = given_options({"noise": noise, "sigma_scope": sigma_scope})
    levels = engine_call(_core.estimate_sigma, array, given, mask_array(mask))
    if array.ndim == 4:
        import numpy as np
        if sigma_scope == "voxel":
            return np.asarray(levels).reshape(array.shape[:3], order="F")
        return np.asarray(levels)
    return levels[0]


denoise.__doc__ += "\n    Options:\n" + "\n".join(
    "      " + line for line in options_help().splitlines()) + "\n"
