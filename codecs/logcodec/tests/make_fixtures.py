#!/usr/bin/env python3
"""Builds the log codec's test vectors from the stream layout alone.

Writes into fixtures/ beside this script:
  *.bin              device log streams
  *.txt / *.xml      their expected plain text and events XML renderings
  errors.tsv         streams that fail: file, expected message, expected text of
                     the entries kept
  format_cases.tsv   snapshot format rules: type, value bytes (hex), format,
                     expected value text, expected raw text

Value texts come from the C library's printf in the C locale, called with the
argument type the snapshot's type dictates, once the format has passed the
acceptance rule written out here (exactly one conversion, flags, width and
precision up to 255, no '*', a length modifier and conversion of the value's
kind, 32-bit long forms mapped). A printed text over 255 characters or a
refused format gives the type's default rendering.

Run with --check to compare with the checked-in files instead of writing.
"""
import ctypes
import math
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "scripts"))
import fixtures  # noqa: E402

OUT = os.path.join(HERE, "fixtures")

LIBC = ctypes.CDLL(None)
LIBC.setlocale(0 + 6, b"C")  # LC_ALL

DEFAULT_FORMAT = {1: "%hhd", 2: "%hhu", 3: "%hd", 4: "%hu", 5: "%d", 6: "%u",
                  7: "%lld", 8: "%llu", 9: "%f"}
VALUE_SIZE = {1: 1, 2: 1, 3: 2, 4: 2, 5: 4, 6: 4, 7: 8, 8: 8, 9: 4}
PACK = {1: "<b", 2: "<B", 3: "<h", 4: "<H", 5: "<i", 6: "<I", 7: "<q", 8: "<Q", 9: "<f"}
MAX_PRINTED = 255


def kind(t):
    return "int64" if t in (7, 8) else "double" if t == 9 else "int32"


CONV = re.compile(r"%([-+ #0]*)([0-9]*)(?:\.([0-9]*))?(hh|h|ll|l|I64|I32|L)?(.)", re.S)
LENGTHS = {"int32": {None: "", "hh": "hh", "h": "h", "l": "", "I32": ""},
           "int64": {"ll": "ll", "I64": "ll"},
           "double": {None: "", "l": "", "L": ""}}
CONVERSIONS = {"int32": "diuoxX", "int64": "diuoxX", "double": "fFeEgGaA"}


def accepted_format(fmt, k):
    """The format for the C printf when acceptable, else None."""
    i, found = 0, None
    while i < len(fmt):
        if fmt[i] != "%":
            i += 1
        elif fmt[i + 1:i + 2] == "%":
            i += 2
        else:
            m = CONV.match(fmt, i)
            if not m or found:
                return None
            found, i = m, m.end()
    if not found:
        return None
    flags, width, prec, length, conv = found.groups()
    if width and int(width) > MAX_PRINTED or prec and int(prec) > MAX_PRINTED:
        return None
    if conv not in CONVERSIONS[k] or length not in LENGTHS[k]:
        return None
    spec = "%" + flags + width + ("." + prec if prec is not None else "") + LENGTHS[k][length] + conv
    return fmt[:found.start()] + spec + fmt[found.end():]


def c_printf(fmt, t, raw):
    value = struct.unpack(PACK[t], raw)[0]
    if kind(t) == "double":
        arg = ctypes.c_double(value)
    elif kind(t) == "int64":
        arg = ctypes.c_longlong(value if t == 7 else struct.unpack("<q", raw)[0])
    else:
        # Types 1-4 reach printf widened to int, 6 as its 32-bit pattern.
        arg = ctypes.c_int(value if t != 6 else struct.unpack("<i", raw)[0])
    buf = ctypes.create_string_buffer(2048)
    n = LIBC.snprintf(buf, ctypes.c_size_t(len(buf)), fmt.encode("latin-1"), arg)
    assert 0 <= n < len(buf)
    return buf.raw[:n].decode("latin-1")


def value_texts(t, raw, fmt):
    raw_text = c_printf(DEFAULT_FORMAT[t], t, raw)
    value_text = raw_text
    if fmt:
        accepted = accepted_format(fmt, kind(t))
        if accepted is not None:
            printed = c_printf(accepted, t, raw)
            if len(printed) <= MAX_PRINTED:
                value_text = printed
    return value_text, raw_text


# ---- streams -----------------------------------------------------------------

def ztext(s):
    return s.encode("latin-1") + b"\0"


class Snap:
    def __init__(self, t, name, desc, fmt, unit, value):
        self.t, self.name, self.desc, self.fmt, self.unit = t, name, desc, fmt, unit
        if t == 10:
            self.raw = ztext(value)
            self.value_text = self.raw_text = value
        else:
            self.raw = struct.pack(PACK[t], value)
            self.value_text, self.raw_text = value_texts(t, self.raw, fmt)

    def encode(self):
        return (bytes([self.t]) + ztext(self.name) + ztext(self.desc) + ztext(self.fmt) +
                ztext(self.unit) + self.raw)


class Event:
    def __init__(self, ts, severity, name, desc, snaps=()):
        self.ts, self.severity, self.name, self.desc, self.snaps = ts, severity, name, desc, list(snaps)
        self.version = 1

    def body(self):
        b = (struct.pack("<Q", self.ts) + ztext(self.severity) + ztext(self.name) + ztext(self.desc) +
             b"".join(s.encode() for s in self.snaps) + b"\0")
        return b + struct.pack("<H", len(b) + 2)

    def encode(self):
        return struct.pack("<H", 1) + self.body()


class Mark:
    """A version 2 entry: a timestamp alone."""
    def __init__(self, ts):
        self.ts, self.version = ts, 2

    def encode(self):
        return struct.pack("<HQH", 2, self.ts, 10)


def keyed(entries):
    """(key, entry) per entry, keys forced to grow strictly, saturating."""
    out, previous = [], 0
    for e in entries:
        if previous < e.ts:
            previous = e.ts
        elif previous < 2**64 - 1:
            previous += 1
        out.append((previous, e))
    return out


def merge(*images):
    """Sorted by key; equal keys keep the order in which they were added."""
    allk = [ke for image in images for ke in keyed(image)]
    return sorted(allk, key=lambda ke: ke[0])


def render_text(keyed_entries):
    out = []
    for ts, e in keyed_entries:
        if e.version != 1:
            continue
        out.append("%06dh%02dm%02ds.%06d %s(%s): %s\n" % (
            ts // 3600000000000, ts // 60000000000 % 60, ts // 1000000000 % 60, ts // 1000 % 1000000,
            e.name, e.severity, e.desc))
        if e.snaps:
            w1 = max(len(s.name) for s in e.snaps)
            w2 = max(len(s.value_text) + len(s.unit) for s in e.snaps)
            for s in e.snaps:
                out.append("    " + s.name.ljust(w1) + " = " + (s.value_text + s.unit).rjust(w2) + " " +
                           s.desc + "\n")
    return "".join(out)


def esc(s):
    return (s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace("'", "&apos;")
            .replace('"', "&quot;"))


def render_xml(keyed_entries):
    out = ['<?xml version="1.0" encoding="ISO-8859-1" standalone="yes"?><Events>']
    for ts, e in keyed_entries:
        if e.version != 1:
            continue
        out.append("<Event><Name>%s</Name><Severity>%s</Severity><Description>%s</Description>"
                   '<Timestamp unit="nsec">%d</Timestamp><Snapshots>' % (esc(e.name), esc(e.severity),
                                                                        esc(e.desc), ts))
        for s in e.snaps:
            fmt = ' format="%s"' % esc(s.fmt) if s.fmt else ""
            um = "<UM>%s</UM>" % esc(s.unit) if s.unit else ""
            out.append("<Snapshot><Name>%s</Name><Description>%s</Description><Value%s>%s</Value>"
                       "<RawValue>%s</RawValue>%s</Snapshot>" % (esc(s.name), esc(s.desc), fmt,
                                                                 esc(s.value_text), esc(s.raw_text), um))
        out.append("</Snapshots></Event>")
    out.append("</Events>\n")
    return "".join(out)


def stream(entries):
    return b"".join(e.encode() for e in entries)


# ---- scenarios -----------------------------------------------------------------

def scenarios():
    files = {}

    basic = [
        Event(0, "Info", "Boot", "first entry at time 0 gets 1 ns"),
        Event(3723000456000, "Warning", "Temp", "time 000001h02m03s.000456", [
            Snap(1, "s8", "signed byte", "", "", -5),
            Snap(2, "u8", "unsigned byte", "", "", 250),
            Snap(3, "s16", "signed short", "", "mV", -1234),
            Snap(4, "u16", "unsigned short", "", "", 65535),
            Snap(5, "s32", "signed int", "%+d", "", -2147483648),
            Snap(6, "u32", "unsigned int", "%#x", "", 3735928559),
            Snap(7, "s64", "signed long long", "", "ns", -9223372036854775807 - 1),
            Snap(8, "u64", "unsigned long long", "%I64u", "", 18446744073709551615),
            Snap(9, "volts", "a float with two decimals", "%.2f", "V", 3.14159274),
            Snap(10, "label", "a text value", "%s ignored", "", "pump A"),
        ]),
        # Not later than the one before: shown 1 ns after it.
        Event(3723000456000, "Info", "Same", "same time as before"),
        Mark(5000000000000),
        Event(4000000000000, "Error", "Earlier", "before the mark: mark + 1 ns"),
        Event(7 * 3600000000000 + 59 * 60000000000 + 59999999999, "Info", "Edge",
              "nanoseconds below a microsecond are not shown", [
                  Snap(5, "n", "", "count=%05d;", "", 42),
              ]),
    ]
    files["basic"] = [basic]

    special = [
        Event(10, "Sev<&>'\"", "Name&<>'\"", "desc <b>&amp;</b> 'q' \"dq\"", [
            Snap(9, "x<y", "a&b", "<%.1f>&'\"", "\"u\"", 2.5),
            Snap(10, "t", "text value with markup", "", "'", "<tag attr=\"v\">&</tag>"),
            Snap(5, "pct", "literal percent", "%d%%", "", 99),
        ]),
    ]
    files["escaping"] = [special]

    # Two images with interleaving times, added to one handle in turn.
    image_a = [Event(1000, "Info", "A1", "a"), Event(3000, "Info", "A2", "a"),
               Event(5000, "Info", "A3", "a", [Snap(5, "v", "", "", "", 1)])]
    image_b = [Event(2000, "Info", "B1", "b"), Event(3000, "Info", "B2", "b, same time as A2"),
               Mark(4000), Event(6000, "Info", "B3", "b")]
    files["merge"] = [image_a, image_b]

    # Alignment: names and value+unit widths differ.
    align = [Event(1, "Info", "Align", "columns", [
        Snap(5, "a", "short name", "", "", 7),
        Snap(5, "longer_name", "long name", "", "rpm", -1234567),
        Snap(9, "f", "float default", "", "", -0.5),
        Snap(10, "t", "", "", "", ""),
    ])]
    files["align"] = [align]

    # The +1 holds at the largest timestamp.
    top = 2**64 - 1
    files["saturate"] = [[Event(top - 1, "Info", "N1", "x"), Event(top, "Info", "N2", "x"),
                          Event(5, "Info", "N3", "held at the top"), Mark(0),
                          Event(0, "Info", "N4", "still at the top")]]
    return files


def error_streams():
    ok = Event(100, "Info", "Kept", "decoded before the failure")
    okb = ok.encode()
    cases = []

    cases.append(("one_byte", b"\x01", "Read file error", []))
    cases.append(("odd_tail", okb + b"\x01", "Read file error", [ok]))
    cases.append(("version_3", okb + struct.pack("<H", 3) + b"\0" * 10,
                  "Unmanaged entry version 3", [ok]))
    cases.append(("version_0", struct.pack("<H", 0), "Unmanaged entry version 0", []))
    cases.append(("version_65535", struct.pack("<H", 65535), "Unmanaged entry version 65535", []))

    bad = Event(200, "Info", "Bad", "length off by one").encode()
    bad = bad[:-2] + struct.pack("<H", struct.unpack("<H", bad[-2:])[0] + 1)
    cases.append(("bad_length", okb + bad, "Error while decoding entry version at %d" % (len(okb) + 2), [ok]))

    t11 = Event(300, "Info", "T11", "type 11", [Snap(5, "n", "", "", "", 1)]).encode()
    i = t11.index(b"\x05n\0")
    t11 = t11[:i] + b"\x0b" + t11[i + 1:]
    cases.append(("type_11", okb + t11, "Error while decoding entry version at %d" % (len(okb) + 2), [ok]))

    cut = Event(300, "Info", "Cut", "cut inside a text").encode()
    cases.append(("cut_text", okb + cut[:20], "Error while decoding entry version at %d" % (len(okb) + 2),
                  [ok]))
    cut_value = Event(300, "Info", "Cut", "cut inside a value", [Snap(7, "big", "", "", "", 1)]).encode()
    cases.append(("cut_value", cut_value[:-6], "Error while decoding entry version at 2", []))
    v2bad = struct.pack("<HQH", 2, 1, 11)
    cases.append(("v2_length", okb + v2bad, "Error while decoding entry version at %d" % (len(okb) + 2),
                  [ok]))
    cases.append(("v2_cut", struct.pack("<HQ", 2, 1) + b"\x0a", "Error while decoding entry version at 2", []))
    return cases


# ---- format table ----------------------------------------------------------------

FORMATS = [
    # integer conversions and their options
    "%d", "%i", "%u", "%x", "%X", "%o", "%#x", "%#X", "%#o", "%#.0o", "%#5.3o", "%5d", "%-6d|", "%05d",
    "%-05d|", "%+d", "% d", "%+ d", "%.3d", "%.0d", "%8.3x", "%08.3x", "%+.0u", "%#d", "%255d", "x%255d",
    "%hhd", "%hhu", "%hhx", "%hd", "%hu", "%hX", "%ld", "%lu", "%lx", "%I32d", "%I32u", "%I64d", "%I64u",
    "%I64x", "%lld", "%llu", "%llX", "%+020lld", "value=%d V", "%d%%", "100%% of %u",
    # floating conversions and their options
    "%f", "%F", "%.2f", "%10.3f", "%-10.1f|", "%+f", "% f", "%010.2f", "%#.0f", "%.0f", "%e", "%.3E",
    "%#.0e", "%+.1e", "%g", "%G", "%.10g", "%#g", "%.0g", "%5.1g", "%#.3G", "%a", "%.3a", "%A", "%#a",
    "%lf", "%Lf", "%.250f", "%.60g", "%-+12.4g|", "%012e",
    # refused: hostile, foreign or not a single conversion
    "%n", "%d%n", "%s", "%p", "%c", "%*d", "%.*f", "%d%d", "%f %f", "%", "abc", "%5", "%l", "%Id",
    "%jd", "%zd", "%td", "%qd", "%hhhd", "%lld%", "%1$d", "%-", "%%", "%%d", "%256d", "%.256f",
    "%99999999999d", "%.99999999999f", "%S", "%ls", "%C", "%Z", "%hf", "%llf", "%Ld", "%I64f", "%wd",
]

VALUES = {
    1: [0, -1, 127, -128],
    2: [0, 200, 255],
    3: [-32768, 1234],
    4: [65535, 42],
    5: [0, -2147483648, 2147483647, 123456],
    6: [4294967295, 3000000000, 0],
    7: [-9223372036854775808, 1234567890123, 0],
    8: [18446744073709551615, 255],
    9: [0.0, -0.0, 1.5, 3.14159274, 1e-10, 3.4028235e38, -2.5e-07, 100.0, float("inf"), float("-inf"),
        float("nan"), struct.unpack("<f", struct.pack("<I", 0xFFC00000))[0]],
}


def tsv_escape(s):
    out = []
    for ch in s:
        o = ord(ch)
        if ch == "\\":
            out.append("\\\\")
        elif o < 0x20 or o >= 0x7F:
            out.append("\\x%02x" % o)
        else:
            out.append(ch)
    return "".join(out)


def format_cases():
    rows = ["# type\tvalue bytes\tformat\tvalue text\traw text"]
    for t in range(1, 10):
        for v in VALUES[t]:
            raw = struct.pack(PACK[t], v)
            for fmt in FORMATS:
                value_text, raw_text = value_texts(t, raw, fmt)
                rows.append("\t".join([str(t), raw.hex(), tsv_escape(fmt), tsv_escape(value_text),
                                       tsv_escape(raw_text)]))
    return "\n".join(rows) + "\n"


# ---- output ----------------------------------------------------------------------

def outputs():
    files = {}
    for name, images in scenarios().items():
        if len(images) == 1:
            files[name + ".bin"] = stream(images[0])
        else:
            for n, image in enumerate(images):
                files["%s_%d.bin" % (name, n + 1)] = stream(image)
        merged = merge(*images)
        files[name + ".txt"] = render_text(merged).encode("latin-1")
        files[name + ".xml"] = render_xml(merged).encode("latin-1")
    rows = ["# file\tmessage\ttext of the entries kept"]
    for name, data, message, kept in error_streams():
        files["error_%s.bin" % name] = data
        rows.append("\t".join(["error_%s.bin" % name, message, tsv_escape(render_text(keyed(kept)))]))
    files["errors.tsv"] = ("\n".join(rows) + "\n").encode()
    files["format_cases.tsv"] = format_cases().encode("latin-1")
    return files


def main(argv):
    return fixtures.write_or_check({os.path.join(OUT, name): data for name, data in outputs().items()}, argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
