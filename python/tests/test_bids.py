"""The BIDS app on Dask: the command's derivatives, bit for bit, with the
same names, sidecars and dataset description; reruns keep what is complete."""
import json
import os
import subprocess
import sys

import pytest

from zarvo import bids
from conftest import file_bytes, phantom, save, zarvo_command


def dataset(root):
    (root / "sub-01" / "anat").mkdir(parents=True)
    (root / "sub-02" / "ses-a" / "func").mkdir(parents=True)
    (root / "dataset_description.json").write_text('{"Name": "py", "BIDSVersion": "1.9.0"}')
    (root / "task-rest_bold.json").write_text('{"RepetitionTime": 2.5}')
    save(root / "sub-01" / "anat" / "sub-01_T1w.nii.gz", phantom((18, 16, 8), seed=60))
    save(root / "sub-02" / "ses-a" / "func" / "sub-02_ses-a_task-rest_bold.nii.gz",
         phantom((18, 16, 8, 3), seed=61))
    (root / "sub-02" / "ses-a" / "func" / "sub-02_ses-a_task-broken_bold.nii").write_text("x")
    return root


def test_the_commands_derivatives_and_reruns_keep_them(tmp_path, client):
    raw = dataset(tmp_path / "raw")
    rows = bids.run_bids(raw, tmp_path / "py", client, stream=None, sigma=[6.0])
    failed = [r for r in rows if "error" in r]
    assert len(rows) == 3 and len(failed) == 1 and "broken" in failed[0]["input"]

    done = subprocess.run([zarvo_command(), "bids", str(raw), str(tmp_path / "cmd"),
                           "participant", "--sigma", "6", "--quiet"], capture_output=True)
    assert done.returncode == 1  # the broken file, in both
    for name in ("sub-01/anat/sub-01_desc-denoised_T1w.nii.gz",
                 "sub-02/ses-a/func/sub-02_ses-a_task-rest_desc-denoised_bold.nii.gz"):
        assert file_bytes(tmp_path / "py" / name) == file_bytes(tmp_path / "cmd" / name), name
    side = json.loads((tmp_path / "py" / "sub-02/ses-a/func/"
                       "sub-02_ses-a_task-rest_desc-denoised_bold.json").read_text())
    assert side["RepetitionTime"] == 2.5
    assert side["Sources"] == ["bids:raw:sub-02/ses-a/func/sub-02_ses-a_task-rest_bold.nii.gz"]
    assert json.loads((tmp_path / "py" / "dataset_description.json").read_text()) == \
        json.loads((tmp_path / "cmd" / "dataset_description.json").read_text())
    assert (tmp_path / "py" / "sub-01/anat/sub-01_desc-denoised_T1w.html").is_file()

    again = bids.run_bids(raw, tmp_path / "py", client, stream=None, sigma=[6.0],
                          participants=["01"])
    assert [r.get("skipped") for r in again] == [True]


def test_dataset_problems_are_refused_before_any_work(tmp_path):
    raw = dataset(tmp_path / "raw")
    with pytest.raises(ValueError, match="participant '9'"):
        bids.run_bids(raw, tmp_path / "out", participants=["9"], stream=None)
    with pytest.raises(ValueError, match="inside the BIDS dataset"):
        bids.run_bids(raw, raw / "sub-01", stream=None)
    done = subprocess.run([sys.executable, "-m", "zarvo.bids", str(raw), str(tmp_path / "out"),
                           "group"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "participant" in done.stderr
    assert not os.path.exists(tmp_path / "out")


def options_of(help_text):
    """The long options a --help lists."""
    import re
    return set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", help_text))


def test_the_module_takes_every_option_of_the_command_and_gives_its_bits(tmp_path):
    command_help = subprocess.run([zarvo_command(), "bids", "--help"], capture_output=True,
                                  text=True, check=True).stdout
    module_help = subprocess.run([sys.executable, "-m", "zarvo.bids", "--help"],
                                 capture_output=True, text=True, check=True).stdout
    missing = options_of(command_help) - options_of(module_help) - {"--version"}
    assert not missing and "--soft" in options_of(module_help)

    raw = dataset(tmp_path / "raw")
    options = ["--participant-label", "01", "--sigma", "6", "--profile", "fast", "--no-soft",
               "--cube", "3", "--datatype", "int16", "--desc", "clean", "--no-report"]
    done = subprocess.run([sys.executable, "-m", "zarvo.bids", str(raw), str(tmp_path / "py"),
                           "participant", "--workers", "1", "--quiet", *options],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    subprocess.run([zarvo_command(), "bids", str(raw), str(tmp_path / "cmd"), "participant",
                    "--quiet", *options], check=True)
    name = "sub-01/anat/sub-01_desc-clean_T1w.nii.gz"
    assert file_bytes(tmp_path / "py" / name) == file_bytes(tmp_path / "cmd" / name)
    assert not (tmp_path / "py" / "sub-01/anat/sub-01_desc-clean_T1w.html").exists()
    side = json.loads((tmp_path / "py" / "sub-01/anat/sub-01_desc-clean_T1w.json").read_text())
    assert side["parameters"]["cube"] == 3 and side["parameters"]["soft"] is False

    # A value the engine refuses is named, and nothing is written.
    bad = subprocess.run([sys.executable, "-m", "zarvo.bids", str(raw), str(tmp_path / "bad"),
                          "participant", "--cube", "999"], capture_output=True, text=True,
                         timeout=120)
    assert bad.returncode == 2 and "cube" in bad.stderr
    assert not os.path.exists(tmp_path / "bad" / "sub-01")
