"""A short tour of morvel: a file hash database, an ordered file database, a
memory B+ tree, a sharded database, asynchronous calls and a secondary index."""

import os
import tempfile

import morvel


def show(title: str, db: morvel.DBM) -> None:
    print(f"{title}: {db}")
    for key, value in db:
        print(f"  {key.decode()!s:>8} = {value.decode()}")


def main() -> None:
    print(f"morvel {morvel.Utility.VERSION} on {morvel.Utility.OS_NAME}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "casket.mvh")

        # A persistent hash database: write, close, reopen, read.
        db = morvel.DBM()
        db.Open(path, True, truncate=True).OrDie()
        for number, name in enumerate(["one", "two", "three", "four"], 1):
            db.Set(name, str(number)).OrDie()
        db.Append("four", "IV", ",")
        db.Increment("visits", 1)
        db.Increment("visits", 2)
        db.Close().OrDie()

        db.Open(path, False).OrDie()
        print("reopened:", db)
        print("  two ->", db.GetStr("two"))
        print("  four ->", db.GetStr("four"))
        print("  visits ->", db.Increment("visits", morvel.Utility.INT64MIN))
        print("  missing ->", db.Get("missing"))
        db.Close().OrDie()

        # An ordered memory database walked with an iterator.
        tree = morvel.DBM()
        tree.Open("", True, dbm="BabyDBM").OrDie()
        for word in ["pear", "apple", "fig", "cherry"]:
            tree[word] = str(len(word))
        show("ordered", tree)
        it = tree.MakeIterator()
        it.Jump("c")
        print("  first key from 'c':", it.GetKeyStr())
        tree.Close()

        # Four shards of memory hash tables behind one handle.
        shards = morvel.DBM()
        shards.Open(os.path.join(tmp, "shard.mvmt"), True, num_shards=4).OrDie()
        shards.SetMulti(a="1", b="2", c="3")
        print("sharded:", shards, "->", shards.GetMultiStr("a", "b", "c"))
        shards.Close()

        # A persistent B+ tree: ordered keys on disk, walked from a key.
        ordered = morvel.DBM()
        ordered.Open(os.path.join(tmp, "words.mvt"), True).OrDie()
        for word in ["delta", "alpha", "echo", "bravo", "charlie"]:
            ordered.Set(word, word.upper()).OrDie()
        it = ordered.MakeIterator()
        it.Jump("c")
        walked = []
        while (record := it.GetStr()) is not None:
            walked.append(record[0])
            it.Next()
        print("tree from 'c':", walked)

        # Work handed to worker threads; the futures are collected afterwards.
        adbm = morvel.AsyncDBM(ordered, 2)
        futures = [adbm.Set(f"n{i}", str(i * i)) for i in range(5)]
        print("async sets:", [str(f.Get()) for f in futures])
        print("async get:", adbm.GetStr("n4").Get())
        adbm.Destruct()
        ordered.Close().OrDie()

        # A key-to-many-values index kept in memory.
        index = morvel.Index()
        index.Open("", True).OrDie()
        for tag, item in [("red", "apple"), ("red", "cherry"), ("yellow", "banana")]:
            index.Add(tag, item).OrDie()
        print("index red ->", index.GetValuesStr("red"))
        index.Close()


if __name__ == "__main__":
    main()
