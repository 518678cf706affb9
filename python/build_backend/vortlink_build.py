"""The package's build backend: setuptools reads pyproject.toml, collects the files and writes
the metadata; the wheel itself is zipped here.

setuptools before 70.1 needs the separate ``wheel`` package to make a wheel, and a fresh venv
on Debian 12 has only pip and setuptools, so ``pip install --no-index --no-build-isolation``
could not build one there. A pure-Python wheel is a zip of the package and a ``.dist-info``
directory; nothing else is needed for it.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import tempfile
import zipfile
from pathlib import Path

from setuptools.build_meta import build_sdist, get_requires_for_build_sdist
from setuptools.dist import Distribution

__all__ = ["build_sdist", "build_wheel", "get_requires_for_build_sdist",
           "get_requires_for_build_wheel"]

_WHEEL_FILE = "Wheel-Version: 1.0\nGenerator: vortlink_build\nRoot-Is-Purelib: true\n" \
              "Tag: py3-none-any\n"


def get_requires_for_build_wheel(config_settings: dict[str, str] | None = None) -> list[str]:
    """Nothing beyond setuptools, which the build system table names."""
    return []


def _digest(data: bytes) -> str:
    encoded = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + encoded.decode("ascii")


def build_wheel(wheel_directory: str, config_settings: dict[str, str] | None = None,
                metadata_directory: str | None = None) -> str:
    """Writes ``<name>-<version>-py3-none-any.whl`` into ``wheel_directory``; returns its name."""
    distribution = Distribution()
    distribution.script_name = "setup.py"  # where distutils looks for the sources: here
    distribution.parse_config_files()
    name = distribution.get_name().replace("-", "_")
    version = distribution.get_version()
    dist_info = f"{name}-{version}.dist-info"
    metadata = io.StringIO()
    distribution.metadata.write_pkg_file(metadata)
    with tempfile.TemporaryDirectory() as build_lib:
        # egg_info, which build_py runs for the package data, writes beside the build, not
        # into the source tree.
        distribution.get_command_obj("egg_info").egg_base = build_lib
        build_py = distribution.get_command_obj("build_py")
        build_py.build_lib = build_lib
        build_py.compile = build_py.optimize = 0
        build_py.ensure_finalized()
        build_py.run()
        files = {path.relative_to(build_lib).as_posix(): path.read_bytes()
                 for path in sorted(Path(build_lib).rglob("*"))
                 if path.is_file() and ".egg-info" not in path.as_posix()}
    files[f"{dist_info}/METADATA"] = metadata.getvalue().encode("utf-8")
    files[f"{dist_info}/WHEEL"] = _WHEEL_FILE.encode("ascii")
    files[f"{dist_info}/top_level.txt"] = "".join(
        f"{package}\n" for package in distribution.packages if "." not in package).encode()
    record = "".join(f"{path},{_digest(data)},{len(data)}\n" for path, data in files.items())
    files[f"{dist_info}/RECORD"] = (record + f"{dist_info}/RECORD,,\n").encode("utf-8")
    wheel_name = f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files.items():
            wheel.writestr(zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0)), data,
                           zipfile.ZIP_DEFLATED)
    return wheel_name
