#!/usr/bin/python3
"""pyserial's rfc2217:// client for the network benchmark:
rfc2217_client.py URL read|write|echo COUNT. It times what the benchmark's
far end answers, checks every byte, and prints the seconds (read, write) or
the round trips' median in microseconds (echo)."""
import statistics
import sys
import time

import serial


def pattern(count):
    return bytes((i * 7 + i // 256) & 0xFF for i in range(count))


def main():
    url, mode, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    line = serial.serial_for_url(url, baudrate=115200, timeout=10)
    if mode == "read":  # "R" asks the far end for count bytes
        start = time.perf_counter()
        line.write(b"R")
        got = line.read(count)
        seconds = time.perf_counter() - start
        if got != pattern(count):
            sys.exit("the bytes read differ")
        print(seconds)
    elif mode == "write":  # the far end answers "K" once all came right
        data = pattern(count)
        start = time.perf_counter()
        line.write(data)
        if line.read(1) != b"K":
            sys.exit("the far end did not confirm")
        print(time.perf_counter() - start)
    else:
        times = []
        for i in range(count):
            byte = bytes([0x30 + i % 10])
            start = time.perf_counter()
            line.write(byte)
            if line.read(1) != byte:
                sys.exit("the echo differs")
            times.append(time.perf_counter() - start)
        print(statistics.median(times) * 1e6)
    line.close()


if __name__ == "__main__":
    main()
