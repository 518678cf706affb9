"""The calling thread's message pump and progress handler.

The library keeps both hooks per thread, so they are registered here per thread too. The
``ctypes`` function objects stay referenced (in thread-local storage) while the library may call
them. An exception raised by a hook never crosses into the library: it is kept and raised again
in the calling thread once the library call that ran the hook returns.
"""

from __future__ import annotations

import enum
import threading
from collections.abc import Callable
from typing import Any

from vortlink._native import MessagePumpFunction, ProgressHandlerFunction, library
from vortlink.errors import check


class TransferKind(enum.IntEnum):
    """What a block transfer moves, as the progress handler is told."""

    MEMORY_WRITE = 1
    MEMORY_READ = 2
    EEPROM_WRITE = 5
    EEPROM_READ = 6


#: A message pump: dispatches the application's pending events, returns True to ask for a quit.
MessagePump = Callable[[], bool]
#: A progress handler: the transfer kind and the address of the chunk about to go.
ProgressHandler = Callable[[TransferKind, int], None]


class _ThreadHooks(threading.local):
    def __init__(self) -> None:
        self.pump: Any = None
        self.progress: Any = None
        self.pending: BaseException | None = None


_hooks = _ThreadHooks()


def _keep(error: BaseException) -> None:
    # The first exception of a call wins; later ones usually follow from it.
    if _hooks.pending is None:
        _hooks.pending = error


def raise_pending() -> None:
    """Raises, once, the exception a hook of this thread raised during the last library call."""
    error, _hooks.pending = _hooks.pending, None
    if error is not None:
        raise error


def set_message_pump(pump: MessagePump | None) -> None:
    """Registers the calling thread's message pump (``tkcmdset_set_message_pump``).

    While a command of this thread waits for its reply the library calls ``pump()`` to let the
    application dispatch its events. A true result asks for a quit: the command then fails with
    ``Status.QUIT_REQUESTED``. A pump that raises asks for a quit too, and the command raises
    the pump's exception. ``None`` removes the pump.
    """
    if pump is None:
        check(library().tkcmdset_set_message_pump(MessagePumpFunction(), None))
        _hooks.pump = None
        return

    def call_pump(context: Any) -> int:
        try:
            return 1 if pump() else 0
        except BaseException as error:  # noqa: BLE001 - must not reach the library
            _keep(error)
            return 1

    function = MessagePumpFunction(call_pump)
    check(library().tkcmdset_set_message_pump(function, None))
    _hooks.pump = function


def set_progress_handler(handler: ProgressHandler | None) -> None:
    """Registers the calling thread's progress handler (``tkcmdset_set_progress_handler``).

    The block transfers call ``handler(kind, address)`` before the first chunk and then at most
    once per 100 ms, with the :class:`TransferKind` and the chunk's address. An exception in
    the handler does not stop the transfer; the command raises it when the transfer has ended.
    ``None`` removes the handler.
    """
    if handler is None:
        check(library().tkcmdset_set_progress_handler(ProgressHandlerFunction(), None))
        _hooks.progress = None
        return

    def call_handler(context: Any, kind: int, address: int) -> None:
        try:
            try:
                named: int = TransferKind(kind)
            except ValueError:
                named = kind
            handler(named, address)  # type: ignore[arg-type]
        except BaseException as error:  # noqa: BLE001 - must not reach the library
            _keep(error)

    function = ProgressHandlerFunction(call_handler)
    check(library().tkcmdset_set_progress_handler(function, None))
    _hooks.progress = function
