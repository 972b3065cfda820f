#!/usr/bin/env python3
"""Checks that man/Dorvane.1 (DIAGNOSTICS) lists every log record the
client writes, each once, and no record the client no longer writes.

    scripts/check-records.py [SOURCE_DIR]

The records are read from the client's code (driver/, utility/,
SocketManager/, log/, platform/): each constant `constexpr int kLine... = N;`
(or `{N}`, or `const`, or `std::int32_t`) that a file uses, with the label (the record's "Function:") that the call
using it passes before it: a string literal, or the file's `kLabel`; when
the call passes none, the label of the helper it calls, from that helper's
own MyLog::Write. A literal number written as a record's line
(`kSourceFile, N`) counts too.

The manual lists a record as an entry (.TP, or .TQ for a further tag)
whose tag starts with its number (`.B 45 Wrong argc = ...`), under a
subsection titled with its label (`.SS "Function: Dorvane:main()"`).

Exits 1 naming each record that is missing, listed twice or stale; 0 when
the two agree.
"""
import pathlib
import re
import sys

CLIENT_DIRS = ("driver", "utility", "SocketManager", "log", "platform")
CONSTANT = re.compile(
    r"\b(?:constexpr|const)\s+(?:std::)?(?:int|int32_t|unsigned)\s+(kLine\w+)\s*(?:=\s*(\d+)|\{\s*(\d+)\s*\})\s*;"
)
FILE_LABEL = re.compile(r'const\s+char\s+kLabel\[\]\s*=\s*"([^"]+)"\s*;')
LABEL_ARGUMENT = re.compile(r'"([A-Za-z_][\w:()]*)"|\bkLabel\b')
LITERAL_LINE = re.compile(r'Write\(\s*("[^"]*"|kLabel)\s*,[^;]*?kSourceFile\s*,\s*(\d+)\s*,')


def without_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def statement_around(text, position):
    """The statement that holds position: from the end of the one before to its ';'."""
    start = max(text.rfind(";", 0, position), text.rfind("{", 0, position), text.rfind("}", 0, position)) + 1
    end = text.find(";", position)
    return text[start:end if end >= 0 else len(text)]


def label_of(match, file_label):
    if match is None:
        return None
    return file_label if match.group(0) == "kLabel" else match.group(1)


def helper_label(text, statement, file_label):
    """The label that the helper called by statement writes its record under."""
    called = re.match(r"\s*(?:\w+\s*=\s*)?(?:if\s*\([^)]*\)\s*)?(\w+)\s*\(", statement)
    if called is None:
        return None
    body = re.search(r"\b" + called.group(1) + r"\s*\([^)]*\)\s*(?:const\s*)?\{(.*?)\n\}", text, re.S)
    if body is None:
        return None
    write = re.search(r"Write\(\s*(\"[^\"]*\"|kLabel)", body.group(1))
    if write is None:
        return None
    return label_of(LABEL_ARGUMENT.match(write.group(1)), file_label)


def code_records(root):
    """{(label, number): 'file: constant'} of every record the code writes."""
    records = {}
    for directory in CLIENT_DIRS:
        for path in sorted((root / directory).glob("*.[ch]*")):
            text = without_comments(path.read_text(encoding="utf-8"))
            file_label = (FILE_LABEL.search(text) or [None, None])[1]
            for constant in CONSTANT.finditer(text):
                name, number = constant.group(1), int(constant.group(2) or constant.group(3))
                for use in re.finditer(r"\b" + name + r"\b", text):
                    if use.start() == constant.start(1):
                        continue
                    statement = statement_around(text, use.start())
                    before = statement[: statement.find(name)]
                    label = label_of(LABEL_ARGUMENT.search(before), file_label)
                    label = label or helper_label(text, statement, file_label) or file_label or "?"
                    records.setdefault((label, number), f"{path.relative_to(root)}: {name}")
            for literal in LITERAL_LINE.finditer(text):
                label = label_of(LABEL_ARGUMENT.match(literal.group(1)), file_label) or "?"
                records.setdefault((label, int(literal.group(2))), f"{path.relative_to(root)}: line {literal.group(2)}")
    return records


def manual_records(manual):
    """[(label, number)] in the order DIAGNOSTICS lists them, repeats kept."""
    listed = []
    in_diagnostics = False
    label = None
    lines = manual.read_text(encoding="utf-8").splitlines()
    for index, line in enumerate(lines):
        if line.startswith(".SH"):
            in_diagnostics = line.split(None, 1)[1:] == ["DIAGNOSTICS"]
            label = None
        elif in_diagnostics and line.startswith(".SS"):
            title = re.search(r"Function:\s*(\S+?)\"?\s*$", line)
            label = title.group(1) if title else None
        elif in_diagnostics and line in (".TP", ".TQ") and index + 1 < len(lines):
            tag = re.match(r"\.B[IR]?\s+\"?(\d+)\b", lines[index + 1])
            if tag is not None:
                listed.append((label, int(tag.group(1))))
    return listed


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    manual = root / "man" / "Dorvane.1"
    written = code_records(root)
    listed = manual_records(manual)
    faults = []
    if not written:
        faults.append("found no record in the code: kLine... constants and MyLog::Write calls are no longer read")
    if not listed:
        faults.append(f"found no record in {manual}'s DIAGNOSTICS")
    for (label, number), where in sorted(written.items(), key=lambda item: (str(item[0][0]), item[0][1])):
        if (label, number) not in listed:
            faults.append(
                f"the code writes record {label} {number} ({where}), which {manual.name} does not list: add "
                f'an entry ".TP" / ".B {number} <text>" under .SS "Function: {label}" in DIAGNOSTICS'
            )
    for record in sorted(set(listed), key=lambda r: (str(r[0]), r[1])):
        label, number = record
        if label is None:
            faults.append(f'{manual.name} lists record {number} outside a .SS "Function: <label>" subsection')
        elif listed.count(record) > 1:
            faults.append(f"{manual.name} lists record {label} {number} {listed.count(record)} times; list it once")
        elif record not in written:
            faults.append(f"{manual.name} lists record {label} {number}, which the code does not write")
    for fault in faults:
        print(f"FAILED: {fault}", file=sys.stderr)
    if faults:
        return 1
    print(f"{manual.name} lists the {len(written)} records the code writes, each once")
    return 0


if __name__ == "__main__":
    sys.exit(main())
