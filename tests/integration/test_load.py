"""Sustained load on the page and the stylesheet with wrk: every answer is
complete, nothing fails, and the process does not grow."""

import os
import re
import subprocess
import sys
import unittest
import urllib.request

from support.vornhale import Vornhale

SECONDS = os.environ.get("VORNHALE_LOAD_SECONDS", "20")
LUA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bodies.lua")


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"VmRSS:\s+(\d+) kB", status.read()).group(1))


class Load(unittest.TestCase):
    def test_page_and_stylesheet_under_load(self):
        with Vornhale() as app:
            app.wait_serving()
            sizes = {}
            for path in ("/", "/pico.red.min.css"):
                with urllib.request.urlopen("http://127.0.0.1:5000" + path, timeout=5) as answer:
                    sizes[path] = len(answer.read())
            before = resident_kib(app.proc.pid)
            for path, size in sizes.items():
                with self.subTest(path=path):
                    run = subprocess.run(
                        ["wrk", "-t", "2", "-c", "50", "-d", SECONDS + "s", "-s", LUA,
                         "http://127.0.0.1:5000" + path, "--", str(size)],
                        capture_output=True, text=True, timeout=int(SECONDS) + 60)
                    print(run.stdout, file=sys.stderr)
                    counts = dict((k, int(v)) for k, v in re.findall(r"(\w+)=(\d+)", run.stdout))
                    self.assertGreater(counts.get("requests", 0), 0, run.stdout + run.stderr)
                    for key in ("bad_bodies", "connect", "read", "write", "timeout", "status"):
                        self.assertEqual(counts.get(key), 0, key + "\n" + run.stdout)
            after = resident_kib(app.proc.pid)
            print("resident: %d KiB before, %d KiB after" % (before, after), file=sys.stderr)
            self.assertLessEqual(after - before, 5 * 1024)
            app.signal()
            self.assertEqual(app.finish(timeout=10)[0], 0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
