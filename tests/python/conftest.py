"""Fixtures for the Python package's tests: the built library and a running quorrel-sim.

CTest passes the paths in VORTLINK_LIBRARY, QUORREL_SIM and VORTLINK_HEADER; run by hand, the
tests fall back to the source tree's build/ directory.
"""

from __future__ import annotations

import atexit
import os
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]
os.environ.setdefault("VORTLINK_LIBRARY", str(SOURCE / "build/library/libvortlink.so"))
os.environ.setdefault("VORTLINK_SHARED_NAME", f"/vortlink-pytest-{os.getpid()}")
SIMULATOR = os.environ.get("QUORREL_SIM", str(SOURCE / "build/simulator/quorrel-sim"))
HEADER = Path(os.environ.get("VORTLINK_HEADER", SOURCE / "library/include/vortlink.h"))
# The library's settings (the "TCP Port" of each simulator) go to a directory of this run only.
CONFIG_HOME = tempfile.mkdtemp(prefix="vortlink-pytest-")
atexit.register(shutil.rmtree, CONFIG_HOME, True)
os.environ["XDG_CONFIG_HOME"] = CONFIG_HOME
sys.path.insert(0, str(SOURCE / "python"))


class Simulator:
    """A quorrel-sim process on port 0 with a simulated USB bus, and its control port."""

    def __init__(self, directory: Path, *arguments: str) -> None:
        self.hid_socket = str(directory / "hid.sock")
        self.process = subprocess.Popen(
            [SIMULATOR, "--tcp-port", "0", "--hid-socket", self.hid_socket, *arguments],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, cwd=directory)
        lines = self._start_up_lines()
        self.tcp_port = int(lines["tcp-port"])
        self.control = socket.create_connection(("127.0.0.1", int(lines["control-port"])), 10)
        self.replies = self.control.makefile("r", encoding="ascii")

    def _start_up_lines(self) -> dict[str, str]:
        lines: dict[str, str] = {}
        output = b""
        deadline = time.monotonic() + 10
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            while "ready" not in lines:
                if not selector.select(deadline - time.monotonic()):
                    self.process.kill()
                    raise RuntimeError(f"quorrel-sim not ready within 10 s: {lines}")
                # Unbuffered reads, so that no line waits in a buffer the selector cannot see.
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    raise RuntimeError(f"quorrel-sim ended: {lines}")
                output += chunk
                *complete, output = output.split(b"\n")
                for line in complete:
                    key, _, value = line.decode().partition(" ")
                    lines[key] = value
        return lines

    def command(self, line: str) -> str:
        """Sends one control command; returns what follows "ok"."""
        self.control.sendall(line.encode("utf-8") + b"\n")
        reply = self.replies.readline().strip()
        assert reply.startswith("ok"), f"{line!r} answered {reply!r}"
        return reply[3:]

    def stop(self) -> int:
        self.replies.close()
        self.control.close()
        self.process.terminate()
        try:
            return self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()


def start_simulator(directory: Path, *arguments: str) -> Simulator:
    """Starts quorrel-sim and points the library at it (TCP port setting, simulated bus)."""
    simulator = Simulator(directory, *arguments)
    settings = Path(CONFIG_HOME, "Kestrova/Quorrel/Command Set Toolkit.conf")
    settings.parent.mkdir(parents=True, exist_ok=True)
    settings.write_text(f"TCP Port=dword:{simulator.tcp_port:08x}\n")
    os.environ["VORTLINK_HID_SIM"] = simulator.hid_socket
    return simulator


def short_directory() -> Path:
    # A unix socket path must stay under 108 bytes, which pytest's tmp_path may not.
    return Path(tempfile.mkdtemp(prefix="vlsim-"))


@pytest.fixture
def sim() -> Iterator[Simulator]:
    """A fresh simulator (status word 0x1234) for one test; it must exit cleanly."""
    directory = short_directory()
    simulator = start_simulator(directory, "--status-word", "0x1234")
    yield simulator
    assert simulator.stop() == 0
    shutil.rmtree(directory, True)


@pytest.fixture(autouse=True)
def no_hooks() -> Iterator[None]:
    """Leaves no hook of a test registered for the next one."""
    yield
    import vortlink

    vortlink.set_progress_handler(None)
    vortlink.set_message_pump(None)
