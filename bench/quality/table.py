#!/usr/bin/python3
"""Markdown tables from the JSON lines benchmark.py --json writes.

  /usr/bin/python3 bench/quality/table.py results.jsonl
"""
import json
import sys
from collections import defaultdict

import numpy as np

METHODS = [("noisy", "noisy"), ("basic", "zarvo basic"), ("final", "zarvo final"),
           ("dipy", "dipy nlmeans"), ("skimage", "skimage NL-means*"), ("smooth", "Gaussian smoothing*")]


def main(path):
    rows = [json.loads(l) for l in open(path)]
    groups = defaultdict(list)
    for r in rows:
        groups[(r["model"], r["level"])].append(r)
    vols = sorted({r["volume"] for r in rows})
    print(f"Mean over {len(vols)} volumes ({', '.join(vols)}): foreground PSNR dB / SSIM\n")
    present = [m for m in METHODS if any(m[0] in r for r in rows)]
    print("| noise | level | " + " | ".join(n for _, n in present) + " | final - dipy (worst volume) | final - best simple peer (worst volume) |")
    print("|---|---|" + "---|" * (len(present) + 2))
    for (model, level), rs in sorted(groups.items()):
        cells = []
        for key, _ in present:
            vals = [r[key] for r in rs if key in r]
            cells.append(f"{np.mean([v[0] for v in vals]):.2f} / {np.mean([v[1] for v in vals]):.3f}" if vals else "")
        d = [r["final"][0] - r["dipy"][0] for r in rs if "dipy" in r]
        s = [r["final"][0] - max(r["skimage"][0], r["smooth"][0]) for r in rs if "smooth" in r]
        cells.append(f"{np.mean(d):+.2f} ({min(d):+.2f})" if d else "")
        cells.append(f"{np.mean(s):+.2f} ({min(s):+.2f})" if s else "")
        print(f"| {model} | {level:g} % | " + " | ".join(cells) + " |")
    print("\n* tuned per case against the clean volume (h for NL-means, width for the smoothing).")


if __name__ == "__main__":
    main(sys.argv[1])
