"""Builds the zendral extension with the project's own CMake build.

    python3.x -m pip install .     builds a wheel in isolation and installs it

pyproject.toml names what the build needs from the package index (pybind11,
CMake, setuptools); a C++17 compiler and make come from the system. Extra
CMake arguments may be given in the CMAKE_ARGS environment variable.
"""
import io
import os
import re
import shlex
import shutil
import subprocess
import sys

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
# The modules CMake builds: zendral (the three functions) and
# zendral_document (whole documents and files).
MODULES = ("zendral", "zendral_document")


def stub(name):
    return name + ".pyi"


def stub_package(name):
    # Type checkers do not look for a stub beside a single-file module in
    # site-packages, but do find a stub-only package (PEP 561). It is
    # installed with the module, made from the same NAME.pyi.
    return os.path.join(name + "-stubs", "__init__.pyi")


def project_version():
    with open(os.path.join(HERE, "CMakeLists.txt")) as cmake_lists:
        return re.search(r"project\(zendral VERSION ([0-9.]+)", cmake_lists.read()).group(1)


def metadata_for_old_setuptools():
    """pyproject.toml's [project] table as setup() arguments, for a
    setuptools that does not read it (before 61: the last for CPython 3.6)."""
    if int(setuptools.__version__.split(".")[0]) >= 61:
        return {}
    import tomli

    with open(os.path.join(HERE, "pyproject.toml"), "rb") as source:
        project = tomli.load(source)["project"]
    with io.open(os.path.join(HERE, project["readme"]), encoding="utf-8") as readme:
        long_description = readme.read()
    arguments = {
        "name": project["name"],
        "description": project["description"],
        "long_description": long_description,
        "long_description_content_type": "text/markdown",
        "license": project["license"]["text"],
        "python_requires": project["requires-python"],
        "classifiers": project["classifiers"],
    }
    return arguments


def pybind11_arguments():
    # The pybind11 of the build environment, when there is one; otherwise
    # CMake looks for an installed pybind11 (Debian's pybind11-dev).
    try:
        import pybind11
    except ImportError:
        return []
    return ["-Dpybind11_DIR=" + pybind11.get_cmake_dir()]


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
        ] + pybind11_arguments() + shlex.split(os.environ.get("CMAKE_ARGS", ""))
        build = ["cmake", "--build", build_dir, "--target", ext.name]
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            build += ["-j", str(os.cpu_count() or 1)]
        subprocess.check_call(configure)
        subprocess.check_call(build)

        # CMake names the file from the interpreter's own suffix; setuptools
        # must find it under the same name to install it.
        if not os.path.isfile(module_path):
            raise RuntimeError("CMake did not build %s" % module_path)
        self.mkpath(os.path.dirname(os.path.join(module_dir, stub_package(ext.name))))
        self.copy_file(os.path.join(module_dir, stub(ext.name)),
                       os.path.join(module_dir, stub_package(ext.name)))

    def copy_extensions_to_source(self):
        # --inplace builds in build/lib* first, then copies the module from
        # there; the stub has to come along (the stub package does not: here,
        # zendral.pyi beside the module is what type checkers find).
        build_ext.copy_extensions_to_source(self)
        for ext in self.extensions:
            built_dir = os.path.dirname(os.path.join(self.build_lib, self.get_ext_filename(ext.name)))
            here_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
            self.copy_file(os.path.join(built_dir, stub(ext.name)), os.path.join(here_dir, stub(ext.name)))

    def get_outputs(self):
        # The stubs are installed (and recorded for uninstall) with the module.
        outputs = build_ext.get_outputs(self)
        # One output per extension, in order.
        return outputs + [os.path.join(os.path.dirname(path), stubbed)
                          for path, ext in zip(outputs, self.extensions)
                          for stubbed in (stub(ext.name), stub_package(ext.name))]

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
    version=project_version(),
    ext_modules=[CMakeExtension(name, HERE) for name in MODULES],
    # Mapped by name: a "" entry would also move the in-place module into src/python.
    package_dir={"zendral_cli": "src/python/zendral_cli"},
    packages=["zendral_cli"],
    # The command, as a script rather than an entry point (see its docstring).
    scripts=["src/python/bin/zendral"],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
    # Not build/, which is the scripts' CMake build folder.
    options={"build": {"build_base": "build-setuptools"}},
    **metadata_for_old_setuptools()
)
