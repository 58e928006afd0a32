"""What the viewer checks before it answers: any page open in the user's browser
can send requests to 127.0.0.1, so only the viewer's own page may change
anything.

- Host: a page of another site that makes its own name resolve to 127.0.0.1
  (DNS rebinding) sends its own name as Host; only the names of the address
  the viewer listens on are answered, for every request.
- Changes (POST): the body must be JSON with ``Content-Type:
  application/json``, which a page of another origin can only send after a
  preflight the viewer never grants; the form and text types a browser sends
  without asking are refused. An ``Origin`` that is not the viewer's own is
  refused as well, so no browser quirk around preflights matters.
- The body: a stated length of 0 to ``MAX_BODY_BYTES``, read within the
  handler's socket timeout; JSON of an object with a control name and a
  32-bit whole-number value. ``Infinity``, ``NaN``, fractions and numbers
  beyond 32 bits are refused, as is nesting too deep to parse.
"""

from __future__ import annotations

import json
from typing import Any, Protocol

MAX_BODY_BYTES = 4096
_INT32 = (-(2**31), 2**31 - 1)


class Headers(Protocol):
    def get(self, name: str, default: None = None) -> str | None: ...


class Body(Protocol):
    def read(self, size: int = ..., /) -> bytes: ...


class RequestRefused(Exception):
    """A request the viewer does not carry out: the HTTP status and why."""

    def __init__(self, code: int, reason: str) -> None:
        super().__init__(reason)
        self.code = code
        self.reason = reason


def allowed_hosts(host: str, port: int) -> frozenset[str]:
    """Host header values that name the viewer's own address."""
    names = {host, "localhost"} if host == "127.0.0.1" else {host}
    return frozenset(f"{name}:{port}" for name in names)


def check_host(headers: Headers, allowed: frozenset[str]) -> str:
    """The request's Host when it is one of ``allowed``; ``RequestRefused`` otherwise."""
    host = (headers.get("Host") or "").strip().lower()
    if host not in allowed:
        raise RequestRefused(403, f"this viewer answers only for {', '.join(sorted(allowed))}")
    return host


def check_same_origin(headers: Headers, host: str) -> None:
    content_type = (headers.get("Content-Type") or "").split(";", 1)[0].strip().lower()
    if content_type != "application/json":
        raise RequestRefused(415, "changes need Content-Type: application/json")
    origin = headers.get("Origin")
    if origin is not None and origin.strip().lower() != f"http://{host}":
        raise RequestRefused(403, "changes are accepted only from the viewer's own page")
    if (headers.get("Sec-Fetch-Site") or "same-origin") not in ("same-origin", "none"):
        raise RequestRefused(403, "changes are accepted only from the viewer's own page")


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a control value")


def _refuse_fraction(text: str) -> Any:
    raise ValueError(f"{text} is not a whole number")


def read_body(headers: Headers, body: Body) -> bytes:
    text = headers.get("Content-Length")
    try:
        length = int(text) if text is not None else -1
    except ValueError:
        length = -1
    if length < 0:
        raise RequestRefused(411, "a body with a Content-Length of 0 or more is needed")
    if length > MAX_BODY_BYTES:
        raise RequestRefused(413, f"a body of at most {MAX_BODY_BYTES} bytes")
    data = body.read(length)  # bounded, and the socket's timeout ends a stalled sender
    if len(data) != length:
        raise RequestRefused(400, "the body ended before its Content-Length")
    return data


def parse_control(data: bytes) -> tuple[str, int]:
    """(control name, value) of a control request body; ``RequestRefused`` when malformed."""
    try:
        request = json.loads(
            data or b"{}", parse_constant=_refuse_constant, parse_float=_refuse_fraction
        )
    except RecursionError:
        raise RequestRefused(400, "the JSON is nested too deeply") from None
    except ValueError as error:  # JSONDecodeError, a refused number, too many digits
        raise RequestRefused(400, f"not a control request: {error}") from None
    if not isinstance(request, dict):
        raise RequestRefused(400, 'a control request is {"control": NAME, "value": N}')
    control: object | None = request.get("control")
    value: object | None = request.get("value")
    if not isinstance(control, str):
        raise RequestRefused(400, "the control must be named")
    if isinstance(value, bool) or not isinstance(value, int) or not _INT32[0] <= value <= _INT32[1]:
        raise RequestRefused(400, "the value must be a 32-bit whole number")
    return control, value


__all__ = [
    "RequestRefused",
    "allowed_hosts",
    "check_host",
    "check_same_origin",
    "read_body",
    "parse_control",
    "MAX_BODY_BYTES",
]
