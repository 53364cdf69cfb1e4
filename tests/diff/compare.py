"""What our functions and the program's Windows layer gave, against Windows'
own: every difference must be one that README.md lists."""

import collections

from cases import unescape
from windows_model import (BLANKS, UTF16_MARK, UTF8_MARK, storable, to_ansi, wine_meaning,
                           wine_rewrite)

BUFFER = 2048  # the drivers' read buffer


def unmarked(data):
    return data[len(UTF8_MARK):] if data.startswith(UTF8_MARK) else data


def lines_of(data):
    return data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")


def compare(case, ours, theirs, our_file, their_file):
    """(list of listed classes met, list of unexplained differences)."""
    met, bad = set(), []
    bom = case.initial is not None and case.initial.startswith(UTF8_MARK)
    utf16 = case.initial is not None and case.initial.startswith(UTF16_MARK)
    refused = False
    for op, mine, wine in zip(case.ops, ours, theirs):
        if op[0] == "F" or mine == wine:
            continue
        if op[0] == "W":
            if mine == "W\t0" and not storable(*op[1:]):
                met.add("refused entry")
                refused = True
                continue
            bad.append(f"write {op[1:]!r}: ours {mine!r}, Windows {wine!r}")
            continue
        _, mine_n, mine_v = mine.split("\t")
        _, wine_n, wine_v = wine.split("\t")
        mine_v, wine_v = unescape(mine_v), unescape(wine_v)
        key = op[2].strip(BLANKS)
        if key.startswith(b";") and mine_v == b"":
            met.add("comment line")
        elif len(mine_v) == BUFFER - 1 and wine_v == mine_v[:-1]:
            met.add("quoted 2047")
        elif (bom or utf16) and wine_v == to_ansi(mine_v):
            met.add("UTF-16 file" if utf16 else "UTF-8 file")
        else:
            bad.append(f"read {op[1:]!r}: ours {mine!r}, Windows {wine!r}")
    if len(ours) != len(theirs):
        bad.append(f"{len(ours)} results from ours, {len(theirs)} from Windows")
    if refused or our_file == their_file:
        return met, bad
    if "default file" in case.kinds:
        bad.append(f"default file: ours {our_file!r}, Windows {their_file!r}")
        return met, bad
    if our_file is None or their_file is None:
        bad.append(f"file: ours {'missing' if our_file is None else 'present'}, Windows "
                   f"{'missing' if their_file is None else 'present'}")
        return met, bad
    # Lines that our writer produced must be in the form Windows writes them.
    before = collections.Counter(lines_of(unmarked(case.initial or b"")))
    for line in lines_of(unmarked(our_file)):
        if before[line] > 0:
            before[line] -= 1
        elif line and wine_rewrite(line) != line + b"\r\n":
            bad.append(f"our new line {line[:80]!r} is not as Windows writes it")
    mine, wine = wine_meaning(our_file), wine_meaning(their_file)
    if mine == wine:
        met.add("bytes kept")
        return met, bad
    # The byte order mark goes apart, so that a comment on the first line is one.
    mine_lines = [mine[:len(mine) - len(unmarked(mine))]] + lines_of(unmarked(mine))
    wine_lines = [wine[:len(wine) - len(unmarked(wine))]] + lines_of(unmarked(wine))

    def split(lines):
        return ([l for l in lines if not l.startswith(b";")],
                [l for l in lines if l.startswith(b";")])

    if split(mine_lines) == split(wine_lines):
        met.add("key before comments")
        return met, bad
    at = next(i for i, pair in enumerate(zip(mine_lines + [None], wine_lines + [None]))
              if pair[0] != pair[1])
    bad.append(f"files differ from line {max(at, 1)} as Windows reads them:\n"
               f"    ours:    {[l[:60] for l in mine_lines[at:at + 3]]}\n"
               f"    Windows: {[l[:60] for l in wine_lines[at:at + 3]]}")
    return met, bad


def differences_of_the_program(case, program, wine, program_file, their_file):
    """The program's Windows layer must give exactly what Windows' ANSI functions give."""
    bad = [f"the program's Windows layer: {op[:3]!r} gives {mine!r}, Windows' ANSI functions "
           f"{theirs!r}" for op, mine, theirs in zip(case.ops, program, wine) if mine != theirs]
    if program_file != their_file:
        bad.append("the program's Windows layer leaves another file than Windows' ANSI functions")
    return bad[:3]
