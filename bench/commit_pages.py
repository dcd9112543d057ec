#!/usr/bin/env python3
"""Which pages the commits of a history write, by b-tree (table or index), from its write-ahead log.

usage: commit_pages.py DB [COMMITS]

DB: a history whose write-ahead log (DB-wal) still holds its last commits, as a host killed with
SIGKILL leaves it. Prints, for each of the last COMMITS (default 5) commits of the log, its pages
by b-tree as SQLite's dbstat names them ("freelist" for pages no b-tree holds), then the mean
pages and bytes per commit. The log is read from a copy; DB is not touched.
"""
import collections
import os
import shutil
import sqlite3
import struct
import sys
import tempfile


def commits_in_log(wal_path):
    """The log's valid commits, oldest first, each the list of page numbers it wrote."""
    with open(wal_path, "rb") as f:
        data = f.read()
    if len(data) < 32:
        return [], 0
    page_size = struct.unpack(">I", data[8:12])[0]
    salts = data[16:24]
    commits, frames = [], []
    offset = 32
    while offset + 24 + page_size <= len(data):
        page, size_after = struct.unpack(">II", data[offset : offset + 8])
        if data[offset + 8 : offset + 16] != salts:
            break  # a frame of an earlier generation of the log
        frames.append(page)
        if size_after != 0:
            commits.append(frames)
            frames = []
        offset += 24 + page_size
    return commits, page_size


def page_owners(db_path):
    """page number -> the b-tree holding it, from dbstat on a copy of the history and its log."""
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "copy.db")
        shutil.copyfile(db_path, copy)
        if os.path.exists(db_path + "-wal"):
            shutil.copyfile(db_path + "-wal", copy + "-wal")
        con = sqlite3.connect(copy)
        owners = {row[1]: row[0] for row in con.execute("SELECT name, pageno FROM dbstat")}
        con.close()
    return owners


def main():
    db = sys.argv[1]
    last = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    commits, page_size = commits_in_log(db + "-wal")
    if not commits:
        sys.exit("no commit in " + db + "-wal")
    owners = page_owners(db)
    shown = commits[-last:]
    for n, pages in enumerate(shown, 1):
        by_tree = collections.Counter(owners.get(p, "freelist") for p in pages)
        parts = ", ".join(f"{name} {count}" for name, count in by_tree.most_common())
        print(f"commit {n}: {len(pages)} pages ({parts})")
    total = sum(len(p) for p in shown)
    print(
        f"mean {total / len(shown):.1f} pages, {total * (page_size + 24) / len(shown):.0f} bytes "
        f"of log per commit ({len(commits)} commits in the log)"
    )


if __name__ == "__main__":
    main()
