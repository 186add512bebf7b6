"""velmora.distributed.fetching_data on a LocalCluster against the single call.

    .venv/bin/python benchmarks/bench_distributed.py [--days N] [--memory-limit 2GiB] [--keep DIR]

Builds a sample with 20 days of second values for 5 stations x 3 items (about
26 million samples), serves it through the Oracle stand-in, and fetches it
(1) with one velmora.fetching.fetching_data call in this process and (2) with
velmora.distributed.fetching_data, partitioned by day, on a LocalCluster of 2
worker processes (1 thread each, a memory limit each). Prints both times,
samples per second per core, the kernel's thread budget in each worker, and
the rise of each worker's peak resident memory during the run against the
size of one partition's result.
"""
import argparse
import contextlib
import io
import os
import pathlib
import sys
import tempfile
import time
import warnings

REQUEST = ("磁通门", "全部", "秒钟值", "预处理库")


def _status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def start_peak():
    """This process's resident size now, with the peak reset to it (Linux)."""
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    return _status("VmRSS")


def peak_rss():
    # the peak of this process's own memory (VmHWM); getrusage's ru_maxrss
    # carries a parent's peak over fork and exec
    return _status("VmHWM")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--days", type=int, default=20)
    parser.add_argument("--memory-limit", default="2GiB")
    parser.add_argument("--keep", help="folder for the sample (kept between runs)")
    args = parser.parse_args()
    warnings.simplefilter("ignore")

    import pandas as pd
    from distributed import Client, LocalCluster

    import qzdb
    import qzdb.dask_plugin
    import qzdb.oracle
    import qzdb.sample
    import velmora.distributed
    import velmora.fetching as fetching

    folder = pathlib.Path(args.keep or tempfile.mkdtemp(prefix="velmora-bench-")).resolve()
    folder.mkdir(parents=True, exist_ok=True)
    sample = folder / f"seconds-{args.days}d.sqlite"
    if not sample.exists():
        began = time.perf_counter()
        qzdb.sample.build(sample, stations=5, days=args.days, second_stations=5, second_days=args.days,
                          sid="QZSEC", service_name="qzsec")
        print(f"sample built in {time.perf_counter() - began:.0f} s: {sample}")
    os.environ["QZDB_DATABASES"] = str(sample)
    qzdb.oracle.register(sample)
    os.chdir(folder)
    (folder / "default.conf").write_text(
        "[bench]\nHOST = localhost\nPORT = 1521\nUSERNAME = %s\nPASSWORD = %s\nTNSNAME = QZSEC\n"
        % (qzdb.sample.DEFAULT_USER, qzdb.sample.DEFAULT_PASSWORD.replace("%", "%%")), encoding="utf-8")
    first = "20090101"
    last = (pd.Timestamp(first) + pd.Timedelta(days=args.days - 1)).strftime("%Y%m%d")
    cores = len(os.sched_getaffinity(0))

    with contextlib.redirect_stdout(io.StringIO()), qzdb.use_as_cx_Oracle():
        engine = fetching.conn_to_Oracle("bench")
        began = time.perf_counter()
        single = fetching.fetching_data(engine, first, last, *REQUEST)
        single_time = time.perf_counter() - began
    samples = len(single)
    del single

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit=args.memory_limit,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        client.register_plugin(qzdb.dask_plugin.OracleStandIn())
        one = velmora.distributed.fetching_data("bench", first, first, *REQUEST, client=client).compute()
        partition_bytes = one.memory_usage(index=True, deep=False).sum()
        del one
        before = client.run(start_peak)
        began = time.perf_counter()
        frame = velmora.distributed.fetching_data("bench", first, last, *REQUEST, partition="1D", client=client)
        counted = frame.map_partitions(len).compute().sum()
        cluster_time = time.perf_counter() - began
        after = client.run(peak_rss)
        budgets = client.run(lambda: os.environ.get("VELMORA_NUM_THREADS"))

    assert counted == samples, (counted, samples)
    single_rate = samples / single_time / cores
    cluster_rate = samples / cluster_time / cores
    print(f"{samples:,} samples ({args.days} days of second values, 5 stations x 3 items), {cores} cores")
    print(f"single fetching_data call:       {single_time:7.2f} s  {single_rate:12,.0f} samples/s/core")
    print(f"2 workers, 1-day partitions:     {cluster_time:7.2f} s  {cluster_rate:12,.0f} samples/s/core"
          f"  ({cluster_rate / single_rate:.0%} of the single call)")
    print(f"kernel threads per call in the workers: {sorted(str(b) for b in budgets.values())}")
    print(f"one partition's result: {partition_bytes / 2**20:.1f} MiB")
    for worker, peak in after.items():
        rise = peak - before[worker]
        print(f"  worker {worker}: resident {before[worker] / 2**20:.0f} MiB before, peak {peak / 2**20:.0f} MiB,"
              f" rise {rise / 2**20:.0f} MiB"
              f" = {rise / partition_bytes:.1f} x one partition")


if __name__ == "__main__":
    sys.exit(main())
