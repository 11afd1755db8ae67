"""Shared fixtures: open databases of every kind, closed again after each test."""

import pytest

import morvel

# Database kinds: a path relative to the test's temporary directory ("" for a
# database kept only in memory) and the parameters of Open.
DB_KINDS = {
    "hash": ("casket.mvh", {"num_buckets": 1000}),
    "tiny": ("", {}),
    "baby": ("", {"dbm": "BabyDBM"}),
    "shard-tiny": ("shard.mvmt", {"num_shards": 3}),
    "shard-baby": ("shard.mvmb", {"num_shards": 3}),
    "tree": ("tree.mvt", {"num_buckets": 1000}),
}


def open_kind(tmp_path, kind, **extra_params):
    """A new writable DBM of |kind|, opened with |extra_params| added."""
    rel_path, params = DB_KINDS[kind]
    path = str(tmp_path / rel_path) if rel_path else ""
    db = morvel.DBM()
    status = db.Open(path, True, **params, **extra_params)
    assert status.IsOK(), f"{kind}: {status}"
    return db


@pytest.fixture
def make_db(tmp_path):
    """Opens databases of a kind; closes whatever is still open at teardown."""
    made = []

    def make(kind, **extra_params):
        db = open_kind(tmp_path, kind, **extra_params)
        made.append(db)
        return db

    yield make
    for db in made:
        if db.IsOpen():
            db.Close()


@pytest.fixture(params=list(DB_KINDS))
def db_kind(request):
    return request.param


@pytest.fixture
def anydb(make_db, db_kind):
    """An empty writable database of each kind in turn."""
    return make_db(db_kind)


@pytest.fixture
def concurrent_anydb(make_db, db_kind):
    """As anydb, opened in concurrent mode."""
    return make_db(db_kind, concurrent=True)


@pytest.fixture
def babydb(make_db):
    """An empty writable ordered database kept in memory."""
    return make_db("baby")


@pytest.fixture
def tinydb(make_db):
    """An empty writable unordered database kept in memory."""
    return make_db("tiny")
