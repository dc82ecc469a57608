"""Hostile and broken clients against the real binary: it keeps running, serves
nothing but its own routes, and answers normal requests again right after."""

import contextlib
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

from support.vornhale import HOST, PORT, EventStream, Vornhale, wait_until

ROUTES_SERVED = {"/", "/pico.red.min.css", "/event"}
# Under a sanitizer freed memory stays in quarantine: resident memory says
# nothing about what a request cost. Nor does it run within every descriptor
# limit: UndefinedBehaviorSanitizer makes a pipe to look at an object's type,
# and takes a limit the program reaches by design for an invalid object.
UNSANITIZED = not os.environ.get("VORNHALE_SANITIZED")
MEASURES_MEMORY = UNSANITIZED


def exchange(raw, timeout=10.0):
    """Sends raw bytes, returns everything the server answers until it closes
    or goes quiet."""
    with socket.create_connection((HOST, PORT), timeout=timeout) as sock:
        try:
            sock.sendall(raw)
        except OSError:
            pass  # the server may close before it has read everything
        answer = b""
        while True:
            try:
                data = sock.recv(65536)
            except (socket.timeout, ConnectionResetError):
                break
            if not data:
                break
            answer += data
        return answer


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def flood(head, filler, total):
    """Sends head, then filler repeatedly up to total bytes or until the server
    ends the connection; returns what the server answered."""
    with socket.create_connection((HOST, PORT), timeout=10) as sock:
        sent = 0
        try:
            sock.sendall(head)
            while sent < total:
                sock.sendall(filler)
                sent += len(filler)
        except OSError:
            pass
        try:
            return sock.recv(65536)
        except OSError:
            return b""


def closed(sock):
    """Whether the server has ended the connection, without waiting."""
    watch = select.poll()
    watch.register(sock, select.POLLIN)
    try:
        return bool(watch.poll(0)) and sock.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


def heads(sock, count):
    """The statuses of count answers to HEAD requests on one connection."""
    answer = b""
    with contextlib.suppress(OSError):  # no answer in time, or a reset
        while answer.count(b"\r\n\r\n") < count and (data := sock.recv(65536)):
            answer += data
    return [status_of(head) for head in answer.split(b"\r\n\r\n")[:count]]


def status_of(answer):
    line = answer.split(b"\r\n", 1)[0]
    parts = line.split(b" ")
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None


def get(path):
    return exchange(b"GET " + path + b" HTTP/1.1\r\nHost: 127.0.0.1:5000\r\nConnection: close\r\n\r\n")


class Abuse(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.app = Vornhale()
        cls.app.wait_serving()

    @classmethod
    def tearDownClass(cls):
        cls.app.signal()
        status, _, err = cls.app.finish(timeout=10)
        cls.app.close()
        assert status == 0, err

    def assert_still_serving(self):
        deadline = time.monotonic() + 5
        while True:
            answer = get(b"/")
            if status_of(answer) == 200 or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(status_of(answer), 200, answer[:200])
        self.assertIsNone(self.app.proc.poll(), "the server died")

    def test_malformed_request_lines(self):
        for raw in (b"\r\n\r\n", b"GET\r\n\r\n", b"GET / HTTP/9.9\r\n\r\n", b"BREW / HTTP/1.1\r\n\r\n",
                    b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\n\r\n", b"\x00\xff\xfe garbage\r\n\r\n",
                    b"GET / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\nContent-Length: -5\r\n\r\n",
                    b"GET / HTTP/1.1\r\nno colon here\r\n\r\n"):
            with self.subTest(raw=raw[:40]):
                answer = exchange(raw)
                self.assertNotEqual(status_of(answer), 500, answer[:200])
        self.assert_still_serving()

    def test_huge_header_section(self):
        header = b"X-Filler: " + b"x" * 1000 + b"\r\n"
        answer = exchange(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n" + header * 1048 + b"\r\n")
        self.assertNotEqual(status_of(answer), 500, answer[:200])
        self.assert_still_serving()

    def test_a_head_is_at_most_64_kib_wherever_its_end_arrives(self):
        start = b"GET / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\nConnection: close\r\n" + b"X: %s\r\n" % (b"x" * 7995) * 8
        for size, status in ((64 * 1024, 200), (64 * 1024 + 1, 431)):
            with self.subTest(size=size):
                end = b"X-End: " + b"x" * (size - len(start) - 11) + b"\r\n\r\n"
                self.assertEqual(status_of(exchange(start + end)), status)

    def test_heads_ended_by_bare_line_feeds_hold_no_thread(self):
        # More of them than serving threads, each sending a byte every second.
        clients = [socket.create_connection((HOST, PORT), timeout=10) for _ in range(20)]
        for sock in clients:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:5000\n\n")
        page = socket.create_connection((HOST, PORT), timeout=10)
        page.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\nConnection: close\r\n\r\n")
        for _ in range(20):
            if select.select([page], [], [], 1.0)[0]:
                break
            for sock in clients:
                with contextlib.suppress(OSError):
                    sock.send(b"x")
        else:
            self.fail("no answer in 20 s")
        self.assertEqual(status_of(page.recv(4096)), 200)
        self.assertEqual([status_of(sock.recv(4096)) for sock in clients], [400] * len(clients))

    def test_bodies_and_header_floods_cost_no_memory(self):
        pid = self.app.proc.pid
        mib = 1024 * 1024
        line = b"X-Filler: " + b"x" * 1000 + b"\r\n"
        # Smallest first: memory a server has freed is not counted again.
        cases = (
            (b"GET / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n", line * 1000, 256 * mib),
            (b"GET / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\nContent-Length: %d\r\n\r\n" % (512 * mib),
             b"x" * mib, 512 * mib),
            (b"POST / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\nContent-Length: %d\r\n\r\n" % (1024 * mib),
             b"x" * mib, 1024 * mib),
            # No length at all, or a transfer coding the parser would not take as one.
            (b"POST / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n\r\n", b"x" * mib, 512 * mib),
            (b"PUT /event HTTP/1.1\r\nHost: 127.0.0.1:5000\r\nTransfer-Encoding : chunked\r\n\r\n", b"x" * mib,
             512 * mib),
        )
        for head, filler, total in cases:
            with self.subTest(head=head[:40]):
                idle = resident_kib(pid)
                peak = [idle]
                done = threading.Event()

                def sample():
                    while not done.wait(0.01):
                        peak[0] = max(peak[0], resident_kib(pid))

                sampler = threading.Thread(target=sample)
                sampler.start()
                try:
                    answer = flood(head, filler, total)
                finally:
                    done.set()
                    sampler.join()
                self.assertIn(status_of(answer), (400, 405, 413, 431, None), answer[:200])
                if MEASURES_MEMORY:
                    self.assertLess(max(peak[0], resident_kib(pid)) - idle, 5 * 1024)
        self.assert_still_serving()

    def test_two_host_headers_are_refused(self):
        for hosts in (b"Host: 127.0.0.1:5000\r\nHost: rebound.example\r\n",
                      b"Host: rebound.example\r\nHost: 127.0.0.1:5000\r\n"):
            with self.subTest(hosts=hosts):
                self.assertEqual(status_of(exchange(b"GET /event HTTP/1.1\r\n" + hosts + b"\r\n", timeout=3)), 400)

    def test_path_traversal_and_nul_bytes_serve_nothing_else(self):
        for path in (b"/../", b"/../../etc/passwd", b"/%2e%2e/%2e%2e/etc/passwd", b"/..%2f..%2fetc%2fpasswd",
                     b"/web_resources/index.html", b"/index.html", b"/\\..\\..\\etc\\passwd", b"/%00",
                     b"/pico.red.min.css%00.txt", b"/\x00", b"//pico.red.min.css", b"/pico.red.min.css/"):
            with self.subTest(path=path):
                answer = get(path)
                self.assertIn(status_of(answer), (400, 404, None), answer[:200])
                self.assertNotIn(b"root:", answer)
        self.assert_still_serving()

    def test_slow_and_silent_connections_do_not_keep_the_page_away(self):
        stop = threading.Event()
        cut_off = []

        def trickle():
            # 40 s for the whole head: the server ends it long before.
            try:
                with socket.create_connection((HOST, PORT), timeout=10) as sock:
                    for byte in b"GET / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n\r\n":
                        sock.sendall(bytes([byte]))
                        if stop.wait(1.0) or closed(sock):
                            break
                    cut_off.append(closed(sock))
            except OSError:
                cut_off.append(True)

        slow = [threading.Thread(target=trickle) for _ in range(64)]
        for client in slow:
            client.start()
        # A head begun before the silent crowd outlives the silent ones that
        # cannot all wait.
        begun = socket.create_connection((HOST, PORT), timeout=10)
        begun.sendall(b"GET / HTTP/1.1\r\n")
        held = []
        try:
            for _ in range(300):
                held.append(socket.create_connection((HOST, PORT), timeout=10))
            self.assertTrue(wait_until(lambda: closed(begun) or sum(map(closed, held)) >= 300 - 256, 20))
            self.assertFalse(closed(begun))
            for path in (b"/", b"/pico.red.min.css"):
                with self.subTest(path=path):
                    answer = exchange(b"GET " + path + b" HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n"
                                      b"Connection: close\r\n\r\n", timeout=3)
                    self.assertEqual(status_of(answer), 200, answer[:200])
        finally:
            for sock in held + [begun]:
                sock.close()
            for client in slow:
                client.join(60)
            stop.set()
        self.assertEqual(cut_off, [True] * len(slow))
        self.assert_still_serving()
        stream = EventStream()
        self.assertTrue(stream.head.startswith(b"HTTP/1.1 200 OK"))
        stream.close()

    def test_a_refusal_ends_only_its_own_connection(self):
        # Refusals on every serving thread, then two requests on one kept-alive connection.
        for _ in range(48):
            exchange(b"POST / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\nContent-Length: 1\r\n\r\nx", timeout=3)
        one, two = (b"HEAD %s HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n\r\n" % path for path in (b"/", b"/pico.red.min.css"))
        for pipelined in (False, True):
            with self.subTest(pipelined=pipelined), socket.create_connection((HOST, PORT), timeout=5) as sock:
                sock.sendall(one + two if pipelined else one)
                answers = heads(sock, 1 + pipelined)
                if not pipelined:
                    sock.sendall(two)
                    answers += heads(sock, 1)
                self.assertEqual(answers, [200, 200])


# Opens connections and never sends, holding the latest 200; a line every 100.
FLOOD = """
import socket
held, opened = [], 0
while True:
    try:
        held = held[-199:] + [socket.create_connection(("127.0.0.1", 5000), timeout=2)]
    except OSError:
        continue
    opened += 1
    print(end="\\n" if opened % 100 == 0 else "", flush=True)
"""


class Crowds(unittest.TestCase):
    def test_a_connect_flood_costs_a_browser_nothing(self):
        # Four processes flood the program, its descriptor limit as it comes
        # and 256: a browser's kept-alive connection, the page and its stream
        # are served, and descriptors are left for esptool and the window.
        for descriptors in (None, 256):
            with self.subTest(descriptors=descriptors), Vornhale(descriptors=descriptors) as app:
                app.wait_serving()
                floods = [subprocess.Popen([sys.executable, "-c", FLOOD], stdout=subprocess.PIPE) for _ in range(4)]
                browser, used = None, 0
                try:
                    for _ in range(4):
                        for flood in floods:  # 400 connections since the browser's last request
                            flood.stdout.readline()
                        if browser is None or time.monotonic() - idle_since > 4:  # no longer kept alive
                            browser = socket.create_connection((HOST, PORT), timeout=10)
                        browser.sendall(b"HEAD / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n\r\n")
                        self.assertEqual(heads(browser, 1), [200])
                        idle_since = time.monotonic()
                        self.assertEqual(status_of(get(b"/")), 200)
                        EventStream().close()
                        used = max(used, len(os.listdir("/proc/%d/fd" % app.proc.pid)))
                    self.assertLess(used, (descriptors or 1024) * 3 // 4)
                finally:
                    for flood in floods:
                        flood.kill()
                        flood.wait()
                app.signal()
                self.assertEqual(app.finish(timeout=10)[0], 0)


    def test_idle_connections_under_a_low_descriptor_limit_keep_no_page_away(self):
        # 64 or 24 descriptors and 200 connections that send nothing: the pages
        # are answered before a head deadline (5 s) could free a descriptor.
        for descriptors, args, path in ((64, (), b"/"), (64, ("--station",), b"/station"), (24, ("--station",), b"/station")):
            with self.subTest(path=path, descriptors=descriptors), Vornhale(descriptors=descriptors, args=args) as app:
                if descriptors < 64 and not UNSANITIZED:
                    self.skipTest("the sanitizer needs descriptors of its own")
                app.wait_serving()
                idle = []
                try:
                    for _ in range(200):
                        idle.append(socket.create_connection((HOST, PORT), timeout=10))
                    for probe in (b"/", path, b"/", path):
                        self.assertEqual(status_of(exchange(b"GET " + probe + b" HTTP/1.1\r\nHost: 127.0.0.1:5000"
                                                            b"\r\nConnection: close\r\n\r\n", timeout=4.5)), 200)
                finally:
                    for sock in idle:
                        sock.close()
                app.signal()
                self.assertEqual(app.finish(timeout=10)[0], 0)


class SlowClients(unittest.TestCase):
    def test_slow_clients_do_not_hold_up_the_end(self):
        # More clients than serving threads trickle their headers, and one
        # sends a body without a length byte by byte.
        with Vornhale() as app:
            app.wait_serving()
            stop = threading.Event()

            def trickle(head, filler):
                try:
                    with socket.create_connection((HOST, PORT), timeout=10) as sock:
                        sock.sendall(head)
                        while not stop.wait(0.5):
                            sock.sendall(filler)
                except OSError:
                    pass

            clients = [threading.Thread(target=trickle, args=(b"POST / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n\r\n",
                                                              b"x"))]
            clients += [threading.Thread(target=trickle, args=(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n",
                                                               b"X-Slow: 1\r\n")) for _ in range(24)]
            for client in clients:
                client.start()
                time.sleep(0.02)
            try:
                time.sleep(1.5)
                app.signal(signal.SIGTERM)
                status, _, err = app.finish(timeout=2.5)
                self.assertEqual(status, 0, err)
            finally:
                stop.set()
                for client in clients:
                    client.join()


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
