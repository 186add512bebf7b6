"""bisource.fetching_data behind a network link of known rate and delay.

    .venv/bin/python benchmarks/bench_network.py [--keep DIR] [--days N] [--stations N] [--minute-days N]
                                                 [--links 1g,100m] [--repeat N]

Starts a private MariaDB server, loads into it a sample of second values (one
station's three magnetometer items over --days days: about 0.7 MB of packed
text per item and day) and one of minute values (--stations stations side by
side over --minute-days days: about 11 KB per station and day), and reaches it through a pacing TCP proxy on
loopback: a link that forwards both directions at a given rate, each byte
delivered the link's one-way delay after it has been sent (the kernel here
has no traffic-shaping queueing disciplines). The links are 1 Gb/s with
0.5 ms and 100 Mb/s with 5 ms. Each link's rate and round trip are checked
with a bulk transfer and a ping-pong through the proxy before it is used.

Per request and link it reports the bytes the final statement's read moves
(server to client, as the proxy counts them), the time those bytes need at
the link's rate, the bare pd.read_sql of the final statement, the whole
bisource.fetching_data call (every read it makes goes through the link), and
the peak memory of each (the rise of the peak resident size during the call), and
the whole call's peak against the size of its result (index, values
and column references, DataFrame.memory_usage), and the time of a deep copy of
the result: writing memory the size of the result once, the least that
building it after the last row has arrived adds to the read. Each of the two calls runs
in a fresh process, after a small request of the same kind, so that what a
first call loads once does not count.
"""
import argparse
import collections
import contextlib
import io
import json
import os
import pathlib
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import warnings

LINKS = {"1g": ("1 Gb/s, 0.5 ms", 1e9, 0.0005), "100m": ("100 Mb/s, 5 ms", 1e8, 0.005)}
CHUNK = 64 * 1024
# Bytes a direction may hold between reading and delivering: what a TCP
# window lets the sender have in flight.
QUEUE_LIMIT = 8 * 2**20


# -- the link ---------------------------------------------------------------

class Direction:
    """Bytes from one socket to the other: each chunk leaves when the link has
    finished sending the ones before it (rate) and arrives `delay` later."""

    def __init__(self, source, sink, rate, delay, counter, key):
        self.source, self.sink = source, sink
        self.rate, self.delay = rate, delay
        self.counter, self.key = counter, key
        self.queue = collections.deque()
        self.queued = 0
        self.cond = threading.Condition()
        self.closed = False

    def read(self):
        free = 0.0  # when the link has sent everything queued so far
        try:
            while True:
                data = self.source.recv(CHUNK)
                if not data:
                    break
                now = time.perf_counter()
                free = max(now, free) + len(data) * 8 / self.rate
                with self.cond:
                    while self.queued > QUEUE_LIMIT:
                        self.cond.wait()
                    self.queue.append((free + self.delay, data))
                    self.queued += len(data)
                    self.cond.notify_all()
        except OSError:
            pass
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def write(self):
        try:
            while True:
                with self.cond:
                    while not self.queue and not self.closed:
                        self.cond.wait()
                    if not self.queue:
                        break
                    due, data = self.queue.popleft()
                    self.queued -= len(data)
                    self.cond.notify_all()
                wait = due - time.perf_counter()
                if wait > 0:
                    time.sleep(wait)
                self.sink.sendall(data)
                self.counter[self.key] += len(data)
        except OSError:
            pass
        with contextlib.suppress(OSError):
            self.sink.shutdown(socket.SHUT_WR)


def serve_link(target_port, rate, delay, ready):
    """The proxy: listens on a free loopback port (printed to `ready`), and a
    control port that answers each connection with the byte counts so far."""
    counter = collections.Counter()
    listener = socket.create_server(("127.0.0.1", 0))
    control = socket.create_server(("127.0.0.1", 0))

    def answer():
        while True:
            peer, _ = control.accept()
            with peer:
                peer.sendall(json.dumps(dict(counter)).encode() + b"\n")

    threading.Thread(target=answer, daemon=True).start()
    ready.write(f"{listener.getsockname()[1]} {control.getsockname()[1]}\n")
    ready.flush()
    while True:
        client, _ = listener.accept()
        server = socket.create_connection(("127.0.0.1", target_port))
        for s in (client, server):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for source, sink, key in ((client, server, "up"), (server, client, "down")):
            direction = Direction(source, sink, rate, delay, counter, key)
            threading.Thread(target=direction.read, daemon=True).start()
            threading.Thread(target=direction.write, daemon=True).start()


class Link:
    """A proxy process in front of `target_port`."""

    def __init__(self, target_port, rate, delay):
        self.rate, self.delay = rate, delay
        self.process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--proxy", str(target_port), str(rate), str(delay)],
            stdout=subprocess.PIPE, text=True)
        self.port, self.control = map(int, self.process.stdout.readline().split())

    def close(self):
        self.process.kill()
        self.process.wait()


def check_link(rate, delay):
    """Rate of a bulk transfer of about one second of the link's bytes, and
    the median round trip of 20 small messages, through a fresh proxy in
    front of a local source of bytes."""
    size = int(rate / 8)
    source = socket.create_server(("127.0.0.1", 0))

    def feed():
        peer, _ = source.accept()
        with peer:
            peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for _ in range(20):  # echo the pings
                peer.sendall(peer.recv(16))
            if peer.recv(16) != b"go":
                return
            block = b"x" * CHUNK
            for sent in range(0, size, CHUNK):
                peer.sendall(block[: min(CHUNK, size - sent)])

    threading.Thread(target=feed, daemon=True).start()
    link = Link(source.getsockname()[1], rate, delay)
    try:
        with socket.create_connection(("127.0.0.1", link.port)) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            trips = []
            for _ in range(20):
                began = time.perf_counter()
                s.sendall(b"p")
                s.recv(16)
                trips.append(time.perf_counter() - began)
            s.sendall(b"go")
            began = time.perf_counter()
            got = 0
            while got < size:
                data = s.recv(1 << 20)
                if not data:
                    break
                got += len(data)
            seconds = time.perf_counter() - began
    finally:
        link.close()
        source.close()
    return got, seconds, statistics.median(trips)


# -- the measured calls -----------------------------------------------------

def link_counts(control):
    """Bytes the proxy has forwarded so far, by direction ("up", "down")."""
    with socket.create_connection(("127.0.0.1", control)) as s:
        return json.loads(s.makefile().readline())


def measure_one(what, statement_file, request, control):
    """In a fresh process in the sample's folder: one call, through the link
    of the "link" section; prints its figures as JSON."""
    warnings.filterwarnings("ignore", "pandas only supports SQLAlchemy connectable")
    warnings.filterwarnings("ignore", category=FutureWarning)
    import pandas as pd

    import velmora.bisource as bisource
    from procstatus import rss_kib

    conn = bisource.conn_to_MySQL("link")
    small = [request[0], request[0], *request[2:]]
    with contextlib.redirect_stdout(io.StringIO()):
        bisource.fetching_data(conn, *small)
    statement = pathlib.Path(statement_file).read_text(encoding="utf-8")
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak resident size starts again from the current one
    before = rss_kib("VmRSS")
    sent = link_counts(control).get("down", 0)
    with contextlib.redirect_stdout(io.StringIO()):
        began = time.perf_counter()
        if what == "bare":
            result = pd.read_sql(statement, con=conn)
        else:
            result = bisource.fetching_data(conn, *request)
        seconds = time.perf_counter() - began
    peak = (rss_kib("VmHWM") - before) * 1024
    wire = link_counts(control).get("down", 0) - sent
    own = int(result.memory_usage(index=True, deep=False).sum())
    conn.close()
    # one pass of writing memory the size of the result: what building it once
    # the last row has arrived costs at the least
    began = time.perf_counter()
    result.copy(deep=True)
    copy = time.perf_counter() - began
    print(json.dumps({"rows": len(result), "seconds": seconds, "peak": peak, "own": own, "wire": wire,
                      "copy": copy}))


def run_measure(folder, what, request, link):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--measure", what, json.dumps(request),
                          str(link.control)],
                         cwd=folder, check=True, capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(
                             filter(None, [os.path.dirname(os.path.abspath(__file__)),
                                           os.environ.get("PYTHONPATH")])))).stdout
    return json.loads(out.splitlines()[-1])


def write_conf(folder, sections):
    with open(folder / "default.conf", "w", encoding="utf-8") as conf:
        for name, options in sections.items():
            conf.write(f"[{name}]\n" + "".join(f"{k} = {v}\n" for k, v in options.items()))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--keep", help="folder for the sample (kept between runs)")
    parser.add_argument("--days", type=int, default=60, help="days of second values in the sample")
    parser.add_argument("--stations", type=int, default=40, help="stations of the minute-value sample")
    parser.add_argument("--minute-days", type=int, default=240, help="days of minute values in the sample")
    parser.add_argument("--links", default="1g,100m")
    parser.add_argument("--repeat", type=int, default=1, help="calls of each kind per request and link (best kept)")
    parser.add_argument("--proxy", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--measure", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.proxy:
        target, rate, delay = args.proxy
        return serve_link(int(target), float(rate), float(delay), sys.stdout)
    if args.measure:
        what, request, control = args.measure
        return measure_one(what, "statement.sql", json.loads(request), int(control))

    import pandas as pd
    import qzdb.mariadb
    import qzdb.sample
    import velmora.bisource as bisource

    warnings.filterwarnings("ignore", "pandas only supports SQLAlchemy connectable")
    warnings.filterwarnings("ignore", category=FutureWarning)
    links = [LINKS[name] for name in args.links.split(",")]
    for label, rate, delay in links:
        got, seconds, trip = check_link(rate, delay)
        print(f"link {label}: bulk {got / 2**20:.1f} MiB in {seconds:.3f} s = {got * 8 / seconds / 1e6:.1f} Mb/s"
              f" ({got * 8 / seconds / rate:.3f} of the rate), round trip {trip * 1e3:.2f} ms"
              f" (2 x delay = {2 * delay * 1e3:.2f} ms)", flush=True)

    folder = pathlib.Path(args.keep or tempfile.mkdtemp(prefix="velmora-net-")).resolve()
    folder.mkdir(parents=True, exist_ok=True)
    # the samples (each a table of its own) and their requests
    samples = {
        f"seconds-{args.days}.sqlite": dict(stations=2, days=args.days, second_stations=1,
                                            second_days=args.days, tables=["QZ_312_DYU_02"]),
        f"minutes-{args.stations}x{args.minute_days}.sqlite": dict(
            stations=args.stations, days=args.minute_days, second_stations=1, second_days=1,
            tables=["QZ_412_DYU_01"]),
    }
    for file, options in samples.items():
        if not (folder / file).exists():
            print(f"building the sample {file} (a minute or two)...", flush=True)
            qzdb.sample.build(folder / file, **options)

    def last_day(days):
        return (pd.Timestamp("2009-01-01") + pd.Timedelta(days=days - 1)).strftime("%Y%m%d")

    requests = {
        f"seconds, 1 station x 3 items x {args.days} d": ["20090101", last_day(args.days), "磁通门", "全部", "秒钟值",
                                                          "预处理库"],
        f"minutes, {args.stations} stations x {args.minute_days} d": ["20090101", last_day(args.minute_days), "水温",
                                                                       "全部", "分钟值", "预处理库"],
    }

    server = qzdb.mariadb.MariaDBServer()
    server.start()
    try:
        began = time.perf_counter()
        for file in samples:
            server.load_sample(str(folder / file))
        print(f"sample loaded into MariaDB in {time.perf_counter() - began:.1f} s", flush=True)
        direct = dict(server.conf_section())
        print(f"\n{'request':36} {'link':16} {'rows':>5} {'wire MB':>8} {'at rate s':>9} {'read s':>7}"
              f" {'whole s':>8} {'whole/read':>10} {'copy s':>6} {'(read+copy)/read':>16} {'read peak MB':>12} {'result MB':>9} {'peak MB':>8} {'peak/result':>11}")
        for name, request in requests.items():
            # the final statement, and its bytes: read once directly
            statements = []

            class Spy:
                def __getattr__(self, attr):
                    return getattr(pd, attr)

                def read_sql(self, sql, **kwargs):
                    statements.append(sql)
                    return pd.read_sql(sql, **kwargs)

            write_conf(folder, {"direct": direct})
            os.chdir(folder)
            conn = bisource.conn_to_MySQL("direct")
            bisource.pd = Spy()
            try:
                with contextlib.redirect_stdout(io.StringIO()):
                    bisource.fetching_data(conn, *request)
            finally:
                bisource.pd = pd
                conn.close()
            (folder / "statement.sql").write_text(statements[-1], encoding="utf-8")
            for label, rate, delay in links:
                link = Link(server.port, rate, delay)
                try:
                    write_conf(folder, {"link": dict(direct, HOST="127.0.0.1", PORT=str(link.port))})
                    # best of --repeat, each in a fresh process
                    bare = min((run_measure(folder, "bare", request, link) for _ in range(args.repeat)),
                               key=lambda one: one["seconds"])
                    whole = min((run_measure(folder, "whole", request, link) for _ in range(args.repeat)),
                                key=lambda one: one["seconds"])
                finally:
                    link.close()
                wire = bare["wire"]
                at_rate = wire * 8 / rate
                print(f"{name:36} {label:16} {bare['rows']:5d} {wire / 1e6:8.1f} {at_rate:9.2f}"
                      f" {bare['seconds']:7.2f} {whole['seconds']:8.2f} {whole['seconds'] / bare['seconds']:10.3f}"
                      f" {whole['copy']:6.2f} {(bare['seconds'] + whole['copy']) / bare['seconds']:16.3f} {bare['peak'] / 1e6:12.1f} {whole['own'] / 1e6:9.1f} {whole['peak'] / 1e6:8.1f} {whole['peak'] / whole['own']:11.3f}",
                      flush=True)
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
