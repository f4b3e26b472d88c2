#!/usr/bin/python3
"""dipy's mppca on a NIfTI series as a user runs it (default patch radius 2,
the whole volume), written as float32 NIfTI: run_mppca.py INPUT OUTPUT"""
import sys

import nibabel as nib
import numpy as np
from dipy.denoise.localpca import mppca

img = nib.load(sys.argv[1])
out = mppca(np.asarray(img.dataobj, dtype=np.float64), patch_radius=2)
nib.save(nib.Nifti1Image(out.astype(np.float32), img.affine, img.header), sys.argv[2])
