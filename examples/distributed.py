"""A month of minute values through a Dask cluster, partitioned by day.

A LocalCluster of two worker processes fetches January 2009 of the sample
database (every discipline, all stations), one task per day, writes the result
to Parquet, reads it back and prints a summary. The samples without a time
(packed rows stored without a value) come apart from the time-indexed frame. Run from this folder; the
sample database out/qzdata.sqlite is built on first use (as `make demo` does). On a real cluster, give
velmora.distributed.fetching_data the client of its scheduler
(`Client("tcp://scheduler:8786")`) and a default.conf section every worker can
read; the Oracle stand-in and its plugin are then not needed.
"""
import os
import shutil
import subprocess
import sys
import warnings

# Run as a script, this file's folder comes first on the import path, and the
# file's name would hide the distributed package.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != HERE]

SAMPLE = os.path.abspath(os.path.join("out", "qzdata.sqlite"))
PARQUET = os.path.join("out", "january-minutes.parquet")


def main():
    if not os.path.exists(SAMPLE):
        subprocess.run([sys.executable, "-m", "qzdb.sample", SAMPLE], check=True)
    warnings.simplefilter("ignore", DeprecationWarning)  # dask's notice about its next dataframe implementation
    import dask
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import qzdb.dask_plugin
    import velmora.distributed

    # The stand-in serves the sample file under its SID (QZDB) in every
    # process that has it in QZDB_DATABASES: the workers inherit it.
    os.environ["QZDB_DATABASES"] = SAMPLE
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        client.register_plugin(qzdb.dask_plugin.OracleStandIn())  # the workers' Oracle driver
        minutes, untimed = velmora.distributed.fetching_data("sample", "20090101", "20090131", "全部", "全部", "分钟值",
                                                             "预处理库", partition="1D", client=client, untimed=True)
        print(f"{minutes.npartitions} partitions, one a day, divisions known: {minutes.known_divisions}")
        shutil.rmtree(PARQUET, ignore_errors=True)
        minutes.to_parquet(PARQUET)
        computed, without_time = dask.compute(minutes, untimed)  # each day read once for both
        print(f"{len(without_time)} samples without a time")
        # text columns read back as object columns too (Dask releases for
        # pandas 2 make pyarrow strings of them unless told otherwise)
        with dask.config.set({"dataframe.convert-string": False}):
            back = dd.read_parquet(PARQUET).compute()
        print(f"read back equal: {back.equals(computed)}")
        per_series = computed.groupby(["STATIONID", "ITEMID"])["OBSVALUE"]
        print(f"{len(computed)} samples, {per_series.ngroups} series, "
              f"{computed.index.min()} to {computed.index.max()}")
        print(per_series.agg(["count", "mean", "min", "max"]).round(3).to_string())


if __name__ == "__main__":
    main()
