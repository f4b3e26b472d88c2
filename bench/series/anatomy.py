"""Anatomy of the simulated series: tissue fractions, a brain mask and a white
matter orientation field on a coarse acquisition grid, built from Debian's
mricron-data templates (a brain-extracted T1 template and a white matter
atlas of labelled tracts, both on the same 1 mm standard space).

Tissue classes come from the T1 intensity with partial volume: the intensity
is interpolated linearly between the class centres (CSF, grey, white), which
turns a voxel half way between two centres into a half-half mix. The grid
is coarser than the template, so every fraction is the average over the
coarse voxel (Gaussian prefilter, then trilinear sampling).

Orientations: every labelled tract gets its course (a unit vector in world
axes, right-left / posterior-anterior / inferior-superior); the dyadics
v v^T are spread by normalised convolution, so the field is smooth, is
defined in unlabelled white matter too, and turns where tracts meet. The
commissural tracts (corpus callosum, pontine crossing) form a second field:
where both fields carry weight the voxel is a two-fibre crossing, mixed in
proportion to their weights (the callosal fibres crossing the corona
radiata and the superior longitudinal fasciculus).
"""
import os

import nibabel as nib
import numpy as np
from scipy import ndimage

TEMPLATES = os.environ.get("MRICRON_TEMPLATES", "/usr/share/mricron/templates")
T1_FILE = "ch2bet.nii.gz"
ATLAS_FILE = "JHU-WhiteMatter-labels-1mm.nii.gz"

# T1 intensity of each class's centre in the template (from its histogram).
CSF_T1, GREY_T1, WHITE_T1 = 35.0, 85.0, 115.0

# Commissural tracts: corpus callosum (genu, body, splenium), pontine crossing,
# middle cerebellar peduncle. They run right-left.
COMMISSURAL = {1: (1, 0, 0.2), 2: (1, 0, 0), 3: (1, 0.3, 0), 4: (1, 0, 0), 5: (1, -0.3, 0.1)}

# Course of every other tract, in world axes (x right, y anterior, z
# superior) for the right hemisphere; the left one mirrors x. Rough courses
# of the atlas's tracts, enough for a plausible smooth field.
PROJECTION = {
    6: (0, 0.6, 0.8),  # fornix, column and body
    7: (0, 0, 1), 9: (0, 0.1, 1),  # corticospinal tract, medial lemniscus
    11: (0.2, -0.3, 1), 13: (0.2, 0.6, 1), 15: (0.3, 0.3, 1),  # cerebellar and cerebral peduncles
    17: (0.35, 0.8, 0.45), 19: (0.2, -0.1, 1), 21: (0.2, -0.6, 0.8),  # internal capsule
    23: (0.2, 0.7, 0.7), 25: (0.1, 0, 1), 27: (0.1, -0.6, 0.8),  # corona radiata
    29: (0.1, 1, 0.1), 31: (0, 1, 0.15), 33: (0, 1, 0.35),  # thalamic radiation, sagittal stratum, ext. capsule
    35: (0, 1, 0.1), 37: (0, 0.8, 0.6), 39: (0.1, -0.5, 0.85),  # cingula, fornix cres
    41: (0, 1, 0.05), 43: (0.1, 1, 0.2), 45: (0.5, 0.8, 0.3), 47: (0.1, -0.4, 0.9),  # association, tapetum
}


def right_left_pairs(table):
    """Odd labels from 7 on are right, the next even label is the left twin."""
    out = {}
    for label, v in table.items():
        out[label] = v
        if label >= 7:
            out[label + 1] = (-v[0], v[1], v[2])
    return out


PROJECTION = right_left_pairs(PROJECTION)


class Grid:
    """An acquisition grid: shape and voxel size, centred on a world point."""

    def __init__(self, shape, voxel, centre=(-0.5, -16.5, 8.5)):
        self.shape = tuple(int(n) for n in shape)
        self.voxel = tuple(float(v) for v in voxel)
        # Radiological storage (x flipped): voxel axes then coincide with the
        # axes of FSL-style b-vectors, so the .bvec files hold the very
        # gradients the signal was simulated with.
        axes = np.diag([-self.voxel[0], self.voxel[1], self.voxel[2]])
        middle = (np.array(self.shape) - 1) / 2.0
        self.affine = np.eye(4)
        self.affine[:3, :3] = axes
        self.affine[:3, 3] = np.array(centre) - axes @ middle

    def world_to_voxel_axes(self, v):
        """A direction in world axes, as a unit vector along the voxel axes."""
        r = self.affine[:3, :3] / np.array(self.voxel)
        u = np.linalg.solve(r, np.asarray(v, float))
        return u / np.linalg.norm(u)

    def sample(self, image, data, order=1, fwhm=None):
        """Samples `data` (an image's array) at this grid's voxel centres; with
        `fwhm` (mm per axis) a Gaussian prefilter first averages over the
        coarse voxel."""
        data = np.asarray(data, np.float64)
        if fwhm is not None:
            zooms = np.array(image.header.get_zooms()[:3], float)
            data = ndimage.gaussian_filter(data, np.asarray(fwhm) / 2.3548 / zooms, mode="constant")
        ijk = np.indices(self.shape).reshape(3, -1).astype(np.float64)
        world = self.affine[:3, :3] @ ijk + self.affine[:3, 3:4]
        inv = np.linalg.inv(image.affine)
        src = inv[:3, :3] @ world + inv[:3, 3:4]
        out = ndimage.map_coordinates(data, src, order=order, mode="constant", cval=0.0)
        return out.reshape(self.shape)


def tissue_fractions_1mm(t1):
    """CSF, grey and white fractions from T1 intensity; zero outside the brain."""
    t = np.asarray(t1, np.float64)
    brain = t > 0
    csf = np.clip((GREY_T1 - t) / (GREY_T1 - CSF_T1), 0, 1)
    white = np.clip((t - GREY_T1) / (WHITE_T1 - GREY_T1), 0, 1)
    grey = 1.0 - csf - white
    return [np.where(brain, f, 0.0) for f in (csf, grey, white)]


def principal_directions(dyadic):
    """Principal eigenvector of each 3 x 3 matrix of a (..., 3, 3) field."""
    w, v = np.linalg.eigh(dyadic)
    return v[..., :, -1]


def orientation_field(atlas_img, atlas, grid, table, white_mask):
    """Smooth field of principal directions (voxel axes) spread from the
    labelled tracts in `table`, and the field's weight per voxel (how much
    of those tracts is near)."""
    labels = np.rint(atlas).astype(int)
    dyadic = np.zeros(grid.shape + (3, 3))
    weight = np.zeros(grid.shape)
    for label, course in table.items():
        present = (labels == label).astype(np.float64)
        if not present.any():
            continue
        w = grid.sample(atlas_img, present, fwhm=(2.0, 2.0, 3.0))
        u = grid.world_to_voxel_axes(course)
        dyadic += w[..., None, None] * np.outer(u, u)
        weight += w
    # Normalised convolution at two scales: the fine one follows the tracts,
    # the coarse one fills the white matter far from any label.
    fine = np.stack([ndimage.gaussian_filter(dyadic[..., i, j], 1.5) for i in range(3) for j in range(3)], -1)
    coarse = np.stack([ndimage.gaussian_filter(dyadic[..., i, j], 5.0) for i in range(3) for j in range(3)], -1)
    field = (fine + 0.05 * coarse).reshape(grid.shape + (3, 3))
    directions = principal_directions(field + 1e-12 * np.eye(3))
    spread = ndimage.gaussian_filter(weight, 1.5)
    directions[~white_mask] = 0.0
    return directions, spread


class Anatomy:
    """Everything the generators need on one grid."""

    def __init__(self, grid):
        self.grid = grid
        t1_img = nib.load(os.path.join(TEMPLATES, T1_FILE))
        t1 = t1_img.get_fdata()
        fwhm = grid.voxel
        self.csf, self.grey, self.white = (
            np.clip(grid.sample(t1_img, f, fwhm=fwhm), 0, 1) for f in tissue_fractions_1mm(t1))
        total = self.csf + self.grey + self.white
        self.mask = total > 0.5
        # Fractions of a voxel at the brain's edge stay partial: the rest is
        # background (no signal).
        atlas_img = nib.load(os.path.join(TEMPLATES, ATLAS_FILE))
        atlas = atlas_img.get_fdata()
        wm = self.white > 0.05
        self.primary, w_proj = orientation_field(atlas_img, atlas, grid, PROJECTION, wm)
        self.secondary, w_comm = orientation_field(atlas_img, atlas, grid, COMMISSURAL, wm)
        share = w_comm / np.maximum(w_comm + w_proj, 1e-9)
        # Where one family clearly dominates the voxel has one fibre; in
        # between it holds both, in proportion.
        self.second_fraction = np.where(wm, np.clip((share - 0.15) / 0.7, 0, 1), 0.0)
        far = (w_comm + w_proj) < 1e-3
        self.second_fraction[far & wm] = 0.0
        self.crossing = (self.second_fraction > 0.2) & (self.second_fraction < 0.8) & (self.white > 0.5)
        # Two fibre populations at under 30 degrees are one bundle, not a crossing.
        cosine = np.abs(np.sum(self.primary * self.secondary, -1))
        self.crossing &= cosine < np.cos(np.radians(30))
