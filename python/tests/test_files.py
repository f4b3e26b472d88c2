"""One file as the command does it, the sidecar, and reruns."""

import json
import os

import subprocess

import nibabel as nib
import numpy as np
import pytest

import zarvo
import zarvo.files
from zarvo.files import denoise_file
from conftest import file_bytes, phantom, run_command, save, zarvo_command


@pytest.mark.parametrize("options, cli", [
    ({}, []),
    ({"noise": "rician", "sigma": 5.5, "datatype": "int16", "cube": 3, "lambda_": 2.8},
     ["--noise", "rician", "--sigma", "5.5", "--datatype", "int16", "--cube", "3",
      "--lambda", "2.8"]),
    ({"sigma": [5.5, 0.1 + 0.2], "synchronous": True, "soft": False},
     ["--sigma", "5.5,0.30000000000000004", "--synchronous", "--no-soft"]),
])
def test_output_is_the_commands_and_the_sidecar_tells_the_run(tmp_path, options, cli):
    noisy = phantom((26, 22, 9, 2), seed=7, rician="rician" in cli)
    source = save(tmp_path / "in.nii.gz", noisy, dtype=np.float32)
    run_command(source, tmp_path / "command.nii", *cli)
    result = denoise_file(source, tmp_path / "out.nii", **options)
    assert file_bytes(tmp_path / "out.nii") == file_bytes(tmp_path / "command.nii")

    with open(result["sidecar"]) as f:
        sidecar = json.load(f)
    assert result["sidecar"] == str(tmp_path / "out.json")
    data = zarvo._core.read_nifti(str(source))
    given = options.get("sigma")
    expected = (list(given) if isinstance(given, list) else [given, given]) if given else \
        list(zarvo.estimate_sigma(data))
    assert sidecar["noise_sigma"] == result["sigma"] == expected
    assert sidecar["sigma_source"] == ("given" if "sigma" in options else "estimated")
    params = zarvo.profile_params(**{k: v for k, v in options.items() if k in ("cube", "lambda_")})
    for name in ("cube", "step", "search", "group1", "group2", "lambda", "tau1", "tau2"):
        assert sidecar["parameters"][name] == params[name], name
    assert sidecar["complete"] is True
    assert sidecar["command_line"].startswith("zarvo denoise " + str(source))


def test_rerun_skips_complete_outputs_and_redoes_the_rest(tmp_path):
    source = save(tmp_path / "in.nii", phantom((20, 20, 8), seed=8))
    out = tmp_path / "out.nii.gz"
    first = denoise_file(source, out)
    stamp = os.stat(out).st_mtime_ns
    again = denoise_file(source, out)
    assert again["skipped"] and again["sigma"] == first["sigma"]
    assert os.stat(out).st_mtime_ns == stamp

    # Other options: redone, but only with force (the old set stays otherwise).
    with pytest.raises(ValueError, match="exists"):
        denoise_file(source, out, profile="fast")
    assert os.stat(out).st_mtime_ns == stamp
    other = denoise_file(source, out, profile="fast", force=True)
    assert not other["skipped"]
    with open(tmp_path / "out.json") as f:
        assert "--profile fast" in json.load(f)["command_line"]

    (tmp_path / "out.json").write_text('{"command_li')  # a sidecar cut short
    assert not denoise_file(source, out, profile="fast", force=True)["skipped"]

    os.remove(tmp_path / "out.json")  # an output without its sidecar
    assert not denoise_file(source, out, profile="fast", force=True)["skipped"]


def test_an_existing_foreign_file_is_kept_without_force(tmp_path):
    source = save(tmp_path / "in.nii", phantom((20, 20, 8), seed=9))
    foreign = save(tmp_path / "out.nii", np.zeros((4, 4, 4)))
    before = file_bytes(foreign)
    with pytest.raises(ValueError, match="exists"):
        denoise_file(source, foreign)
    assert file_bytes(foreign) == before
    denoise_file(source, foreign, force=True)
    assert file_bytes(foreign) != before


def test_only_force_replaces_a_file_whatever_its_description_says(tmp_path):
    source = save(tmp_path / "in.nii", phantom((20, 20, 8), seed=9))
    other = save(tmp_path / "other.nii", phantom((20, 20, 8), seed=10))
    # Another input's result, and a hand-edited file saved by nibabel whose
    # description still starts with "zarvo ".
    earlier = tmp_path / "earlier.nii"
    denoise_file(other, earlier, sigma=6.0)
    edited = tmp_path / "edited.nii"
    image = nib.Nifti1Image(np.ones((20, 20, 8), np.float32), np.eye(4))
    image.header["descrip"] = b"zarvo 0.1.0 sigma 6 (edited by hand)"
    nib.save(image, str(edited))
    for target in (earlier, edited):
        before = file_bytes(target)
        with pytest.raises(ValueError, match="exists"):
            denoise_file(source, target, sigma=6.0)
        assert file_bytes(target) == before, target
    denoise_file(source, edited, sigma=6.0, force=True)
    assert file_bytes(edited) != before


def _truncate(path):
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) - 100)


def _garble(path):
    with open(path, "r+b") as f:
        f.seek(-64, os.SEEK_END)
        f.write(b"\x7f" * 64)


@pytest.mark.parametrize("damage", [_truncate, _garble])
def test_a_damaged_output_with_its_sidecar_is_not_complete(tmp_path, damage):
    source = save(tmp_path / "in.nii", phantom((20, 20, 8), seed=11))
    out = tmp_path / "out.nii"
    denoise_file(source, out, sigma=6.0)
    good = file_bytes(out)
    damage(out)
    # The sidecar still matches the request; only its record of the file
    # tells that the output is not the one it describes.
    with pytest.raises(ValueError, match="exists"):
        denoise_file(source, out, sigma=6.0)
    result = denoise_file(source, out, sigma=6.0, force=True)
    assert not result["skipped"] and file_bytes(out) == good


def test_a_stale_sidecar_never_returns_another_inputs_result(tmp_path):
    a = save(tmp_path / "a.nii", phantom((20, 20, 8), seed=12))
    b = save(tmp_path / "b.nii", phantom((20, 20, 8), seed=13, noise=9.0))
    out = tmp_path / "out.nii"
    first = denoise_file(a, out)
    ours = file_bytes(out)
    # b's result written over it without a sidecar: out.json still says a.
    subprocess.run([zarvo_command(), "denoise", str(b), str(out), "--no-sidecar", "--force",
                    "--quiet"], check=True)
    theirs = file_bytes(out)
    assert theirs != ours
    with pytest.raises(ValueError, match="exists"):
        denoise_file(a, out)
    assert file_bytes(out) == theirs
    again = denoise_file(a, out, force=True)
    assert not again["skipped"] and again["sigma"] == first["sigma"] and file_bytes(out) == ours


@pytest.mark.parametrize("make, message", [
    (lambda d: d / "missing.nii", "cannot be opened"),
    (lambda d: save(d / "nan.nii", np.full((8, 8, 8), np.nan)), "NaN"),
    (lambda d: (d / "text.nii").write_text("hello") and d / "text.nii", "not a NIfTI file"),
])
def test_bad_files_are_refused_with_the_commands_message(tmp_path, make, message):
    with pytest.raises(ValueError, match=message):
        denoise_file(make(tmp_path), tmp_path / "out.nii")
    assert not os.path.exists(tmp_path / "out.nii")


def test_report_residual_and_noise_map_are_the_commands_and_written_with_the_output(tmp_path):
    noisy = phantom((22, 20, 8, 2), seed=8, rician=True)
    source = save(tmp_path / "in.nii", noisy, dtype=np.float32)
    run_command(source, tmp_path / "command.nii", "--noise", "rician", "--residual",
                tmp_path / "command_residual.nii", "--noise-map", tmp_path / "command_map.nii",
                "--report", tmp_path / "command.html")
    denoise_file(source, tmp_path / "out.nii", noise="rician", residual=tmp_path / "res.nii",
                 noise_map=tmp_path / "map.nii", report=tmp_path / "out.html")
    assert file_bytes(tmp_path / "res.nii") == file_bytes(tmp_path / "command_residual.nii")
    assert file_bytes(tmp_path / "map.nii") == file_bytes(tmp_path / "command_map.nii")
    output = zarvo._core.read_nifti(str(tmp_path / "out.nii"))
    residual = zarvo._core.read_nifti(str(tmp_path / "res.nii"))
    assert np.allclose(residual, noisy.astype(np.float32) - output, atol=1e-3)
    page = (tmp_path / "out.html").read_text()
    assert page.count("<img") >= 3 and 'src="http' not in page  # self-contained

    # A report that cannot be written stops the run before anything is written.
    (tmp_path / "taken.html").mkdir()
    with pytest.raises(ValueError, match="is a folder"):
        denoise_file(source, tmp_path / "second.nii", report=tmp_path / "taken.html")
    assert not (tmp_path / "second.nii").exists()


def test_a_mask_placed_elsewhere_needs_allow_affine_mismatch_and_is_noted(tmp_path):
    affine = np.array([[1.5, 0, 0, -20.0], [0, 1.5, 0, 31.3], [0, 0, 2, -7.7], [0, 0, 0, 1]])
    source = save(tmp_path / "in.nii", phantom((18, 16, 6), seed=50), affine=affine)
    inside = (phantom((18, 16, 6), seed=51) > 60).astype(np.uint8)
    placed = save(tmp_path / "placed.nii", inside, dtype=np.uint8, affine=affine)
    moved_affine = affine.copy()
    moved_affine[0, 3] += 2.5
    moved = save(tmp_path / "moved.nii", inside, dtype=np.uint8, affine=moved_affine)

    with pytest.raises(Exception, match="lies elsewhere.*allow_affine_mismatch=True"):
        denoise_file(source, tmp_path / "refused.nii", mask=moved, sigma=5.0)
    assert not (tmp_path / "refused.nii").exists()

    with pytest.warns(zarvo.files.Note, match="taken voxel for voxel .* by up to 2.5 mm"):
        result = denoise_file(source, tmp_path / "out.nii", mask=moved, sigma=5.0,
                              allow_affine_mismatch=True)
    assert len(result["notes"]) == 1
    denoise_file(source, tmp_path / "placed-out.nii", mask=placed, sigma=5.0)
    assert file_bytes(tmp_path / "out.nii") == file_bytes(tmp_path / "placed-out.nii")
    run_command(source, tmp_path / "command.nii", "--mask", moved, "--sigma", "5",
                "--allow-affine-mismatch")
    assert file_bytes(tmp_path / "out.nii") == file_bytes(tmp_path / "command.nii")
    with open(result["sidecar"]) as f:
        assert "--allow-affine-mismatch" in json.load(f)["command_line"]

    # Arrays have no affine: the option is for files only.
    with pytest.raises(TypeError, match="only for files"):
        zarvo.denoise(phantom((18, 16, 6)), 5.0, allow_affine_mismatch=True)


def test_header_rounding_is_no_mismatch(tmp_path):
    """A float32 header of another tool (sform only, or qform only) against
    the input's float64 affine, rotated and far from the origin."""
    import warnings
    turn = np.deg2rad(17)
    affine = np.array([[0.9 * np.cos(turn), -0.9 * np.sin(turn), 0, -117.31],
                       [0.9 * np.sin(turn), 0.9 * np.cos(turn), 0, 131.17],
                       [0, 0, 1.1, -71.9], [0, 0, 0, 1]])
    img = nib.Nifti2Image(phantom((18, 16, 6), seed=52), affine)
    img.set_qform(None, code=0)
    nib.save(img, str(tmp_path / "in.nii"))
    inside = (phantom((18, 16, 6), seed=53) > 60).astype(np.uint8)
    for name, code in (("sform.nii", "sform"), ("qform.nii", "qform")):
        mask = nib.Nifti1Image(inside, affine)
        if code == "qform":
            mask.set_sform(None, code=0)
            mask.set_qform(affine, code=1)
        else:
            mask.set_qform(None, code=0)
        nib.save(mask, str(tmp_path / name))
        assert not np.array_equal(nib.load(str(tmp_path / name)).affine, affine)  # rounded
        with warnings.catch_warnings():
            warnings.simplefilter("error", zarvo.files.Note)
            denoise_file(tmp_path / "in.nii", tmp_path / ("out-" + name), mask=tmp_path / name,
                         sigma=5.0)
