"""Runs the real vornhale binary for tests and talks to it on 127.0.0.1:5000."""

import ctypes
import os
import pathlib
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import time

HOST, PORT = "127.0.0.1", 5000
EXIT_EVENT = b'1a\r\ndata: {"event" : "exit"}\n\n\r\n'

# A fake ESP32-S3 on USB for umockdev: the device, its interface 0 and its tty.
BOARD_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "board.umockdev")

# What esptool 4.7.0, 5.0.0 and 5.3.1 printed while they flashed a board with
# the MAC f4:12:fa:5a:1c:30, byte for byte: vVERSION-firmware.txt,
# vVERSION-file-system.txt, v5.3.1-no-answer.txt.
ESPTOOL_OUTPUT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data", "esptool-output")
ESPTOOL_VERSIONS = ("4.7.0", "5.0.0", "5.3.1")

# A stand-in for esptool. Records each call's arguments in call.N, one a line;
# runs run.N as part of itself, prints say.N and exits with code.N when they exist.
FAKE_TOOL = """#!/bin/sh
i=0
while [ -e "call.$i" ]; do i=$((i+1)); done
for a in "$@"; do printf '%s\\n' "$a"; done > "call.$i"
[ -e "run.$i" ] && . "./run.$i"
[ -e "say.$i" ] && cat "say.$i"
[ -e "code.$i" ] && exit "$(cat "code.$i")"
exit 0
"""


BUILD_OUTPUT = ("blink.ino.bin", "blink.ino.bootloader.bin", "blink.ino.partitions.bin", "boot_app0.bin", "fs.bin")


def write_build_folder(folder, tool_name, tool_script):
    """An Arduino-style build output (empty images) and a stand-in for esptool."""
    for name in BUILD_OUTPUT:
        open(os.path.join(folder, name), "wb").close()
    tool = os.path.join(folder, tool_name)
    with open(tool, "w") as f:
        f.write(tool_script)
    os.chmod(tool, 0o755)


def board_env(testbed):
    """The environment that shows the program (and esptool) testbed's devices."""
    asan = os.environ.get("ASAN_OPTIONS", "")
    return {"UMOCKDEV_DIR": testbed.get_root_dir(),
            "LD_PRELOAD": "libumockdev-preload.so.0",
            "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}


def binary():
    return os.environ["VORNHALE_BINARY"]


def chunk(text):
    payload = b"data: " + text.encode() + b"\n\n"
    return b"%x\r\n" % len(payload) + payload + b"\r\n"


def port_open():
    try:
        with socket.create_connection((HOST, PORT), timeout=0.2):
            return True
    except OSError:
        return False


def port_holders():
    """The command lines of the programs listening on the port."""
    try:
        listeners = subprocess.run(["ss", "-ltnpH", "sport = :%d" % PORT], capture_output=True, text=True,
                                   timeout=5).stdout
        return "\n".join(pathlib.Path("/proc/%s/cmdline" % pid).read_bytes().replace(b"\0", b" ").decode()
                         for pid in set(re.findall(r"pid=(\d+)", listeners))) or listeners
    except (OSError, subprocess.SubprocessError, UnicodeError) as e:
        return str(e)


# Every test here needs the port: say at once who holds it, if anyone does.
if port_open():
    sys.stderr.write("%s:%d is taken before the test begins, by:\n%s\n" % (HOST, PORT, port_holders()))


def wait_until(predicate, timeout=10.0, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


# A program a test started never outlives the test: the system kills it when
# the test process ends, however it ends (its own end, a crash, a kill), so
# that it cannot hold the port through the tests that follow.
PR_SET_PDEATHSIG = 1
_prctl = ctypes.CDLL(None, use_errno=True).prctl


def child_setup(descriptors, preexec, close_output=False, parent=None):
    _prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != parent:
        os._exit(127)  # the test ended before the program could start
    if descriptors is not None:
        resource.setrlimit(resource.RLIMIT_NOFILE, (descriptors, descriptors))
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
        signal.signal(sig, signal.SIG_DFL)  # whatever the test's own start ignored; preexec may ignore them
    if preexec is not None:
        preexec()
    if close_output:
        os.close(1)


class Vornhale:
    """The binary started in a folder of its own (a fresh temporary one unless
    cwd is given). headless=True removes the display. own_group=True starts it
    in a process group of its own, as a shell starts a foreground job, so that
    signal_group can signal it as the terminal's Ctrl+C does. descriptors: its
    limit on open descriptors (soft and hard), if not the test's own. preexec:
    run in the child before the binary starts. stdout: where its standard
    output goes (a pipe read by finish unless given; "closed": none at all)."""

    def __init__(self, cwd=None, headless=True, env=None, own_group=False, args=(), descriptors=None,
                 preexec=None, stdout=subprocess.PIPE):
        self._tmp = None
        if cwd is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="vornhale-test-")
            cwd = self._tmp.name
        self.cwd = cwd
        full_env = dict(os.environ)
        full_env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent"
        if headless:
            full_env.pop("DISPLAY", None)
            full_env.pop("WAYLAND_DISPLAY", None)
        # The station's records go to a state folder of the test's own.
        self._state = tempfile.TemporaryDirectory(prefix="vornhale-state-")
        full_env["XDG_STATE_HOME"] = self._state.name
        full_env.update(env or {})
        closed = stdout == "closed"
        self.proc = subprocess.Popen([binary(), *args], cwd=cwd, env=full_env,
                                     stdout=subprocess.DEVNULL if closed else stdout, stderr=subprocess.PIPE,
                                     process_group=0 if own_group else None,
                                     preexec_fn=lambda parent=os.getpid(): child_setup(descriptors, preexec,
                                                                                       closed, parent))
        self.stdout = b""
        self.stderr = b""

    def wait_serving(self, timeout=10.0):
        ok = wait_until(lambda: port_open() or self.proc.poll() is not None, timeout)
        if not ok or self.proc.poll() is not None:
            raise AssertionError("vornhale is not serving: %r" % (self.finish(1.0),))

    def signal_group(self, sig=signal.SIGINT):
        os.killpg(self.proc.pid, sig)

    def signal(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)

    def deliver(self, sig):
        """Sends sig and waits until the program has taken it, so that the next one is not merged with it."""
        self.proc.send_signal(sig)
        status = pathlib.Path("/proc/%d/status" % self.proc.pid)
        assert wait_until(lambda: not any(int(line.split()[1], 16) >> (sig - 1) & 1 for line in status.read_text()
                                          .splitlines() if line.startswith(("SigPnd:", "ShdPnd:"))), 10, 0.001), sig

    def finish(self, timeout=10.0):
        """Waits for the process to end; returns (status, stdout, stderr).
        Kills it (and fails the caller's expectations) when it hangs."""
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
            self.stdout += out or b""
            self.stderr += err
            return None, self.stdout, self.stderr
        self.stdout += out or b""
        self.stderr += err
        return self.proc.returncode, self.stdout, self.stderr

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate()
        self._state.cleanup()
        if self._tmp is not None:
            self._tmp.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class EventStream:
    """A raw client of GET /event that reads the exact bytes."""

    def __init__(self, extra_headers=b"", path=b"/event"):
        self.sock = socket.create_connection((HOST, PORT), timeout=5)
        self.sock.sendall(b"GET " + path + b" HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n" + extra_headers + b"\r\n")
        self.buffer = b""
        self.closed = False
        self.head = self.read_until(b"\r\n\r\n")

    def _fill(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        self.sock.settimeout(left)
        try:
            data = self.sock.recv(65536)
        except (socket.timeout, ConnectionResetError):
            return False
        if not data:
            self.closed = True
            return False
        self.buffer += data
        return True

    def read_until(self, marker, timeout=5.0):
        deadline = time.monotonic() + timeout
        while marker not in self.buffer:
            if self.closed or not self._fill(deadline):
                raise AssertionError("no %r in %r" % (marker, self.buffer))
        head, _, self.buffer = self.buffer.partition(marker)
        return head + marker

    def read_event(self, timeout=5.0):
        """The next event's text."""
        self.read_until(b"\r\n", timeout)  # chunk size line
        payload = self.read_until(b"\n\n\r\n", timeout)
        assert payload.startswith(b"data: "), payload
        return payload[len(b"data: "):-len(b"\n\n\r\n")].decode()

    def read_to_close(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        while not self.closed and self._fill(deadline):
            pass
        rest, self.buffer = self.buffer, b""
        return rest

    def close(self):
        self.sock.close()


def other_listener():
    """A plain listener holding the port, as another program would."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((HOST, PORT))
    sock.listen(16)
    sock.setblocking(False)
    return sock


def connections_accepted(sock):
    count = 0
    while True:
        try:
            conn, _ = sock.accept()
        except BlockingIOError:
            return count
        conn.close()
        count += 1
