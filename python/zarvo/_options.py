"""The denoising options of every Python front end, checked and mapped in one
place onto the dict the engine binding takes (``_core``'s ``to_options``).
An option the engine gains is added here and there, one line each."""

import numbers

import numpy as np

from . import _core

# The expert parameters by the command's names (``lambda_`` stands for
# ``--lambda``, a Python keyword): name -> (type, meaning).
EXPERT_PARAMETERS = {
    "cube": (int, "cube side in rows and columns (voxels)"),
    "depth": (int, "cube depth in slices (limited to the number of slices)"),
    "step": (int, "step between reference cubes"),
    "search": (int, "half-width of the block-matching window (voxels)"),
    "group1": (int, "largest group, first stage"),
    "group2": (int, "largest group, second stage"),
    "lambda_": (float, "hard threshold, in noise standard deviations"),
    "tau1": (float, "matching limit of the first stage: mean squared difference per "
                    "voxel, in noise variances"),
    "tau2": (float, "matching limit of the second stage, likewise"),
    "alpha": (float, "alpha-rooting exponent, 1 = no sharpening"),
    "soft": (bool, "soft thresholding instead of hard"),
    "synchronous": (bool, "match cubes only within the reference cube's own slices"),
    "estimate": (str, "how an unknown level is estimated: 'volume' (once for the "
                      "volume) or 'group' (every group its own)"),
}
NOISE_MODELS = ("gaussian", "rician")


def profile_names():
    """The parameter profiles built into the engine (the first is the default)."""
    return list(_core.profile_names())


def profile_params(profile="default", **overrides):
    """The parameters of a profile with expert overrides applied."""
    return _core.params(profile, split_overrides(dict(overrides))[0])


def split_overrides(options):
    """Takes the expert parameters out of ``options``: returns (the overrides
    by the engine's names, basic_only, the rest). None means "the profile's"."""
    overrides = {}
    for name, (kind, _) in EXPERT_PARAMETERS.items():
        value = options.pop(name, None)
        if name == "lambda_" and "lambda" in options:
            value = options.pop("lambda")
        if value is None:
            continue
        if kind is bool:
            if not value:
                continue  # like the command's flags: False keeps the profile's value
            value = True
        elif kind is int:
            if not isinstance(value, numbers.Integral) or isinstance(value, bool):
                raise ValueError(f"{name}: {value!r} is not a whole number")
            value = int(value)
        elif kind is float:
            if not isinstance(value, numbers.Real) or isinstance(value, bool):
                raise ValueError(f"{name}: {value!r} is not a number")
            value = float(value)
        overrides[name.rstrip("_")] = value
    basic_only = bool(options.pop("basic_only", False))
    return overrides, basic_only, options


def sigma_list(sigma):
    """None -> [] (estimate), a number -> [it], a sequence -> one per volume."""
    if sigma is None:
        return []
    if isinstance(sigma, str):
        raise ValueError(f"sigma: {sigma!r} is not a number")
    values = np.atleast_1d(np.asarray(sigma))
    if values.ndim != 1 or values.dtype.kind not in "fiu":
        raise ValueError("sigma must be a number or a sequence of numbers (one per volume)")
    return [float(v) for v in values]


def mask_array(mask):
    """None, or the mask as bytes (nonzero inside), in the engine's layout."""
    if mask is None:
        return None
    m = np.asarray(mask)
    if m.dtype.kind not in "biuf":
        raise ValueError("mask must be a real array (nonzero = inside)")
    return np.asfortranarray(m != 0, dtype=np.uint8)


def engine_options(*, noise="gaussian", sigma=None, mask=None, profile="default",
                   noise_map=False, sigma_scope="series", **expert):
    if noise not in NOISE_MODELS:
        raise ValueError(f"noise model {noise!r} is neither gaussian nor rician")
    if profile not in profile_names():
        raise ValueError(f"unknown profile {profile!r}; the profiles are "
                         + ", ".join(profile_names()))
    if sigma_scope not in ("series", "volume"):
        raise ValueError(f"sigma_scope {sigma_scope!r} is neither series nor volume")
    overrides, basic_only, rest = split_overrides(dict(expert))
    if rest:
        raise TypeError("unknown option(s): " + ", ".join(sorted(rest)))
    return {
        "noise": noise,
        "profile": profile,
        "overrides": overrides,
        "sigma": sigma_list(sigma),
        "basic_only": basic_only,
        "noise_map": bool(noise_map),
        "sigma_scope": sigma_scope,
        "mask": mask_array(mask),
    }
