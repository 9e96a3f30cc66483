#!/usr/bin/env python3
"""reduce_apt_sources.py SOURCE_LIST SOURCE_PARTS OUT_DIR

Writes into OUT_DIR (an existing, empty folder) the machine's apt sources without any
"*-security" suite: the one-line entries of SOURCE_LIST and of SOURCE_PARTS/*.list, and the
deb822 paragraphs of SOURCE_PARTS/*.sources, each kept as written (options such as
signed-by and Architectures included) but for its suites. Entries that apt itself would not
read (a paragraph with "Enabled: no", a file in SOURCE_PARTS whose name apt ignores) are left
out. Prints the suites kept, one a line, each once.

scripts/setup hands the folder to apt (-o Dir::Etc::SourceParts=OUT_DIR
-o Dir::Etc::SourceList=/dev/null) when a broken security suite keeps wine32 from resolving.
The inputs are only read.

Exit status: 0 written, 1 an input could not be read or no entry is left, 2 a usage error.
"""
import os
import re
import sys

VERSION = "1.0"
# What apt reads in its parts folder; anything else it passes over (with a notice).
PART_NAME = re.compile(r"^[A-Za-z0-9_.-]+\.(list|sources)$")


def is_security(suite):
    return suite.rstrip("/").endswith("-security")


def one_line_suite(line):
    """The suite of a one-line entry (type, [options], URI, suite, components...), or None."""
    rest = line.split(None, 1)
    if len(rest) < 2:
        return None
    after = rest[1].lstrip()
    if after.startswith("["):
        close = after.find("]")  # the options may hold blanks
        if close < 0:
            return None
        after = after[close + 1:]
    words = after.split()
    return words[1] if len(words) >= 2 else None


def reduce_one_line(text):
    """The one-line entries of a .list text that name no security suite, comments dropped."""
    kept = []
    for raw in text.splitlines():
        line = raw.split("#", 1)[0].strip()
        suite = one_line_suite(line) if line else None
        if suite is not None and not is_security(suite):
            kept.append(line)
    return kept


def paragraphs(text):
    """deb822 paragraphs as lists of (name, first line, continuation lines); comments out."""
    found, fields = [], []
    for raw in text.splitlines():
        if raw.startswith("#"):
            continue
        if not raw.strip():
            if fields:
                found.append(fields)
            fields = []
        elif raw[0] in " \t":
            if fields:
                fields[-1][2].append(raw)
        elif ":" in raw:
            name = raw.split(":", 1)[0].strip()
            fields.append((name, raw, []))
    if fields:
        found.append(fields)
    return found


def reduce_deb822(text):
    """The paragraphs of a .sources text, enabled, each without its security suites."""
    kept = []
    for fields in paragraphs(text):
        values = {name.lower(): first.split(":", 1)[1].strip() for name, first, _ in fields}
        if values.get("enabled", "yes").lower() == "no":
            continue
        suites = [s for s in values.get("suites", "").split() if not is_security(s)]
        if not suites:
            continue
        lines = []
        for name, first, more in fields:
            if name.lower() == "suites":
                lines.append(name + ": " + " ".join(suites))
            else:
                lines.append(first)
                lines.extend(more)
        kept.append("\n".join(lines))
    return kept


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def main(argv):
    if len(argv) == 2 and argv[1] in ("--help", "-h"):
        print(__doc__.strip())
        return 0
    if len(argv) == 2 and argv[1] == "--version":
        print("reduce_apt_sources.py " + VERSION)
        return 0
    if len(argv) != 4 or any(a.startswith("-") for a in argv[1:]):
        print("usage: reduce_apt_sources.py SOURCE_LIST SOURCE_PARTS OUT_DIR (see --help)", file=sys.stderr)
        return 2
    source_list, parts, out = argv[1:]
    if not os.path.isdir(out) or os.listdir(out):
        print(f"reduce_apt_sources.py: {out}: not an empty folder", file=sys.stderr)
        return 2
    outputs = []  # (file name, entries, separator)
    try:
        if os.path.isfile(source_list):
            outputs.append(("sources-list.list", reduce_one_line(read(source_list)), "\n"))
        names = sorted(os.listdir(parts)) if os.path.isdir(parts) else []
        for name in names:
            path = os.path.join(parts, name)
            if not PART_NAME.match(name) or not os.path.isfile(path):
                continue
            if name.endswith(".list"):
                outputs.append((name, reduce_one_line(read(path)), "\n"))
            else:
                outputs.append((name, reduce_deb822(read(path)), "\n\n"))
    except OSError as error:
        print(f"reduce_apt_sources.py: {error.filename}: {error.strerror}", file=sys.stderr)
        return 1
    suites = []
    for name, entries, separator in outputs:
        if not entries:
            continue
        with open(os.path.join(out, name), "w", encoding="utf-8") as f:
            f.write(separator.join(entries) + "\n")
        for entry in entries:
            if separator == "\n":
                found = [one_line_suite(entry)]
            else:
                found = [l.split(":", 1)[1].split() for l in entry.splitlines() if l.lower().startswith("suites:")][0]
            suites += [s for s in found if s not in suites]
    print("\n".join(suites))
    if not suites:
        print("reduce_apt_sources.py: no source is left without the security suites", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
