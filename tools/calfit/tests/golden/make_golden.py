#!/usr/bin/env python3
"""Builds calfit's golden files with the independent record encoder of the
calibration codec's fixtures (codecs/calcodec/tests/fixtures).

    make_golden.py           write every golden file
    make_golden.py --check   exit 1 when a checked-in golden file differs
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "..", "scripts"))
import fixtures  # noqa: E402
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "..", "codecs", "calcodec", "tests", "fixtures"))
import make_fixtures as rec  # noqa: E402

DEFINITIONS_1 = b"""<?xml version="1.0" encoding="ISO-8859-1"?>
<Records version="1.0">
  <Record>
    <Name>Gain</Name>
    <Datatype>float</Datatype>
    <Unit>V/V</Unit>
    <Default>1</Default>
  </Record>
  <Record>
    <Name>Offset</Name>
    <Datatype>int16_t</Datatype>
    <Default>0</Default>
  </Record>
  <Record>
    <Name>Serial</Name>
    <Datatype>uint32_t</Datatype>
    <Default>0</Default>
  </Record>
</Records>
"""

DEFINITIONS_2 = b"""<?xml version="1.0" encoding="ISO-8859-1"?>
<Records version="1.0">
  <Record>
    <Name>Label</Name>
    <Datatype>string</Datatype>
    <Default>unset</Default>
  </Record>
  <Record>
    <Name>Flags</Name>
    <Datatype>uint8_t</Datatype>
    <Mandatory>true</Mandatory>
    <Default>0</Default>
  </Record>
</Records>
"""

DATASET = b"""<?xml version="1.0" encoding="ISO-8859-1"?>
<Dataset version="1.0">
  <Record index="0"><Name>Gain</Name></Record>
  <Record index="1"><Name>Gain</Name></Record>
  <Record index="0"><Name>Offset</Name></Record>
  <Record index="0"><Name>Serial</Name></Record>
  <Record index="0"><Name>Label</Name></Record>
  <Record index="2"><Name>Flags</Name></Record>
</Dataset>
"""

VALUES_1 = b"""<?xml version="1.0" encoding="ISO-8859-1"?>
<Datavalue version="1.0">
  <Record index="0"><Name>Gain</Name><Value>1.0625</Value></Record>
  <Record index="0"><Name>Offset</Name><Value>-12</Value></Record>
</Datavalue>
"""

VALUES_2 = b"""<?xml version="1.0" encoding="ISO-8859-1"?>
<Datavalue version="1.0">
  <Record index="1"><Name>Gain</Name><Value>0.99987</Value></Record>
  <Record index="0"><Name>Serial</Name><Value>123456789</Value></Record>
  <Record index="0"><Name>Label</Name><Value>Bench 4 &amp; rig</Value></Record>
</Datavalue>
"""


def entries(valued):
    values = {("Gain", 0): 1.0, ("Gain", 1): 1.0, ("Offset", 0): 0, ("Serial", 0): 0,
              ("Label", 0): "unset", ("Flags", 2): 0}
    if valued:
        values.update({("Gain", 0): 1.0625, ("Offset", 0): -12, ("Gain", 1): 0.99987,
                       ("Serial", 0): 123456789, ("Label", 0): "Bench 4 & rig"})
    types = {"Gain": "float", "Offset": "int16_t", "Serial": "uint32_t", "Label": "string",
             "Flags": "uint8_t"}
    out = [(n, i, n == "Flags", types[n], v) for (n, i), v in values.items()]
    return sorted(out, key=rec.key)


def build():
    seed = rec.fingerprint([DEFINITIONS_1, DEFINITIONS_2])
    valued = entries(True)
    files = {
        "definitions_1.xml": DEFINITIONS_1,
        "definitions_2.xml": DEFINITIONS_2,
        "dataset.xml": DATASET,
        "values_1.xml": VALUES_1,
        "values_2.xml": VALUES_2,
        "record.bin": rec.record(seed, [rec.block(*e) for e in valued]),
        "record_defaults.bin": rec.record(seed, [rec.block(*e) for e in entries(False)]),
        "record_values.xml": rec.values_xml([(n, i, t, v) for n, i, m, t, v in valued]),
    }
    return {os.path.join(HERE, k): v for k, v in files.items()}


def main(argv):
    return fixtures.write_or_check(build(), argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
