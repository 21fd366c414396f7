"""Builds the study layer and libKestrion with CMake and ships them inside the package.

The libraries come from the repository this folder belongs to: a build of the two CMake targets
into build/packages (or, when TALVEN_HOME names an installed TALVEN tree, the libraries in its
lib/ folder).
"""
import os
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parent
LIBRARIES = ("libTalvenFrontend.so", "libKestrion.so")


def built_libraries() -> Path:
    given = os.environ.get("TALVEN_HOME")
    if given:
        folder = Path(given).resolve() / "lib"
        missing = [name for name in LIBRARIES if not (folder / name).is_file()]
        if missing:
            raise SystemExit(f"TALVEN_HOME: {folder} lacks {', '.join(missing)}")
        return folder
    if not (REPOSITORY / "frontend" / "CMakeLists.txt").is_file():
        raise SystemExit(
            "The talven package builds its libraries from the TALVEN repository; install it from "
            "the python/ folder of a clone, or set TALVEN_HOME to an installed TALVEN tree")
    if shutil.which("cmake") is None:
        raise SystemExit("The talven package builds its libraries with CMake 3.22 or later, which "
                         "is not on PATH (Debian: apt-get install cmake)")
    build = REPOSITORY / "build" / "packages"
    # The same options as the R package's configure script, which shares this build folder.
    subprocess.check_call(["cmake", "-S", str(REPOSITORY), "-B", str(build),
                           "-DCMAKE_BUILD_TYPE=Release", "-DTALVEN_LIBRARIES_ONLY=ON",
                           "-DTALVEN_BUILD_TESTS=OFF", "-DCMAKE_BUILD_RPATH_USE_ORIGIN=ON"])
    jobs = str(min(os.cpu_count() or 1, 2))
    subprocess.check_call(["cmake", "--build", str(build), "--target", "TalvenFrontend",
                           "-j", jobs])
    return build / "lib"


class BuildWithLibraries(build_py):
    def run(self) -> None:
        source = built_libraries()
        target = Path(self.build_lib) / "talven" / "_lib"
        target.mkdir(parents=True, exist_ok=True)
        for name in LIBRARIES:
            shutil.copy2(source / name, target / name)
        super().run()


class BinaryDistribution(Distribution):
    """The package carries shared libraries: its wheel is platform-specific."""

    def has_ext_modules(self) -> bool:
        return True


setup(cmdclass={"build_py": BuildWithLibraries}, distclass=BinaryDistribution)
