"""Cases from a seed: an INI file and the reads and writes made on it, and
their encoding in the drivers' scripts (see profile_driver.cpp)."""

import random

from windows_model import BEST_FIT, BLANKS, UTF16_MARK, UTF8_MARK

LAUNCHER_KEYS = ["Countdown", "Pause"] + [f"Program{n}" for n in range(1, 11)]
LAUNCHER_DEFAULTS = ["5", "1500", "c:\\windows\\notepad.exe"] + [""] * 9


def b(text):
    return text.encode("latin-1") if isinstance(text, str) else text


def escape(data):
    return "".join(chr(c) if 0x21 <= c <= 0x7E and c != 0x5C else f"\\x{c:02X}" for c in b(data))


def unescape(text):
    out, i = bytearray(), 0
    while i < len(text):
        if text[i] == "\\":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            out.append(ord(text[i]))
            i += 1
    return bytes(out)


class Case:
    """An INI file (None: missing) and operations: ("R", section, key),
    ("W", section, key, value) and ("F",), all bytes."""

    def __init__(self, number, initial, ops, kinds):
        self.number, self.initial, self.ops, self.kinds = number, initial, ops, kinds


class Generator:
    SECTIONS = [b"Torvinale", b"Other", b"A", b"b", b"two words", b"x.y", b"caf\xe9", b"\xc9T\xc9"]
    KEYS = [b(k) for k in LAUNCHER_KEYS] + [b"k", b"Key", b"a b", b"n.1", b"\xe9t\xe9", b"\xd6l"]

    def __init__(self, rng, bom, utf16=False, marks=None):
        self.r = rng
        # Drawn apart, so that a seed's other cases stay as they were before them.
        self.marks = marks or random.Random(0)
        self.bom = bom or utf16  # names stay ASCII in a file with a byte order mark
        # Saved as UTF-16 LE, which we never write into: read only. Never of odd
        # length: Windows reads the byte after the file's data with its last one.
        self.utf16 = utf16
        # Windows rewrites these lines so that they mean something else:
        # a header with an empty name goes, and its keys join the section
        # before; names and values are cut at a NUL byte and lose the blanks
        # before it. We keep them as they are, so only files that are read
        # alone get them.
        self.read_only = False

    def chance(self, p):
        return self.r.random() < p

    def pick(self, items):
        return self.r.choice(items)

    def ascii_only(self, names):
        return [n for n in names if max(n, default=0) < 0x80] if self.bom else names

    def variant(self, name):
        """The same name as a reader should match it: case and blanks changed."""
        if self.chance(0.5):
            out = bytearray()
            for c in name:
                ch = chr(c)
                swapped = ch.swapcase()
                if self.chance(0.5) and len(swapped) == 1 and ord(swapped) < 0x100:
                    out.append(ord(swapped))
                else:
                    out.append(c)
            name = bytes(out)
        if self.chance(0.2):
            name = self.blanks() + name + self.blanks()
        return name

    def blanks(self):
        if self.chance(0.6):
            return b""
        pool = b" \t" if self.chance(0.85) else BLANKS
        return bytes(self.pick(pool) for _ in range(self.r.randint(1, 3)))

    def word(self, alphabet=b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-"):
        return bytes(self.pick(alphabet) for _ in range(self.r.randint(1, 12)))

    def high_bytes(self):
        if self.utf16:
            # In cp1252, near it (U+0081 has its byte), missing (one "?" each,
            # two for a pair), given as a look-alike (BEST_FIT) and malformed
            # (lone surrogates).
            pool = [chr(c) for c in range(0xC0, 0x100)] + list(
                "\u20ac\u0152\u2013\u0081\u0394\u4e2d\ufffd\U0001f600\ud800\udc00") + list(
                BEST_FIT)
            return "".join(self.pick(pool) for _ in range(self.r.randint(1, 4))).encode(
                "utf-8", "surrogatepass")
        if self.bom:
            # Latin letters in UTF-8, lone continuation bytes and bytes never
            # valid in UTF-8: each reads as one character or one "?".
            pool = [chr(c).encode("utf-8") for c in range(0xC0, 0x100)]
            pool += [bytes([c]) for c in list(range(0x80, 0xC0)) + list(range(0xF8, 0x100))]
            return b"".join(self.pick(pool) for _ in range(self.r.randint(1, 4)))
        return bytes(self.r.randint(0x80, 0xFF) for _ in range(self.r.randint(1, 4)))

    def value(self):
        kind = self.r.randint(0, 13)
        if kind == 0:
            v = b""
        elif kind == 1:
            v = b(self.pick(["5", "1500", "-3", "$FF", " 7", "c:\\windows\\notepad.exe",
                             "/usr/bin/xterm", "http://example.org/?a=b;c"]))
        elif kind == 2:
            v = self.word() + b" " + self.word() + self.pick([b";c", b"=d", b" ; x = y", b""])
        elif kind == 3:
            q = self.pick([b'"', b"'"])
            v = q + self.blanks() + self.word() + self.blanks() + q
        elif kind == 4:
            v = self.pick([b'"', b"'", b'""', b"''", b'"a\'', b'"x', b'x"', b'"a"b"', b"' '"])
        elif kind == 5:
            n = self.pick([2045, 2046, 2047, 2048, 2049, 3000])
            v = (self.word() * 400)[:n]
            if len(v) < n:
                v += b"x" * (n - len(v))
            if self.chance(0.4):
                q = self.pick([b'"', b"'"])
                v = q + v[:n - 2 + self.r.randint(0, 2)] + q
        elif kind == 6:
            v = self.word() + self.high_bytes() + self.word()
        elif kind == 7 and self.read_only:  # only a file can hold it
            v = self.word() + b"\0" + self.word()
        elif kind == 8:
            v = self.high_bytes()
        else:
            v = self.word()
        if self.chance(0.3):
            v = self.blanks() + v + self.blanks()
        return v

    def line_end(self, style):
        if style == "mixed":
            return self.pick([b"\r\n", b"\n", b"\r", b"\n\n", b"\r\n\r\n"])
        return style

    def ini(self, sections_used, keys_used):
        style = self.pick([b"\r\n"] * 4 + [b"\n"] * 3 + [b"\r", "mixed"])
        lines = []

        def key_line(name, value):
            keys_used.append(name)
            sep = self.blanks() + b"=" + self.blanks()
            lines.append(self.blanks() + name + sep + value + self.blanks())

        def filler():
            kind = self.r.randint(0, 19 if self.read_only else 15)
            if kind == 0:
                lines.append(b"")
            elif kind == 1:
                lines.append(self.blanks())
            elif kind == 2:
                lines.append(self.blanks() + b";" + self.pick(
                    [b" comment", b"Pause=9", b"Countdown=1", b"k=v", b"[Torvinale]", b""]))
            elif kind == 3:  # a key without a value
                lines.append(self.variant(self.pick(self.ascii_only(self.KEYS))))
            elif kind == 4:
                lines.append(self.pick([b"[broken", b"=orphan", b"==", b"x" * 70000]))
            elif kind >= 18:
                lines.append(self.pick([b"[]", b"[ ]", b"[\t]", b"[ \0A]"]))
            elif kind >= 16:
                lines.append(self.pick([b"bin\0ary=1", b"\0=x", b"k \0x=1", b"k=x \0y",
                                        b"k=\0 y", b"[Other \0x]", b"Key\0", b"\0Key=1"]))
                keys_used.extend([b"k", b"Key", b"bin", b""])
                sections_used.append(b"Other")
            else:
                name = self.pick(self.ascii_only(self.KEYS)) if self.chance(0.6) else self.word()
                key_line(name, self.value())

        names = self.ascii_only(self.SECTIONS)
        if self.chance(0.2):  # keys before any section
            for _ in range(self.r.randint(1, 3)):
                filler()
        for _ in range(self.r.randint(0, 4)):
            name = self.pick(names) if self.chance(0.8) else self.word()
            sections_used.append(name)
            head = b"[" + self.variant(name) + b"]"
            if self.chance(0.1):
                head = self.blanks() + head + self.pick([b" ; note", b"junk", b"]"])
            lines.append(head)
            if name == b"Torvinale" and self.chance(0.7):
                for key, default in zip(LAUNCHER_KEYS, LAUNCHER_DEFAULTS):
                    if self.chance(0.85):
                        key_line(self.variant(b(key)), b(default) if self.chance(0.5)
                                 else self.value())
                    if self.chance(0.2):
                        filler()
            for _ in range(self.r.randint(0, 6)):
                filler()
        text = b"".join(line + self.line_end(style) for line in lines)
        if lines and self.chance(0.3):  # no line end after the last line
            text = text.rstrip(b"\r\n")
        if self.utf16:
            return UTF16_MARK + text.decode("utf-8", "surrogatepass").encode(
                "utf-16-le", "surrogatepass")
        return (UTF8_MARK if self.bom else b"") + text

    def storable_key(self, keys):
        pool = [k for k in self.ascii_only(keys + self.KEYS)
                if b"\0" not in k and b"=" not in k and not k.strip(BLANKS).startswith((b";", b"["))
                and k.strip(BLANKS)]
        if self.chance(0.03):
            return self.blanks()  # the key without a name
        return self.variant(self.pick(pool)) if pool and self.chance(0.8) else self.word()

    def case(self, number):
        sections, keys = [], []
        kinds = ["utf-16"] if self.utf16 else ["bom"] if self.bom else []
        roll = self.r.random()
        if roll < 0.1:
            initial = None
            kinds.append("missing")
        elif roll < 0.15:
            initial = UTF16_MARK if self.utf16 else UTF8_MARK if self.bom else b""
            self.read_only = self.utf16
        else:
            self.read_only = self.utf16 or self.chance(0.15)
            if self.read_only:
                kinds.append("read only")
            initial = self.ini(sections, keys)
        ops = [("R", b"Torvinale", b(k)) for k in LAUNCHER_KEYS]
        section_pool = self.ascii_only(sections + self.SECTIONS)
        key_pool = [k for k in self.ascii_only(keys + self.KEYS) if b"\0" not in k]
        if self.read_only:
            pairs = sorted({(s, k) for s in sections + [b""] for k in keys})
            for section, key in self.r.sample(pairs, min(len(pairs), 40)):
                ops.append(("R", self.variant(section), self.variant(key)))
        for _ in range(self.r.randint(2, 8)):
            section = self.pick(section_pool) if self.chance(0.9) else b""
            ops.append(("R", self.variant(section), self.variant(self.pick(key_pool))))
        reads = list(ops)

        writes = []
        if self.read_only:
            pass
        elif initial is None and self.chance(0.5):
            kinds.append("default file")
            writes = [("W", b"Torvinale", b(k), b(v)) for k, v in zip(LAUNCHER_KEYS,
                                                                    LAUNCHER_DEFAULTS)]
        else:
            for _ in range(self.r.randint(0, 8)):
                roll = self.r.random()
                section = self.pick(section_pool) if roll < 0.8 else \
                    self.word() if roll < 0.95 else b""
                value = self.value()
                if self.bom:
                    value = bytes(c for c in value if c < 0x80)
                writes.append(("W", self.variant(section), self.storable_key(keys), value))
        ops += writes + [("F",)]
        ops += reads + [("R", w[1], w[2]) for w in writes]
        if self.chance(0.03):
            kinds.append("refused")
            ops.append(("W", b"Torvinale", *self.pick([
                (b"a=b", b"1"), (b";Pause", b"1"), (b"[k]", b"1"), (b"k", b"a\r\nPause=1"),
                (b"k", b"a\nb"), (b"Count\ndown", b"1")])))
            if self.marks.random() < 0.5:
                # First in the file, the key would start with a byte order mark;
                # in a named section it is only a name.
                kinds.append("marked key")
                mark = self.marks.choice([UTF8_MARK, UTF16_MARK, b"\xfe\xff"])
                if not self.utf16:
                    ops.append(("W", b"Torvinale", mark + b"k", b"1"))
                # Last: Windows stores it, and what it makes of the file after
                # that depends on whether it reads the file again.
                ops.append(("W", self.marks.choice([b"", b" ", b"\t"]),
                            self.marks.choice([b"", b" "]) + mark + b"Pause", b"1"))
            ops.append(("F",))
        return Case(number, initial, ops, kinds)


def generate(seed, count):
    rng, marks = random.Random(seed), random.Random(f"marked keys {seed}")
    cases = []
    for n in range(count):
        roll = rng.random()
        cases.append(Generator(rng, roll < 0.1, utf16=roll >= 0.9, marks=marks).case(n))
    return cases
