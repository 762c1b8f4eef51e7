#!/usr/bin/python3
"""A network serial port served by pyserial's RFC 2217 server side.

pyserial's PortManager speaks the protocol; behind it sits a fake serial
device that records what the client asks for. Listens on 127.0.0.1 on a free
port and serves one connection at a time, for as long as it runs.

Talks to the test through its standard streams, one line each:
  out: "PORT <n>"                  once, when listening
       "CONNECTED" / "DISCONNECTED"
       "SET <name> <value>"        a setter of the fake device was called
                                   (dtr, rts, baudrate, bytesize, parity,
                                   stopbits, xonxoff, rtscts, break)
       "PURGE input" / "PURGE output"
       "DATA <hex>"                bytes received from the client
  in:  "dsr 0|1", "cts 0|1"        drive the modem lines (notified to the client)
       "lines <dsr> <cts>"         both at once
       "send <hex>"                send bytes to the client
       "quit"
"""

import socket
import sys
import threading
import time

import serial
import serial.rfc2217

emit_lock = threading.Lock()


def emit(line):
    with emit_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


class FakeSerial(object):
    """What PortManager needs of a serial port; every setter is recorded."""

    def __init__(self):
        self.cts = False
        self.dsr = False
        self.ri = False
        self.cd = False
        self._settings = {
            "dtr": False, "rts": False, "baudrate": 9600, "bytesize": 8,
            "parity": serial.PARITY_NONE, "stopbits": serial.STOPBITS_ONE,
            "xonxoff": False, "rtscts": False, "break_condition": False,
        }

    def __getattr__(self, name):
        settings = self.__dict__.get("_settings")
        if settings is not None and name in settings:
            return settings[name]
        raise AttributeError(name)

    def __setattr__(self, name, value):
        if name in ("cts", "dsr", "ri", "cd") or name.startswith("_"):
            object.__setattr__(self, name, value)
            return
        self._settings[name] = value
        emit("SET %s %s" % ("break" if name == "break_condition" else name, value))

    def reset_input_buffer(self):
        emit("PURGE input")

    def reset_output_buffer(self):
        emit("PURGE output")


class Connection(object):
    """The network side PortManager writes to (thread-safe)."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            try:
                self.sock.sendall(data)
            except OSError:
                pass


def serve(client, device, state):
    connection = Connection(client)
    manager = serial.rfc2217.PortManager(device, connection)
    state["manager"] = manager
    state["connection"] = connection
    emit("CONNECTED")
    while True:
        try:
            data = client.recv(4096)
        except OSError:
            data = b""
        if not data:
            break
        received = b"".join(manager.filter(data))
        if received:
            emit("DATA " + received.hex())
    state["manager"] = None
    emit("DISCONNECTED")


def read_commands(device, state):
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "quit":
            break
        if words[0] in ("dsr", "cts") and len(words) == 2:
            with state["lines"]:
                setattr(device, words[0], words[1] == "1")
        elif words[0] == "lines" and len(words) == 3:
            with state["lines"]:  # one change of both, seen by one poll
                device.dsr, device.cts = words[1] == "1", words[2] == "1"
        elif words[0] == "send" and len(words) == 2:
            manager, connection = state.get("manager"), state.get("connection")
            if manager is not None:
                connection.write(b"".join(manager.escape(bytes.fromhex(words[1]))))
    state["quit"] = True


def main():
    device = FakeSerial()
    state = {"manager": None, "quit": False, "lines": threading.Lock()}
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(0.01)
    emit("PORT %d" % listener.getsockname()[1])
    threading.Thread(target=read_commands, args=(device, state), daemon=True).start()
    worker = None
    while not state["quit"]:
        try:
            client, _ = listener.accept()
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            worker = threading.Thread(target=serve, args=(client, device, state), daemon=True)
            worker.start()
        except socket.timeout:
            pass
        manager = state.get("manager")
        if manager is not None:
            # The lines are polled; a change goes out as NOTIFY-MODEMSTATE.
            with state["lines"]:
                manager.check_modem_lines()
        time.sleep(0.005)


if __name__ == "__main__":
    main()
