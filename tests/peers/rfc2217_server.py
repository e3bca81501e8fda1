#!/usr/bin/python3
"""pyserial's RFC 2217 server (serial.rfc2217.PortManager) on serial
devices, for the network port tests:
rfc2217_server.py TCP-PORT DEVICE [TCP-PORT DEVICE ...].
A pseudo-terminal has no modem lines and no break; here they read as off
and changes to them are taken without effect, as ser2net does on one.
Clients are served one after the other, on 127.0.0.1."""
import socket
import sys
import threading

import serial
import serial.rfc2217


class LineWithoutModemLines(serial.Serial):
    cts = property(lambda self: False)
    dsr = property(lambda self: False)
    ri = property(lambda self: False)
    cd = property(lambda self: False)

    def _update_dtr_state(self):
        pass

    def _update_rts_state(self):
        pass

    def _update_break_state(self):
        pass


def serve(line, client):
    lock = threading.Lock()

    class Sink:  # where the port manager writes its Telnet answers
        @staticmethod
        def write(data):
            with lock:
                client.sendall(data)

    manager = serial.rfc2217.PortManager(line, Sink())
    alive = [True]

    def line_to_client():
        while alive[0]:
            try:
                data = line.read(line.in_waiting or 1)
                if data:
                    Sink.write(b"".join(manager.escape(data)))
            except (OSError, serial.SerialException):
                break
        alive[0] = False

    reader = threading.Thread(target=line_to_client, daemon=True)
    reader.start()
    try:
        while alive[0]:
            data = client.recv(4096)
            if not data:
                break
            try:
                line.write(b"".join(manager.filter(data)))
            except (ValueError, serial.SerialException, __import__("termios").error):
                pass  # a setting the line refuses (a pty takes no parity): unanswered
    except OSError:
        pass
    alive[0] = False
    reader.join()
    client.close()


def accept(port, device):
    line = LineWithoutModemLines(device, 115200, timeout=0.1)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(1)
    while True:
        client, _ = server.accept()
        try:
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            serve(line, client)
        except OSError:  # a client that left at once (a probe of the port)
            client.close()


def main():
    pairs = list(zip(sys.argv[1::2], sys.argv[2::2]))
    for port, device in pairs:
        threading.Thread(target=accept, args=(int(port), device), daemon=True).start()
    threading.Event().wait()


if __name__ == "__main__":
    main()
