#!/usr/bin/python3
"""pyserial's RFC 2217 client against a simulated printer served by our server.

Usage: sim_port_client.py PORT

Opens rfc2217://127.0.0.1:PORT at 19200 8N2 (the printer's own line), moves
DTR and RTS, reads DSR and CTS, asks the printer whether it is in boot-load
mode, then shifts it into the download and streams every byte value to it at
115200 8N2. Reports on standard output, one line each, and waits for a line
on standard input where the test changes the printer's lines:

  "OPEN"                 opened, settings and lines agreed
  "LINES <dsr> <cts>"    the modem lines as pyserial sees them (0 or 1)
  "READ <hex>"           the printer's answer to the boot-mode check
  "SENT <n>"             the stream has been written and the port closed
  "ERROR <text>"         anything that went wrong (exit code 1)
"""

import sys
import time

import serial

BOOT_MODE_CHECK = bytes([0x00, 0x02, 0x42])
BAUD_SHIFT = bytes([0x02, 0x48, 0x73])


def emit(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def lines(port):
    return "LINES %d %d" % (int(port.dsr), int(port.cts))


def main():
    url = "rfc2217://127.0.0.1:%s" % sys.argv[1]
    port = serial.serial_for_url(url, baudrate=19200, bytesize=serial.EIGHTBITS,
                                 parity=serial.PARITY_NONE, stopbits=serial.STOPBITS_TWO,
                                 timeout=2)
    emit("OPEN")
    for dtr, rts in ((False, False), (True, True), (False, True)):
        port.dtr = dtr
        port.rts = rts
    emit(lines(port))
    sys.stdin.readline()  # the test moves the lines now
    emit(lines(port))

    port.write(BOOT_MODE_CHECK)
    emit("READ " + port.read(1).hex())

    port.write(BAUD_SHIFT)
    time.sleep(0.2)
    port.baudrate = 115200
    stream = bytes(range(256)) * 8
    port.write(stream)
    # 2048 bytes take 0.2 s on the line; closing hands the rest over anyway.
    time.sleep(0.3)
    port.close()
    emit("SENT %d" % len(stream))


if __name__ == "__main__":
    try:
        main()
    except Exception as error:  # reported to the test, which shows it
        emit("ERROR %s" % error)
        sys.exit(1)
