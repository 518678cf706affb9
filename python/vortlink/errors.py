"""Status codes, their catalogue names and texts, and the exception that carries them."""

from __future__ import annotations

import ctypes
import enum
from collections.abc import Callable

from vortlink._native import library

# The catalogue's names and texts are short; a longer one is read again with a larger buffer.
_CATALOGUE_BUFFER_SIZES = (256, 4096, 0xFFFF)


class Status(enum.IntEnum):
    """The status codes the library raises itself (a controller may send any other number)."""

    OK = 0
    QUIT_REQUESTED = -10001
    BAD_SLOT = -10100
    BAD_DEVICE_NAME = -10101
    WRITE_NOT_STARTED = -10102
    WRITE_TIMEOUT = -10104
    READ_NOT_STARTED = -10105
    READ_TIMEOUT = -10107
    BAD_REPORTS = -10108
    NO_USB_DEVICE = -10109
    FLUSH_FAILED = -10110
    FEATURE_REFUSED = -10111
    NO_STRING = -10112
    NO_DEVICE_MATCHED = -10201
    LOCK_BUSY = -10202
    LOCK_FAILED = -10203
    WRONG_OPCODE = -10204
    WRONG_REPORT_ID = -10205
    BAD_LIGHTHEAD_DATA = -10206
    CHECKSUM_MISMATCH = -10207
    UNKNOWN_OPCODE = -10208
    SETTINGS_OPEN_FAILED = -10600
    SETTINGS_NOT_OPEN = -10601
    SETTING_READ_FAILED = -10602
    SETTING_WRITE_FAILED = -10603
    BAD_TCP_SLOT = -10800
    SOCKET_FAILURE = -10801
    HOST_UNRESOLVED = -10802
    REPLY_TIMEOUT = -10803


def _look_up(export: Callable[[int, ctypes.Array[ctypes.c_char], int], int], code: int) -> str:
    if not -0x8000 <= code <= 0x7FFF:
        raise ValueError(f"status code {code} is not a signed 16-bit number")
    for size in _CATALOGUE_BUFFER_SIZES:
        buffer = ctypes.create_string_buffer(size)
        export(code, buffer, size)
        value = buffer.value
        if len(value) < size - 1:
            break
    return value.decode("utf-8", errors="replace")


def error_name(code: int) -> str:
    """The catalogue's name of ``code`` (``tkcmdset_get_error_name``): "Unknown Error" if none."""
    return _look_up(library().tkcmdset_get_error_name, code)


def error_text(code: int) -> str:
    """The catalogue's text of ``code`` (``tkcmdset_get_error_text``): "No further information"
    if none."""
    return _look_up(library().tkcmdset_get_error_text, code)


class VortlinkError(Exception):
    """A command failed: ``code`` is its status, ``name`` and ``text`` the catalogue's words.

    ``code`` is a :class:`Status` member for the library's own codes and a plain ``int`` for an
    error number the controller sent.
    """

    def __init__(self, code: int) -> None:
        """Looks ``code`` up in the error catalogue."""
        try:
            self.code: int = Status(code)
        except ValueError:
            self.code = code
        self.name: str = error_name(code)
        self.text: str = error_text(code)
        super().__init__(f"ERROR ({int(code)}) : {self.name}\n{self.text}")

    def __reduce__(self) -> tuple[type[VortlinkError], tuple[int]]:
        return (type(self), (int(self.code),))


def check(code: int) -> None:
    """Raises :class:`VortlinkError` for a non-zero status code."""
    if code != 0:
        raise VortlinkError(code)
