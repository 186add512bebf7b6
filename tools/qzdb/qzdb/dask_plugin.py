"""The Oracle stand-in in every worker of a Dask cluster.

The stand-in lives inside a process, so each worker process needs it the way
a deployment installs the real driver on its workers::

    client.register_plugin(qzdb.dask_plugin.OracleStandIn())

Workers started after the registration get it too. The databases the workers
serve are those of ``QZDB_DATABASES`` in their environment (a ``LocalCluster``
inherits it from the process that starts it) and the ``paths`` given here.
"""
import sys

from distributed.diagnostics.plugin import WorkerPlugin


class OracleStandIn(WorkerPlugin):
    """Makes :mod:`qzdb.oracle` the worker's ``cx_Oracle`` and the driver of
    ``velmora.bisource``, and registers ``paths`` with its listener."""

    name = "qzdb-oracle-stand-in"

    def __init__(self, paths=()):
        self.paths = [str(p) for p in paths]

    def setup(self, worker):
        from . import oracle

        for path in self.paths:
            if path not in oracle.registered():
                oracle.register(path)
        sys.modules["cx_Oracle"] = oracle
        bisource = sys.modules.get("velmora.bisource")
        if bisource is not None:
            bisource.orcl = oracle
