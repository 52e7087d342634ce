#!/usr/bin/env python3
"""Builds the scope codec's test vectors from the capture layout alone.

Writes into fixtures/ beside this script:
  <name>.bin    a scope capture
  <name>.xml    its expected XML, for the captures that decode
  cases.tsv     name, expected result code

The expected results come from a straightforward reading of the capture
layout and the block walk below, with single precision emulated step by step
(every product and sum rounded to a 32-bit float, never fused) and times
written as %g when that reads back to the same single, else %.9g.

Run with --check to compare with the checked-in files instead of writing.
"""
import math
import os
import struct
import sys
from fractions import Fraction

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "scripts"))
import fixtures  # noqa: E402

OUT = os.path.join(HERE, "fixtures")


# ---- single precision ---------------------------------------------------------

def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def f32_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def f32_from_bits(b):
    return struct.unpack("<f", struct.pack("<I", b))[0]


def parse_f32(text):
    """The single nearest to the decimal text (ties to even), exactly."""
    exact = Fraction(text)
    guess = f32(float(exact))
    bits = f32_bits(abs(guess))
    candidates = [f32_from_bits(b) for b in (bits - 1, bits, bits + 1) if 0 <= b < 0x7F800000]
    sign = -1 if exact < 0 else 1
    best = min(candidates, key=lambda c: (abs(Fraction(c) - abs(exact)), f32_bits(c) & 1))
    return sign * best


def fmt_float(x):
    if math.isnan(x):
        return "-nan" if math.copysign(1, x) < 0 else "nan"
    if math.isinf(x):
        return "-inf" if x < 0 else "inf"
    short = "%g" % x
    back = parse_f32(short)
    if back == x and math.copysign(1, back) == math.copysign(1, x):
        return short
    return "%.9g" % x


# ---- captures -----------------------------------------------------------------

class Capture:
    def __init__(self, width_bits=16, api=1, filler=0, capture_time=0.5, pretrigger_time=0.125,
                 param_set=bytes(range(0xA0, 0xB0))):
        self.api, self.width_bits, self.filler = api, width_bits, filler
        self.capture_time, self.pretrigger_time, self.param_set = capture_time, pretrigger_time, param_set
        self.triggers, self.channels = [], []
        self.trigger_word = None  # None: the file ends after the channel records
        self.blocks = []          # (count, step counter, time step, payload bytes)
        self.tail = b""

    def trigger(self, remote, ttype, threshold):
        self.triggers.append((remote, ttype, len(threshold), threshold + bytes(8 - len(threshold))))
        return self

    def raw_trigger(self, remote, ttype, length, threshold8):
        self.triggers.append((remote, ttype, length, threshold8))
        return self

    def channel(self, remote, sample_size, divider, sample_time):
        self.channels.append((remote, sample_size, divider, sample_time))
        return self

    def block(self, count, counter, time_step, payload):
        self.blocks.append((count, counter, time_step, payload))
        return self

    def config_bytes(self):
        b = bytes([self.api, self.width_bits]) + self.param_set + bytes([self.filler])
        b += struct.pack("<ffH", self.capture_time, self.pretrigger_time, len(self.triggers))
        for remote, ttype, length, thr in self.triggers:
            b += struct.pack("<HBB", remote, ttype, length) + thr
        b += struct.pack("<H", len(self.channels))
        for remote, size, divider, stime in self.channels:
            b += struct.pack("<HBBf", remote, size, divider, stime)
        return b

    def encode(self):
        b = self.config_bytes()
        if self.trigger_word is not None:
            b += struct.pack("<I", self.trigger_word)
        for count, counter, step, payload in self.blocks:
            b += struct.pack("<HHf", count, counter, step) + payload
        return b + self.tail

    def trigger_at(self, offset):
        """A trigger word naming file offset `offset`."""
        past_word = len(self.config_bytes()) + 4
        self.trigger_word = (offset - past_word) % 2**32
        return self


# ---- the reference walk ------------------------------------------------------

class Refused(Exception):
    def __init__(self, code):
        self.code = code


def decode(data):
    if not data:
        return 2, None
    if data[0] != 1:
        return 1, None
    pos = 0

    def take(n, code=2):
        nonlocal pos
        if len(data) - pos < n:
            raise Refused(code)
        chunk = data[pos:pos + n]
        pos += n
        return chunk

    try:
        _, width_bits = take(2)
        param_set = take(16)
        filler = take(1)[0]
        capture_time, pretrigger_time = struct.unpack("<ff", take(8))
        (tcount,) = struct.unpack("<H", take(2))
        triggers = []
        for _ in range(tcount):
            remote, ttype, length = struct.unpack("<HBB", take(4))
            threshold = take(8)
            if length > 8:
                raise Refused(3)
            triggers.append((remote, ttype, threshold[:length]))
        (ccount,) = struct.unpack("<H", take(2))
        channels = [struct.unpack("<HBBf", take(8)) for _ in range(ccount)]
    except Refused as r:
        return r.code, None

    x = ['<?xml version="1.0" encoding="ISO-8859-1" standalone="yes"?>',
         '<DigitalScope apilevel="1" timeunit="sec"><Configuration>',
         "<ParameterSet>%s</ParameterSet>" % param_set.hex(),
         "<Arm><Filler>%d</Filler><Capturetime>%s</Capturetime><Pretriggertime>%s</Pretriggertime></Arm>"
         % (filler, fmt_float(capture_time), fmt_float(pretrigger_time)),
         "<Triggers>"]
    for i, (remote, ttype, threshold) in enumerate(triggers):
        x.append('<Trigger idx="%d"><RemoteIndex>%d</RemoteIndex><Type>%d</Type>'
                 '<Threshold format="hex">%s</Threshold></Trigger>' % (i, remote, ttype, threshold.hex()))
    x.append("</Triggers><Channels>")
    for i, (remote, _, _, stime) in enumerate(channels):
        x.append('<Channel idx="%d"><RemoteIndex>%d</RemoteIndex><Sampletime time="%s"/></Channel>'
                 % (i, remote, fmt_float(stime)))
    x.append("</Channels></Configuration>")

    left = len(data) - pos
    if left == 0:
        return 0, "".join(x) + "</DigitalScope>"
    if left < 4:
        return 3, None
    (trigger_word,) = struct.unpack("<I", take(4))

    # What the layout cannot hold is refused before the walk.
    wb = width_bits // 8
    if wb == 0 or wb > 8:
        return 3, None
    words_of = []
    for _, size, _, _ in channels:
        words = -(-size // wb)
        if size > 8 or words * wb > 8:
            return 3, None
        words_of.append(words)
    # Samples of no bytes are kept, but a block that only such channels read
    # would never end.
    if channels and not any(words_of):
        return 3, None

    expected = trigger_word & 0x80000000 == 0
    trigger_offset = (trigger_word + pos) % 2**32
    acc, step_time, d, w, trig = 0.0, 0.0, 0, 0, -1.0
    counter = 0
    samples = [[] for _ in channels]
    try:
        while True:
            if w == 0:
                acc = f32(acc + f32(f32(d) * step_time))
                d = 0
                if len(data) - pos < 8:
                    break
                count, counter, step_time = struct.unpack("<HHf", take(8))
                if count == 0:
                    return 4, None
                w = (count - 8 // wb) % 65536
                if w != 0 and not channels:
                    return 4, None
            phase = counter >> 12
            for j, (_, size, divider, _) in enumerate(channels):
                if phase & (divider - 1) == 0:
                    t = f32(f32(f32(d) * step_time) + acc)
                    value = take(words_of[j] * wb)
                    samples[j].append((t, value[:size]))
                    w = (w - words_of[j]) % 65536
            counter = (((phase + 1) % 16) << 12) | (counter & 0xFFF)
            d += 1
            if trig < 0 and pos >= trigger_offset:
                trig = f32(f32(f32(d) * step_time) + acc)
    except Refused as r:
        return r.code, None

    if not acc > 0:
        return 2, None
    if expected and trig < 0:
        return 5, None
    if pos != len(data):
        return 3, None
    x.append('<Data format="hex">')
    if expected:
        x.append('<Trigger time="%s"/>' % fmt_float(trig))
    x.append("<Channels>")
    for j, lst in enumerate(samples):
        x.append('<Channel idx="%d">' % j)
        x.extend('<Sample time="%s">%s</Sample>' % (fmt_float(t), v.hex()) for t, v in lst)
        x.append("</Channel>")
    x.append("</Channels></Data></DigitalScope>")
    return 0, "".join(x)


# ---- scenarios ------------------------------------------------------------------

def seq(n, start=0):
    return bytes((start + i) % 256 for i in range(n))


def scenarios():
    c = {}

    def two_triggers(cap):
        return cap.trigger(3, 1, b"\x10\x20").trigger(0xFFFF, 255, bytes(range(1, 9)))

    # Configuration alone, then the same with one stray byte.
    base = two_triggers(Capture(filler=7, capture_time=1e-3, pretrigger_time=0.1)).channel(
        1, 2, 1, 1e-05).channel(513, 4, 2, 0.25)
    c["config_only"] = base.encode()
    c["config_stray_byte"] = base.encode() + b"\x00"
    c["config_three_bytes"] = base.encode() + b"\x00\x00\x00"
    c["no_trigger_no_channel"] = Capture(capture_time=-0.0, pretrigger_time=float("inf")).encode()

    # 16-bit words: a 4-byte sample takes two words, a 1-byte one takes one
    # word and shows one byte. Trigger in the middle of the data.
    cap = Capture(width_bits=16).channel(10, 4, 1, 1e-4).channel(11, 1, 1, 1e-4)
    payload = seq(6 * 4, 0x30)  # 4 steps of 3 words
    cap.block(4 + 12, 0x0123, 0.001, payload)
    cap.trigger_at(len(cap.config_bytes()) + 4 + 8 + 12)
    c["wb2_mixed_sizes"] = cap.encode()

    # Each supported word width; several blocks; trigger at the first data byte.
    for bits, size in ((8, 1), (8, 3), (16, 2), (24, 3), (24, 6), (32, 4), (32, 8), (40, 5), (64, 8), (71, 8),
                       (64, 1)):
        wb = bits // 8
        words = -(-size // wb)
        cap = Capture(width_bits=bits).channel(1, size, 1, 0.5).channel(2, size, 2, 1.0)
        cap.block(8 // wb + 3 * words, 0x0000, 0.1, seq(3 * words * wb, 1))   # 2 steps: 3 samples
        cap.block(8 // wb + 3 * words, 0x1000, 0.2, seq(3 * words * wb, 100))  # phases 1, 2
        cap.trigger_at(len(cap.config_bytes()) + 4)
        c["width_%d_size_%d" % (bits, size)] = cap.encode()

    # Dividers: 4 samples at phases 0, 4, 8 and 12; 0 acts like 16; 3 keeps
    # phases whose bit 1 is clear; the phase restarts from each header.
    cap = Capture(width_bits=8).channel(1, 1, 4, 0.0).channel(2, 1, 0, 0.0).channel(3, 1, 3, 0.0).channel(
        4, 1, 16, 0.0).channel(5, 1, 1, 0.0)
    def words_for(start_phase, steps):
        n = 0
        for k in range(steps):
            ph = (start_phase + k) % 16
            n += sum(1 for dv in (4, 0, 3, 16, 1) if ph & (dv - 1) == 0)
        return n
    n1 = words_for(0, 20)
    cap.block(8 + n1, 0x0ABC, 0.25, seq(n1, 0))
    n2 = words_for(14, 5)
    cap.block(8 + n2, 0xEFFF, 0.5, seq(n2, 0x80))
    cap.trigger_word = 0x80000000  # no trigger expected
    c["dividers"] = cap.encode()

    # Trigger bit set: no trigger time even with the offset far beyond.
    cap = Capture(width_bits=16).channel(1, 2, 1, 0.001)
    cap.block(4 + 2, 0, 0.001, seq(4))
    cap.trigger_word = 0xFFFFFFFF
    c["no_trigger_expected"] = cap.encode()

    # Trigger expected beyond the data: 5.
    cap = Capture(width_bits=16).channel(1, 2, 1, 0.001)
    cap.block(4 + 2, 0, 0.001, seq(4))
    cap.trigger_at(len(cap.config_bytes()) + 4 + 8 + 4 + 1)
    c["trigger_beyond_data"] = cap.encode()

    # Trigger on the last byte: found after the last step.
    cap = Capture(width_bits=16).channel(1, 2, 1, 0.001)
    cap.block(4 + 2, 0, 0.001, seq(4))
    cap.trigger_at(len(cap.config_bytes()) + 4 + 8 + 4)
    c["trigger_at_end"] = cap.encode()

    # Time steps that do not add up exactly in single precision.
    cap = Capture(width_bits=32).channel(7, 4, 1, 0.1)
    cap.block(2 + 40, 0, 0.1, seq(160))
    cap.block(2 + 40, 0, 1.0 / 3.0, seq(160, 7))
    cap.trigger_at(len(cap.config_bytes()) + 4 + 8 + 4 * 17 + 1)
    c["inexact_times"] = cap.encode()

    # No channels: header-only blocks only advance time.
    cap = Capture(width_bits=8)
    cap.block(8, 0, 0.5, b"").block(8, 0, 0.25, b"")
    cap.trigger_word = 0x80000000
    c["no_channels_header_only"] = cap.encode()

    # ---- refused captures
    c["empty"] = b""
    c["api_level_2"] = Capture(api=2).encode()
    c["api_level_0"] = b"\x00"
    whole = base.encode()
    for cut in (1, 2, 18, 19, 22, 27, 28, 29, 40, 53, len(whole) - 1):
        c["cut_at_%d" % cut] = whole[:cut]
    cap = Capture(width_bits=16).channel(1, 2, 1, 0.001)
    cap.trigger_word = 0
    c["trigger_word_no_block"] = cap.encode()
    cap = Capture(width_bits=16).channel(1, 2, 1, 0.001)
    cap.block(0, 0, 0.001, seq(4))
    cap.trigger_word = 0x80000000
    c["block_count_zero"] = cap.encode()
    cap = Capture(width_bits=16).channel(1, 2, 1, 0.001)
    cap.block(4 + 3, 0, 0.001, seq(4))  # a word short
    cap.trigger_word = 0x80000000
    c["block_cut"] = cap.encode()
    cap = Capture(width_bits=16).channel(1, 2, 1, 0.001)
    cap.block(4 + 2, 0, 0.001, seq(4))
    cap.trigger_word = 0x80000000
    cap.tail = b"\x01\x02\x03\x04\x05"
    c["bytes_after_blocks"] = cap.encode()
    cap = Capture(width_bits=16).channel(1, 2, 1, 0.001)
    cap.block(4 + 2, 0, 0.0, seq(4))
    cap.trigger_word = 0x80000000
    c["no_time_elapsed"] = cap.encode()
    cap = Capture(width_bits=16).channel(1, 4, 1, 0.001)
    cap.block(4 + 1, 0, 0.001, seq(40))  # the step wraps the words left
    cap.trigger_word = 0x80000000
    c["words_left_wrap"] = cap.encode()

    def refused_layout(name, bits, channels, trig=None):
        cap = Capture(width_bits=bits)
        for size in channels:
            cap.channel(1, size, 1, 0.001)
        if trig:
            cap.raw_trigger(1, 1, trig, bytes(8))
        cap.block(8, 0, 0.001, seq(64))
        cap.trigger_word = 0x80000000
        c[name] = cap.encode()

    refused_layout("width_7_bits", 7, [1])
    refused_layout("width_72_bits", 72, [1])
    refused_layout("width_255_bits", 255, [1])
    refused_layout("sample_size_9", 16, [2, 9])
    refused_layout("sample_size_255", 8, [255])
    refused_layout("sample_size_0", 16, [0, 0])
    # A channel of no sample bytes beside one with data: an empty sample at
    # each of its steps.
    cap = Capture(width_bits=16).channel(1, 2, 1, 0.001).channel(2, 0, 2, 0.002)
    cap.block(4 + 4, 0, 0.001, seq(8))
    cap.trigger_word = 0x80000000
    c["sample_size_0_beside_2"] = cap.encode()
    refused_layout("width_24_size_8", 24, [8])
    refused_layout("width_40_size_6", 40, [6])
    refused_layout("width_48_size_7", 48, [7])
    refused_layout("width_56_size_8", 56, [8])
    refused_layout("threshold_length_9", 16, [2], trig=9)
    # File order: the bad threshold length comes before the missing records.
    cap = Capture().raw_trigger(1, 1, 9, bytes(8)).raw_trigger(2, 1, 2, bytes(8))
    c["threshold_length_9_then_cut"] = cap.encode()[:29 + 12 + 5]
    cap = Capture(width_bits=16)
    cap.block(4 + 2, 0, 0.001, seq(4))
    cap.trigger_word = 0x80000000
    c["no_channels_words_left"] = cap.encode()
    return c


def outputs():
    files, rows = {}, ["# name\texpected result code"]
    for name, data in sorted(scenarios().items()):
        code, xml = decode(data)
        files[name + ".bin"] = data
        if code == 0:
            files[name + ".xml"] = xml.encode("latin-1")
        rows.append("%s\t%d" % (name, code))
    files["cases.tsv"] = ("\n".join(rows) + "\n").encode()
    return files


def main(argv):
    return fixtures.write_or_check({os.path.join(OUT, name): data for name, data in outputs().items()}, argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
