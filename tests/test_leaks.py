"""Every function of the three modules, called many times on small inputs:
neither Python objects nor the memory that the C allocator hands out may grow
with the number of calls, nor the process's resident memory.

Python objects are counted by the interpreter's block count and native memory
by the allocator's own count of bytes in use (glibc's mallinfo2, or the
sanitizer's allocator under ASan), both to the block and the byte: a leak of
one object or of a few dozen bytes per call shows within a few hundred calls,
where resident memory, counted in pages, needs tens of thousands.

VELMORA_LEAK_CALLS sets the number of calls (1,000 unless set)."""
import contextlib
import ctypes
import datetime
import gc
import io
import mmap
import os
import sys
import warnings

import pandas as pd
import pytest

import qzdb.oracle
import velmora.bisource as bisource
import velmora.fetching as fetching
from helpers import SECTION, FixedClock, conf_text, oracle_options
from velmora import cleaning

CALLS = int(os.environ.get("VELMORA_LEAK_CALLS", "1000"))
# Warm-up: chunks of WARM_UP_CHUNK calls until the block count settles, at most WARM_UP_MAX calls.
WARM_UP_CHUNK = 100
WARM_UP_MAX = 3000
SETTLED = 20  # blocks per chunk
T0 = pd.Timestamp("2009-01-01")
DAY = ("20090103", "20090103")


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def mapped_kib():
    """The process's address space in use: memory maps of its own that a
    call fails to unmap grow it, whether or not their pages were written."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE") // 1024


def blocks_now():
    gc.collect()
    return sys.getallocatedblocks()


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _allocated_bytes_counter():
    """The C allocator's count of the bytes it has handed out and not taken
    back: the sanitizer's when its allocator runs the process, else glibc's."""
    process = ctypes.CDLL(None)
    sanitizer = getattr(process, "__sanitizer_get_current_allocated_bytes", None)
    if sanitizer is not None:
        sanitizer.restype = ctypes.c_size_t
        return sanitizer
    mallinfo2 = process.mallinfo2  # glibc 2.33 and later: the machines run 2.36
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd  # chunks in the arenas and mapped chunks
    return in_use


allocated_bytes = _allocated_bytes_counter()


def measure(call):
    """Warms up, then calls `call` CALLS times in two halves; returns the
    growth of allocated Python blocks, of allocated bytes and of the mapped
    address space (KiB) over each half, and the growth of resident memory
    (KiB) over both.

    A leak grows steadily and shows in both halves. A one-time allocation in
    this process (a cache filling up, a message for the test runner arriving
    on its own thread) shows in one half only.

    The warm-up runs until two chunks in a row add fewer than SETTLED blocks:
    caches that fill at a falling rate need far more calls than a fixed count
    would give them. The interpreter's attribute cache is one: it keeps up to
    4096 looked-up names, slotted by object address, and every call through the
    C API makes new name objects, so it fills over the first few thousand calls.
    A leak never settles; it ends the warm-up at WARM_UP_MAX and shows below."""
    sink = io.StringIO()
    marks = []

    def run(count):
        for i in range(count):
            call()
            if i % 100 == 0:
                qzdb.oracle.statement_log.clear()
                sink.seek(0)
                sink.truncate()

    with contextlib.redirect_stdout(sink), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        quiet_chunks, before = 0, blocks_now()
        for _ in range(WARM_UP_MAX // WARM_UP_CHUNK):
            run(WARM_UP_CHUNK)
            after = blocks_now()
            quiet_chunks = quiet_chunks + 1 if after - before < SETTLED else 0
            before = after
            if quiet_chunks == 2:
                break
        for count in (0, CALLS // 2, CALLS - CALLS // 2):
            run(count)
            qzdb.oracle.statement_log.clear()
            sink.seek(0)
            sink.truncate()
            marks.append((blocks_now(), allocated_bytes(), mapped_kib(), resident_kib()))
    (b0, a0, m0, r0), (b1, a1, m1, _), (b2, a2, m2, r2) = marks
    return (b1 - b0, b2 - b1), (a1 - a0, a2 - a1), (m1 - m0, m2 - m1), r2 - r0


@pytest.fixture
def clock(monkeypatch):
    for module in (fetching, bisource):
        monkeypatch.setattr(module, "dt", FixedClock(datetime.datetime(2009, 1, 4, 8, 0)))


@pytest.fixture
def oracle_conf(dirs, qz_sample_path, qz_mariadb):
    text = conf_text(**oracle_options(qz_sample_path)) + conf_text("mysql", **qz_mariadb.conf_section())
    (dirs.work / "default.conf").write_text(text, encoding="utf-8")


def small_packed():
    return pd.DataFrame({"startdate": [T0, T0 + pd.Timedelta(hours=1)], "stationid": ["a", "b"],
                         "obsvalue": ["1.5 NULL 2 99999", "3 x99999"]})


def stations_packed():
    """Two stations side by side, as the fetch hands them over: the grid sweep."""
    return pd.DataFrame({"startdate": [T0, T0 + pd.Timedelta(hours=1), T0, T0 + pd.Timedelta(minutes=3)],
                         "stationid": ["a", "a", "b", "b"], "flag": [1, 2, 3, 4],
                         "obsvalue": ["1 2 3", "4", "5 NULL 6 7", "inf"]})


def refused(call):
    try:
        call()
    except ValueError:
        return
    raise AssertionError("no error")


def cases():
    steps = pd.Series([1.0, 2.0, 3.0, 103.0, 104.0])
    yield "cleaning.split_lines", lambda c: cleaning.split_lines(small_packed(), 60)
    yield "cleaning.split_lines daily", lambda c: cleaning.split_lines(small_packed().assign(obsvalue=["1", "NULL"]), 86400)
    yield "cleaning.split_lines stations", lambda c: cleaning.split_lines(stations_packed().drop(columns="flag"), 60)
    yield "cleaning.split_lines number column", lambda c: cleaning.split_lines(stations_packed(), 60)
    yield "cleaning.split_lines time zone", lambda c: cleaning.split_lines(
        stations_packed().assign(startdate=lambda d: d["startdate"].dt.tz_localize("Asia/Shanghai")), 60)
    yield "cleaning.split_lines refused", lambda c: refused(
        lambda: cleaning.split_lines(stations_packed().assign(obsvalue=["1 x", "2", "3", "4"]), 60))
    yield "cleaning.concat_df", lambda c: cleaning.concat_df(steps.to_frame(), steps.to_frame())
    yield "cleaning.remove_steps_v2", lambda c: cleaning.remove_steps_v2(steps.copy(), {"std": 1.0})
    yield "fetching.conn_to_Oracle", lambda c: fetching.conn_to_Oracle(SECTION)
    yield "fetching.timeseries_info", lambda c: fetching.timeseries_info(c.engine)
    yield "fetching.fetching_data", lambda c: fetching.fetching_data(c.engine, *DAY, "水位", "郯城", "小时值", "预处理库")
    yield "fetching.load_Oracle_data_daily", lambda c: fetching.load_Oracle_data_daily(c.engine, 1, "预处理库", "水温", "日值")
    yield "fetching.load_Oracle_data_resistivity_year", lambda c: fetching.load_Oracle_data_resistivity_year(c.engine, "20090104")
    yield "fetching.load_Oracle_data_water_year", lambda c: fetching.load_Oracle_data_water_year(c.engine)
    yield "fetching.fetching_dialog", lambda c: fetching.fetching_dialog(c.engine, *DAY, "水位")
    yield "fetching.fetching_dialog_sd", lambda c: fetching.fetching_dialog_sd()
    yield "bisource.conn_to_Oracle", lambda c: bisource.conn_to_Oracle(SECTION).close()
    yield "bisource.conn_to_MySQL", lambda c: bisource.conn_to_MySQL("mysql").close()
    yield "bisource.timeseries_info", lambda c: bisource.timeseries_info(c.mysql)
    yield "bisource.fetching_data", lambda c: bisource.fetching_data(c.mysql, *DAY, "水位", "郯城", "小时值", "预处理库")
    yield "bisource.load_Oracle_data_daily", lambda c: bisource.load_Oracle_data_daily(c.mysql, 1, "预处理库", "水温", "日值")
    yield "bisource.load_Oracle_data_resistivity_year", lambda c: bisource.load_Oracle_data_resistivity_year(c.mysql)
    yield "bisource.load_Oracle_data_water_year", lambda c: bisource.load_Oracle_data_water_year(c.mysql)
    yield "bisource.fetching_dialog", lambda c: bisource.fetching_dialog(c.oracle, *DAY, "水位")


CASES = dict(cases())


@pytest.mark.parametrize("name", list(CASES))
def test_memory_stays_flat(name, oracle_conf, clock, qz_cx_oracle):  # the stand-in is bisource's driver too
    with contextlib.redirect_stdout(io.StringIO()):
        connections = type("Connections", (), {})()
        connections.engine = fetching.conn_to_Oracle(SECTION)
        connections.mysql = bisource.conn_to_MySQL("mysql")
        connections.oracle = bisource.conn_to_Oracle(SECTION)
    try:
        blocks, allocated, mapped, resident = measure(lambda: CASES[name](connections))
    finally:
        connections.mysql.close()
        connections.oracle.close()
        connections.engine.dispose()
    # one object kept per call would show as CALLS // 2 blocks in each half
    assert min(blocks) < max(250, CALLS // 40), f"Python blocks grew by {blocks} over two halves of {CALLS} calls"
    # 32 bytes kept per call: 16 KiB in each half of 1,000 calls; what the
    # calls leave behind once (caches, buffers that grow to a size) is a few KiB
    limit = max(16 * 1024, 32 * (CALLS // 2))
    assert min(allocated) < limit, f"allocated bytes grew by {allocated} over two halves of {CALLS} calls"
    # a memory map of a page left behind per call: 2,000 KiB in each half, twice the limit
    assert min(mapped) < 2 * (CALLS // 2), f"the mapped memory grew by {mapped} KiB over two halves of {CALLS} calls"
    assert resident < 8 * 1024, f"{resident} KiB more resident memory after {CALLS} calls"


@pytest.mark.parametrize("kept", ["object", "bytes", "map"])
def test_a_leak_of_one_object_or_a_few_bytes_per_call_shows(kept):
    """The instruments themselves: what a leaking call leaves behind shows in
    both halves, over the limits above."""
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    held = []
    leak = {"object": lambda: held.append(object()), "bytes": lambda: held.append(libc.malloc(48)),
            "map": lambda: held.append(mmap.mmap(-1, mmap.PAGESIZE))}[kept]
    blocks, allocated, mapped, _ = measure(leak)
    if kept == "object":
        assert min(blocks) >= CALLS // 2
    elif kept == "bytes":
        assert min(allocated) >= 48 * (CALLS // 2)  # over the limit from 684 calls on
    else:
        assert min(mapped) >= 2 * (CALLS // 2)
    libc.free.argtypes = [ctypes.c_void_p]
    for pointer in held if kept == "bytes" else []:
        libc.free(pointer)
