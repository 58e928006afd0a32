"""The package's version: the project's one version, as the installed metadata says."""

from __future__ import annotations

from importlib import metadata

__all__ = ["DISTRIBUTION", "package_version"]

DISTRIBUTION = "QuorvanDepthCamera"
# Run from a source tree without installing (the tests' PYTHONPATH), there is
# no metadata to read; this says so instead of guessing a number.
NOT_INSTALLED = "0+unknown"


def package_version() -> str:
    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return NOT_INSTALLED
