"""Builds the zendral extension with the project's own CMake build.

    python3.x -m pip install .            installs into that interpreter
    python3.x setup.py build_ext --inplace  puts zendral*.so and zendral.pyi here

Needs cmake, a C++17 compiler and pybind11's CMake package (Debian's
pybind11-dev); nothing is fetched from a package index. Extra CMake
arguments may be given in the CMAKE_ARGS environment variable.
"""
import io
import os
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
STUB = "zendral.pyi"
# Type checkers do not look for a stub beside a single-file module in
# site-packages, but do find a stub-only package (PEP 561). It is installed
# with the module, made from the same zendral.pyi.
STUB_PACKAGE = os.path.join("zendral-stubs", "__init__.pyi")


def read_readme():
    with io.open(os.path.join(HERE, "README.md"), encoding="utf-8") as readme:
        return readme.read()


def project_version():
    with open(os.path.join(HERE, "CMakeLists.txt")) as cmake_lists:
        return re.search(r"project\(zendral VERSION ([0-9.]+)", cmake_lists.read()).group(1)


class CMakeExtension(Extension):
    """An extension that CMake builds: setuptools gets no sources of its own."""

    def __init__(self, name, source_dir):
        Extension.__init__(self, name, sources=[])
        self.source_dir = os.path.abspath(source_dir)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        module_path = os.path.abspath(self.get_ext_fullpath(ext.name))
        module_dir = os.path.dirname(module_path)
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        self._forget_foreign_cache(build_dir, ext.source_dir)

        configure = [
            "cmake", "-S", ext.source_dir, "-B", build_dir,
            # The module is for the interpreter running this build, whatever
            # the CMake default would have found.
            "-DZENDRAL_PYTHON=" + sys.executable,
            "-DZENDRAL_BUILD_TESTS=OFF",
            "-DZENDRAL_MODULE_DIR=" + module_dir,
            "-DCMAKE_BUILD_TYPE=" + ("Debug" if self.debug else "Release"),
        ] + shlex.split(os.environ.get("CMAKE_ARGS", ""))
        build = ["cmake", "--build", build_dir, "--target", "zendral"]
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            build += ["-j", str(os.cpu_count() or 1)]
        subprocess.check_call(configure)
        subprocess.check_call(build)

        # CMake names the file from the interpreter's own suffix; setuptools
        # must find it under the same name to install it.
        if not os.path.isfile(module_path):
            raise RuntimeError("CMake did not build %s" % module_path)
        self.mkpath(os.path.dirname(os.path.join(module_dir, STUB_PACKAGE)))
        self.copy_file(os.path.join(module_dir, STUB), os.path.join(module_dir, STUB_PACKAGE))

    def copy_extensions_to_source(self):
        # --inplace builds in build/lib* first, then copies the module from
        # there; the stub has to come along (the stub package does not: here,
        # zendral.pyi beside the module is what type checkers find).
        build_ext.copy_extensions_to_source(self)
        for ext in self.extensions:
            built_dir = os.path.dirname(os.path.join(self.build_lib, self.get_ext_filename(ext.name)))
            here_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
            self.copy_file(os.path.join(built_dir, STUB), os.path.join(here_dir, STUB))

    def get_outputs(self):
        # The stubs are installed (and recorded for uninstall) with the module.
        outputs = build_ext.get_outputs(self)
        return outputs + [os.path.join(os.path.dirname(path), stub)
                          for path in outputs for stub in (STUB, STUB_PACKAGE)]

    @staticmethod
    def _forget_foreign_cache(build_dir, source_dir):
        # pip may copy the source tree, build folders included; a CMake cache
        # made for another source folder would make configure fail.
        cache = os.path.join(build_dir, "CMakeCache.txt")
        if not os.path.isfile(cache):
            return
        with open(cache) as lines:
            home = [line.split("=", 1)[1].strip() for line in lines
                    if line.startswith("CMAKE_HOME_DIRECTORY:")]
        if home and os.path.realpath(home[0]) != os.path.realpath(source_dir):
            shutil.rmtree(build_dir)


setup(
    name="zendral",
    version=project_version(),
    description="Native Markdown and key=value converters for Python",
    long_description=read_readme(),
    long_description_content_type="text/markdown",
    license="MIT",
    classifiers=[
        "License :: OSI Approved :: MIT License",
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: 3 :: Only",
        "Programming Language :: Python :: 3.6",
        "Programming Language :: Python :: 3.7",
        "Programming Language :: Python :: 3.8",
        "Programming Language :: Python :: 3.9",
        "Programming Language :: Python :: 3.10",
        "Programming Language :: Python :: 3.11",
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: Text Processing :: Markup :: HTML",
    ],
    python_requires=">=3.6, <3.12",
    ext_modules=[CMakeExtension("zendral", HERE)],
    # Mapped by name: a "" entry would also move the in-place module into src/python.
    package_dir={"zendral_cli": "src/python/zendral_cli"},
    packages=["zendral_cli"],
    entry_points={"console_scripts": ["zendral = zendral_cli:main"]},
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
