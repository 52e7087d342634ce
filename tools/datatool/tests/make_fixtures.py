#!/usr/bin/env python3
"""Writes datatool's input fixtures and the output each conversion must give.

Everything is computed here from the file layouts alone, independently of the
codecs: tests/fixtures/ gets the inputs, tests/golden/ what datatool prints
(log and scope conversions, without the banner) or writes (parameter file and
object dictionary conversions).  Run it again after changing a case and check
the outputs in.
"""
import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "fixtures")
GOLDEN = os.path.join(HERE, "golden")
DECLARATION = '<?xml version="1.0" encoding="ISO-8859-1" standalone="yes"?>'


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data.encode("latin-1") if isinstance(data, str) else data)


def cstr(text):
    return text.encode("latin-1") + b"\0"


# ---------------------------------------------------------------- event logs
# Snapshot: (type, name, description, format, unit, value, value text, raw text)
SNAPSHOT_VALUE = {5: "<i", 9: "<f"}


def log_entry_v1(timestamp, severity, name, description, snapshots):
    body = struct.pack("<Q", timestamp) + cstr(severity) + cstr(name) + cstr(description)
    for kind, sname, sdesc, fmt, unit, value, _, _ in snapshots:
        body += bytes([kind]) + cstr(sname) + cstr(sdesc) + cstr(fmt) + cstr(unit)
        body += cstr(value) if kind == 10 else struct.pack(SNAPSHOT_VALUE[kind], value)
    body += b"\0"
    return struct.pack("<H", 1) + body + struct.pack("<H", len(body) + 2)


def log_entry_v2(timestamp):
    return struct.pack("<HQH", 2, timestamp, 10)


def xml_escape_all(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace("'", "&apos;").replace('"', "&quot;"))


def log_event_xml(timestamp, severity, name, description, snapshots):
    out = "<Event><Name>%s</Name><Severity>%s</Severity><Description>%s</Description>" % (
        xml_escape_all(name), xml_escape_all(severity), xml_escape_all(description))
    out += '<Timestamp unit="nsec">%d</Timestamp><Snapshots>' % timestamp
    for _, sname, sdesc, fmt, unit, _, text, raw in snapshots:
        out += "<Snapshot><Name>%s</Name><Description>%s</Description><Value" % (
            xml_escape_all(sname), xml_escape_all(sdesc))
        if fmt:
            out += ' format="%s"' % fmt
        out += ">%s</Value><RawValue>%s</RawValue>" % (text, raw)
        if unit:
            out += "<UM>%s</UM>" % xml_escape_all(unit)
        out += "</Snapshot>"
    return out + "</Snapshots></Event>"


def log_event_text(timestamp, severity, name, description, snapshots):
    out = "%06dh%02dm%02ds.%06d %s(%s): %s\n" % (
        timestamp // 3600000000000, timestamp // 60000000000 % 60,
        timestamp // 1000000000 % 60, timestamp // 1000 % 1000000, name, severity, description)
    if snapshots:
        w1 = max(len(s[1]) for s in snapshots)
        w2 = max(len(s[6] + s[4]) for s in snapshots)
        for _, sname, sdesc, _, unit, _, text, _ in snapshots:
            out += "    %s = %s %s\n" % (sname.ljust(w1), (text + unit).rjust(w2), sdesc)
    return out


def event_logs():
    overheat = (3723000456000, "Warning", "Overheat", "Temp & <high>", [
        (5, "temp", "sensor", "", "C", -5, "-5", "-5"),
        (9, "supply", "rail \"A\"", "%.2f", "V", 3.25, "3.25", "3.250000"),
        (10, "state", "mode", "", "", "idle", "idle", "idle"),
    ])
    boot = (2000000000, "Info", "Boot", "Started", [])
    late = (3800000000000, "Error", "Stop", "Halted", [
        (5, "code", "", "", "", 17, "17", "17"),
    ])
    # File a: an event, then a timestamp-only entry whose time is forced past
    # the event's (it prints nothing), then a later event.
    write(FIXTURES, "log_a.bin", log_entry_v1(*overheat) + log_entry_v2(10) + log_entry_v1(*late))
    # File b: an earlier event, so the two files interleave in time.
    write(FIXTURES, "log_b.bin", log_entry_v1(*boot))
    write(FIXTURES, "log_bad.bin", b"\x01")
    merged = [boot, overheat, late]
    write(GOLDEN, "logs.xml.out", DECLARATION + "<Events>" +
          "".join(log_event_xml(*e) for e in merged) + "</Events>\n\n")
    write(GOLDEN, "logs.txt.out", "".join(log_event_text(*e) for e in merged) + "\n")


# ------------------------------------------------------------ scope captures
def fmt_float(value):
    # Six significant digits (%g); every value here reads back exactly.
    return "%g" % value


def scope_capture():
    parameter_set = bytes(range(16))
    trigger = struct.pack("<HBB", 0x1234, 2, 2) + bytes([0xAB, 0xCD]) + bytes(6)
    channels = [(0x0100, 1, 1, 0.001), (0x0200, 2, 2, 0.002)]  # index, size, divider, time
    head = bytes([1, 8]) + parameter_set + bytes([42]) + struct.pack("<ff", 0.5, 0.125)
    head += struct.pack("<H", 1) + trigger + struct.pack("<H", len(channels))
    for index, size, divider, time in channels:
        head += struct.pack("<HBBf", index, size, divider, time)
    # One byte a word. Steps 0 and 2 sample both channels (channel 1 takes
    # two words), steps 1 and 3 channel 0 alone: 8 words in all.
    words = bytes([0x11, 0x01, 0x02, 0x22, 0x33, 0x03, 0x04, 0x44])
    block = struct.pack("<HHf", 8 + len(words), 0x0ABC, 0.25) + words
    data_start = len(head) + 4
    # The trigger lies just past step 1's words (block header, then 3 + 1
    # words), so its time is the one after step 1: 2 x 0.25.
    trigger_offset = data_start + 8 + 4
    word = trigger_offset - data_start
    capture = head + struct.pack("<I", word) + block
    write(FIXTURES, "scope.bin", capture)
    write(FIXTURES, "scope_config_only.bin", head)
    write(FIXTURES, "scope_bad_api.bin", bytes([2]) + head[1:])

    config = ('<DigitalScope apilevel="1" timeunit="sec"><Configuration><ParameterSet>%s'
              "</ParameterSet><Arm><Filler>42</Filler><Capturetime>0.5</Capturetime>"
              "<Pretriggertime>0.125</Pretriggertime></Arm><Triggers>"
              '<Trigger idx="0"><RemoteIndex>4660</RemoteIndex><Type>2</Type>'
              '<Threshold format="hex">abcd</Threshold></Trigger></Triggers><Channels>'
              % parameter_set.hex())
    for i, (index, _, _, time) in enumerate(channels):
        config += '<Channel idx="%d"><RemoteIndex>%d</RemoteIndex><Sampletime time="%s"/></Channel>' % (
            i, index, fmt_float(time))
    config += "</Channels></Configuration>"
    samples = [[(0, "11"), (0.25, "22"), (0.5, "33"), (0.75, "44")], [(0, "0102"), (0.5, "0304")]]
    data = '<Data format="hex"><Trigger time="0.5"/><Channels>'
    for i, channel in enumerate(samples):
        data += '<Channel idx="%d">' % i
        data += "".join('<Sample time="%s">%s</Sample>' % (fmt_float(t), v) for t, v in channel)
        data += "</Channel>"
    data += "</Channels></Data>"
    full = DECLARATION + config + data + "</DigitalScope>"
    bare = DECLARATION + config + "</DigitalScope>"
    write(GOLDEN, "scope.out", full + "\n")
    # Two files, one document each, in the order given.
    write(GOLDEN, "scope_two.out", full + "\n" + bare + "\n")


# ----------------------------------------------------------- parameter files
PROJECT = bytes.fromhex("00112233445566778899aabbccddeeff")
TABLE_ID = bytes.fromhex("0f0e0d0c0b0a09080706050403020100")

DEFINITION = """<?xml version="1.0" encoding="UTF-8"?>
<zamoNs:zamoRoot xmlns:zamoNs="urn:veltrano:zamo">
  <zamoNs:zamoXMLVersion>1.0</zamoNs:zamoXMLVersion>
  <zamoNs:projectIdentity>
    <zamoNs:projectUUID>%s</zamoNs:projectUUID>
    <zamoNs:paramTableId>%s</zamoNs:paramTableId>
  </zamoNs:projectIdentity>
  <zamoNs:definedEnums>
    <zamoNs:definedEnum>
      <zamoNs:enumSimpleName>Mode</zamoNs:enumSimpleName>
      <zamoNs:enumTypeName>ModeType</zamoNs:enumTypeName>
      <zamoNs:enumItems>
        <zamoNs:enumItem><zamoNs:enumItemName>Off</zamoNs:enumItemName><zamoNs:enumItemIndex>0</zamoNs:enumItemIndex></zamoNs:enumItem>
        <zamoNs:enumItem><zamoNs:enumItemName>Auto</zamoNs:enumItemName><zamoNs:enumItemIndex>2</zamoNs:enumItemIndex></zamoNs:enumItem>
      </zamoNs:enumItems>
    </zamoNs:definedEnum>
  </zamoNs:definedEnums>
  <zamoNs:definedVariables>
    <zamoNs:definedVariable>
      <zamoNs:varName>Motor</zamoNs:varName>
      <zamoNs:definedVariables>
%s      </zamoNs:definedVariables>
    </zamoNs:definedVariable>
%s  </zamoNs:definedVariables>
</zamoNs:zamoRoot>
"""


def variable(indent, name, var_type, remote_index, access="Param", values_enum=None):
    note = "<zamoNs:accessMode>%s</zamoNs:accessMode><zamoNs:defaultValue>0</zamoNs:defaultValue>" % access
    if values_enum:
        note += "<zamoNs:valuesEnum>%s</zamoNs:valuesEnum>" % values_enum
    return ("%s<zamoNs:definedVariable><zamoNs:varName>%s</zamoNs:varName>"
            "<zamoNs:varType>%s</zamoNs:varType><zamoNs:remoteIndex>%d</zamoNs:remoteIndex>"
            "<zamoNs:zamoNote>%s</zamoNs:zamoNote></zamoNs:definedVariable>\n"
            % (" " * indent, name, var_type, remote_index, note))


# name, descriptor, remote index, value bytes, default text, decoded text
PARAMETERS = [
    ("Motor.Count", 0x17000008, 13, struct.pack("<Q", 123456789012), "123456789012", "123456789012"),
    ("Motor.Gain", 0x33000004, 11, struct.pack("<f", 0.75), "0.75", "0.75"),
    ("Motor.Mode", 0x13000004, 12, struct.pack("<I", 2), "Auto", "Auto"),
    ("Motor.Speed", 0x51000002, 10, struct.pack("<h", -1200), "-1200", "-1200"),
    ("Offset", 0x50000001, 20, struct.pack("<b", -7), "-7", "-7"),
]


def parameter_file():
    group = (variable(8, "Speed", "int16_t", 10) + variable(8, "Gain", "float", 11)
             + variable(8, "Mode", "uint32_t", 12, values_enum="Mode")
             + variable(8, "Count", "uint64_t", 13))
    top = variable(4, "Offset", "int8_t", 20) + variable(4, "Status", "uint8_t", 21, access="Status")
    write(FIXTURES, "partable.xml", DEFINITION % (PROJECT.hex(), TABLE_ID.hex(), group, top))
    values = '<?xml version="1.0"?>\n<Table UUID="%s">\n  <Parameters>\n' % PROJECT.hex()
    # Split over two values files, the second overriding one value of the first.
    first = values + "".join(
        "    <Parameter><Name>%s</Name><Value>%s</Value></Parameter>\n" % (p[0], p[4] if p[0] != "Offset" else "99")
        for p in PARAMETERS[:3] + PARAMETERS[4:]) + "  </Parameters>\n</Table>\n"
    second = values + "".join(
        "    <Parameter><Name>%s</Name><Value>%s</Value></Parameter>\n" % (p[0], p[4])
        for p in PARAMETERS[3:]) + "  </Parameters>\n</Table>\n"
    write(FIXTURES, "defaults_1.xml", first)
    write(FIXTURES, "defaults_2.xml", second)
    write(FIXTURES, "defaults_unknown.xml", values +
          "    <Parameter><Name>Motor.Torque</Name><Value>1</Value></Parameter>\n  </Parameters>\n</Table>\n")

    signed = TABLE_ID + b"".join(p[0].encode() + p[3] for p in PARAMETERS)
    signature = hashlib.sha256(signed).digest()[:16]
    out = struct.pack("<H", 1) + signature + PROJECT
    for name, descriptor, remote, value, _, _ in PARAMETERS:
        out += struct.pack("<IHH", descriptor, remote, len(name)) + name.encode() + value
    write(GOLDEN, "partable.par", out)
    write(FIXTURES, "partable.par", out)

    xml = DECLARATION + "\n"
    xml += '<Table UUID="%s" defparSignature="%s">\n  <Parameters>\n' % (PROJECT.hex(), signature.hex())
    for name, _, _, _, _, text in PARAMETERS:
        xml += "    <Parameter>\n      <Name>%s</Name>\n      <Value>%s</Value>\n    </Parameter>\n" % (
            name, text)
    xml += "  </Parameters>\n</Table>\n"
    write(GOLDEN, "partable_decoded.xml", xml)


# ------------------------------------------------------- object dictionaries
def object_dictionary():
    records = [(0x1000, 0, False, bytes([0x91, 0x01, 0x0F, 0x00])),
               (0x1008, 0, False, b"devsim-1"),
               (0x1600, 1, True, b""),
               (0x6040, 0, True, bytes([0x0F, 0x00]))]
    binary = struct.pack("<H", 1)
    lines = [DECLARATION, '<ObjectDictionary version="1">', "  <Objects>"]
    for index, sub, mappable, value in records:
        binary += struct.pack("<HBB", index, sub, (0x80 if mappable else 0) | len(value)) + value
        lines.append('    <Object ismappable="1"> ' if mappable else "    <Object> ")
        lines.append("      <Index>%04x</Index>" % index)
        lines.append("      <SubIndex>%02x</SubIndex>" % sub)
        if value:
            shown = value[::-1].hex() if len(value) <= 4 else value.hex()
            lines.append("      <HexValue>%s</HexValue>" % shown)
        lines.append("    </Object>")
    lines += ["  </Objects>", "</ObjectDictionary>"]
    xml = "\n".join(lines) + "\n"
    write(FIXTURES, "objdict.xml", xml)
    write(FIXTURES, "objdict.bin", binary)
    write(GOLDEN, "objdict.bin", binary)
    write(GOLDEN, "objdict.xml", xml)
    write(FIXTURES, "objdict_v2.bin", struct.pack("<H", 2))


def main():
    event_logs()
    scope_capture()
    parameter_file()
    object_dictionary()


if __name__ == "__main__":
    main()
