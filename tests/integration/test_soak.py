"""Many start-and-stop cycles of the headless binary with streams open and a
page loading: every run ends in order, leaving nothing behind."""

import os
import random
import socket
import sys
import tempfile
import time
import unittest

from support.vornhale import EXIT_EVENT, HOST, PORT, EventStream, Vornhale, port_open

CYCLES = int(os.environ.get("VORNHALE_SOAK_CYCLES", "100"))


class Soak(unittest.TestCase):
    def test_start_and_stop_cycles(self):
        rng = random.Random(5000)
        slowest = 0.0
        for cycle in range(CYCLES):
            with self.subTest(cycle=cycle), tempfile.TemporaryDirectory(prefix="vornhale-soak-") as tmp:
                with Vornhale(env={"TMPDIR": tmp}) as app:
                    app.wait_serving()
                    # A page loading, and the streams of pages loaded before it.
                    page = socket.create_connection((HOST, PORT), timeout=5)
                    page.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n\r\n")
                    page.recv(1)
                    streams = [EventStream() for _ in range(rng.randint(0, 5))]
                    # Streams wait for a text a moment after their headers went out.
                    time.sleep(0.1 + rng.uniform(0.0, 0.05))
                    started = time.monotonic()
                    app.signal()
                    status, _, err = app.finish(timeout=10)
                    slowest = max(slowest, time.monotonic() - started)
                    self.assertEqual(status, 0, err)
                    for stream in streams:
                        # The exit text is pushed once the server has stopped:
                        # each stream writes it once and ends. Pushed earlier,
                        # a stream would pass it on and take it again.
                        rest = stream.read_to_close(timeout=5)
                        self.assertTrue(rest.endswith(EXIT_EVENT))
                        self.assertEqual(rest.count(EXIT_EVENT), 1)
                        stream.close()
                    page.close()
                    self.assertFalse(port_open())
                self.assertEqual(os.listdir(tmp), [], "left behind in TMPDIR")
        print("slowest shutdown: %.3f s over %d cycles" % (slowest, CYCLES), file=sys.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
