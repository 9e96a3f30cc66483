#!/usr/bin/env python3
"""Lists the libraries a PE file binds: "import NAME FUNCTION" for every function of the
import table ("#N" for one imported by ordinal, "?" for a name table that is empty or cannot be read),
"delay NAME FUNCTION" for every function of a delay-load descriptor.

GNU ld does not fill the delay-import data directory for dlltool's delay-load libraries, so
the descriptors are found by their shape: 32-byte records whose attribute word is 1 (RVAs),
whose name is a library file name and whose name table lists functions by hint/name."""
import re
import struct
import sys


def main(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections_count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    pe32_plus = struct.unpack_from("<H", data, optional)[0] == 0x20B
    directories = optional + (112 if pe32_plus else 96)
    sections = []
    for i in range(sections_count):
        _, vsize, va, rsize, raw = struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
        sections.append((va, max(vsize, rsize), raw, rsize))

    def offset(rva):
        for va, size, raw, rsize in sections:
            if va <= rva < va + size and rva - va < rsize:
                return raw + rva - va
        return None

    def text(rva, limit=260):
        at = offset(rva)
        if at is None:
            return None
        end = data.find(b"\0", at, at + limit)
        return data[at:end].decode("ascii", "replace") if end > at else None

    thunk_size, thunk_format = (8, "<Q") if pe32_plus else (4, "<I")
    ordinal_flag = 1 << (63 if pe32_plus else 31)

    def names(table_rva):
        found = []
        at = offset(table_rva)
        while at is not None and at + thunk_size <= len(data):
            thunk = struct.unpack_from(thunk_format, data, at)[0]
            if thunk == 0:
                return found
            if thunk & ordinal_flag:
                found.append("#%d" % (thunk & 0xFFFF))
            else:
                name = text(thunk + 2)
                if name is None or not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_@?$]*", name):
                    return None
                found.append(name)
            at += thunk_size
        return None

    import_rva = struct.unpack_from("<I", data, directories + 8)[0]
    at = offset(import_rva) if import_rva else None
    while at is not None:
        ilt, _, _, name_rva, iat = struct.unpack_from("<IIIII", data, at)
        if name_rva == 0:
            break
        functions = names(ilt or iat)
        for function in functions or ["?"]:
            print("import", text(name_rva), function)
        at += 20

    library = re.compile(r"[A-Za-z0-9_.-]+\.(dll|drv)", re.IGNORECASE)
    for va, size, raw, rsize in sections:
        for at in range(raw, raw + rsize - 32 + 1, 4):
            attributes, name_rva, module_rva, iat_rva, int_rva = struct.unpack_from("<IIIII", data, at)
            if attributes != 1 or not name_rva or not int_rva:
                continue
            name = text(name_rva, 64)
            if name is None or not library.fullmatch(name):
                continue
            functions = names(int_rva)
            if functions:
                for function in functions:
                    print("delay", name, function)


if __name__ == "__main__":
    main(sys.argv[1])
