"""A controller reached through one device slot of the library."""

from __future__ import annotations

import ctypes
import ipaddress
import math
import struct
import threading
import weakref
from ctypes import byref, c_float, c_uint8, c_uint16, c_uint32
from types import TracebackType
from typing import Any, Literal, NamedTuple

from vortlink._native import (
    BLOCK_LENGTH_MAX,
    DEVICE_TEXT_MAX,
    ECHO_SIZE,
    IDENTITY_TEXT_SIZE,
    MAC_SIZE,
    SLOT_COUNT,
    LightheadDataStruct,
    library,
)
from vortlink.errors import check
from vortlink.hooks import raise_pending
from vortlink.lighthead import LightheadData

#: The product string of a Quorrel controller on the USB bus.
PRODUCT_NAME = "Kv Quorrel Controller"

Transport = Literal["tcp", "usb"]
IPv4Like = ipaddress.IPv4Address | str | int


class Pulse(NamedTuple):
    """A channel's pulse set-up: width and delay in the controller's units, current in A."""

    width: int
    delay: int
    current: float


class Repeat(NamedTuple):
    """A channel's repeat values, in the controller's meaning."""

    value32: int
    value16: int


class TriggerMap(NamedTuple):
    """The two maps of a trigger index."""

    map_1: int
    map_2: int


class IpSettings(NamedTuple):
    """The controller's three IPv4 setting words, as addresses."""

    ip_1: ipaddress.IPv4Address
    ip_2: ipaddress.IPv4Address
    ip_3: ipaddress.IPv4Address


def float_from_bits(value: int) -> float:
    """The IEEE-754 single whose bits are ``value``: for thermal answers the controller gives
    as float bits."""
    return struct.unpack("<f", struct.pack("<I", value & 0xFFFFFFFF))[0]


def _unsigned(value: int, bits: int, what: str) -> int:
    # ctypes would silently keep the low bits of a value that does not fit.
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not 0 <= value < (1 << bits):
        raise ValueError(f"{what} {value} does not fit in {bits} unsigned bits")
    return value


def _u8(value: int, what: str) -> int:
    return _unsigned(value, 8, what)


def _u16(value: int, what: str) -> int:
    return _unsigned(value, 16, what)


def _u32(value: int, what: str) -> int:
    return _unsigned(value, 32, what)


def _slot(slot: int) -> int:
    # The library would refuse a larger slot only at the first call.
    if _u8(slot, "slot") >= SLOT_COUNT:
        raise ValueError(f"slot {slot} is not a device slot (0 to {SLOT_COUNT - 1})")
    return slot


def _single(value: float, what: str) -> float:
    # The library takes a single-precision float: refused as quorrelctl refuses it, rather than
    # sent as infinity or NaN.
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{what} must be a finite number, not {number!r}")
    try:
        struct.pack("<f", number)
    except OverflowError:
        raise ValueError(f"{what} {number!r} is beyond single precision") from None
    return number


def _no_nul(text: str, what: str) -> str:
    # C reads a text up to its first NUL: what follows would silently be dropped.
    if "\0" in text:
        raise ValueError(f"{what} {text!r} contains a NUL character")
    return text


def _ip_word(value: IPv4Like, what: str) -> int:
    if isinstance(value, int) and not isinstance(value, bool):
        return _u32(value, what)
    return int(ipaddress.IPv4Address(value))


def _mac_bytes(mac: bytes | bytearray | str) -> bytes:
    if isinstance(mac, str):
        parts = mac.replace("-", ":").split(":")
        if len(parts) != MAC_SIZE or not all(len(part) == 2 for part in parts):
            raise ValueError(f"{mac!r} is not a MAC address of the form 02:4c:51:00:00:01")
        return bytes(int(part, 16) for part in parts)
    if len(mac) != MAC_SIZE:
        raise ValueError(f"a MAC address has {MAC_SIZE} bytes, not {len(mac)}")
    return bytes(mac)


def _device_text(text: str, what: str) -> bytes:
    # The library compares a USB string one byte per character, its Latin-1 code, which is how
    # serial_number() reads it back.
    try:
        encoded = _no_nul(text, what).encode("latin-1")
    except UnicodeEncodeError:
        raise ValueError(f"{what} {text!r} has characters beyond Latin-1, which no controller "
                         "string can match") from None
    if len(encoded) > DEVICE_TEXT_MAX:
        raise ValueError(f"{what} is longer than {DEVICE_TEXT_MAX} bytes")
    return encoded


def _block(data: bytes | bytearray | memoryview) -> ctypes.Array[c_uint8]:
    length = len(data)
    if length > BLOCK_LENGTH_MAX:
        raise ValueError(f"a block has at most {BLOCK_LENGTH_MAX} bytes, not {length}")
    return (c_uint8 * max(length, 1)).from_buffer_copy(bytes(data) or b"\0")


def _length(length: int) -> int:
    return _unsigned(length, 16, "length")


_slots_lock = threading.Lock()
_slots_held: weakref.WeakValueDictionary[int, Controller] = weakref.WeakValueDictionary()


class Controller:
    """One device slot (0 to 49) of the library and the controller opened on it.

    Open it with :meth:`tcp` or :meth:`usb` and use it as a context manager, which closes the
    slot on leaving. Every command of the library is a method named after its export without
    the ``tkcmdset_`` prefix; a failure raises :class:`vortlink.VortlinkError`. A slot is held
    by at most one open ``Controller`` of the process.

    Exchanges on one slot are serialised by the library, so a controller may be used from
    several threads; opening and closing it must be done from one thread at a time.
    """

    def __init__(self, slot: int) -> None:
        """Takes ``slot`` without opening anything: call :meth:`connect` or :meth:`init_ex`.

        Raises ``ValueError`` for a slot above 49, or when another open ``Controller`` of this
        process holds the slot.
        """
        self._slot: int = _slot(slot)
        self._transport: Transport | None = None
        self._closed = False
        with _slots_lock:
            holder = _slots_held.get(self._slot)
            if holder is not None and not holder.closed:
                raise ValueError(f"slot {self._slot} is held by {holder!r}")
            _slots_held[self._slot] = self

    @classmethod
    def tcp(cls, host: str | ipaddress.IPv4Address, slot: int = 0) -> Controller:
        """Opens ``slot`` over TCP to the controller at ``host`` (IPv4 address or host name).

        The port is the library's "TCP Port" setting (default 1234).
        """
        controller = cls(slot)
        try:
            controller.connect(host)
        except BaseException:
            controller._release()
            raise
        return controller

    @classmethod
    def usb(
        cls, index: int = 0, *, serial: str | None = None, name: str = PRODUCT_NAME
    ) -> Controller:
        """Opens slot ``index`` on a USB controller.

        Without ``serial`` the ``index``-th controller whose product string is ``name`` (counting
        from 0) is opened; with ``serial`` the controller with that serial number, and ``index``
        only names the slot. With ``VORTLINK_HID_SIM`` set the library uses a running
        ``quorrel-sim``'s simulated bus.
        """
        controller = cls(index)
        try:
            controller.init_ex(name, serial)
        except BaseException:
            controller._release()
            raise
        return controller

    @property
    def slot(self) -> int:
        """The device slot."""
        return self._slot

    @property
    def transport(self) -> Transport | None:
        """How the slot was opened: "tcp", "usb", or None before it was."""
        return self._transport

    @property
    def closed(self) -> bool:
        """True once :meth:`close` was called."""
        return self._closed

    def __repr__(self) -> str:
        state = "closed" if self._closed else self._transport or "not open"
        return f"<vortlink.Controller slot {self._slot} {state}>"

    def __enter__(self) -> Controller:
        """The controller itself."""
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Closes the slot (see :meth:`close`), whether or not the block raised."""
        self.close()

    def close(self) -> None:
        """Closes the slot: its USB device is closed (``tkcmdset_shutdown``) and the slot is
        free for another ``Controller``. Later commands raise ``ValueError``.

        The library has no export that ends a slot's TCP connection: it stays open until the
        slot is connected again or the process ends.
        """
        if not self._closed:
            self._release()
            check(library().tkcmdset_shutdown(self._slot))

    def _release(self) -> None:
        self._closed = True
        with _slots_lock:
            if _slots_held.get(self._slot) is self:
                del _slots_held[self._slot]

    def _call(self, export: str, *arguments: Any) -> None:
        if self._closed:
            raise ValueError(f"slot {self._slot} is closed")
        function = getattr(library(), export)
        status = function(self._slot, *arguments)
        raise_pending()
        check(status)

    # ---- Opening and closing ------------------------------------------------------------

    def connect(self, host: str | ipaddress.IPv4Address) -> None:
        """Connects the slot to the controller's command server at ``host`` over TCP."""
        self._call("tkcmdset_connect", 0, _no_nul(str(host), "host").encode("utf-8"))
        self._transport = "tcp"

    def init_ex(self, name: str = PRODUCT_NAME, serial: str | None = None) -> None:
        """Opens the slot on the USB controller named ``name`` (see :meth:`usb`)."""
        encoded_serial = None if serial is None else _device_text(serial, "serial number")
        self._call("tkcmdset_init_ex", _device_text(name, "device name"), encoded_serial)
        self._transport = "usb"

    def set_feature(self, feature: int) -> None:
        """Sends the USB feature report that switches the firmware: 1 boot loader,
        2 application."""
        self._call("tkcmdset_set_feature", _u16(feature, "feature"))

    def shutdown(self) -> None:
        """Closes the slot's USB device and keeps the ``Controller`` usable (see :meth:`close`)."""
        self._call("tkcmdset_shutdown")

    # ---- Identity and status ------------------------------------------------------------

    def status(self) -> int:
        """The controller's 16-bit status word."""
        word = c_uint16()
        self._call("tkcmdset_status", byref(word))
        return word.value

    def _identity(self, export: str) -> str:
        text = ctypes.create_string_buffer(IDENTITY_TEXT_SIZE)
        self._call(export, text)
        # One byte per character, its Latin-1 code.
        return text.value.decode("latin-1")

    def fw_version(self) -> str:
        """The firmware version text."""
        return self._identity("tkcmdset_fw_version")

    def hw_version(self) -> str:
        """The hardware version (over TCP the manufacturing block's part number)."""
        return self._identity("tkcmdset_hw_version")

    def serial_number(self) -> str:
        """The controller's serial number."""
        return self._identity("tkcmdset_serial_number")

    def echo(self, data: bytes) -> bytes:
        """Sends ``data`` (at most 200 bytes, zero-filled to 200) and returns the 200-byte echo.

        Over TCP only the first 50 bytes travel each way.
        """
        if len(data) > ECHO_SIZE:
            raise ValueError(f"echo takes at most {ECHO_SIZE} bytes, not {len(data)}")
        request = (c_uint8 * ECHO_SIZE).from_buffer_copy(bytes(data).ljust(ECHO_SIZE, b"\0"))
        reply = (c_uint8 * ECHO_SIZE)()
        self._call("tkcmdset_echo", request, reply)
        return bytes(reply)

    def run_diags(self, test: int) -> None:
        """Runs built-in diagnostic ``test``; a failed test raises with the controller's code."""
        self._call("tkcmdset_run_diags", _u8(test, "test"))

    def special(self, code: int, param: int = 0) -> int:
        """Runs controller special function ``code`` with ``param``; returns its answer."""
        result = c_uint32()
        self._call("tkcmdset_special", _u16(code, "code"), _u32(param, "param"), byref(result))
        return result.value

    def execute(self, address: int) -> None:
        """Makes the controller run code at ``address``."""
        self._call("tkcmdset_execute", _u32(address, "address"))

    # ---- Analog and digital I/O, memory and EEPROM --------------------------------------

    def set_an_out(self, channel: int, value: int) -> None:
        """Sets analog output ``channel`` to ``value`` (16 bits)."""
        self._call("tkcmdset_set_an_out", _u8(channel, "channel"), _u16(value, "value"))

    def get_an_out(self, channel: int) -> int:
        """The value of analog output ``channel``."""
        value = c_uint16()
        self._call("tkcmdset_get_an_out", _u8(channel, "channel"), byref(value))
        return value.value

    def get_an_in(self, channel: int) -> int:
        """The raw value of analog input ``channel``."""
        value = c_uint16()
        self._call("tkcmdset_get_an_in", _u8(channel, "channel"), byref(value))
        return value.value

    def get_volts(self, channel: int) -> float:
        """Analog input ``channel`` in volts."""
        volts = c_float()
        self._call("tkcmdset_get_volts", _u8(channel, "channel"), byref(volts))
        return volts.value

    def set_dig_out(self, output: int, state: bool | int) -> None:
        """Sets digital ``output`` to ``state``."""
        self._call("tkcmdset_set_dig_out", _u8(output, "output"), _u8(int(state), "state"))

    def get_dig_out(self, output: int) -> bool:
        """The state of digital ``output``."""
        state = c_uint8()
        self._call("tkcmdset_get_dig_out", _u8(output, "output"), byref(state))
        return bool(state.value)

    def get_dig_in(self, input: int) -> bool:
        """The state of digital ``input``."""
        state = c_uint8()
        self._call("tkcmdset_get_dig_in", _u8(input, "input"), byref(state))
        return bool(state.value)

    def write_mem(self, address: int, value: int) -> None:
        """Writes one byte of controller memory."""
        self._call("tkcmdset_write_mem", _u32(address, "address"), _u8(value, "value"))

    def read_mem(self, address: int) -> int:
        """Reads one byte of controller memory."""
        value = c_uint8()
        self._call("tkcmdset_read_mem", _u32(address, "address"), byref(value))
        return value.value

    def write_mem_block(self, address: int, data: bytes) -> None:
        """Writes ``data`` (at most 65535 bytes) to controller memory at ``address``."""
        buffer = _block(data)
        self._call("tkcmdset_write_mem_block", _u32(address, "address"), buffer, len(data))

    def read_mem_block(self, address: int, length: int) -> bytes:
        """Reads ``length`` bytes (at most 65535) of controller memory at ``address``."""
        buffer = (c_uint8 * max(_length(length), 1))()
        self._call("tkcmdset_read_mem_block", _u32(address, "address"), buffer, length)
        return bytes(buffer)[:length]

    def write_eemem_block(self, address: int, data: bytes) -> None:
        """Writes ``data`` (at most 65535 bytes) to the EEPROM at 16-bit ``address``."""
        buffer = _block(data)
        self._call("tkcmdset_write_eemem_block", _u16(address, "address"), buffer, len(data))

    def read_eemem_block(self, address: int, length: int) -> bytes:
        """Reads ``length`` bytes (at most 65535) of the EEPROM at 16-bit ``address``."""
        buffer = (c_uint8 * max(_length(length), 1))()
        self._call("tkcmdset_read_eemem_block", _u16(address, "address"), buffer, length)
        return bytes(buffer)[:length]

    # ---- Pulse, trigger, supplies, network ----------------------------------------------

    def set_pulse(self, channel: int, width: int, delay: int, current: float) -> None:
        """Sets ``channel``'s pulse: width and delay in the controller's units, current in A."""
        self._call(
            "tkcmdset_set_pulse",
            _u8(channel, "channel"),
            _u32(width, "width"),
            _u16(delay, "delay"),
            _single(current, "current"),
        )

    def get_pulse(self, channel: int) -> Pulse:
        """``channel``'s pulse set-up."""
        width, delay, current = c_uint32(), c_uint16(), c_float()
        self._call(
            "tkcmdset_get_pulse", _u8(channel, "channel"), byref(width), byref(delay), byref(current)
        )
        return Pulse(width.value, delay.value, current.value)

    def set_repeat(self, channel: int, value32: int, value16: int) -> None:
        """Sets ``channel``'s repeat values."""
        self._call(
            "tkcmdset_set_repeat",
            _u8(channel, "channel"),
            _u32(value32, "value32"),
            _u16(value16, "value16"),
        )

    def get_repeat(self, channel: int) -> Repeat:
        """``channel``'s repeat values."""
        value32, value16 = c_uint32(), c_uint16()
        self._call("tkcmdset_get_repeat", _u8(channel, "channel"), byref(value32), byref(value16))
        return Repeat(value32.value, value16.value)

    def set_trigger_map(self, index: int, map_1: int, map_2: int) -> None:
        """Sets the two maps of trigger ``index``."""
        self._call(
            "tkcmdset_set_trigger_map", _u8(index, "index"), _u8(map_1, "map_1"), _u8(map_2, "map_2")
        )

    def get_trigger_map(self, index: int) -> TriggerMap:
        """The two maps of trigger ``index``."""
        map_1, map_2 = c_uint8(), c_uint8()
        self._call("tkcmdset_get_trigger_map", _u8(index, "index"), byref(map_1), byref(map_2))
        return TriggerMap(map_1.value, map_2.value)

    def set_gate_map(self, index: int, map_1: int, map_2: int) -> None:
        """Sets the two maps of gate ``index``."""
        self._call(
            "tkcmdset_set_gate_map", _u8(index, "index"), _u8(map_1, "map_1"), _u8(map_2, "map_2")
        )

    def set_hv_supply(self, index: int, volts: float) -> None:
        """Sets high-voltage supply ``index`` to ``volts``."""
        self._call("tkcmdset_set_hv_supply", _u8(index, "index"), _single(volts, "volts"))

    def get_hv_supply(self, index: int) -> float:
        """High-voltage supply ``index`` in volts."""
        volts = c_float()
        self._call("tkcmdset_get_hv_supply", _u8(index, "index"), byref(volts))
        return volts.value

    def set_lv_supply(self, index: int, volts: float) -> None:
        """Sets low-voltage supply ``index`` to ``volts`` (over TCP only three bytes of the
        float travel)."""
        self._call("tkcmdset_set_lv_supply", _u8(index, "index"), _single(volts, "volts"))

    def get_lv_supply(self, index: int) -> float:
        """Low-voltage supply ``index`` in volts (over TCP the index is not sent)."""
        volts = c_float()
        self._call("tkcmdset_get_lv_supply", _u8(index, "index"), byref(volts))
        return volts.value

    def trigger(self, index: int) -> None:
        """Fires software trigger ``index``."""
        self._call("tkcmdset_trigger", _u8(index, "index"))

    def set_pulse_out(self, index: int, setting: int) -> None:
        """Sets pulse output ``index`` (over TCP only the index is sent)."""
        self._call("tkcmdset_set_pulse_out", _u8(index, "index"), _u8(setting, "setting"))

    def get_pulse_out(self, index: int) -> int:
        """The setting of pulse output ``index`` (over TCP the index is not sent)."""
        setting = c_uint8()
        self._call("tkcmdset_get_pulse_out", _u8(index, "index"), byref(setting))
        return setting.value

    def set_ip(self, ip_1: IPv4Like, ip_2: IPv4Like, ip_3: IPv4Like) -> None:
        """Sets the controller's three IPv4 setting words (addresses, strings or 32-bit ints)."""
        self._call(
            "tkcmdset_set_ip",
            _ip_word(ip_1, "ip_1"),
            _ip_word(ip_2, "ip_2"),
            _ip_word(ip_3, "ip_3"),
        )

    def get_ip(self) -> IpSettings:
        """The controller's three IPv4 setting words as addresses."""
        words = (c_uint32(), c_uint32(), c_uint32())
        self._call("tkcmdset_get_ip", *(byref(word) for word in words))
        return IpSettings(*(ipaddress.IPv4Address(word.value) for word in words))

    def set_mac(self, mac: bytes | str) -> None:
        """Sets the MAC address: 6 bytes, or text such as "02:4c:51:00:00:01"."""
        self._call("tkcmdset_set_mac", (c_uint8 * MAC_SIZE).from_buffer_copy(_mac_bytes(mac)))

    def get_mac(self) -> bytes:
        """The MAC address, 6 bytes, first byte first (``mac.hex(":")`` writes it out)."""
        mac = (c_uint8 * MAC_SIZE)()
        self._call("tkcmdset_get_mac", mac)
        return bytes(mac)

    # ---- Lighthead data record ----------------------------------------------------------

    def set_lighthead_data(self, record: LightheadData) -> None:
        """Writes the lighthead record (``programmed_on`` is stamped by the library)."""
        self._call("tkcmdset_set_lighthead_data", byref(record.to_struct()))

    def get_lighthead_data(self) -> LightheadData:
        """Reads the lighthead record."""
        record = LightheadDataStruct()
        self._call("tkcmdset_get_lighthead_data", byref(record))
        return LightheadData.from_struct(record)

    # ---- Thermal limit queries ----------------------------------------------------------
    # The answers are passed on as the controller encodes them (an integer or float bits);
    # float_from_bits reads the latter.

    def calc_led_temp(self, channel: int, width: int, current: float) -> int:
        """The LED temperature one pulse reaches, as the controller encodes it (32 bits)."""
        result = c_uint32()
        self._call(
            "tkcmdset_calc_led_temp",
            _u8(channel, "channel"),
            _u32(width, "width"),
            _single(current, "current"),
            byref(result),
        )
        return result.value

    def calc_max_width(self, channel: int, current: float) -> int:
        """The longest pulse at ``current``, as the controller encodes it (32 bits)."""
        result = c_uint32()
        self._call("tkcmdset_calc_max_width", _u8(channel, "channel"), _single(current, "current"), byref(result))
        return result.value

    def calc_max_current(self, channel: int, width: int) -> int:
        """The highest current for ``width``, as the controller encodes it (32 bits)."""
        result = c_uint32()
        self._call(
            "tkcmdset_calc_max_current", _u8(channel, "channel"), _u32(width, "width"), byref(result)
        )
        return result.value

    def calc_max_freq(self, channel: int, width: int, current: float) -> int:
        """The highest repetition frequency, as the controller encodes it (16 bits)."""
        result = c_uint16()
        self._call(
            "tkcmdset_calc_max_freq",
            _u8(channel, "channel"),
            _u32(width, "width"),
            _single(current, "current"),
            byref(result),
        )
        return result.value

    def calc_supply_voltage(self, channel: int, width: int, current: float) -> int:
        """The supply voltage the pulse needs, as the controller encodes it (32 bits)."""
        result = c_uint32()
        self._call(
            "tkcmdset_calc_supply_voltage",
            _u8(channel, "channel"),
            _u32(width, "width"),
            _single(current, "current"),
            byref(result),
        )
        return result.value
