"""Every export of the built library is declared as the header says and reached by the package.

The exports come from the library's dynamic symbol table, the prototypes from the header; a new
export without a row below fails here.
"""

from __future__ import annotations

import ctypes
import os
import re
import subprocess
from collections.abc import Callable, Iterator
from ctypes import POINTER, c_char, c_char_p, c_float, c_int, c_int16, c_int32, c_void_p
from ctypes import c_uint8, c_uint16, c_uint32
from typing import Any

import pytest
import vortlink
from conftest import HEADER, Simulator, short_directory, start_simulator
from vortlink import IpSettings, Pulse, Repeat, Status, TransferKind, VortlinkError, float_from_bits
from vortlink._native import PROTOTYPES, LightheadDataStruct, library

SCALARS = {"int16_t": c_int16, "int32_t": c_int32, "uint8_t": c_uint8, "uint16_t": c_uint16,
           "uint32_t": c_uint32, "float": c_float, "int": c_int, "void *": c_void_p,
           "char *": POINTER(c_char), "const char *": c_char_p, "void": None}


def c_type(declaration: str) -> Any:
    """The ctypes type of one header parameter or return type."""
    pointer = re.fullmatch(r"(\w+)\s*\(\*\s*\w+\)\s*\((.*)\)", declaration)
    if pointer:
        return ("function", c_type(pointer[1]), tuple(map(c_type, split(pointer[2]))))
    declaration = re.sub(r"\s*\b\w+$", "", declaration) if " " in declaration else declaration
    declaration = re.sub(r"\s*\*$", " *", declaration.strip())
    if declaration in SCALARS:
        return SCALARS[declaration]
    target = declaration.removeprefix("const ").removesuffix(" *")
    return POINTER(LightheadDataStruct if target == "LightheadData" else SCALARS[target])


def split(parameters: str) -> list[str]:
    parts, depth, current = [], 0, ""
    for character in parameters:
        depth += {"(": 1, ")": -1}.get(character, 0)
        if character == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += character
    return [part for part in parts + [current.strip()] if part and part != "void"]


def header_prototypes() -> dict[str, tuple[Any, tuple[Any, ...]]]:
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S)
    found = re.findall(r"VORTLINK_API\s+([\w ]+?)\s*(tkcmdset_\w+)\s*\((.*?)\)\s*;", text, re.S)
    return {name: (c_type(result), tuple(map(c_type, split(" ".join(parameters.split())))))
            for result, name, parameters in found}


def exported_symbols() -> list[str]:
    listing = subprocess.run(["nm", "-D", "--defined-only", os.environ["VORTLINK_LIBRARY"]],
                             check=True, capture_output=True, text=True).stdout
    return sorted(set(re.findall(r"\b(tkcmdset_\w+)$", listing, re.M)))


def as_declared(ctypes_type: Any) -> Any:
    if isinstance(ctypes_type, type) and issubclass(ctypes_type, ctypes._CFuncPtr):
        return ("function", ctypes_type._restype_, tuple(ctypes_type._argtypes_))
    return ctypes_type


def test_the_header_declares_every_export() -> None:
    assert sorted(header_prototypes()) == exported_symbols()


@pytest.mark.parametrize("export", exported_symbols())
def test_the_package_declares_the_header_prototype(export: str) -> None:
    assert export in PROTOTYPES, f"{export} has no prototype in the package"
    result, arguments = PROTOTYPES[export]
    assert (result, tuple(map(as_declared, arguments))) == header_prototypes()[export]


def last_frame(sim: Simulator) -> str:
    return sim.command("frames").split()[-1]


def failure(call: Callable[[], Any]) -> int:
    with pytest.raises(VortlinkError) as raised:
        call()
    return raised.value.code


def progress_of_read(c: vortlink.Controller) -> list[tuple[int, int]]:
    seen: list[tuple[int, int]] = []
    vortlink.set_progress_handler(lambda kind, address: seen.append((kind, address)))
    c.read_eemem_block(0x40, 10)
    return seen


def pump_turns(c: vortlink.Controller, sim: Simulator) -> bool:
    turns: list[int] = []
    vortlink.set_message_pump(lambda: turns.append(1) or False)
    sim.command("delay 50")
    return c.status() == 0x1234 and len(turns) > 0


def lighthead_written(c: vortlink.Controller) -> tuple[str, float]:
    record = c.get_lighthead_data()
    record.part_number, record.led[1].led_rth = "LH-TEST-16-BYTES", 1.5
    c.set_lighthead_data(record)
    again = c.get_lighthead_data()
    return again.part_number, again.led[1].led_rth


def catalogue_entry(code: int, key: str) -> str:
    return vortlink.error_name(code) if key == "Name" else vortlink.error_text(code)


def version_word_of_file_name() -> int:
    # libvortlink.so.MAJOR.MINOR.PATCH: the word holds MAJOR in its high byte, MINOR in its low
    major, minor = os.path.realpath(os.environ["VORTLINK_LIBRARY"]).split(".so.")[1].split(".")[:2]
    return int(major) << 8 | int(minor)


approx = pytest.approx
Row = tuple[str, Callable[[vortlink.Controller, Simulator], Any], Any]
# export: (transport, call through the package, expected result)
ROWS: dict[str, Row] = {
    "tkcmdset_set_message_pump": ("tcp", lambda c, s: pump_turns(c, s), True),
    "tkcmdset_set_progress_handler": ("tcp", lambda c, s: progress_of_read(c),
                                      [(TransferKind.EEPROM_READ, 0x40)]),
    "tkcmdset_connect": ("tcp", lambda c, s: (c.connect("127.0.0.1"), c.status()), (None, 0x1234)),
    "tkcmdset_init_ex": ("usb", lambda c, s: (c.init_ex(), c.serial_number()), (None, "Q0000001")),
    "tkcmdset_set_feature": ("usb", lambda c, s: (c.set_feature(7), s.command("features"))[1][:8],
                             "1 050007"),
    "tkcmdset_shutdown": ("usb", lambda c, s: (c.shutdown(), failure(c.status))[1],
                          Status.NO_USB_DEVICE),
    "tkcmdset_status": ("tcp", lambda c, s: c.status(), 0x1234),
    "tkcmdset_fw_version": ("usb", lambda c, s: c.fw_version(), "QRL-APP 1.04"),
    "tkcmdset_hw_version": ("tcp", lambda c, s: c.hw_version(), "6400-000850"),
    "tkcmdset_serial_number": ("tcp", lambda c, s: c.serial_number(), "Q0000001"),
    "tkcmdset_echo": ("usb", lambda c, s: c.echo(bytes(range(1, 101)))[:100], bytes(range(1, 101))),
    "tkcmdset_run_diags": ("tcp", lambda c, s: (s.command("fail-diag 1 2 5"),
                                                failure(lambda: c.run_diags(2)))[1], 5),
    "tkcmdset_special": ("tcp", lambda c, s: c.special(81), 4400123),
    "tkcmdset_execute": ("tcp", lambda c, s: (c.execute(0x12345678), last_frame(s)[2:12]),
                         (None, "5612345678")),
    "tkcmdset_set_an_out": ("tcp", lambda c, s: (c.set_an_out(3, 0xBEEF), c.get_an_out(3)),
                            (None, 0xBEEF)),
    "tkcmdset_get_an_out": ("usb", lambda c, s: (c.set_an_out(4, 77), c.get_an_out(4))[1], 77),
    "tkcmdset_get_an_in": ("tcp", lambda c, s: (s.command("analog-in 1 2 1000"), c.get_an_in(2)),
                           ("", 1000)),
    "tkcmdset_get_volts": ("tcp", lambda c, s: c.get_volts(5), 5.0),
    "tkcmdset_set_dig_out": ("tcp", lambda c, s: (c.set_dig_out(2, True), c.get_dig_out(2)),
                             (None, True)),
    "tkcmdset_get_dig_out": ("tcp", lambda c, s: c.get_dig_out(9), False),
    "tkcmdset_get_dig_in": ("tcp", lambda c, s: (s.command("digital-in 1 4 7"), c.get_dig_in(4)),
                            ("", True)),
    "tkcmdset_write_mem": ("tcp", lambda c, s: (c.write_mem(0xFFFFF, 0x5A), c.read_mem(0xFFFFF)),
                           (None, 0x5A)),
    "tkcmdset_read_mem": ("usb", lambda c, s: (c.write_mem(0x10, 0xA5), c.read_mem(0x10))[1], 0xA5),
    "tkcmdset_write_mem_block": ("tcp", lambda c, s: (c.write_mem_block(0x2000, bytes(range(256)) * 2),
                                                      c.read_mem_block(0x2000, 512))[1],
                                 bytes(range(256)) * 2),
    "tkcmdset_read_mem_block": ("usb", lambda c, s: c.read_mem_block(0x70000, 300), bytes(300)),
    "tkcmdset_write_eemem_block": ("usb", lambda c, s: (c.write_eemem_block(0x8000, b"\x11" * 250),
                                                        c.read_eemem_block(0x7FFF, 252))[1],
                                   b"\xff" + b"\x11" * 250 + b"\xff"),
    "tkcmdset_read_eemem_block": ("tcp", lambda c, s: c.read_eemem_block(1024, 300)[2:8],
                                  bytes.fromhex("00050100 0f07")),
    "tkcmdset_set_pulse": ("tcp", lambda c, s: (c.set_pulse(1, 1000, 20, 2.5), c.get_pulse(1)),
                           (None, Pulse(1000, 20, 2.5))),
    "tkcmdset_get_pulse": ("usb", lambda c, s: c.get_pulse(200), Pulse(0, 0, 0.0)),
    "tkcmdset_set_repeat": ("tcp", lambda c, s: (c.set_repeat(1, 100000, 7), c.get_repeat(1))[1],
                            Repeat(100000, 7)),
    "tkcmdset_get_repeat": ("usb", lambda c, s: c.get_repeat(9), Repeat(0, 0)),
    "tkcmdset_set_trigger_map": ("tcp", lambda c, s: (c.set_trigger_map(2, 3, 4),
                                                      c.get_trigger_map(2))[1], (3, 4)),
    "tkcmdset_get_trigger_map": ("usb", lambda c, s: c.get_trigger_map(250), (0, 0)),
    "tkcmdset_set_gate_map": ("tcp", lambda c, s: (c.set_gate_map(2, 5, 6), last_frame(s)[2:10]),
                              (None, "8b020506")),
    "tkcmdset_set_hv_supply": ("tcp", lambda c, s: (c.set_hv_supply(1, 120.5),
                                                    c.get_hv_supply(1))[1], 120.5),
    "tkcmdset_get_hv_supply": ("usb", lambda c, s: c.get_hv_supply(7), 0.0),
    "tkcmdset_set_lv_supply": ("usb", lambda c, s: (c.set_lv_supply(3, 12.25),
                                                    c.get_lv_supply(3))[1], 12.25),
    "tkcmdset_get_lv_supply": ("tcp", lambda c, s: c.get_lv_supply(0), 0.0),
    "tkcmdset_trigger": ("tcp", lambda c, s: (c.trigger(3), last_frame(s)[2:6]), (None, "8803")),
    "tkcmdset_set_pulse_out": ("usb", lambda c, s: (c.set_pulse_out(2, 7), c.get_pulse_out(2))[1], 7),
    "tkcmdset_get_pulse_out": ("tcp", lambda c, s: c.get_pulse_out(0), 0),
    "tkcmdset_set_ip": ("tcp", lambda c, s: (c.set_ip("10.0.0.5", "255.0.0.0", 0x0A000001),
                                             c.get_ip())[1],
                        IpSettings(*map(vortlink.controller.ipaddress.IPv4Address,
                                        ["10.0.0.5", "255.0.0.0", "10.0.0.1"]))),
    "tkcmdset_get_ip": ("usb", lambda c, s: str(c.get_ip().ip_2), "255.255.255.0"),
    "tkcmdset_set_mac": ("tcp", lambda c, s: (c.set_mac("02:00:00:aa:bb:cc"), c.get_mac())[1],
                         bytes.fromhex("020000aabbcc")),
    "tkcmdset_get_mac": ("usb", lambda c, s: c.get_mac().hex(":"), "02:4c:51:00:00:01"),
    "tkcmdset_set_lighthead_data": ("tcp", lambda c, s: lighthead_written(c),
                                    ("LH-TEST-16-BYTES", 1.5)),
    "tkcmdset_get_lighthead_data": ("usb", lambda c, s: c.get_lighthead_data().part_number,
                                    "LH-4400-01"),
    "tkcmdset_calc_led_temp": ("tcp", lambda c, s: float_from_bits(c.calc_led_temp(0, 1000, 10.0)),
                               approx(38.8, abs=0.05)),
    "tkcmdset_calc_max_width": ("tcp", lambda c, s: c.calc_max_width(0, 10.0), approx(10400, abs=50)),
    "tkcmdset_calc_max_current": ("usb", lambda c, s: float_from_bits(c.calc_max_current(0, 100000)),
                                  approx(7.0, abs=0.05)),
    "tkcmdset_calc_max_freq": ("tcp", lambda c, s: c.calc_max_freq(0, 1000, 10.0), 50),
    "tkcmdset_calc_supply_voltage": ("tcp", lambda c, s: float_from_bits(
        c.calc_supply_voltage(0, 1000, 1.0)), approx(24.8, abs=0.05)),
    "tkcmdset_get_error_name": ("tcp", lambda c, s: vortlink.error_name(-10803), "Network Reply Timeout"),
    "tkcmdset_get_error_text": ("tcp", lambda c, s: vortlink.error_text(123),
                                "No further information"),
    "tkcmdset_get_dll_version": ("tcp", lambda c, s: vortlink.get_dll_version(),
                                 version_word_of_file_name()),
}


class Spy:
    """Stands in for one export: records each call's arguments and makes the real call."""

    def __init__(self, function: Any) -> None:
        self.function, self.calls = function, []

    def __call__(self, *arguments: Any) -> Any:
        self.calls.append(arguments)
        return self.function(*arguments)


@pytest.fixture(scope="module")
def table_sim() -> Iterator[Simulator]:
    directory = short_directory()
    simulator = start_simulator(directory, "--status-word", "0x1234")
    yield simulator
    assert simulator.stop() == 0


@pytest.mark.parametrize("export", exported_symbols())
def test_each_export_is_reached_by_its_method(export: str, table_sim: Simulator,
                                              monkeypatch: pytest.MonkeyPatch) -> None:
    assert export in ROWS, f"no row reaches {export}"
    transport, call, expected = ROWS[export]
    method = export.removeprefix("tkcmdset_")
    parameters = header_prototypes()[export][1]
    takes_slot = parameters[:1] == (c_uint8,)
    if takes_slot:
        assert callable(getattr(vortlink.Controller, method, None)), f"no method {method}"
    with (vortlink.Controller.tcp("127.0.0.1", slot=1) if transport == "tcp"
          else vortlink.Controller.usb(0)) as controller:
        spy = Spy(getattr(library(), export))
        monkeypatch.setattr(library(), export, spy)
        assert call(controller, table_sim) == expected
        monkeypatch.undo()
    assert spy.calls, f"{export} was not called"
    for arguments in spy.calls:
        assert len(arguments) == len(parameters)
        if takes_slot:
            assert arguments[0] == controller.slot
