"""How Windows' profile functions (as Wine has them) read and rewrite a file,
and which entries our writer stores."""

import re

UTF8_MARK = b"\xef\xbb\xbf"
UTF16_MARK = b"\xff\xfe"
BLANKS = b" \t\v\f\x1a"  # what both readers drop around names and values


# Wine reads the file again after each of its own writes, so its file is
# always what this model makes of the previous one, changed by one write.
def wine_text(data):
    """The file as Wine's profile code sees it, as one character per byte
    (the ANSI code page 1252 maps every byte to a character and back)."""
    if data.startswith(UTF8_MARK):
        return True, data[3:].decode("utf-8", "replace")
    return False, data.decode("latin-1")


WINE_SPACES = " \t\n\v\f\r\x1a"
WINE_LINE = re.compile(r"[^\r\n]*[\r\n]*")


def cut(name):
    return name.split("\0", 1)[0]


def wine_parse(text):
    """[(section name, [(key name, value or None)])], the first section nameless."""
    sections = [("", [])]
    keys, prev_name = sections[0][1], None
    for match in WINE_LINE.finditer(text):
        line = match.group().strip(WINE_SPACES)
        if not line:
            continue
        close = line.rfind("]")
        if line[0] == "[" and close > 0:
            sections.append((line[1:close].strip(WINE_SPACES), []))
            keys, prev_name = sections[-1][1], None
            continue
        name, equals, value = line.partition("=")
        if equals:
            name, value = name.rstrip(WINE_SPACES), value.lstrip(WINE_SPACES)
        else:
            value = None
        # A line without a name is dropped after a key whose name is empty.
        if name or prev_name is None or cut(prev_name):
            keys.append((name, value))
            prev_name = name
    return sections


def wine_rewrite(data):
    """What Wine writes back for a file it has read, unchanged."""
    mark, text = wine_text(data)
    out = []
    for section, keys in wine_parse(text):
        if cut(section):
            out.append("[" + cut(section) + "]")
        for name, value in keys:
            out.append(cut(name) + ("" if value is None else "=" + cut(value)))
    body = "".join(line + "\r\n" for line in out)
    return UTF8_MARK + body.encode("utf-8") if mark else body.encode("latin-1")


def wine_meaning(data):
    """The file as Windows keeps it once it has rewritten it, again and again:
    a name cut at a NUL byte may end in a blank that the next reading drops."""
    for _ in range(4):
        data, previous = wine_rewrite(data), data
        if data == previous:
            break
    return data


# Letters that cp1252 lacks and Windows gives as a look-alike (seen under Wine).
BEST_FIT = {"\u0100": b"A", "\u010c": b"C"}


def to_ansi(value):
    """A value of a UTF-8 or UTF-16 file as Wine's ANSI functions give it."""
    out = bytearray()
    for ch in value.decode("utf-8", "replace"):
        try:
            out += BEST_FIT.get(ch) or ch.encode("cp1252")
        except UnicodeEncodeError:
            # Beyond U+FFFF a character is two UTF-16 units, and two "?".
            out += bytes([ord(ch)]) if ord(ch) < 0x100 else b"??" if ord(ch) > 0xFFFF else b"?"
    return bytes(out)


def storable(section, key, value):
    """Our writer's rule (IsStorableProfileEntry)."""
    if any(c in field for field in (section, key, value) for c in (b"\r", b"\n", b"\0")):
        return False
    key = key.strip(BLANKS)
    # First in the file, the key's first bytes would read as a byte order mark.
    if not section.strip(BLANKS) and key.startswith((UTF8_MARK, UTF16_MARK, b"\xfe\xff")):
        return False
    return b"=" not in key and not key.startswith((b";", b"["))
