#!/usr/bin/env python3
"""Writes the parameter codec's test vectors into vectors/.

The expected binary parameter files are encoded here straight from the file
format (header, records, SHA-256 signature over paramTableId, names and value
bytes), without the library, so the tests compare the library against an
independent encoder. Run it again only when the cases below change.

For each case NAME it writes:
  NAME.definition.xml  the parameter definition given to the codec
  NAME.values.xml      the default values given to the codec
  NAME.par             the binary parameter file the codec must produce
  NAME.rendered.xml    the values XML the codec must render from NAME.par
"""

import hashlib
import math
import os
import struct
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "vectors")

PROJECT_UUID = "00112233445566778899aabbccddeeff"
PARAM_TABLE_ID = "0f1e2d3c4b5a69788796a5b4c3d2e1f0"

# type text -> (width, signed, float)
TYPES = {
    "int8_t": (1, True, False),
    "uint8_t": (1, False, False),
    "int16_t": (2, True, False),
    "uint16_t": (2, False, False),
    "int32_t": (4, True, False),
    "uint32_t": (4, False, False),
    "int64_t": (8, True, False),
    "uint64_t": (8, False, False),
    "float": (4, False, True),
}

# enum name -> [(item name, index text)]; the second one is named by its type
# name alone (empty simple name).
ENUMS = {
    "Mode": [("Off", "0"), ("On", "1"), ("Fast & <Loud>", "2")],
    "Level_t": [("Low", "10"), ("High", "4000000000")],
    "Small": [("B", "255"), ("A", "7")],
}
TYPE_NAMED_ENUMS = {"Level_t"}

LONG_NAME = "Drive_train_controller.Second_stage_gearbox.Output_shaft_torque_max_Nm"
assert len(LONG_NAME) == 70

# (full name, varType, valuesEnum or None, remoteIndex text, default text,
#  expected number written, or None for an enum item)
VARIABLES = [
    ("i8", "int8_t", None, "1", "-128", -128),
    ("u8", "uint8_t", None, "2", "255", 255),
    ("i16", "int16_t", None, "3", "-32768", -32768),
    ("u16", "uint16_t", None, "4", "65535", 65535),
    ("i32", "int32_t", None, "5", "-2147483648", -2147483648),
    ("u32", "uint32_t", None, "6", "4294967295", 4294967295),
    ("i64", "int64_t", None, "7", "-9223372036854775808", -9223372036854775808),
    ("u64", "uint64_t", None, "8", "18446744073709551615", 18446744073709551615),
    ("trailing", "int32_t", None, "9", "12abc", 12),
    ("f_tenth", "float", None, "10", "0.1", 0.1),
    ("f_half", "float", None, "11", "3.5", 3.5),
    ("f_negzero", "float", None, "12", "-0", -0.0),
    ("f_big", "float", None, "13", "1e10", 1e10),
    ("f_odd", "float", None, "14", "16777217", 16777216.0),
    ("f_fine", "float", None, "19", "1.2345678", 1.2345678),
    ("Motor.Limits.Speed", "int16_t", None, "70000", "1234", 1234),
    ("Motor.Mode", "Mode", None, "15", "Fast & <Loud>", None),
    ("Motor.Level", "Level_t", "Mode", "16", "High", None),
    ("small", "uint8_t", "Small", "17", "B", None),
    (LONG_NAME, "uint16_t", None, "18", "42", 42),
]


def c_g(value, precision=6):
    return "%.*g" % (precision, value)


def single(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def format_float(value):
    """%g when it reads back to the same single, else %.9g."""
    short = c_g(value)
    back = single(float(short))
    if back == value and math.copysign(1, back) == math.copysign(1, value):
        return short
    return c_g(value, 9)


def descriptor(type_text):
    width, signed, is_float = TYPES.get(type_text, TYPES["uint32_t"])
    d = width | ((width - 1) & 7) << 24 | 1 << 28
    if is_float:
        d |= 1 << 29
    if signed:
        d |= 1 << 30
    return d


def value_bytes(type_text, number):
    width, signed, is_float = TYPES.get(type_text, TYPES["uint32_t"])
    if is_float:
        return struct.pack("<f", number)
    return (number & ((1 << (8 * width)) - 1)).to_bytes(width, "little")


def element(indent, name, text):
    return "%s<zamoNs:%s>%s</zamoNs:%s>\n" % (" " * indent, name, escape(text), name)


def leaf(indent, var_name, type_text, values_enum, remote_index, access="Param"):
    pad = " " * indent
    s = pad + "<zamoNs:definedVariable>\n"
    s += element(indent + 2, "varName", var_name)
    s += element(indent + 2, "varType", type_text)
    s += element(indent + 2, "remoteIndex", remote_index)
    s += pad + "  <zamoNs:zamoNote>\n"
    s += element(indent + 4, "accessMode", access)
    s += element(indent + 4, "defaultValue", "0")
    if values_enum:
        s += element(indent + 4, "valuesEnum", values_enum)
    s += pad + "  </zamoNs:zamoNote>\n"
    s += pad + "</zamoNs:definedVariable>\n"
    return s


def tree(variables, indent, extra=""):
    """Nested definedVariables for dotted names."""
    groups = {}
    leaves = []
    for v in variables:
        head, dot, rest = v[0].partition(".")
        if dot:
            groups.setdefault(head, []).append((rest,) + v[1:])
        else:
            leaves.append(v)
    pad = " " * indent
    s = pad + "<zamoNs:definedVariables>\n"
    for name, children in groups.items():
        s += pad + "  <zamoNs:definedVariable>\n"
        s += element(indent + 4, "varName", name)
        s += tree(children, indent + 4)
        s += pad + "  </zamoNs:definedVariable>\n"
    for name, type_text, values_enum, remote_index, _, _ in leaves:
        s += leaf(indent + 2, name, type_text, values_enum, remote_index)
    s += extra
    s += pad + "</zamoNs:definedVariables>\n"
    return s


def definition_xml(variables):
    s = '<?xml version="1.0" encoding="ISO-8859-1" standalone="yes"?>\n'
    s += '<zamoNs:zamoRoot xmlns:zamoNs="urn:veltrano:zamo">\n'
    s += element(2, "zamoXMLVersion", "1.0")
    s += "  <zamoNs:projectIdentity>\n"
    s += element(4, "projectUUID", PROJECT_UUID)
    s += element(4, "paramTableId", PARAM_TABLE_ID)
    s += "  </zamoNs:projectIdentity>\n"
    s += "  <zamoNs:definedEnums>\n"
    for name, items in ENUMS.items():
        s += "    <zamoNs:definedEnum>\n"
        if name in TYPE_NAMED_ENUMS:
            s += element(6, "enumSimpleName", "")
            s += element(6, "enumTypeName", name)
        else:
            s += element(6, "enumSimpleName", name)
            s += element(6, "enumTypeName", name + "_t")
        s += "      <zamoNs:enumItems>\n"
        for item, index in items:
            s += "        <zamoNs:enumItem>\n"
            s += element(10, "enumItemName", item)
            s += element(10, "enumItemIndex", index)
            s += "        </zamoNs:enumItem>\n"
        s += "      </zamoNs:enumItems>\n"
        s += "    </zamoNs:definedEnum>\n"
    s += "  </zamoNs:definedEnums>\n"
    # Not "Param" exactly: never stored, so never written.
    extra = leaf(4, "readonly_blank", "int8_t", None, "90", access="Param ")
    extra += leaf(4, "readonly_lower", "int8_t", None, "91", access="param")
    s += tree(variables, 2, extra)
    s += "</zamoNs:zamoRoot>\n"
    return s


def values_xml(variables):
    s = '<?xml version="1.0" encoding="ISO-8859-1" standalone="yes"?>\n'
    s += '<Table UUID="%s">\n  <Parameters>\n' % PROJECT_UUID
    for name, _, _, _, default, _ in variables:
        s += "    <Parameter>\n      <Name>%s</Name>\n      <Value>%s</Value>\n    </Parameter>\n" % (
            escape(name), escape(default))
    s += "  </Parameters>\n</Table>\n"
    return s


def enum_of(type_text, values_enum):
    return type_text if type_text not in TYPES else values_enum


def encode(variables):
    """The binary parameter file and the values each record reads back as."""
    signature_input = bytes.fromhex(PARAM_TABLE_ID)
    records = b""
    read_back = {}
    for name, type_text, values_enum, remote_index, default, number in sorted(
            variables, key=lambda v: v[0].encode()):
        enum = enum_of(type_text, values_enum)
        type_key = type_text if type_text in TYPES else "uint32_t"
        if enum:
            index = dict(ENUMS[enum])[default]
            number = float(index) if TYPES[type_key][2] else int(index)
        raw = value_bytes(type_key, number)
        encoded_name = name.encode()
        signature_input += encoded_name + raw
        cut = encoded_name[:64]
        records += struct.pack("<IHH", descriptor(type_key), int(remote_index) & 0xFFFF, len(cut))
        records += cut + raw

        width, signed, is_float = TYPES[type_key]
        if is_float:
            text = format_float(struct.unpack("<f", raw)[0])
        else:
            text = str(int.from_bytes(raw, "little", signed=signed))
        if enum:
            # First item, in item-name order, whose index text matches.
            for item, index in sorted(ENUMS[enum], key=lambda i: i[0].encode()):
                if index == text:
                    text = item
                    break
        read_back[cut.decode()] = text
    signature = hashlib.sha256(signature_input).digest()[:16]
    header = struct.pack("<H", 1) + signature + bytes.fromhex(PROJECT_UUID)
    return header + records, signature, read_back


def escape_text(text):
    """Element text as the codec writes it: &, < and > escaped, nothing else."""
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def rendered_xml(signature, read_back):
    s = '<?xml version="1.0" encoding="ISO-8859-1" standalone="yes"?>\n'
    s += '<Table UUID="%s" defparSignature="%s">\n  <Parameters>\n' % (PROJECT_UUID, signature.hex())
    for name in sorted(read_back, key=lambda n: n.encode()):
        s += "    <Parameter>\n      <Name>%s</Name>\n      <Value>%s</Value>\n    </Parameter>\n" % (
            escape_text(name), escape_text(read_back[name]))
    s += "  </Parameters>\n</Table>\n"
    return s


def write(name, data):
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(os.path.join(OUT, name), mode, **({} if mode == "wb" else {"newline": "\n"})) as f:
        f.write(data)


def main():
    os.makedirs(OUT, exist_ok=True)
    definition = definition_xml(VARIABLES)

    par, signature, read_back = encode(VARIABLES)
    write("types.definition.xml", definition)
    write("types.values.xml", values_xml(VARIABLES))
    write("types.par", par)
    write("types.rendered.xml", rendered_xml(signature, read_back))

    # Nothing defaulted: the header alone, signed over paramTableId only.
    par, signature, read_back = encode([])
    assert len(par) == 34
    write("nodefaults.par", par)
    write("nodefaults.rendered.xml", rendered_xml(signature, read_back))


if __name__ == "__main__":
    main()
