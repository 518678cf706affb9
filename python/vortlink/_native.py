"""Loading ``libvortlink`` and declaring the C prototypes of its exports.

Everything that knows the C side lives here: the library's file name, the ``ctypes`` mirror of
``LedParameters`` and ``LightheadData``, the hook function types and one prototype per export.
The rest of the package calls the exports only through :func:`library`.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from ctypes import (
    CFUNCTYPE,
    POINTER,
    c_char,
    c_char_p,
    c_float,
    c_int,
    c_int16,
    c_int32,
    c_uint8,
    c_uint16,
    c_uint32,
    c_void_p,
)
from typing import Any, Final

try:
    # An installed package knows the SONAME of the library installed with it.
    from vortlink._soname import SONAME
except ImportError:
    #: The library's file name as the dynamic loader knows it (its SONAME; on Windows the DLL's
    #: name, found by the system's search for a DLL of that name).
    SONAME = "vortlink.dll" if sys.platform == "win32" else "libvortlink.so.1"

#: Environment variable naming the library file to load instead of the installed one.
LIBRARY_ENVIRONMENT: Final = "VORTLINK_LIBRARY"

#: Device slots 0 to 49.
SLOT_COUNT: Final = 50
#: An identity text: up to 100 characters and the terminating zero.
IDENTITY_TEXT_SIZE: Final = 101
#: The echo command sends and receives 200 bytes.
ECHO_SIZE: Final = 200
#: A MAC address.
MAC_SIZE: Final = 6
#: Longest block transfer.
BLOCK_LENGTH_MAX: Final = 0xFFFF
#: Longest device name or serial number that tkcmdset_init_ex takes.
DEVICE_TEXT_MAX: Final = 125
#: LED groups in a lighthead record.
LED_GROUP_COUNT: Final = 4


class LedParametersStruct(ctypes.Structure):
    """``LedParameters``: one LED group of the lighthead, 60 bytes."""

    _fields_ = [
        ("led_rth", c_float),
        ("tau", c_float),
        ("vf_slope", c_float),
        ("vf_offset", c_float),
        ("tj_max", c_float),
        ("string_count", c_int32),
        ("leds_per_string", c_int32),
        ("heatsink_rth", c_float),
        ("default_current", c_float),
        ("max_pulse_current", c_float),
        ("max_cont_current", c_float),
        ("reserved", c_uint8 * 16),
    ]


class LightheadDataStruct(ctypes.Structure):
    """``LightheadData``: the lighthead record, 376 bytes."""

    _fields_ = [
        ("part_number", c_char * 16),
        ("programmed_on", c_char * 20),
        ("reserved", c_uint8 * 100),
        ("led", LedParametersStruct * LED_GROUP_COUNT),
    ]


#: ``int (*pump)(void *context)``
MessagePumpFunction = CFUNCTYPE(c_int, c_void_p)
#: ``void (*handler)(void *context, uint32_t kind, uint32_t address)``
ProgressHandlerFunction = CFUNCTYPE(None, c_void_p, c_uint32, c_uint32)

_text = POINTER(c_char)
_bytes = POINTER(c_uint8)
_u8p = POINTER(c_uint8)
_u16p = POINTER(c_uint16)
_u32p = POINTER(c_uint32)
_f32p = POINTER(c_float)

#: Return type and argument types of every export, in the header's order.
PROTOTYPES: Final[dict[str, tuple[Any, tuple[Any, ...]]]] = {
    "tkcmdset_set_message_pump": (c_int16, (MessagePumpFunction, c_void_p)),
    "tkcmdset_set_progress_handler": (c_int16, (ProgressHandlerFunction, c_void_p)),
    "tkcmdset_connect": (c_int16, (c_uint8, c_int32, c_char_p)),
    "tkcmdset_init_ex": (c_int16, (c_uint8, c_char_p, c_char_p)),
    "tkcmdset_set_feature": (c_int16, (c_uint8, c_uint16)),
    "tkcmdset_shutdown": (c_int16, (c_uint8,)),
    "tkcmdset_status": (c_int16, (c_uint8, _u16p)),
    "tkcmdset_fw_version": (c_int16, (c_uint8, _text)),
    "tkcmdset_hw_version": (c_int16, (c_uint8, _text)),
    "tkcmdset_serial_number": (c_int16, (c_uint8, _text)),
    "tkcmdset_echo": (c_int16, (c_uint8, _bytes, _bytes)),
    "tkcmdset_run_diags": (c_int16, (c_uint8, c_uint8)),
    "tkcmdset_special": (c_int16, (c_uint8, c_uint16, c_uint32, _u32p)),
    "tkcmdset_execute": (c_int16, (c_uint8, c_uint32)),
    "tkcmdset_set_an_out": (c_int16, (c_uint8, c_uint8, c_uint16)),
    "tkcmdset_get_an_out": (c_int16, (c_uint8, c_uint8, _u16p)),
    "tkcmdset_get_an_in": (c_int16, (c_uint8, c_uint8, _u16p)),
    "tkcmdset_get_volts": (c_int16, (c_uint8, c_uint8, _f32p)),
    "tkcmdset_set_dig_out": (c_int16, (c_uint8, c_uint8, c_uint8)),
    "tkcmdset_get_dig_out": (c_int16, (c_uint8, c_uint8, _u8p)),
    "tkcmdset_get_dig_in": (c_int16, (c_uint8, c_uint8, _u8p)),
    "tkcmdset_write_mem": (c_int16, (c_uint8, c_uint32, c_uint8)),
    "tkcmdset_read_mem": (c_int16, (c_uint8, c_uint32, _u8p)),
    "tkcmdset_write_mem_block": (c_int16, (c_uint8, c_uint32, _bytes, c_uint16)),
    "tkcmdset_read_mem_block": (c_int16, (c_uint8, c_uint32, _bytes, c_uint16)),
    "tkcmdset_write_eemem_block": (c_int16, (c_uint8, c_uint16, _bytes, c_uint16)),
    "tkcmdset_read_eemem_block": (c_int16, (c_uint8, c_uint16, _bytes, c_uint16)),
    "tkcmdset_set_pulse": (c_int16, (c_uint8, c_uint8, c_uint32, c_uint16, c_float)),
    "tkcmdset_get_pulse": (c_int16, (c_uint8, c_uint8, _u32p, _u16p, _f32p)),
    "tkcmdset_set_repeat": (c_int16, (c_uint8, c_uint8, c_uint32, c_uint16)),
    "tkcmdset_get_repeat": (c_int16, (c_uint8, c_uint8, _u32p, _u16p)),
    "tkcmdset_set_trigger_map": (c_int16, (c_uint8, c_uint8, c_uint8, c_uint8)),
    "tkcmdset_get_trigger_map": (c_int16, (c_uint8, c_uint8, _u8p, _u8p)),
    "tkcmdset_set_gate_map": (c_int16, (c_uint8, c_uint8, c_uint8, c_uint8)),
    "tkcmdset_set_hv_supply": (c_int16, (c_uint8, c_uint8, c_float)),
    "tkcmdset_get_hv_supply": (c_int16, (c_uint8, c_uint8, _f32p)),
    "tkcmdset_set_lv_supply": (c_int16, (c_uint8, c_uint8, c_float)),
    "tkcmdset_get_lv_supply": (c_int16, (c_uint8, c_uint8, _f32p)),
    "tkcmdset_trigger": (c_int16, (c_uint8, c_uint8)),
    "tkcmdset_set_pulse_out": (c_int16, (c_uint8, c_uint8, c_uint8)),
    "tkcmdset_get_pulse_out": (c_int16, (c_uint8, c_uint8, _u8p)),
    "tkcmdset_set_ip": (c_int16, (c_uint8, c_uint32, c_uint32, c_uint32)),
    "tkcmdset_get_ip": (c_int16, (c_uint8, _u32p, _u32p, _u32p)),
    "tkcmdset_set_mac": (c_int16, (c_uint8, _bytes)),
    "tkcmdset_get_mac": (c_int16, (c_uint8, _bytes)),
    "tkcmdset_set_lighthead_data": (c_int16, (c_uint8, POINTER(LightheadDataStruct))),
    "tkcmdset_get_lighthead_data": (c_int16, (c_uint8, POINTER(LightheadDataStruct))),
    "tkcmdset_calc_led_temp": (c_int16, (c_uint8, c_uint8, c_uint32, c_float, _u32p)),
    "tkcmdset_calc_max_width": (c_int16, (c_uint8, c_uint8, c_float, _u32p)),
    "tkcmdset_calc_max_current": (c_int16, (c_uint8, c_uint8, c_uint32, _u32p)),
    "tkcmdset_calc_max_freq": (c_int16, (c_uint8, c_uint8, c_uint32, c_float, _u16p)),
    "tkcmdset_calc_supply_voltage": (c_int16, (c_uint8, c_uint8, c_uint32, c_float, _u32p)),
    "tkcmdset_get_error_name": (c_int16, (c_int16, _text, c_uint16)),
    "tkcmdset_get_error_text": (c_int16, (c_int16, _text, c_uint16)),
    "tkcmdset_get_dll_version": (c_uint16, ()),
}


class Library:
    """The loaded library: one attribute per export, named as the export, with its prototype."""

    def __init__(self, path: str) -> None:
        """Loads the library at ``path`` (a file path or a name for the dynamic loader)."""
        self.path: str = path
        self.handle: ctypes.CDLL = ctypes.CDLL(path)
        for name, (restype, argtypes) in PROTOTYPES.items():
            function = getattr(self.handle, name)
            function.restype = restype
            function.argtypes = list(argtypes)
            setattr(self, name, function)

    def __getattr__(self, name: str) -> Any:
        # Only reached for names the constructor did not set: an export without a prototype.
        raise AttributeError(f"{name} is not an export this package declares")


_lock = threading.Lock()
_loaded: Library | None = None


def library_file() -> str:
    """The library this process loads: ``$VORTLINK_LIBRARY`` when set, else the SONAME."""
    return os.environ.get(LIBRARY_ENVIRONMENT) or SONAME


def library() -> Library:
    """The library, loaded on first use. Raises ``OSError`` when it cannot be loaded."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = Library(library_file())
        return _loaded
