"""Markdown tables of the series benchmark's results (results.jsonl)."""
import json

PEERS = ("mppca", "dwidenoise")

DWI_COLUMNS = [
    ("b0 RMSE", "b0_rmse", "%.1f"), ("DW RMSE", "dw_rmse", "%.1f"), ("top-b bias", "top_bias", "%+.1f"),
    ("FA RMSE", "fa_rmse", "%.4f"), ("MD RMSE (1e-3 mm2/s)", "md_rmse", "%.4f"),
    ("angle median (deg)", "angle_median", "%.2f"), ("residual-Laplacian r", "residual_laplacian", "%+.3f"),
    ("seconds", "seconds", "%.1f"), ("CPU s", "cpu_seconds", "%.1f"), ("peak MB", "peak_mb", "%.0f"),
]
FMRI_COLUMNS = [
    ("RMSE", "rmse", "%.2f"), ("amplitude / truth", "amplitude_ratio", "%.3f"),
    ("% change (truth)", None, None), ("mean t in region", "t_mean", "%.2f"),
    ("detected (t>3.1)", "detected", "%.2f"), ("false pos. (t>3.1)", "false_positive", "%.4f"),
    ("residual-Laplacian r", "residual_laplacian", "%+.3f"), ("seconds", "seconds", "%.1f"),
    ("CPU s", "cpu_seconds", "%.1f"), ("peak MB", "peak_mb", "%.0f"),
]
# Ratios to the better peer, for every other row: lower is better for all.
RATIO_KEYS = [("DW", "dw_rmse"), ("b0", "b0_rmse"), ("FA", "fa_rmse"), ("MD", "md_rmse"),
              ("time", "seconds"), ("CPU", "cpu_seconds")]


def latest(path):
    """The last row of each (case, method)."""
    rows = {}
    try:
        with open(path) as f:
            for line in f:
                r = json.loads(line)
                rows[(r["case"], r["method"])] = r
    except FileNotFoundError:
        pass
    return rows


def cell(row, key, fmt):
    v = row.get(key)
    return "-" if v is None else fmt % v


def dwi_table(rows):
    out = ["| method | " + " | ".join(c[0] for c in DWI_COLUMNS) + " |",
           "|---" * (len(DWI_COLUMNS) + 1) + "|"]
    for r in rows:
        if "error" in r:
            out.append("| %s | failed: %s |" % (r["method"], r["error"][:80].replace("|", "/")))
            continue
        out.append("| %s | " % r["method"] + " | ".join(cell(r, k, f) for _, k, f in DWI_COLUMNS) + " |")
    peers = [r for r in rows if r["method"] in PEERS and "error" not in r]
    others = [r for r in rows if r["method"].startswith("zarvo") and "error" not in r]
    if peers and others:
        out.append("")
        for r in others:
            parts = []
            for name, key in RATIO_KEYS:
                known = [p[key] for p in peers if p.get(key) is not None]
                if r.get(key) is not None and known and min(known) > 0:
                    parts.append("%s %.2fx" % (name, r[key] / min(known)))
            out.append("- %s / better peer (of %s): %s"
                       % (r["method"], ", ".join(p["method"] for p in peers), ", ".join(parts)))
    return "\n".join(out)


def fmri_table(rows):
    out = ["| method | " + " | ".join(c[0] for c in FMRI_COLUMNS) + " |",
           "|---" * (len(FMRI_COLUMNS) + 1) + "|"]
    for r in rows:
        if "error" in r:
            out.append("| %s | failed: %s |" % (r["method"], r["error"][:80].replace("|", "/")))
            continue
        cells = []
        for _, k, f in FMRI_COLUMNS:
            if k is None:
                cells.append("%.2f (%.2f)" % (r["amplitude_percent"], r["true_percent"]))
            else:
                cells.append(cell(r, k, f))
        out.append("| %s | " % r["method"] + " | ".join(cells) + " |")
    return "\n".join(out)


def render(path, cases):
    rows = latest(path)
    text = []
    for case in cases:
        mine = [r for (c, _), r in rows.items() if c == case]
        if not mine:
            continue
        text.append("\n### %s\n" % case)
        text.append(fmri_table(mine) if case.startswith("fmri") else dwi_table(mine))
    return "\n".join(text)
