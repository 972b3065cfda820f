#!/bin/sh
# Creates a small example SQLite database for trying out the backup service.
# Usage: make-example-db.sh PATH [ROWS]   (ROWS defaults to 300)
set -eu

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 PATH [ROWS]" >&2
    exit 2
fi
path=$1
rows=${2:-300}
case $rows in
    ''|*[!0-9]*) echo "$0: ROWS must be a number" >&2; exit 2 ;;
esac
if [ -e "$path" ]; then
    echo "$0: $path already exists" >&2
    exit 1
fi
command -v sqlite3 >/dev/null 2>&1 || { echo "$0: the sqlite3 command is missing (apt-get install sqlite3)" >&2; exit 1; }

sqlite3 "$path" <<SQL
CREATE TABLE customers(
    id      INTEGER PRIMARY KEY,
    name    TEXT NOT NULL,
    email   TEXT NOT NULL,
    balance INTEGER NOT NULL,
    notes   BLOB
);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
INSERT INTO customers(name, email, balance, notes)
SELECT 'Customer ' || i, 'customer' || i || '@example.com', i * 37 % 1000, randomblob(100)
FROM n;
SQL
