"""Runs Vornhale's benchmarks and prints one Markdown table.

Every figure is a median over repeated runs; every comparison interleaves the
two sides (A B A B ...) in the same session, since absolute times on shared
machines drift."""

import argparse
import calendar
import hashlib
import json
import os
import platform
import re
import shutil
import signal
import socket
import select
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ESPTOOL_OUTPUT = os.path.join(os.path.dirname(HERE), "tests", "data", "esptool-output")
TOP = os.path.dirname(HERE)
PORT = 5000
REFERENCE_PORT = 5081
ENV = dict(os.environ, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
HEADLESS_ENV = {k: v for k, v in ENV.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}

rows = []  # (section, measure, figure, target)


def row(section, measure, figure, target=""):
    rows.append((section, measure, figure, target))
    print("  %s | %s | %s" % (section, measure, figure), file=sys.stderr, flush=True)


def median(values):
    return statistics.median(values)


def port_open(port=PORT):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


def wait_for(what, predicate, timeout=30, interval=0.02):
    """Polls predicate until it holds; fails naming what it waited for."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            raise RuntimeError("bench: gave up after %g s waiting for %s" % (timeout, what))
        time.sleep(interval)


def wait_serving(proc, timeout=30):
    wait_for("Vornhale to listen on 127.0.0.1:%d" % PORT, lambda: port_open() or proc.poll() is not None, timeout)
    if proc.poll() is not None:
        raise RuntimeError("bench: Vornhale ended (status %s) before it listened" % proc.returncode)


def wait_closed(port=PORT, timeout=10):
    wait_for("127.0.0.1:%d to be closed" % port, lambda: not port_open(port), timeout)


def start_headless(binary, cwd):
    return subprocess.Popen([binary], cwd=cwd, env=HEADLESS_ENV, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    wait_closed()


def first_event_byte(binary, cwd):
    """Seconds from exec to the first byte of the first event on /event."""
    started = time.perf_counter()
    proc = start_headless(binary, cwd)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                sock = socket.create_connection(("127.0.0.1", PORT), timeout=5)
                break
            except OSError:
                if proc.poll() is not None:
                    raise RuntimeError("vornhale ended early")
                if time.monotonic() >= deadline:
                    raise RuntimeError("bench: gave up after 30 s waiting for Vornhale to listen")
                time.sleep(0.0005)
        with sock:
            sock.sendall(b"GET /event HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n\r\n")
            data = b""
            while b"\r\n\r\n" not in data:
                got = sock.recv(4096)
                if not got:
                    raise RuntimeError("bench: /event closed before its response head")
                data += got
            body = data.split(b"\r\n\r\n", 1)[1]
            if not body:
                sock.recv(1)
            return time.perf_counter() - started
    finally:
        stop(proc)


# --- firmware scan -----------------------------------------------------------

def make_tree(root, entries):
    """Nested folders with a few images among many other files."""
    os.makedirs(root)
    made = 0
    folder_index = 0
    while made < entries:
        depth_path = os.path.join(root, "d%d" % (folder_index % 10), "e%d" % (folder_index // 10 % 10),
                                  "f%d" % folder_index)
        os.makedirs(depth_path, exist_ok=True)
        made += 1
        for i in range(min(100, entries - made)):
            name = "file%d.o" % i
            if folder_index % 97 == 0 and i == 0:
                name = "sketch%d.ino.bin" % folder_index
            open(os.path.join(depth_path, name), "wb").close()
            made += 1
        folder_index += 1
    return made


def bench_scan(build, work):
    scanner = os.path.join(build, "bench", "bench_firmware_scan")
    if not os.path.exists(scanner):
        row("firmware scan", "not built", "n/a")
        return
    for entries in (1000, 100000, 300000):
        root = os.path.join(work, "tree%d" % entries)
        make_tree(root, entries)
        subprocess.run(["find", ".", "-name", "*.ino.bin"], cwd=root, stdout=subprocess.DEVNULL, timeout=300)  # warm the cache
        ours, find, inside = [], [], []
        for _ in range(7):
            t = time.perf_counter()
            out = subprocess.run([scanner], cwd=root, capture_output=True, text=True, check=True, timeout=300).stdout
            ours.append(time.perf_counter() - t)
            inside.append(int(re.search(r"scan_us=(\d+)", out).group(1)) * 1e-6)
            t = time.perf_counter()
            subprocess.run(["find", ".", "-name", "*.ino.bin"], cwd=root, stdout=subprocess.DEVNULL, check=True, timeout=300)
            find.append(time.perf_counter() - t)
        ratios = [a / b for a, b in zip(ours, find)]
        row("firmware scan", "%d entries: scan time per entry" % entries, "%.0f ns" % (median(inside) / entries * 1e9),
            "flat")
        row("firmware scan", "%d entries: whole run, ratio to find" % entries, "%.2f" % median(ratios), "<= 1.2")
        if entries != 1000:
            shutil.rmtree(root)
    return


# --- start-up ---------------------------------------------------------------

# The Arduino ESP32 core's 8 MB scheme (default_8MB.csv): the file system at
# 0x670000, where the file-system run writes fs.bin. (type, subtype, offset, size, label)
PARTITIONS = ((1, 0x02, 0x9000, 0x5000, b"nvs"), (1, 0x00, 0xE000, 0x2000, b"otadata"),
              (0, 0x10, 0x10000, 0x330000, b"app0"), (0, 0x11, 0x340000, 0x330000, b"app1"),
              (1, 0x82, 0x670000, 0x180000, b"spiffs"), (1, 0x03, 0x7F0000, 0x10000, b"coredump"))


def partition_table():
    entries = b"".join(struct.pack("<2sBBII16sI", b"\xaa\x50", *entry, 0) for entry in PARTITIONS)
    return entries + b"\xff" * (3072 - len(entries))


def typical_build_output(folder):
    os.makedirs(folder)
    for name, size in (("blink.ino.bin", 300000), ("blink.ino.bootloader.bin", 20000),
                       ("blink.ino.partitions.bin", 3072), ("boot_app0.bin", 8192), ("fs.bin", 1500000)):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(partition_table() if name.endswith(".partitions.bin") else b"\xff" * size)


def bench_startup(build, work):
    binary = os.path.join(build, "vornhale")
    typical = os.path.join(work, "typical")
    typical_build_output(typical)
    big = os.path.join(work, "tree100000")
    if not os.path.exists(big):
        make_tree(big, 100000)
    for label, folder in (("typical build output", typical), ("100,000-entry tree", big)):
        times = [first_event_byte(binary, folder) for _ in range(9)]
        row("start-up", "exec to first event byte, " + label, "%.1f ms" % (median(times) * 1e3))
    shutil.rmtree(big)
    paint = window_first_paint(binary, typical)
    row("start-up", "exec to first status text painted (Xvfb)", paint)


def window_first_paint(binary, folder):
    if shutil.which("Xvfb") is None:
        return "n/a (no Xvfb)"
    display = ":77"
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1600x900x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = dict(ENV, DISPLAY=display)
    times = []
    try:
        time.sleep(0.5)
        for _ in range(5):
            started = time.perf_counter()
            proc = subprocess.Popen([binary], cwd=folder, env=env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            try:
                found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^Vornhale$"],
                                       env=env, capture_output=True, timeout=30, check=True)
                window = found.stdout.split()[0].decode()
                # The page shows dark text on a light background once it has
                # painted its first status text.
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline:
                    shot = subprocess.run(["import", "-window", window, "-depth", "8", "gray:-"], env=env,
                                          capture_output=True, timeout=30).stdout
                    if shot and min(shot) < 96 and max(shot) > 200:
                        times.append(time.perf_counter() - started)
                        break
            finally:
                stop(proc)
    finally:
        xvfb.terminate()
        xvfb.wait()
    if not times:
        return "not measured"
    return "%.0f ms" % (median(times) * 1e3)


# --- events -----------------------------------------------------------------

def bench_events(build):
    tool = os.path.join(build, "bench", "bench_event_latency")
    figures = []
    for _ in range(5):
        out = subprocess.run([tool, "10000"], capture_output=True, text=True, check=True, timeout=120).stdout
        figures.append(dict((k, float(v)) for k, v in re.findall(r"(\w+)=([\d.]+)", out)))
    row("events", "push to arrival p50", "%.1f us" % median([f["p50_us"] for f in figures]))
    row("events", "push to arrival p99", "%.1f us" % median([f["p99_us"] for f in figures]), "< 1 ms")
    row("events", "push to arrival max", "%.1f us" % median([f["max_us"] for f in figures]))
    row("events", "texts per second, one stream", "%.0f" % median([f["texts_per_s"] for f in figures]))


# --- serving ----------------------------------------------------------------

NGINX_CONF = """
worker_processes 2;
daemon off;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    types {{ text/html html; text/css css; }}
    server {{
        listen 127.0.0.1:{port};
        root {root};
        location = / {{ try_files /index.html =404; }}
    }}
}}
"""


def wrk(url, seconds=5):
    out = subprocess.run(["wrk", "-t", "2", "-c", "50", "-d", "%ds" % seconds, "--latency", url],
                         capture_output=True, text=True, check=True, timeout=seconds + 60).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", out)
    scale = {"us": 1e-3, "ms": 1.0, "s": 1e3}[p99.group(2)]
    return rps, float(p99.group(1)) * scale


def bench_serving(build, work):
    binary = os.path.join(build, "vornhale")
    root = os.path.join(work, "www")
    os.makedirs(root)
    shutil.copy(os.path.join(TOP, "web_resources", "index.html"), root)
    shutil.copy(os.path.join(TOP, "node_modules", "@picocss", "pico", "css", "pico.red.min.css"), root)
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(work=work, port=REFERENCE_PORT, root=root))
    nginx = subprocess.Popen(["nginx", "-c", conf, "-p", work], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ours = start_headless(binary, work)
    try:
        wait_for("Vornhale and nginx to listen on ports %d and %d" % (PORT, REFERENCE_PORT),
                 lambda: port_open(PORT) and port_open(REFERENCE_PORT), 10, 0.05)
        for path, label in (("/", "page"), ("/pico.red.min.css", "stylesheet")):
            a_rps, a_p99, b_rps, b_p99, ratios = [], [], [], [], []
            for _ in range(3):
                rps, p99 = wrk("http://127.0.0.1:%d%s" % (PORT, path))
                a_rps.append(rps)
                a_p99.append(p99)
                rps2, p992 = wrk("http://127.0.0.1:%d%s" % (REFERENCE_PORT, path))
                b_rps.append(rps2)
                b_p99.append(p992)
                ratios.append(rps / rps2)
            row("serving", "%s: requests/s, Vornhale" % label, "%.0f" % median(a_rps))
            row("serving", "%s: p99 latency, Vornhale" % label, "%.2f ms" % median(a_p99))
            row("serving", "%s: requests/s, nginx" % label, "%.0f" % median(b_rps))
            row("serving", "%s: p99 latency, nginx" % label, "%.2f ms" % median(b_p99))
            row("serving", "%s: throughput ratio Vornhale/nginx" % label, "%.2f" % median(ratios))
    finally:
        stop(ours)
        nginx.terminate()
        nginx.wait()


# --- idle cost ----------------------------------------------------------------

def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))


def bench_idle(build, work, seconds=30):
    binary = os.path.join(build, "vornhale")
    proc = start_headless(binary, work)
    try:
        wait_serving(proc)
        with socket.create_connection(("127.0.0.1", PORT)) as sock:
            sock.sendall(b"GET /event HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n\r\n")
            time.sleep(1)
            before = cpu_ticks(proc.pid)
            time.sleep(seconds)
            used = (cpu_ticks(proc.pid) - before) / os.sysconf("SC_CLK_TCK")
            rss = resident_kib(proc.pid)
    finally:
        stop(proc)
    row("idle", "CPU over %d s, one stream open" % seconds, "%.3f %% of one core" % (100 * used / seconds),
        "< 0.5 %")
    row("idle", "resident memory", "%.1f MiB" % (rss / 1024))


# --- station mode ---------------------------------------------------------------

USB = "/devices/pci0000:00/0000:00:14.0/usb1/"
# Takes a fixed time a run, and notes when each run started. Prints what
# esptool 4.7.0 really printed (tests/data/esptool-output), naming the chip it
# reached (the board's serial number is its MAC), and,
# when the folder holds "resets", adds its port there at the end: the board
# then leaves USB and comes back, as an ESP32-S3 does after esptool's reset.
STATION_TOOL = """#!/bin/sh
port=""; previous=""
for a in "$@"; do [ "$previous" = "--port" ] && port="$a"; previous="$a"; done
tty=$(basename "$port")
here=$(dirname "$0")  # the tool's files lie beside it: it runs in the station's copy of the images
date +%s.%N >> "$here/started.$tty"
case "$*" in *fs.bin*) image=file-system;; *) image=firmware;; esac
out="{esptool_output}/v4.7.0-$image.txt"
mac=$(tr A-F a-f < "/sys/class/tty/$tty/device/../serial")
sed "s/f4:12:fa:5a:1c:30/$mac/" "$out" | awk '{{ print }} /MAC:/ {{ exit }}'
sleep {seconds}
sed "s/f4:12:fa:5a:1c:30/$mac/" "$out" | awk 'rest {{ print }} /MAC:/ {{ rest = 1 }}'
[ -e "$here/resets" ] && echo "$tty" >> "$here/resets"
exit 0
"""


def plug(testbed, socket_number, serial, tty=None):
    """Plugs a board into a socket; its tty is a pty of our own, so that a
    name can come back on another board."""
    port, tty = "1-%d" % socket_number, tty or "ttyACM%d" % socket_number
    testbed.add_from_string("P: %s%s\nN: bus/usb/001/%03d\nE: DEVNAME=/dev/bus/usb/001/%03d\nE: DEVTYPE=usb_device\n"
                            "E: SUBSYSTEM=usb\nA: idVendor=303a\nA: idProduct=1001\nA: serial=%s\n\n"
                            % (USB, port, socket_number + 4, socket_number + 4, serial))
    testbed.add_from_string("P: %s%s/%s:1.0\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nA: bInterfaceNumber=00\n\n"
                            % (USB, port, port))
    testbed.add_from_string("P: %s%s/%s:1.0/tty/%s\nE: DEVNAME=/dev/%s\nE: SUBSYSTEM=tty\nA: dev=166:0\n"
                            "L: device=../../../%s:1.0\n\n" % (USB, port, port, tty, tty, port))
    _, slave = os.openpty()
    os.makedirs(os.path.join(testbed.get_root_dir(), "dev"), exist_ok=True)
    os.symlink(os.ttyname(slave), os.path.join(testbed.get_root_dir(), "dev", tty))
    testbed.uevent("/sys" + USB + port, "bind")


def unplug(testbed, socket_number, tty):
    port = "1-%d" % socket_number
    os.remove(os.path.join(testbed.get_root_dir(), "dev", tty))
    for path in ("%s/%s:1.0/tty/%s" % (port, port, tty), "%s/%s:1.0" % (port, port), port):
        testbed.uevent("/sys" + USB + path, "remove")
        testbed.remove_device("/sys" + USB + path)


def reenumerate(folder, testbed, sockets, stopped):
    """After each run a board leaves 0.3 to 1.0 s later, stays away 0.2 s and
    comes back under the lowest free ttyACM number. sockets: tty -> (socket
    number, serial)."""
    import random
    pending, seen = [], 0
    while not stopped.is_set():
        with open(os.path.join(folder, "resets")) as f:
            ended = f.read().split()
        pending += [(time.monotonic() + random.uniform(0.3, 1.0), "leave", tty) for tty in ended[seen:]]
        seen = len(ended)
        for item in sorted(p for p in pending if p[0] <= time.monotonic()):
            pending.remove(item)
            when, what, where = item
            if what == "leave":
                board = sockets.pop(where)
                unplug(testbed, board[0], where)
                pending.append((when + 0.2, "back", board))
            else:
                tty = next("ttyACM%d" % n for n in range(64) if "ttyACM%d" % n not in sockets)
                sockets[tty] = where
                plug(testbed, where[0], where[1], tty)
        time.sleep(0.01)


def station_run(binary, folder, testbed, boards, plugged_later=0, resets=False):
    """Starts station mode with boards plugged in; plugs plugged_later more a
    second later. resets: the boards leave USB and come back after each run.
    Returns seconds from exec to the last record line, and the delays from
    each later plug to its board's first run."""
    import threading
    sockets = {}
    for number in range(boards):
        plug(testbed, number, "F4:12:FA:00:00:%02X" % number)
        sockets["ttyACM%d" % number] = (number, "F4:12:FA:00:00:%02X" % number)
    stopped = threading.Event()
    bus = None
    if resets:
        open(os.path.join(folder, "resets"), "w").close()
        bus = threading.Thread(target=reenumerate, args=(folder, testbed, sockets, stopped), daemon=True)
        bus.start()
    env = dict(HEADLESS_ENV, UMOCKDEV_DIR=testbed.get_root_dir(), LD_PRELOAD="libumockdev-preload.so.0",
               XDG_STATE_HOME=os.path.join(folder, "..", "state"))
    started = time.monotonic()
    proc = subprocess.Popen([binary, "--station"], cwd=folder, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    delays = []
    try:
        wait_serving(proc)
        if plugged_later:
            time.sleep(1)
            for number in range(boards, boards + plugged_later):
                plugged = time.time()
                plug(testbed, number, "F4:12:FA:00:01:%02X" % number)
                name = os.path.join(folder, "started.ttyACM%d" % number)
                wait_for("the first esptool run of the board plugged into socket %d" % number,
                         lambda: os.path.exists(name) and open(name).read(), 30, 0.005)
                delays.append(float(open(name).read().split()[0]) - plugged)
        records, pending, deadline = 0, b"", time.monotonic() + 60
        while records < boards + plugged_later:
            if time.monotonic() >= deadline or not select.select([proc.stdout], [], [], 1)[0]:
                if time.monotonic() < deadline:
                    continue
                raise RuntimeError("bench: gave up after 60 s waiting for the records of %d boards: %d came"
                                   % (boards + plugged_later, records))
            got = os.read(proc.stdout.fileno(), 65536)
            if not got:
                raise RuntimeError("vornhale ended before every board's record")
            pending += got
            *lines, pending = pending.split(b"\n")
            for line in lines:
                if line.startswith(b"{"):
                    records += 1
                    if b'"flashed"' not in line:
                        raise RuntimeError("a board failed: %s" % line.decode().strip())
        return time.monotonic() - started, delays
    finally:
        stopped.set()
        if bus:
            bus.join()
        stop(proc)


def bench_station(build, work, run_seconds=1.0):
    try:
        import gi
        gi.require_version("UMockdev", "1.0")
        from gi.repository import UMockdev
    except (ImportError, ValueError) as e:
        row("station", "skipped", str(e))
        return
    if "libumockdev-preload" not in os.environ.get("LD_PRELOAD", ""):
        row("station", "skipped", "run under umockdev-wrapper (bench/run.sh does)")
        return
    binary = os.path.join(build, "vornhale")

    def medians(resets):
        times = {1: [], 8: []}
        for _ in range(3):
            for boards in (1, 8):
                folder = os.path.join(tempfile.mkdtemp(dir=work), "build")
                typical_build_output(folder)
                with open(os.path.join(folder, "esptool"), "w") as f:
                    f.write(STATION_TOOL.format(seconds=run_seconds, esptool_output=ESPTOOL_OUTPUT))
                os.chmod(os.path.join(folder, "esptool"), 0o755)
                times[boards].append(station_run(binary, folder, UMockdev.Testbed.new(), boards, resets=resets)[0])
                wait_closed()
        return {boards: median(t) for boards, t in times.items()}

    times = medians(resets=False)
    row("station", "1 board, 2 runs of %.1f s each: exec to its record" % run_seconds, "%.2f s" % times[1])
    row("station", "8 boards at once: exec to the last record", "%.2f s" % times[8])
    row("station", "8 boards at once: ratio to 1 board", "%.2f" % (times[8] / times[1]), "<= 1.3")
    # Boards that leave USB after each run and come back under reused names.
    times = medians(resets=True)
    row("station", "resetting boards: 1 board, exec to its record", "%.2f s" % times[1])
    row("station", "resetting boards: 8 at once, exec to the last record", "%.2f s" % times[8])
    row("station", "resetting boards: ratio of 8 to 1", "%.2f" % (times[8] / times[1]), "<= 1.3")
    folder = os.path.join(tempfile.mkdtemp(dir=work), "build")
    typical_build_output(folder)
    with open(os.path.join(folder, "esptool"), "w") as f:
        f.write(STATION_TOOL.format(seconds=0.1, esptool_output=ESPTOOL_OUTPUT))
    os.chmod(os.path.join(folder, "esptool"), 0o755)
    delays = station_run(binary, folder, UMockdev.Testbed.new(), 0, plugged_later=5)[1]
    wait_closed()
    row("station", "board plugged in to its first esptool run", "%.0f ms" % (1000 * median(delays)), "<= 1 s")

    folder = os.path.join(tempfile.mkdtemp(dir=work), "build")
    typical_build_output(folder)
    env = dict(HEADLESS_ENV, UMOCKDEV_DIR=UMockdev.Testbed.new().get_root_dir(), LD_PRELOAD="libumockdev-preload.so.0",
               XDG_STATE_HOME=os.path.join(folder, "..", "state"))
    proc = subprocess.Popen([binary, "--station"], cwd=folder, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        wait_serving(proc)
        time.sleep(1)
        before = cpu_ticks(proc.pid)
        time.sleep(20)
        used = (cpu_ticks(proc.pid) - before) / os.sysconf("SC_CLK_TCK")
    finally:
        stop(proc)
    row("station", "idle CPU over 20 s, no board plugged in", "%.3f %% of one core" % (100 * used / 20), "< 0.5 %")


# --- records -----------------------------------------------------------------

def bench_records(build, work):
    keeper = os.path.abspath(os.path.join(build, "bench", "bench_record_keep"))
    if not os.path.exists(keeper):
        row("records", "not built", "n/a")
        return
    # On the disk the build is on (a temporary folder may be in memory, where
    # flushing costs nothing).
    folder = tempfile.mkdtemp(dir=build, prefix="bench-records-")
    try:
        typical_build_output(os.path.join(folder, "build"))
        medians, slowest = [], []
        for _ in range(5):
            err = subprocess.run([keeper, "200"], cwd=os.path.join(folder, "build"), stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, text=True, check=True, timeout=120).stderr
            medians.append(int(re.search(r"keep_median_us=(\d+)", err).group(1)) / 1000)
            slowest.append(int(re.search(r"keep_max_us=(\d+)", err).group(1)) / 1000)
            os.remove(os.path.join(folder, "build", "records.jsonl"))
    finally:
        shutil.rmtree(folder)
    row("records", "keeping one record (appended, on stable storage)", "%.2f ms" % median(medians), "< 5 ms")
    row("records", "slowest of 200 records", "%.2f ms" % median(slowest), "")


# --- summary -----------------------------------------------------------------

def record_lines(count):
    """count station records as the station writes them: one board in 25 failed, for one of four reasons."""
    reasons = ["Firmware: Failed to connect to ESP32-S3: No serial data received.",
               "Firmware: the board was unplugged during the firmware run",
               "File system: Packet content transfer stopped (received 25 bytes)",
               'its USB serial number "X" is no MAC, so the board cannot be checked against the chip']
    images = ["blink.ino.bootloader.bin", "blink.ino.partitions.bin", "boot_app0.bin", "blink.ino.bin", "fs.bin"]
    start = calendar.timegm((2026, 12, 8, 9, 0, 0))
    for n in range(count):
        failed = n % 25 == 7
        at = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(start + n * 4.5))
        mac = "f4:12:fa:%02x:%02x:%02x" % (n >> 16 & 255, n >> 8 & 255, n & 255)
        record = {"time": at, "port": "/dev/ttyACM%d" % (n % 8), "serial": mac.upper(),
                  "result": "failed" if failed else "flashed"}
        if failed:
            record["reason"] = reasons[n % 4]
        record.update({"seconds": round(36 + (n * 7919 % 100) / 10, 1), "attempt": 1,
                       "chip": "ESP32-S3 (QFN56) (revision v0.2)", "mac": mac, "esptool": "4.7.0",
                       "rom_loader": False, "application": "blink.ino.bin",
                       "sha256": {i: hashlib.sha256(i.encode()).hexdigest() for i in images},
                       "verified": {i: not failed for i in images}})
        yield json.dumps(record, separators=(",", ":")) + "\n"


def timed_child(args, stdout):
    """Runs args; its wall time in seconds and its peak resident memory in MiB."""
    began = time.monotonic()
    proc = subprocess.Popen(args, stdout=stdout, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError("%s exited with %d" % (args, proc.returncode))
    return time.monotonic() - began, usage.ru_maxrss / 1024


def bench_summary(build, work):
    binary = os.path.abspath(os.path.join(build, "vornhale"))
    peaks = {}
    for count in (100000, 300000):
        path = os.path.join(work, "records-%d.jsonl" % count)
        with open(path, "w") as f:
            f.writelines(record_lines(count))
        size = os.path.getsize(path) / (1024 * 1024)
        for args, what in ((["--summary"], "summary"), (["--summary", "--csv"], "table (CSV) to a file")):
            times, memory = [], []
            for _ in range(5):
                with open(os.path.join(work, "out"), "wb") as out:
                    took, peak = timed_child([binary, *args, path], out)
                times.append(took)
                memory.append(peak)
            row("summary", "%s records (%.0f MiB): %s, exec to exit" % (format(count, ","), size, what),
                "%.0f ms" % (1000 * median(times)), "< 1 s" if count == 100000 else "")
            peaks[(count, what)] = median(memory)
        os.remove(path)
    for what in ("summary", "table (CSV) to a file"):
        row("summary", "%s: peak resident memory, 100,000 and 300,000 records" % what,
            "%.1f / %.1f MiB" % (peaks[(100000, what)], peaks[(300000, what)]), "flat")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--update", action="store_true", help="write the table into bench/README.md")
    parser.add_argument("--only", help="run this benchmark alone (scan, startup, events, serving, idle, station, records, summary)")
    args = parser.parse_args()
    if port_open():
        sys.exit("bench: something already listens on 127.0.0.1:5000")
    with tempfile.TemporaryDirectory(prefix="vornhale-bench-") as work:
        serve = os.path.join(work, "serve")
        os.makedirs(serve)
        benchmarks = {"scan": lambda: bench_scan(args.build, work), "startup": lambda: bench_startup(args.build, work),
                      "events": lambda: bench_events(args.build), "serving": lambda: bench_serving(args.build, serve),
                      "idle": lambda: bench_idle(args.build, work), "station": lambda: bench_station(args.build, work),
                      "records": lambda: bench_records(args.build, work),
                      "summary": lambda: bench_summary(args.build, work)}
        for name, bench in benchmarks.items():
            if args.only in (None, name):
                bench()

    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        m = re.search(r"model name\s*:\s*(.+)", f.read())
        if m:
            cpu = m.group(1).strip()
    header = ["Machine: %s, %d cores, %s, Linux %s." % (cpu, os.cpu_count(), "Debian 12", platform.release()),
              "Command: `bench/run.sh --update`, %s." % time.strftime("%Y-%m-%d"), "",
              "| Benchmark | Measure | Median | Target |", "|---|---|---|---|"]
    table = "\n".join(header + ["| %s | %s | %s | %s |" % r for r in rows])
    print(table)
    if args.update:
        readme = os.path.join(HERE, "README.md")
        text = open(readme).read() if os.path.exists(readme) else ""
        begin, end = "<!-- table -->", "<!-- /table -->"
        if begin in text and end in text:
            text = text.split(begin)[0] + begin + "\n" + table + "\n" + end + text.split(end, 1)[1]
        else:
            text += "\n" + begin + "\n" + table + "\n" + end + "\n"
        with open(readme, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
