#!/usr/bin/env python3
"""Writes the object dictionary test vectors and fuzz seeds.

Computed here from the file and XML layouts alone, independently of the
codec: for each case a binary dictionary (NAME.bin) and the XML the codec must
write for it (NAME.xml) in tests/vectors/; XML spellings the reader must accept
with the bytes they stand for in tests/vectors/from-xml/; and seeds for both
fuzz targets in tests/fuzz/<target>/.  Run it again after changing a case and
check the outputs in.
"""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
VECTORS = os.path.join(HERE, "vectors")
FROM_XML = os.path.join(VECTORS, "from-xml")
FUZZ = os.path.join(HERE, "fuzz")

DECLARATION = '<?xml version="1.0" encoding="ISO-8859-1" standalone="yes"?>'


def binary(version, records):
    out = struct.pack("<H", version)
    for index, sub, mappable, value in records:
        assert len(value) <= 127
        out += struct.pack("<HBB", index, sub, (0x80 if mappable else 0) | len(value))
        out += value
    return out


def hex_value(value):
    # Up to 4 bytes the value is a little-endian number: last byte first.
    return value[::-1].hex() if len(value) <= 4 else value.hex()


def xml(version, records):
    lines = [DECLARATION, '<ObjectDictionary version="%d">' % version, "  <Objects>"]
    for index, sub, mappable, value in records:
        lines.append('    <Object ismappable="1"> ' if mappable else "    <Object> ")
        lines.append("      <Index>%04x</Index>" % index)
        lines.append("      <SubIndex>%02x</SubIndex>" % sub)
        if value:
            lines.append("      <HexValue>%s</HexValue>" % hex_value(value))
        lines.append("    </Object>")
    lines += ["  </Objects>", "</ObjectDictionary>"]
    return "\n".join(lines) + "\n"


def round_trip_cases():
    rng = random.Random(1604)
    cases = {
        "empty_v1": (1, []),
        "empty_v0": (0, []),
        "identity_1018": (1, [(0x1018, 2, False, bytes([0x11, 0x22, 0x33, 0x44]))]),
        "five_bytes_in_file_order": (1, [(0x2000, 0, False, bytes([1, 2, 3, 4, 5]))]),
        "no_value_mappable_and_not": (1, [(0x6040, 0, True, b""), (0x6041, 0, False, b"")]),
        "extreme_ids": (1, [(0x0000, 0x00, True, b"\x00"), (0xFFFF, 0xFF, True, b"\xff" * 127)]),
    }
    # Every value length the flags can hold, alternating mappable, random ids.
    every = []
    for length in range(128):
        value = bytes(rng.randrange(256) for _ in range(length))
        every.append((rng.randrange(0x10000), rng.randrange(256), length % 2 == 1, value))
    cases["every_length"] = (1, every)
    # A realistic device dictionary: mostly short numeric values.
    device = []
    for index in range(0x1000, 0x1000 + 300, 3):
        for sub in range(rng.randrange(1, 6)):
            length = rng.choice([0, 1, 1, 2, 2, 4, 4, 4, 8, 12, 32])
            device.append((index, sub, rng.random() < 0.3,
                           bytes(rng.randrange(256) for _ in range(length))))
    cases["device_dictionary"] = (0, device)
    return cases


# XML spellings the reader accepts that the writer never produces, with the
# file each must give.
def from_xml_cases():
    def doc(version_attr, objects_body):
        return (DECLARATION + "\n<ObjectDictionary %s>\n  <Objects>\n%s  </Objects>\n"
                "</ObjectDictionary>\n" % (version_attr, objects_body))

    def obj(attrs, index, sub, value=None):
        body = "    <Object%s>\n      <Index>%s</Index>\n      <SubIndex>%s</SubIndex>\n" % (
            attrs, index, sub)
        if value is not None:
            body += "      <HexValue>%s</HexValue>\n" % value
        return body + "    </Object>\n"

    return {
        # Prefixes, blanks, signs and upper case digits in the ids.
        "id_spellings": (
            doc('version="1"',
                obj("", "0x1A2b", "0XfF")
                + obj("", "  12", " +7")
                + obj("", "-1", "-1")
                + obj("", "12345", "1ff")
                + obj("", "10zz", "3 4")),
            binary(1, [(0x1A2B, 0xFF, False, b""), (0x0012, 0x07, False, b""),
                       (0xFFFF, 0xFF, False, b""), (0x2345, 0xFF, False, b""),
                       (0x0010, 0x03, False, b"")])),
        # Only the value 1 makes an object mappable.
        "ismappable_values": (
            doc('version="1"',
                obj(' ismappable="0"', "1", "0")
                + obj(' ismappable="2"', "2", "0")
                + obj(' ismappable=" 1"', "3", "0")
                + obj(' ismappable="01"', "4", "0", "AbCd")),
            binary(1, [(1, 0, False, b""), (2, 0, False, b""), (3, 0, True, b""),
                       (4, 0, True, bytes([0xCD, 0xAB]))])),
        # The version's low 16 bits; leading zeros are decimal, not octal.
        "version_low_bits": (doc('version="65537"', ""), binary(1, [])),
        "version_leading_zeros": (doc('version="0010"', ""), binary(10, [])),
        # Other elements among the objects are passed over.
        "foreign_siblings": (
            doc('version="1"', "    <Note>x</Note>\n" + obj("", "1", "1", "01")
                + "    <Note>y</Note>\n" + obj("", "2", "2", "0102030405")),
            binary(1, [(1, 1, False, b"\x01"), (2, 2, False, bytes([1, 2, 3, 4, 5]))])),
        # Entities are translated before the digits are read.
        "entity_digits": (doc('version="&#49;"', obj("", "&#x31;0", "0", "&#x41;&#x42;")),
                          binary(1, [(0x10, 0, False, b"\xab")])),
        # Neither line breaks nor the declaration are required.
        "compact": ('<ObjectDictionary version="1"><Objects><Object ismappable="1">'
                    "<SubIndex>5</SubIndex><Index>6000</Index><HexValue>0a0b0c0d0e0f</HexValue>"
                    "</Object></Objects></ObjectDictionary>",
                    binary(1, [(0x6000, 5, True, bytes([10, 11, 12, 13, 14, 15]))])),
    }


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode("latin-1") if isinstance(data, str) else data)


def main():
    for name, (version, records) in round_trip_cases().items():
        write(os.path.join(VECTORS, name + ".bin"), binary(version, records))
        write(os.path.join(VECTORS, name + ".xml"), xml(version, records))
        write(os.path.join(FUZZ, "binary", name), binary(version, records))
        write(os.path.join(FUZZ, "xml", name), xml(version, records))
    for name, (text, expected) in from_xml_cases().items():
        write(os.path.join(FROM_XML, name + ".xml"), text)
        write(os.path.join(FROM_XML, name + ".bin"), expected)
        write(os.path.join(FUZZ, "xml", name), text)
    # Broken inputs keep the error paths in the fuzzers' reach.
    one = binary(1, [(0x1018, 2, False, b"\x11\x22\x33\x44")])
    write(os.path.join(FUZZ, "binary", "cut_in_value"), one[:-1])
    write(os.path.join(FUZZ, "binary", "cut_in_header"), one[:4])
    write(os.path.join(FUZZ, "binary", "version_2"), binary(2, []))
    write(os.path.join(FUZZ, "xml", "odd_hex_value"),
          '<ObjectDictionary version="1"><Objects><Object><Index>1</Index>'
          "<SubIndex>1</SubIndex><HexValue>abc</HexValue></Object></Objects></ObjectDictionary>")
    write(os.path.join(FUZZ, "xml", "no_root"), "<Dictionary version=\"1\"/>")


if __name__ == "__main__":
    main()
