"""The stores the benchmark drives, each behind the same few calls, so that
every workload is one loop shared by all of them.

A store is opened in a directory of its own. `batch(write)` yields the bound
calls (set, get, remove) valid inside it: a transaction for the stores that
have them (lmdb: one write transaction for a whole load or update run, one
read transaction for the reads; sqlite3: BEGIN ... COMMIT), nothing for the
others. `seek(key, count)` reads up to |count| records in key order from the
first key not below |key| (ordered stores only) and returns how many it read.
"""

import contextlib
import importlib
import os
import subprocess
import sys

from measure import dir_size

# Importable module and PyPI package of the peers installed on demand.
PYPI_PEERS = {"lmdb": "lmdb", "plyvel": "plyvel", "rocksdict": "rocksdict"}


class Store:
    ordered = False
    on_disk = True

    def __init__(self, workdir, num):
        self.workdir = workdir
        self.num = num

    @contextlib.contextmanager
    def batch(self, write):
        yield self.calls()

    def scan(self):
        """An iterable of every (key, value)."""
        raise NotImplementedError

    def file_size(self):
        return dir_size(self.workdir) if self.on_disk else None

    def close(self):
        pass


class MorvelStore(Store):
    """morvel.DBM of one class; |path| empty for the in-memory classes."""

    def __init__(self, workdir, num, path, **params):
        super().__init__(workdir, num)
        import morvel
        self.on_disk = bool(path)
        self.db = morvel.DBM()
        status = self.db.Open(os.path.join(workdir, path) if path else "", True,
                              truncate=True, **params)
        if not status.IsOK():
            raise RuntimeError("open: " + str(status))
        self.ordered = self.db.IsOrdered()
        self.iterator = None

    def calls(self):
        return self.db.Set, self.db.Get, self.db.Remove

    def scan(self):
        return self.db

    def seek(self, key, count):
        # One iterator serves every scan: it sees the records set after it was made.
        if self.iterator is None:
            self.iterator = self.db.MakeIterator()
        it = self.iterator
        it.Jump(key)
        step = it.Step
        num = 0
        while num < count and step() is not None:
            num += 1
        return num

    def file_size(self):
        # A write-back page cache holds part of the load until it is
        # synchronized; the size counts every record, as the peers' committed files do.
        if not self.on_disk:
            return None
        self.db.Synchronize(False)
        return self.db.GetFileSize()

    def close(self):
        self.iterator = None
        self.db.Close()


class DictStore(Store):
    on_disk = False

    def __init__(self, workdir, num):
        super().__init__(workdir, num)
        self.d = {}

    def calls(self):
        return self.d.__setitem__, self.d.get, self.d.__delitem__

    def scan(self):
        return self.d.items()


class LmdbStore(Store):
    ordered = True

    def __init__(self, workdir, num):
        super().__init__(workdir, num)
        import lmdb
        # The map is a sparse reservation: room for 10M small records or
        # a YCSB run, whichever is larger.
        self.env = lmdb.open(os.path.join(workdir, "lmdb"), map_size=32 << 30)
        self.txn = None
        self.cursor = None

    @contextlib.contextmanager
    def batch(self, write):
        self.txn = self.env.begin(write=write)
        try:
            yield self.txn.put, self.txn.get, self.txn.delete
            self.txn.commit()
        finally:
            self.txn = self.cursor = None

    def scan(self):
        with self.env.begin() as txn:
            yield from txn.cursor()

    def seek(self, key, count):
        if self.cursor is None:
            self.cursor = self.txn.cursor()
        cursor = self.cursor
        num = 0
        if cursor.set_range(key):
            for _ in cursor:
                num += 1
                if num >= count:
                    break
        return num

    def close(self):
        self.env.close()


class PlyvelStore(Store):
    ordered = True

    def __init__(self, workdir, num):
        super().__init__(workdir, num)
        import plyvel
        self.db = plyvel.DB(os.path.join(workdir, "leveldb"), create_if_missing=True)

    def calls(self):
        return self.db.put, self.db.get, self.db.delete

    def scan(self):
        return self.db

    def seek(self, key, count):
        num = 0
        with self.db.iterator(start=key) as it:
            for _ in it:
                num += 1
                if num >= count:
                    break
        return num

    def close(self):
        self.db.close()


class RocksdictStore(Store):
    ordered = True

    def __init__(self, workdir, num):
        super().__init__(workdir, num)
        import rocksdict
        # Raw mode: bytes in and out, without the default pickling of values.
        self.db = rocksdict.Rdict(os.path.join(workdir, "rocksdb"),
                                  rocksdict.Options(raw_mode=True))

    def calls(self):
        return self.db.put, self.db.get, self.db.delete

    def scan(self):
        return self.db.items()

    def seek(self, key, count):
        it = self.db.iter()
        it.seek(key)
        num = 0
        while num < count and it.valid():
            it.key()
            it.value()
            it.next()
            num += 1
        return num

    def close(self):
        self.db.close()


class SqliteStore(Store):
    def __init__(self, workdir, num):
        super().__init__(workdir, num)
        import sqlite3
        self.con = sqlite3.connect(os.path.join(workdir, "db.sqlite"), isolation_level=None)
        self.con.execute("CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID")

    @contextlib.contextmanager
    def batch(self, write):
        execute = self.con.execute

        def set_(key, value):
            execute("INSERT OR REPLACE INTO kv VALUES (?, ?)", (key, value))

        def get(key):
            row = execute("SELECT v FROM kv WHERE k = ?", (key,)).fetchone()
            return None if row is None else row[0]

        def remove(key):
            execute("DELETE FROM kv WHERE k = ?", (key,))

        execute("BEGIN")
        yield set_, get, remove
        execute("COMMIT")

    def scan(self):
        return self.con.execute("SELECT k, v FROM kv")

    def close(self):
        self.con.close()


# Every store by name: (maker, module to import first or None). The morvel
# rows name the class as the module's users do.
STORES = {
    "HashDBM": (lambda d, n: MorvelStore(d, n, "db.mvh", dbm="HashDBM"), "morvel"),
    "HashDBM appending": (lambda d, n: MorvelStore(d, n, "db.mvh", dbm="HashDBM",
                                                   update_mode="appending"), "morvel"),
    "TreeDBM": (lambda d, n: MorvelStore(d, n, "db.mvt", dbm="TreeDBM"), "morvel"),
    "TinyDBM": (lambda d, n: MorvelStore(d, n, "", dbm="TinyDBM"), "morvel"),
    "BabyDBM": (lambda d, n: MorvelStore(d, n, "", dbm="BabyDBM"), "morvel"),
    # Room for every record: the cache is measured, not its eviction.
    "CacheDBM": (lambda d, n: MorvelStore(d, n, "", dbm="CacheDBM", cap_rec_num=2 * n + 1000),
                 "morvel"),
    "dict": (DictStore, None),
    "lmdb": (LmdbStore, "lmdb"),
    "plyvel": (PlyvelStore, "plyvel"),
    "rocksdict": (RocksdictStore, "rocksdict"),
    "sqlite3": (SqliteStore, "sqlite3"),
}

MORVEL_STORES = [name for name, (_, module) in STORES.items() if module == "morvel"]


def open_store(name, workdir, num):
    return STORES[name][0](workdir, num)


def _import_error(module):
    try:
        importlib.import_module(module)
        return None
    except Exception as e:  # any failure to load means the store cannot run
        return "%s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else "")


def availability(names, install):
    """For each store name, None when it can run here or the reason it cannot.
    PyPI peers that are missing are installed into this environment first
    when |install|."""
    reasons = {}
    for name in names:
        module = STORES[name][1]
        if module is None:
            reasons[name] = None
            continue
        error = _import_error(module)
        if error and install and module in PYPI_PEERS:
            proc = subprocess.run([sys.executable, "-m", "pip", "install", "-q",
                                   PYPI_PEERS[module]], capture_output=True, text=True,
                                  timeout=600, check=False)
            importlib.invalidate_caches()
            error = _import_error(module)
            if error and proc.returncode != 0:
                lines = [l for l in proc.stderr.strip().splitlines() if l.strip()]
                error = "pip install failed: " + (lines[-1] if lines else "no output")
        reasons[name] = error
    return reasons
