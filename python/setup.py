"""Builds zarvo._core with CMake (the whole repository is its source) and
puts it into the package. Environment:

  ZARVO_BUILD_DIR  a CMake build folder to build in and reuse (default: a
                   folder under setuptools' build_temp)
  ZARVO_JOBS       parallel build jobs (default 2)
"""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(os.environ.get("ZARVO_BUILD_DIR") or Path(self.build_temp) / "cmake").resolve()
        build.mkdir(parents=True, exist_ok=True)
        if not (build / "CMakeCache.txt").exists():
            subprocess.check_call([
                "cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DZARVO_BUILD_TESTS=OFF", "-DZARVO_REQUIRE_PYTHON=ON",
                f"-DPython_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", str(build), "--target", "zarvo_python",
                               "-j", os.environ.get("ZARVO_JOBS", "2")])
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        built = build / "python" / "zarvo" / f"_core{suffix}"
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[Extension("zarvo._core", sources=[])], cmdclass={"build_ext": CMakeBuild})
