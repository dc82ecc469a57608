"""The real binary without a display: it serves the status page until a stop
signal and then shuts down in order."""

import signal
import sys
import time
import unittest

from support.vornhale import EXIT_EVENT, EventStream, Vornhale, connections_accepted, other_listener, port_open

NO_DISPLAY = b"No display available: the status page is served at http://127.0.0.1:5000 until Ctrl+C.\n"


class Headless(unittest.TestCase):
    def test_serves_events_and_ends_on_stop_signals(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name), Vornhale() as app:
                app.wait_serving()
                stream = EventStream()
                self.assertTrue(stream.head.startswith(b"HTTP/1.1 200 OK\r\n"), stream.head)
                self.assertIn(b"Content-Type: text/event-stream\r\n", stream.head)
                time.sleep(0.2)  # until the stream waits for a text (headers go out first)
                app.signal(sig)
                status, out, err = app.finish(timeout=5)
                self.assertEqual(status, 0, err)
                self.assertIn(NO_DISPLAY, err)
                # The stream that was waiting gets the exit event as its last bytes.
                self.assertTrue(stream.read_to_close().endswith(EXIT_EVENT))
                self.assertFalse(port_open())

    def test_unknown_paths_answer_404(self):
        with Vornhale() as app:
            app.wait_serving()
            import urllib.request, urllib.error
            with self.assertRaises(urllib.error.HTTPError) as caught:
                urllib.request.urlopen("http://127.0.0.1:5000/favicon.ico", timeout=5)
            self.assertEqual(caught.exception.code, 404)
            app.signal()
            self.assertEqual(app.finish(timeout=5)[0], 0)

    def test_serves_the_embedded_page_and_stylesheet(self):
        import urllib.request
        with Vornhale() as app:
            app.wait_serving()
            for path, content_type, size in (("/", "text/html", 631), ("/pico.red.min.css", "text/css", 82200)):
                with urllib.request.urlopen("http://127.0.0.1:5000" + path, timeout=5) as reply:
                    self.assertEqual(reply.headers["Content-Type"], content_type, path)
                    self.assertEqual(len(reply.read()), size, path)
            app.signal()
            self.assertEqual(app.finish(timeout=5)[0], 0)

    def test_port_in_use_exits_at_once(self):
        holder = other_listener()
        try:
            with Vornhale() as app:
                status, out, err = app.finish(timeout=5)
                self.assertEqual(status, 1)
                self.assertIn(b"Vornhale cannot listen on 127.0.0.1:5000: Address already in use\n", err)
                self.assertNotIn(NO_DISPLAY, err)
            self.assertEqual(connections_accepted(holder), 0)
        finally:
            holder.close()

    def test_a_second_instance_cannot_share_the_port(self):
        with Vornhale() as first:
            first.wait_serving()
            with Vornhale() as second:
                status, _, err = second.finish(timeout=5)
                self.assertEqual(status, 1)
                self.assertIn(b"Address already in use", err)
            first.signal()
            self.assertEqual(first.finish(timeout=5)[0], 0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
