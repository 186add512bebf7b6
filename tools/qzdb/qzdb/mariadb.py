"""A private MariaDB server for tests.

:class:`MariaDBServer` initialises a data directory in a temporary folder,
starts ``mariadbd`` on 127.0.0.1 with a free port (and a Unix socket in the
data directory), creates the databases ``QZDATA`` and ``QZBAK`` and a
read-only user of both, and can load the sample database into them.
``stop()`` ends the server and removes the folder.

The server runs as root with ``--user=root``, which is how the development
machines and CI run the tests.
"""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time

import pymysql

DATABASE = "QZDATA"
#: The sample's second schema, a database of its own in MySQL.
BACKUP_DATABASE = "QZBAK"
#: The read-only user of the tests' "default.conf".
USER = "qzmysql"
#: Its password; "%" and "@" are there on purpose (a config parser with
#: interpolation and URL parsing both have to leave them alone).
PASSWORD = "qz%read@my sql"

_INSTALL_DB = "mariadb-install-db"
_SERVER = "mariadbd"


class MariaDBError(RuntimeError):
    pass


def find_server():
    """Path of ``mariadbd``, or None."""
    found = shutil.which(_SERVER)
    if found:
        return found
    for candidate in ("/usr/sbin/mariadbd", "/usr/bin/mariadbd"):
        if os.access(candidate, os.X_OK):
            return candidate
    return None


def find_install_db():
    found = shutil.which(_INSTALL_DB)
    if found:
        return found
    for candidate in ("/usr/bin/mariadb-install-db", "/usr/sbin/mariadb-install-db"):
        if os.access(candidate, os.X_OK):
            return candidate
    return None


def ensure_installed(install=True):
    """Make sure the MariaDB server programs are there.

    When they are missing and ``install`` is true, installs the Debian package
    ``mariadb-server`` (needs root and apt-get); otherwise, or when that
    fails, raises :class:`MariaDBError` saying what to do.
    """
    if find_server() and find_install_db():
        return
    if not install:
        raise MariaDBError(
            "MariaDB is not installed: mariadbd or mariadb-install-db not "
            "found; install the Debian package mariadb-server")
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        raise MariaDBError(
            "MariaDB is not installed and cannot be installed from here (needs "
            "root and apt-get): install the Debian package mariadb-server")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for cmd in (["apt-get", "update", "-qq"],
                ["apt-get", "install", "-y", "-qq", "--no-install-recommends",
                 "mariadb-server"]):
        done = subprocess.run(cmd, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0:
            raise MariaDBError("%s failed (exit %d):\n%s" % (
                " ".join(cmd), done.returncode, done.stdout[-4000:]))
    if not (find_server() and find_install_db()):
        raise MariaDBError("mariadb-server was installed but mariadbd or "
                           "mariadb-install-db is still not found")


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _sql_string(value):
    return "'" + value.replace("\\", "\\\\").replace("'", "''") + "'"


class MariaDBServer:
    """One private server.  Use as a context manager or call ``start()`` and
    ``stop()``."""

    host = "127.0.0.1"

    def __init__(self, *, user=USER, password=PASSWORD, database=DATABASE,
                 other_databases=(BACKUP_DATABASE,), lower_case_table_names=0,
                 startup_timeout=60.0, base_dir=None):
        """``other_databases`` are created besides ``database``, and the user
        reads them too.  ``lower_case_table_names`` (0 or 1) is the server
        setting: with 1 the server stores database and table names in lower
        case and compares them without regard to case, so information_schema
        gives them in lower case."""
        if lower_case_table_names not in (0, 1):
            raise ValueError("lower_case_table_names must be 0 or 1, got %r"
                             % (lower_case_table_names,))
        self.user = user
        self.password = password
        self.database = database
        self.other_databases = tuple(other_databases)
        self.lower_case_table_names = lower_case_table_names
        self.startup_timeout = startup_timeout
        self.base_dir = base_dir
        self.port = None
        self.directory = None
        self.datadir = None
        self.socket = None
        self.process = None
        self.returncode = None
        self._socket_dir = None

    # -- life cycle
    @property
    def running(self):
        return self.process is not None and self.process.poll() is None

    def start(self):
        if self.process is not None:
            raise MariaDBError("server already started")
        ensure_installed(install=False)
        self.returncode = None
        self.directory = tempfile.mkdtemp(prefix="qzdb-mariadb-",
                                          dir=self.base_dir)
        self.datadir = os.path.join(self.directory, "data")
        self.socket = os.path.join(self.datadir, "sock")
        if len(self.socket) > 100:  # Unix socket paths are limited to ~107
            self._socket_dir = tempfile.mkdtemp(prefix="qzdb-sock-")
            self.socket = os.path.join(self._socket_dir, "sock")
        try:
            self._install_db()
            last = None
            for _ in range(3):  # the free port may be taken meanwhile
                self.port = _free_port()
                try:
                    self._launch()
                    break
                except MariaDBError as e:
                    last = e
                    self._kill()
            else:
                raise last
            self._create_database_and_user()
        except BaseException:
            self.stop()
            raise
        return self

    def _install_db(self):
        done = subprocess.run(
            [find_install_db(), "--no-defaults", "--datadir=" + self.datadir,
             "--user=root", "--auth-root-authentication-method=normal",
             "--skip-test-db", "--tmpdir=" + self._tmpdir(),
             "--lower-case-table-names=%d" % self.lower_case_table_names],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0:
            raise MariaDBError("mariadb-install-db failed (exit %d):\n%s"
                               % (done.returncode, done.stdout[-4000:]))

    def _tmpdir(self):
        # servers set up at the same time must not share temporary files
        path = os.path.join(self.directory, "tmp")
        os.makedirs(path, exist_ok=True)
        return path

    def _launch(self):
        log = os.path.join(self.directory, "error.log")
        if os.path.exists(log):
            os.remove(log)
        self.process = subprocess.Popen(
            [find_server(), "--no-defaults", "--datadir=" + self.datadir,
             "--socket=" + self.socket, "--port=%d" % self.port,
             "--bind-address=127.0.0.1", "--user=root", "--skip-log-bin",
             "--tmpdir=" + self._tmpdir(),
             "--skip-name-resolve", "--character-set-server=utf8mb4",
             "--collation-server=utf8mb4_unicode_ci",
             "--max-allowed-packet=256M", "--log-error=" + log,
             "--lower-case-table-names=%d" % self.lower_case_table_names,
             # a throw-away server: no durability needed, fast load and stop
             "--innodb-flush-log-at-trx-commit=0", "--innodb-doublewrite=0",
             "--innodb-buffer-pool-dump-at-shutdown=0",
             "--innodb-buffer-pool-load-at-startup=0",
             "--pid-file=" + os.path.join(self.directory, "mariadbd.pid")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + self.startup_timeout
        while True:
            if self.process.poll() is not None:
                raise MariaDBError("mariadbd exited with %d while starting:\n%s"
                                   % (self.process.returncode, self._log_tail()))
            # probe with a plain socket first: PyMySQL leaves its socket
            # open when a connection attempt fails
            if self._socket_accepts():
                try:
                    self.root_connect().close()
                    return
                except pymysql.err.OperationalError:
                    pass
            if time.monotonic() > deadline:
                raise MariaDBError("mariadbd did not accept connections within "
                                   "%.0f s:\n%s" % (self.startup_timeout,
                                                    self._log_tail()))
            time.sleep(0.1)

    def _socket_accepts(self):
        if not os.path.exists(self.socket):
            return False
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(2)
            try:
                s.connect(self.socket)
            except OSError:
                return False
        return True

    def _log_tail(self):
        try:
            with open(os.path.join(self.directory, "error.log"),
                      encoding="utf-8", errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return "(no error log)"

    def _create_database_and_user(self):
        conn = self.root_connect()
        try:
            databases = (self.database,) + self.other_databases
            with conn.cursor() as cur:
                for database in databases:
                    cur.execute("CREATE DATABASE `%s` CHARACTER SET utf8mb4 "
                                "COLLATE utf8mb4_unicode_ci" % database)
                for host in ("localhost", "127.0.0.1", "%"):
                    account = "%s@%s" % (_sql_string(self.user),
                                         _sql_string(host))
                    cur.execute("CREATE USER %s IDENTIFIED BY %s"
                                % (account, _sql_string(self.password)))
                    for database in databases:
                        cur.execute("GRANT SELECT ON `%s`.* TO %s"
                                    % (database, account))
            conn.commit()
        finally:
            conn.close()

    def _kill(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process = None

    def stop(self):
        """Stop the server (SIGTERM, then SIGKILL after 60 s) and remove its
        folder.  Returns the server's exit status (0 for a clean shutdown)."""
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            self.returncode = self.process.returncode
            self.process = None
        for folder in (self.directory, self._socket_dir):
            if folder is not None:
                shutil.rmtree(folder, ignore_errors=True)
        self.directory = self._socket_dir = None
        return self.returncode

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- connections
    def root_connect(self, database=None):
        """A PyMySQL connection as root through the Unix socket."""
        return pymysql.connect(unix_socket=self.socket, user="root",
                               password="", database=database,
                               charset="utf8mb4", connect_timeout=5)

    def connect(self, **overrides):
        """A PyMySQL connection as the read-only user over TCP, to the
        database ``QZDATA``."""
        kwargs = dict(host=self.host, port=self.port, user=self.user,
                      password=self.password, database=self.database,
                      charset="utf8mb4")
        kwargs.update(overrides)
        return pymysql.connect(**kwargs)

    def load_sample(self, path):
        """Load a sample file (see :mod:`qzdb.sample`) into the database
        (QZDATA) and its second schema into the database QZBAK.  Returns
        {table: rows loaded}, keyed as :func:`qzdb.sample.row_counts`."""
        from . import sample

        conn = self.root_connect()
        try:
            return sample.load_into_mysql(conn, path, self.database)
        finally:
            conn.close()

    def conf_section(self):
        """The options of a "default.conf" section for this server, as
        written in the file (for a parser without interpolation)."""
        return {"HOST": self.host, "PORT": str(self.port),
                "USERNAME": self.user, "PASSWORD": self.password,
                "TNSNAME": self.database}

    def __repr__(self):
        return "<MariaDBServer %s:%s %s>" % (
            self.host, self.port, "running" if self.running else "stopped")
