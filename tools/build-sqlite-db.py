#!/usr/bin/env python3
"""Builds an SQLite database file from an SQL text: build-sqlite-db.py IN.sql OUT.db"""
import os, sqlite3, sys

src, out = sys.argv[1], sys.argv[2]
tmp = out + ".tmp"
if os.path.exists(tmp):
    os.remove(tmp)
con = sqlite3.connect(tmp)
with open(src, encoding="utf-8") as f:
    con.executescript(f.read())
con.commit()
con.execute("VACUUM")
con.close()
os.replace(tmp, out)
