"""Pieces of the command-line tools' argparse types: a refused value raises
``argparse.ArgumentTypeError``, which argparse shows beside the usage."""

from __future__ import annotations

import argparse


def whole_number(text: str, what: str = "a whole number") -> int:
    """``text`` as an int; refused, naming ``what`` it should have been, otherwise."""
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not {what}") from None
