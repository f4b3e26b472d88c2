"""Times dipy's nlmeans on a volume written by zarvo_bench_denoise --write-volume.

    python3 dipy_nlmeans.py VOLUME ROWS COLS SLICES SIGMA gaussian|rician THREADS

Prints one RESULT line like zarvo_bench_denoise does (the time of the
nlmeans call alone, without reading the volume).
"""
import sys
import time

import numpy as np
from dipy.denoise.nlmeans import nlmeans


def main():
    path, rows, cols, slices, sigma, noise, threads = sys.argv[1:8]
    shape = (int(rows), int(cols), int(slices))
    volume = np.fromfile(path, dtype=np.float64).reshape(shape, order="F")
    t0 = time.perf_counter()
    out = nlmeans(volume, sigma=float(sigma), patch_radius=1, block_radius=5,
                  rician=(noise == "rician"), num_threads=int(threads))
    seconds = time.perf_counter() - t0
    voxels = volume.size
    print("RESULT noise=%s threads=%s total=%.3f voxels_per_s=%.0f checksum=%.17g"
          % (noise, threads, seconds, voxels / seconds, float(np.sum(out, dtype=np.float64))))


if __name__ == "__main__":
    main()
