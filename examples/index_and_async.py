"""A secondary index beside a database, and asynchronous writes awaited in
asyncio, each handle closed by its with block."""

import asyncio
import os
import tempfile

import morvel


def build_index(tmp: str) -> None:
    with morvel.DBM() as db, morvel.Index() as index:
        db.Open(os.path.join(tmp, "staff.mvh"), True, truncate=True).OrDie()
        index.Open(os.path.join(tmp, "by-team.mvt"), True, truncate=True).OrDie()
        for name, team in [("ann", "core"), ("bob", "tools"), ("cy", "core")]:
            db.Set(name, team).OrDie()
            index.Add(team, name).OrDie()
        members: list[str] = index.GetValuesStr("core")
        print("core:", members, "of", db.Count(), "people")


async def count_visits(adbm: morvel.AsyncDBM, pages: list[str]) -> int:
    total = 0
    for page in pages:
        future = adbm.Increment(page, 1, 0)
        await future
        status, value = future.Get()
        status.OrDie()
        total += value
    return total


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        build_index(tmp)
        with morvel.DBM() as db:
            db.Open("", True, dbm="BabyDBM").OrDie()
            adbm = morvel.AsyncDBM(db, 2)
            total = asyncio.run(count_visits(adbm, ["home", "home", "about"]))
            adbm.Destruct()
            home = morvel.Utility.DeserializeInt(db.Get("home") or b"")
            print("visits of home:", home, "summed over the calls:", total)


if __name__ == "__main__":
    main()
