"""The kit configurations shipped with the package, found by name.

``resolve_config("vga640_single")`` gives the path of the shipped
``vga640_single.cfg``; a path (anything with a directory part, or a file that
exists) is taken as it is. An installed package keeps the files in
``quorvan/configs``; a source checkout run in place uses the tree's
``emulation/evk_sdk/configs``, the files the wheel copies.
"""

from __future__ import annotations

import os
import pathlib

__all__ = ["CONFIG_HELP", "ConfigNotFound", "config_directory", "resolve_config", "shipped_configs"]

_SUFFIX = ".cfg"
# The --config help of every command-line tool.
CONFIG_HELP = (
    "emulated kit configuration: a shipped name such as vga640_single "
    "(quorvan-list --configs shows them) or a file path; default: the built-in kit"
)
_INSTALLED = pathlib.Path(__file__).with_name("configs")
_SOURCE_TREE = pathlib.Path(__file__).resolve().parents[2] / "emulation" / "evk_sdk" / "configs"


class ConfigNotFound(ValueError):
    """A configuration name that is neither a shipped configuration nor a file."""


def config_directory() -> pathlib.Path | None:
    """Where the shipped configurations are, or None when this installation has none."""
    for directory in (_INSTALLED, _SOURCE_TREE):
        if directory.is_dir() and any(directory.glob("*" + _SUFFIX)):
            return directory
    return None


def shipped_configs() -> list[str]:
    """The names ``resolve_config`` accepts, sorted."""
    directory = config_directory()
    if directory is None:
        return []
    return sorted(path.name[: -len(_SUFFIX)] for path in directory.glob("*" + _SUFFIX))


def resolve_config(name_or_path: str) -> str:
    """The file ``name_or_path`` stands for: a path as given, or a shipped configuration's.

    Raises :class:`ConfigNotFound` for a bare name that names neither."""
    if os.sep in name_or_path or pathlib.Path(name_or_path).exists():
        # A missing path goes on to the camera, whose open failure says so.
        return name_or_path
    name = name_or_path[: -len(_SUFFIX)] if name_or_path.endswith(_SUFFIX) else name_or_path
    directory = config_directory()
    if directory is not None and (directory / (name + _SUFFIX)).is_file():
        return str(directory / (name + _SUFFIX))
    shipped = ", ".join(shipped_configs()) or "none in this installation"
    raise ConfigNotFound(
        f"no kit configuration named {name_or_path!r} (shipped: {shipped}; or give a file path)"
    )
