#!/usr/bin/python3
"""Real serial programs against `cvsim serve`: pyserial through RFC 2217, socat and picocom through
pseudo-terminals. Each test starts the server on free local ports with a machine whose ports have a
loopback plug and null-modem cables, talks to it with the real program, stops it and reads what the
server reported of the UARTs.

usage: serve_test.py CVSIM [unittest arguments]
"""
import os
import pty
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import serial

CVSIM = None

# The built-in machine with its peers: COM3 (E000) on a loopback plug, COM4 (E008) to COM7 (E010) and
# COM5 (300) to COM6 (308) on null-modem cables.
MACHINE = """
standard-port address=3F8 irq=4 com=1
standard-port address=2F8 irq=3 com=2
pci-card bus=0 device=4 function=0 vendor=10B5 id=0020 uart=16C950 ports=4 clock=14745600 uart-window=E000 spacing=8 bridge-io=EC00 window2=0 irq=11 divisor=byte divisor-offset=50
isa-card clock=1843200
uart address=300 uart=16550 irq=5
uart address=308 uart=16550 irq=7
empty address=2E8
loopback address=E000
null-modem a=E008 b=E010
null-modem a=300 b=308
"""


class Server:
    """cvsim serve with the given endpoints, until stop(); its report is in `output` afterwards."""

    def __init__(self, *endpoints):
        self.dir = tempfile.TemporaryDirectory()
        machine = os.path.join(self.dir.name, "test.machine")
        with open(machine, "w") as f:
            f.write(MACHINE)
        args = [CVSIM, "serve", "--machine", machine]
        for kind, port, where in endpoints:
            if kind == "pty":
                where = os.path.join(self.dir.name, where)
            args += ["--" + kind, "%s=%s" % (port, where)]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self.urls = {}
        self.paths = {}
        deadline = time.time() + 20
        pending = b""
        fd = self.process.stdout.fileno()
        while time.time() < deadline:
            ready, _, _ = select.select([fd], [], [], 1)
            if not ready:
                continue
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            pending += chunk
            while b"\n" in pending:
                raw, pending = pending.split(b"\n", 1)
                line = raw.decode() + "\n"
                self.lines.append(line)
                m = re.match(r"cvsim serve: (COM\d+) on rfc2217://127\.0\.0\.1:(\d+)", line)
                if m:
                    self.urls[m.group(1)] = "rfc2217://localhost:%s" % m.group(2)
                m = re.match(r"cvsim serve: (COM\d+) on (\S+) \(", line)
                if m:
                    self.paths[m.group(1)] = m.group(2)
                if "ready" in line:
                    self.lines.append(pending.decode())
                    return
        self.stop()
        raise RuntimeError("the server did not come up:\n" + "".join(self.lines) + self.errors)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            out, err = self.process.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
        self.output = "".join(self.lines) + out.decode()
        self.errors = err.decode()
        self.dir.cleanup()
        return self.process.returncode

    def uart(self, address):
        """Every setting the server reported for a UART, in order."""
        return re.findall(r"UART %s: (.*)" % address, self.output)


class LoopbackThroughRfc2217(unittest.TestCase):
    def setUp(self):
        self.server = Server(("rfc2217", "COM3", 0))
        self.port = serial.serial_for_url(self.server.urls["COM3"], baudrate=115200, timeout=1)

    def tearDown(self):
        if self.port.is_open:
            self.port.close()
        rc = self.server.stop()
        self.assertEqual(rc, 0, self.server.output + self.server.errors)
        self.assertIn("the machine is as it was before the start", self.server.output)

    def test_every_byte_value_round_trips(self):
        data = bytes(range(256)) * 4
        self.port.write(data)
        self.assertEqual(self.port.read(len(data)), data)

    def test_rates_and_formats_reach_the_uart(self):
        rates = [50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200,
                 921600]
        for rate in rates:
            self.port.baudrate = rate
            self.assertEqual(self.port.baudrate, rate)
        for bits in (5, 6, 7, 8):
            self.port.bytesize = bits
        for parity in ("O", "E", "M", "S", "N"):
            self.port.parity = parity
        self.port.stopbits = 2
        self.port.write(b"x")  # a character at the last setting, then let the server report
        self.port.read(1)
        self.port.close()
        self.server.stop()
        seen = self.server.uart("E000")
        set_rates = [int(s.split(" ", 1)[0]) for s in seen]
        for rate in rates:
            # The UART's rate from its divisor, within the divisor rule's error (150 baud is 149.4).
            self.assertTrue(any(abs(r - rate) <= rate * 0.01 for r in set_rates), (rate, seen))
        for bits in (5, 6, 7, 8):
            self.assertTrue(any("%d data bits" % bits in s for s in seen), (bits, seen))
        for parity in ("odd", "even", "mark", "space", "none"):
            self.assertTrue(any("parity %s" % parity in s for s in seen), (parity, seen))
        self.assertIn("2 stop bits", seen[-1])

    def test_modem_lines_through_the_plug(self):
        self.port.rts = True
        self.port.dtr = True
        time.sleep(0.2)
        self.assertTrue(self.port.cts)
        self.assertTrue(self.port.dsr)
        self.assertTrue(self.port.cd)
        self.assertFalse(self.port.ri, "RI is left open on the plug")
        self.port.rts = False
        time.sleep(0.2)
        self.assertFalse(self.port.cts)
        self.assertTrue(self.port.dsr)
        self.port.dtr = False
        time.sleep(0.2)
        self.assertFalse(self.port.dsr)
        self.assertFalse(self.port.cd)

    def test_read_timeout_purge_and_break(self):
        start = time.time()
        self.assertEqual(self.port.read(10), b"")
        self.assertAlmostEqual(time.time() - start, 1.0, delta=0.2)
        # What arrived and was not read yet is purged.
        self.port.write(b"stale")
        time.sleep(0.2)
        self.port.reset_input_buffer()
        self.port.reset_output_buffer()
        self.port.write(b"fresh")
        self.assertEqual(self.port.read(5), b"fresh")
        self.port.send_break(0.2)
        time.sleep(0.1)
        self.port.close()
        self.server.stop()
        self.assertTrue(any(s.endswith(", break") for s in self.server.uart("E000")), self.server.uart("E000"))

    def test_pacing_follows_the_wall_clock(self):
        data = bytes(i % 251 for i in range(23040))  # two seconds at 115200 8N1
        start = time.time()
        self.port.write(data)
        got = bytearray()
        while len(got) < len(data) and time.time() - start < 10:
            got += self.port.read(len(data) - len(got))
        elapsed = time.time() - start
        self.assertEqual(bytes(got), data)
        # Never ahead of the wall clock; behind it only by what a busy test machine takes from the server.
        self.assertGreaterEqual(elapsed, 1.9)
        self.assertLess(elapsed, 3.0)


class AServerHoldsUp(unittest.TestCase):
    def test_garbage_a_second_client_and_a_vanishing_one(self):
        import socket

        server = Server(("rfc2217", "COM3", 0))
        try:
            url = server.urls["COM3"]
            port = int(url.rsplit(":", 1)[1])
            # Garbage Telnet, an unknown Com Port command and an overlong subnegotiation.
            junk = socket.create_connection(("127.0.0.1", port), timeout=5)
            junk.sendall(bytes([255, 251, 44, 255, 250, 44, 99, 1, 255, 240, 255, 250]) + b"x" * 1000 +
                         bytes([255, 240, 255, 200, 255]))
            second = socket.create_connection(("127.0.0.1", port), timeout=5)
            self.assertIn(b"in use", second.recv(100))
            second.close()
            junk.close()  # gone in the middle of it all
            time.sleep(0.3)
            # A rate the UART cannot produce: the client is told the rate in force.
            client = serial.serial_for_url(url, baudrate=9600, timeout=1)
            try:
                client.baudrate = 12345678
            except (ValueError, serial.SerialException):
                pass
            client.write(b"still here")
            self.assertEqual(client.read(10), b"still here")
            client.close()
        finally:
            rc = server.stop()
        self.assertEqual(rc, 0, server.output + server.errors)
        self.assertIn("unknown Com Port command 99", server.errors)
        self.assertIn("overlong subnegotiation", server.errors)
        self.assertIn("a second client was refused", server.errors)


class RtsCtsOnANullModemCable(unittest.TestCase):
    def test_the_writer_is_held_and_nothing_is_lost(self):
        import threading

        # COM4 is written by pyserial; COM7, at the other end of the cable, is a pseudo-terminal nobody reads
        # for a while.
        server = Server(("rfc2217", "COM4", 0), ("pty", "COM7", "com7"))
        try:
            com7 = server.paths["COM7"]
            subprocess.run(["stty", "-F", com7, "921600", "raw", "-echo", "crtscts"], check=True, timeout=10)
            reader = os.open(com7, os.O_RDONLY | os.O_NOCTTY)
            writer = serial.serial_for_url(server.urls["COM4"], baudrate=921600, rtscts=True, timeout=1)
            data = bytes((i * 7 + i // 256) % 256 for i in range(400000))
            thread = threading.Thread(target=writer.write, args=(data,))
            thread.start()
            time.sleep(3)
            got = bytearray()
            deadline = time.time() + 30
            while len(got) < len(data) and time.time() < deadline:
                ready, _, _ = select.select([reader], [], [], 0.5)
                if ready:
                    got += os.read(reader, 65536)
            thread.join(timeout=10)
            os.close(reader)
            writer.close()
        finally:
            rc = server.stop()
        self.assertEqual(rc, 0, server.output + server.errors)
        # The socket buffers take the whole write at once; the port's transmitter is what CTS holds.
        self.assertIn("COM4: the transmitter waits for CTS", server.errors)
        self.assertIn("COM4: the transmitter runs again", server.errors)
        self.assertEqual(len(got), len(data))
        self.assertEqual(bytes(got), data)


class PseudoTerminals(unittest.TestCase):
    def test_picocom_types_socat_reads_and_stty_sets_the_speed(self):
        server = Server(("pty", "COM5", "com5"), ("pty", "COM6", "com6"))
        try:
            com5, com6 = server.paths["COM5"], server.paths["COM6"]
            # A speed set with stty reaches the UART.
            subprocess.run(["stty", "-F", com6, "57600", "raw", "-echo"], check=True, timeout=10)
            # socat reads what arrives at COM6.
            reader = subprocess.Popen(["socat", "-u", "OPEN:%s,raw,echo=0" % com6, "STDOUT"],
                                      stdout=subprocess.PIPE)
            # picocom on COM5, at the same speed, typed at as a person would (it needs a terminal).
            pid, terminal = pty.fork()
            if pid == 0:
                os.execvp("picocom", ["picocom", "-b", "57600", "-q", "--noreset", com5])
            time.sleep(1.0)
            os.write(terminal, b"hello through two ports")
            got = b""
            deadline = time.time() + 10
            while b"hello through two ports" not in got and time.time() < deadline:
                ready, _, _ = select.select([reader.stdout], [], [], 0.5)
                if ready:
                    got += os.read(reader.stdout.fileno(), 100)
            self.assertIn(b"hello through two ports", got)
            os.write(terminal, b"\x01\x18")  # picocom's exit keys: C-a C-x
            deadline = time.time() + 5
            while time.time() < deadline and os.waitpid(pid, os.WNOHANG) == (0, 0):
                time.sleep(0.1)
            reader.kill()
            reader.wait(timeout=5)
            reader.stdout.close()
        finally:
            rc = server.stop()
        self.assertEqual(rc, 0, server.output + server.errors)
        self.assertTrue(any(s.startswith("57600 baud") for s in server.uart("308")), server.uart("308"))
        self.assertTrue(any(s.startswith("57600 baud") for s in server.uart("300")), server.uart("300"))


if __name__ == "__main__":
    CVSIM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
