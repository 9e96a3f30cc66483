#!/usr/bin/env python3
"""Writes the launcher's linker script: GNU ld's default PE script with small sections merged.

Every section of a PE file takes at least one 512-byte block of the download. MinGW's start-up
code brings sections that hold a few bytes each: .CRT (the tables of initialisers, 56 bytes)
and, on i686, .eh_frame (the unwind tables of MinGW's prebuilt start-up objects, which nothing
reads in a program without exceptions: 2.3 KB). Here both go into .rdata, read-only as the
tables are: .CRT's tables are found through the same symbols as before, and .eh_frame is
taken without KEEP, so that --gc-sections drops the tables nothing refers to. They go before
the runtime pseudo-relocation list, whose start the script computes back from the end of
.rdata. The thread-local template (.tls, 8 bytes) and the initialised data (.data, a few
hundred bytes) share one writable section: the template first, since a thread-local variable
is addressed by its offset from the start of its section; the loader finds the template
through the TLS directory, by address.

Usage: merged_sections.py LD OUTPUT [--eh-frame-into-rdata]
Reads the default script from `LD --verbose`; stops with an error when the script no longer
has the shape this expects (another binutils), rather than link with a half-changed one.
"""
import re
import subprocess
import sys


def block(script, name):
    """The whole output-section statement `name BLOCK(...) : { ... }`, and its body."""
    match = re.search(r"^  " + re.escape(name) + r" BLOCK\(__section_alignment__\) :\s*\{(.*?)^  \}\n",
                      script, re.S | re.M)
    if match is None:
        sys.exit("merged_sections.py: no %s section statement in the default script" % name)
    return match.group(0), match.group(1)


def main():
    if len(sys.argv) < 3 or len(sys.argv) > 4 or (len(sys.argv) == 4 and sys.argv[3] != "--eh-frame-into-rdata"):
        sys.exit("usage: merged_sections.py LD OUTPUT [--eh-frame-into-rdata]")
    linker, output = sys.argv[1], sys.argv[2]
    text = subprocess.run([linker, "--verbose"], check=True, capture_output=True, text=True).stdout
    parts = text.split("=" * 50 + "\n")
    if len(parts) < 3:
        sys.exit("merged_sections.py: %s --verbose printed no default script" % linker)
    script = parts[1]

    relocs = "    . = ALIGN(4);\n    __rt_psrelocs_start = .;\n"
    if script.count(relocs) != 1:
        sys.exit("merged_sections.py: the .rdata statement has changed shape")
    crt, crt_body = block(script, ".CRT")
    # tlssup's bounds of the dynamic TLS initialisers (.CRT$XDA, .CRT$XDZ) have no rule of their
    # own in the default script, which leaves them to an orphan .CRT section; here they are placed.
    moved = "    . = ALIGN(8);\n" + crt_body + "    KEEP (*(SORT(.CRT$XD*)))  /* dynamic TLS initialisers */\n"
    script = script.replace(crt, "")
    if len(sys.argv) == 4:
        eh, eh_body = block(script, ".eh_frame")
        if "KEEP" not in eh_body:
            sys.exit("merged_sections.py: the .eh_frame statement has changed shape")
        script = script.replace(eh, "")
        # crtend.o's zero word ends the tables, should anything ever walk them.
        moved = "    *(.eh_frame*)\n    KEEP (*crtend.o(.eh_frame*))\n" + moved
    script = script.replace(relocs, moved + relocs)

    # The initialised data follows the thread-local template in one section, named .data: both
    # are written to, and the template keeps the start of the section, from which a
    # thread-local variable's offset is counted.
    data, data_body = block(script, ".data")
    tls, tls_body = block(script, ".tls")
    if "___tls_end__" not in tls_body:
        sys.exit("merged_sections.py: the .tls statement has changed shape")
    script = script.replace(data, "").replace(
        tls, "  .data BLOCK(__section_alignment__) :\n  {" + tls_body + "    . = ALIGN(8);\n" + data_body + "  }\n")

    with open(output, "w") as out:
        out.write("/* Made by cmake/merged_sections.py from %s's default script. */\n" % linker)
        out.write(script)


if __name__ == "__main__":
    main()
