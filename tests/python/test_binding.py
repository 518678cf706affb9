"""Errors, hooks and slot handling of the package against quorrel-sim."""

from __future__ import annotations

import configparser
import ctypes
import gc
import os
import re
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import pytest
import vortlink
from conftest import HEADER, Simulator
from vortlink import Controller, Status, TransferKind, VortlinkError
from vortlink import _native
from vortlink._native import library


@pytest.fixture(scope="module")
def catalogue() -> configparser.ConfigParser:
    """The catalogue next to the built library, read without the package."""
    parser = configparser.ConfigParser(delimiters=("=",), interpolation=None, strict=False)
    parser.read(os.path.join(os.path.dirname(os.environ["VORTLINK_LIBRARY"]), "ecodes.ini"))
    assert len(parser.sections()) > 20
    return parser


def test_the_must_show_example(sim: Simulator) -> None:
    with vortlink.Controller.tcp('127.0.0.1') as c:
        assert c.status() == 0x1234
        assert c.echo(b'abc')[:3] == b'abc'
        assert len(c.read_eemem_block(0, 300)) == 300


@pytest.mark.parametrize("transport", ["tcp", "usb"])
def test_a_controller_error_raises_with_the_catalogue_words(
        sim: Simulator, catalogue: configparser.ConfigParser, transport: str) -> None:
    with Controller.tcp("localhost") if transport == "tcp" else Controller.usb() as c:
        sim.command("error 4")
        with pytest.raises(VortlinkError) as raised:
            c.status()
    assert raised.value.code == 4
    assert raised.value.name == catalogue["4"]["Name"] == "Address Out of Range"
    assert raised.value.text == catalogue["4"]["Text"]
    assert f"ERROR (4) : {raised.value.name}" in str(raised.value)


@pytest.mark.parametrize("fault, code", [("corrupt-crc", Status.CHECKSUM_MISMATCH),
                                         ("opcode 0x03", Status.WRONG_OPCODE),
                                         ("close", Status.REPLY_TIMEOUT)])
def test_a_library_error_raises_its_status(sim: Simulator, catalogue: configparser.ConfigParser,
                                           fault: str, code: Status) -> None:
    with Controller.tcp("127.0.0.1", slot=3) as c:
        sim.command(fault)
        with pytest.raises(VortlinkError) as raised:
            c.get_an_in(0)
    assert raised.value.code is code
    assert raised.value.name == catalogue[str(int(code))]["Name"]


def test_every_catalogue_entry_reads_back(catalogue: configparser.ConfigParser) -> None:
    for section in catalogue.sections():
        assert vortlink.error_name(int(section)) == catalogue[section]["Name"]
        assert vortlink.error_text(int(section)) == catalogue[section]["Text"]
    assert vortlink.error_name(31000) == "Unknown Error"


def test_the_status_names_are_the_headers() -> None:
    defines = re.findall(r"#define TKCMDSET_(\w+) \(?(-?\d+)\)?", HEADER.read_text())
    assert {name: int(value) for name, value in defines} == {s.name: s.value for s in Status}


def test_the_package_copies_the_headers_constants() -> None:
    text = HEADER.read_text()
    header = {name: int(value) for name, value in re.findall(r"\bTKCMDSET_(\w+) = (-?\d+)", text)}
    header |= dict(re.findall(r'#define TKCMDSET_(\w+) "([^"]*)"', text))
    copies = {name: getattr(_native, name)
              for name in ("SLOT_COUNT", "IDENTITY_TEXT_SIZE", "ECHO_SIZE", "MAC_SIZE")}
    copies |= {f"PROGRESS_{kind.name}": kind.value for kind in TransferKind}
    copies["PRODUCT_NAME"] = vortlink.PRODUCT_NAME
    assert copies == {name: header[name] for name in copies}


def test_values_that_do_not_fit_are_refused_before_any_call(sim: Simulator) -> None:
    with Controller.tcp("127.0.0.1") as c:
        with pytest.raises(ValueError):
            c.read_eemem_block(0x10000, 4)
        with pytest.raises(ValueError):
            c.read_mem_block(0, 0x10000)
        with pytest.raises(ValueError):
            c.echo(bytes(201))
        with pytest.raises(TypeError):
            c.set_an_out(0, 1.5)  # type: ignore[arg-type]
    assert sim.command("frames") == "0"


@pytest.mark.parametrize("transport", ["tcp", "usb"])
def test_a_progress_handler_sees_the_block_transfer(sim: Simulator, transport: str) -> None:
    seen: list[tuple[int, int]] = []
    vortlink.set_progress_handler(lambda kind, address: seen.append((kind, address)))
    gc.collect()  # the package, not the caller, keeps the C function alive
    with Controller.tcp("127.0.0.1") if transport == "tcp" else Controller.usb() as c:
        for _ in range(3):  # chunks further apart than the 100 ms throttle
            sim.command("delay 120")
        data = c.read_eemem_block(0, 330)
    assert data[2:4] == b"\x00\x02"
    assert seen == [(TransferKind.EEPROM_READ, address) for address in (0, 110, 220)]
    assert all(type(kind) is TransferKind for kind, _ in seen)


def test_a_handler_exception_is_raised_after_the_transfer(sim: Simulator) -> None:
    def handler(kind: int, address: int) -> None:
        raise KeyError(address)

    vortlink.set_progress_handler(handler)
    with Controller.tcp("127.0.0.1") as c:
        with pytest.raises(KeyError):
            c.write_mem_block(0x100, b"\x42" * 300)
        vortlink.set_progress_handler(None)
        assert c.read_mem_block(0x100, 300) == b"\x42" * 300


def test_hooks_belong_to_the_thread_that_set_them(sim: Simulator) -> None:
    seen: list[int] = []
    vortlink.set_progress_handler(lambda kind, address: seen.append(address))
    with Controller.tcp("127.0.0.1") as c:
        worker = threading.Thread(target=c.read_mem_block, args=(0, 10))
        worker.start()
        worker.join()
        assert seen == []
        c.read_mem_block(0, 10)
    assert seen == [0]


def test_a_pump_asks_to_quit_or_raises(sim: Simulator) -> None:
    with Controller.tcp("127.0.0.1") as c:
        vortlink.set_message_pump(lambda: True)
        sim.command("delay 50")
        with pytest.raises(VortlinkError) as raised:
            c.status()
        assert raised.value.code is Status.QUIT_REQUESTED

        def failing_pump() -> bool:
            raise OSError("event loop gone")

        vortlink.set_message_pump(failing_pump)
        sim.command("delay 50")
        with pytest.raises(OSError, match="event loop gone"):
            c.status()
        vortlink.set_message_pump(None)
        assert c.status() == 0x1234


def raw_status(slot: int) -> int:
    word = ctypes.c_uint16()
    return library().tkcmdset_status(slot, ctypes.byref(word))


def test_the_context_manager_closes_a_usb_slot(sim: Simulator) -> None:
    with pytest.raises(RuntimeError):
        with Controller.usb(serial="Q0000001") as c:
            assert raw_status(0) == 0
            with pytest.raises(ValueError, match="held"):
                Controller(0)
            raise RuntimeError("test step failed")
    assert c.closed
    assert raw_status(0) == Status.NO_USB_DEVICE
    with pytest.raises(ValueError, match="closed"):
        c.status()
    with Controller.usb() as again:
        assert again.status() == 0x1234


def test_a_closed_tcp_slot_is_taken_over_by_the_next_connection(sim: Simulator) -> None:
    with Controller.tcp("127.0.0.1", slot=49) as c:
        c.status()
        assert sim.command("clients") == "1"
    with pytest.raises(ValueError):
        c.fw_version()
    with Controller.tcp("127.0.0.1", slot=49) as again:
        assert again.status() == 0x1234
        # The simulator counts the replaced connection out once it has seen it end.
        deadline = time.monotonic() + 5
        while sim.command("clients") != "1" and time.monotonic() < deadline:
            time.sleep(0.01)
        assert sim.command("clients") == "1"


def test_a_failed_open_leaves_the_slot_free(sim: Simulator) -> None:
    with pytest.raises(VortlinkError) as raised:
        Controller.usb(2, serial="nobody")
    assert raised.value.code is Status.NO_DEVICE_MATCHED
    with pytest.raises(ValueError, match="slot 50"):
        Controller.tcp("127.0.0.1", slot=50)
    with Controller.usb(2, serial="Q0000001") as c:
        assert c.serial_number() == "Q0000001"


def test_the_readme_test_station_runs(sim: Simulator, tmp_path: Path) -> None:
    readme = (HEADER.parents[2] / "README.md").read_text()
    example = re.search(r"```python\n(.*?)```", readme, re.S)
    assert example is not None and len(example[1].splitlines()) == 10
    (tmp_path / "test_station.py").write_text(example[1])
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          "test_station.py"], cwd=tmp_path, capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": str(Path(vortlink.__file__).parents[1])})
    assert run.returncode == 0, run.stdout + run.stderr
    assert "1 passed" in run.stdout


def test_identity_texts_are_latin_1(sim: Simulator) -> None:
    sim.command("serial Prüfling-Ω")
    with Controller.usb() as c:
        assert c.serial_number() == "Prüfling-?"


@pytest.mark.parametrize("call", [
    lambda: Controller.tcp("127.0.0.1\x00evil"),
    lambda: Controller.usb(serial="Q0000001\x00"),
    lambda: Controller.usb(serial="Q000\u03a9"),
    lambda: Controller(50),
    lambda: Controller.tcp("127.0.0.1", 10).set_pulse(0, 750, 5, float("nan")),
    lambda: Controller.tcp("127.0.0.1", 11).set_pulse(0, 750, 5, 1e40),
    lambda: Controller.tcp("127.0.0.1", 12).set_hv_supply(0, float("inf")),
    lambda: Controller.tcp("127.0.0.1", 14).set_lighthead_data(
        vortlink.LightheadData(part_number="LH\x00-1")),
])
def test_inputs_c_cannot_take_raise_value_error(sim: Simulator, call: Any) -> None:
    with pytest.raises(ValueError):
        call()
    assert sim.command("frames") == "0", "nothing was sent"


def test_a_latin_1_serial_number_round_trips(sim: Simulator) -> None:
    sim.command("serial Q000\u00e9")
    with Controller.usb() as c, Controller.usb(3, serial=c.serial_number()) as again:
        assert again.serial_number() == c.serial_number() == "Q000\u00e9"


def test_pip_installs_the_package_offline_into_a_fresh_venv(sim: Simulator, tmp_path: Path) -> None:
    venv = tmp_path / "v"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    install = subprocess.run([venv / "bin/pip", "install", "--no-index", "--no-build-isolation",
                              HEADER.parents[2] / "python"], capture_output=True, text=True)
    assert install.returncode == 0, install.stdout + install.stderr
    # The installed package finds the library by its SONAME.
    library_dir = os.path.dirname(os.environ["VORTLINK_LIBRARY"])
    environment = {**os.environ, "VORTLINK_LIBRARY": "", "LD_LIBRARY_PATH": library_dir}
    installed = subprocess.run([venv / "bin/python", "-c", "import vortlink, pathlib; "
                                "print(pathlib.Path(vortlink.__file__).parent, "
                                "(pathlib.Path(vortlink.__file__).parent / 'py.typed').exists(), "
                                "vortlink.library_path())"],
                               cwd=tmp_path, capture_output=True, text=True, env=environment)
    assert installed.stdout.split() == [str(venv / "lib" / f"python{sys.version_info.major}."
                                            f"{sys.version_info.minor}/site-packages/vortlink"),
                                        "True", "libvortlink.so.1"], installed.stderr
    readme = (HEADER.parents[2] / "README.md").read_text()
    (tmp_path / "test_station.py").write_text(re.search(r"```python\n(.*?)```", readme, re.S)[1])
    # pytest itself comes from the system; vortlink from the venv, as the first run showed.
    environment["PYTHONPATH"] = str(Path(pytest.__file__).parents[1])
    run = subprocess.run([venv / "bin/python", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          "test_station.py"], cwd=tmp_path, capture_output=True, text=True,
                         env=environment)
    assert "1 passed" in run.stdout, run.stdout + run.stderr
