#!/usr/bin/env python3
"""Starts quorrel-sim processes for test programs that cannot start a program of this machine
themselves (Windows programs under Wine). Listens on 127.0.0.1; prints "launcher-port N" and
serves until it is killed.

Per connection: the client sends one line, the simulator's extra arguments separated by tabs;
the launcher starts QUORREL_SIM with --tcp-port 0 and them, answers "pid N", then forwards the
simulator's start-up lines up to "ready" (or "ended" when its output ends first). A later line
"stop SIGNAL LIMIT_MS" sends the signal, waits up to the limit, kills the simulator if it is still
there and answers "status S" with its wait status, or "killed". A connection that closes first
kills its simulator."""
import os
import signal
import socket
import subprocess
import sys
import threading

running = set()
running_lock = threading.Lock()


def wait_status(code):
    # The POSIX wait status that the test expects: exit code in the high byte, or the signal.
    return -code if code < 0 else code << 8


def serve(connection, program):
    reader = connection.makefile("r", encoding="utf-8", newline="\n")
    with connection:
        request = reader.readline()
        if not request.endswith("\n"):
            return
        extra = [arg for arg in request.rstrip("\n").split("\t") if arg != ""]
        process = subprocess.Popen([program, "--tcp-port", "0", *extra], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, text=True)
        with running_lock:
            running.add(process)
        try:
            connection.sendall(f"pid {process.pid}\n".encode())
            for line in process.stdout:
                connection.sendall(line.encode())
                if line.rstrip("\n") == "ready":
                    break
            else:
                connection.sendall(b"ended\n")
            command = reader.readline().split()
            if len(command) == 3 and command[0] == "stop":
                process.send_signal(int(command[1]))
                try:
                    code = process.wait(timeout=int(command[2]) / 1000)
                    connection.sendall(f"status {wait_status(code)}\n".encode())
                except subprocess.TimeoutExpired:
                    connection.sendall(b"killed\n")
        finally:
            if process.poll() is None:
                process.kill()
            process.wait()
            with running_lock:
                running.discard(process)


def stop_all(*_):
    with running_lock:
        for process in running:
            process.kill()
    sys.exit(0)


def main():
    program = os.environ["QUORREL_SIM"]
    listener = socket.create_server(("127.0.0.1", 0))
    print(f"launcher-port {listener.getsockname()[1]}", flush=True)
    signal.signal(signal.SIGTERM, stop_all)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, program), daemon=True).start()


if __name__ == "__main__":
    main()
