"""Python binding of ``libvortlink``, the command-set library of the Quorrel LED strobe controller.

::

    import vortlink

    with vortlink.Controller.tcp("192.168.1.101") as controller:
        print(controller.fw_version(), hex(controller.status()))

The package loads the library named by ``$VORTLINK_LIBRARY``, else the installed
``libvortlink.so.1``, and calls its exports through ``ctypes``: each command is a method of
:class:`Controller` named after its export without ``tkcmdset_``. A failed command raises
:class:`VortlinkError` carrying the status code and the error catalogue's name and text.
"""

from __future__ import annotations

from vortlink._native import SONAME, library
from vortlink.controller import (
    PRODUCT_NAME,
    Controller,
    IpSettings,
    Pulse,
    Repeat,
    TriggerMap,
    float_from_bits,
)
from vortlink.errors import Status, VortlinkError, error_name, error_text
from vortlink.hooks import (
    MessagePump,
    ProgressHandler,
    TransferKind,
    set_message_pump,
    set_progress_handler,
)
from vortlink.lighthead import LedParameters, LightheadData


def get_dll_version() -> int:
    """The library's version packed in 16 bits (``tkcmdset_get_dll_version``): high byte the
    major version, low byte the minor version, e.g. 0x0100 for 1.0.0."""
    return int(library().tkcmdset_get_dll_version())


def library_path() -> str:
    """The file or name the library was loaded from (loading it if need be)."""
    return library().path


__all__ = [
    "PRODUCT_NAME",
    "SONAME",
    "Controller",
    "IpSettings",
    "LedParameters",
    "LightheadData",
    "MessagePump",
    "ProgressHandler",
    "Pulse",
    "Repeat",
    "Status",
    "TransferKind",
    "TriggerMap",
    "VortlinkError",
    "error_name",
    "error_text",
    "float_from_bits",
    "get_dll_version",
    "library_path",
    "set_message_pump",
    "set_progress_handler",
]
