#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into the folder beside this file.

Each seed is a well-formed input that reaches deep into its target: a ring
holding sound frames, a request of every kind, a configuration that brings
the adapter up, a bus session that programs the socket and the chip. The
fuzzer mutates from there. Run it again after changing an input format.

FuzzedDataProvider, which three targets read their input with, takes byte
strings from the front of the input and numbers from its end (the first
number from the last byte); Seed keeps the two apart and joins them.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the numbers are taken

    def number(self, value, size=1):
        """ConsumeIntegralInRange over a range that needs `size` bytes, or ConsumeIntegral."""
        self.back += value.to_bytes(size, "big")
        return self

    def flag(self, on):
        return self.number(1 if on else 0)

    def bytes(self, data):
        self.front += bytes(data)
        return self

    def string(self, text):
        """ConsumeRandomLengthString, ended by a backslash and one more byte."""
        self.front += text.encode().replace(b"\\", b"\\\\") + b"\\;"
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- receive: ring bytes first, then card width, next page, CURR, lookahead, transfer mode ---

STATION = bytes([0x02, 0x00, 0x00, 0x00, 0x30, 0x01])
PEER = bytes([0x02, 0x00, 0x00, 0x00, 0x99, 0x01])


def frame(length, seq, to=STATION):
    body = bytes((seq * 31 + i * 7) & 0xFF for i in range(14, length))
    return to + PEER + b"\x08\x00" + body


def stored(frame_bytes, page, ring_start, ring_stop, status=0x01):
    """The frame as the chip stores it at `page`: header, frame, FCS; padded to whole pages."""
    count = len(frame_bytes) + 4
    pages = (count + 4 + 255) // 256
    following = page + pages
    if following >= ring_stop:
        following = following - ring_stop + ring_start
    data = bytes([status, following, count & 0xFF, count >> 8]) + frame_bytes + b"\xAA\xBB\xCC\xDD"
    return data + bytes(pages * 256 - len(data)), following


def receive_seed(frames, eight_bit=False, lookahead=238, transfer=0, first_offset=1, status=0x01):
    ring_start, ring_stop = (0x2C, 0x40) if eight_bit else (0x4C, 0x80)
    pages = ring_stop - ring_start
    ring = bytearray()
    page = ring_start + first_offset
    for f in frames:
        data, page = stored(f, page, ring_start, ring_stop, status)
        ring += data
    s = Seed().bytes(ring)
    s.flag(eight_bit).number(first_offset % pages).number(page - ring_start).number(lookahead).number(transfer)
    return s.data()


write("receive", "one_short_frame", receive_seed([frame(60, 0)]))
write("receive", "three_frames_transferred", receive_seed([frame(60, 1), frame(600, 2), frame(1514, 3)], transfer=1))
write("receive", "frame_wraps_the_ring_end", receive_seed([frame(1000, 4)], first_offset=50))
write("receive", "eight_bit_card", receive_seed([frame(300, 5), frame(61, 6)], eight_bit=True, lookahead=64))
# Frames one byte outside 60..1514, which must be refused.
write("receive", "runt_refused", receive_seed([frame(59, 8)]))
write("receive", "giant_refused", receive_seed([frame(1515, 9)]))
write("receive", "broadcast_with_error_bits", receive_seed([frame(100, 7, to=b"\xFF" * 6)], status=0x21 | 0x02))

# --- request: per request: query?, OID pick, length; the buffer's bytes from the front ---

SUPPORTED = [0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010111,
             0x00010113, 0x00010112, 0x00010107, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B,
             0x0001010D, 0x0001010C, 0x00010110, 0x0001010E, 0x0001010F, 0x00020101, 0x00020102,
             0x00020103, 0x00020104, 0x00020105, 0x01010101, 0x01010102, 0x01010103, 0x01010104,
             0x01020101, 0x01020102, 0x01020103]


def request(s, query, oid, content):
    s.flag(query)
    if oid in SUPPORTED:
        s.number(SUPPORTED.index(oid))
    else:
        s.number(len(SUPPORTED) + 1).number(oid, 4)
    s.number(len(content)).bytes(content)


def request_seed(requests):
    s = Seed()
    for r in requests:
        request(s, *r)
    return s.data()


u32 = lambda v: struct.pack("<I", v)
write("request", "query_every_answer_size",
      request_seed([(True, 0x00010101, bytes(124)), (True, 0x0001010D, bytes(20)),
                    (True, 0x00010110, bytes(4)), (True, 0x01010102, bytes(6))]))
write("request", "set_filters",
      request_seed([(False, 0x0001010E, u32(0x0B)), (False, 0x0001010E, u32(0x24)),
                    (False, 0x0001010E, u32(0x40)), (False, 0x0001010E, u32(0))]))
write("request", "set_multicast_lists",
      request_seed([(False, 0x01010103, bytes([0x01, 0, 0x5E, 0, 0, 1, 0x01, 0, 0x5E, 0, 0, 2])),
                    (False, 0x01010103, bytes(7)), (False, 0x01010103, bytes(17 * 6)),
                    (False, 0x01010103, b"")]))
write("request", "set_lookahead_and_unknown",
      request_seed([(False, 0x0001010F, u32(238)), (False, 0x0001010F, u32(239)),
                    (False, 0x00010112, u32(1)), (True, 0x0001010E, bytes(4)), (True, 0xDEADBEEF, bytes(8))]))

# --- configuration: card width, processors, per keyword (absent, DWORD, string), address, POS data ---

KEYWORDS = ["BusType", "IoBaseAddress", "InterruptNumber", "BaseMemory", "Slot", "ComPort", "ComIRQ",
            "MaximumMulticastList"]


def configuration_seed(values, eight_bit=False, processors=1, address=None, pos=None):
    s = Seed().flag(eight_bit).flag(processors == 2)
    for k in KEYWORDS:
        v = values.get(k)
        if v is None:
            s.number(0)
        elif isinstance(v, str):
            s.number(2).string(v)
        else:
            s.number(1).number(v, 4)
    s.flag(address is not None)
    if address is not None:
        s.number(len(address)).bytes(address)
    s.flag(pos is not None)
    if pos is not None:
        s.number(pos[0]).number(pos[1])
    return s.data()


write("configuration", "defaults", configuration_seed({}))
write("configuration", "every_keyword",
      configuration_seed({"BusType": 0, "IoBaseAddress": 0x320, "InterruptNumber": 10, "BaseMemory": 0xD000,
                          "Slot": 0, "ComPort": 4, "ComIRQ": 4, "MaximumMulticastList": 32}))
write("configuration", "strings_and_address",
      configuration_seed({"IoBaseAddress": "340", "InterruptNumber": "0x0B", "ComIRQ": "ff"},
                         address=bytes([0x02, 0x11, 0x22, 0x33, 0x44, 0x55])))
# A finding: a base overlapping the card's block at 0x300 must find nothing there.
write("configuration", "base_overlapping_the_card", configuration_seed({"IoBaseAddress": 0x303}))
write("configuration", "micro_channel", configuration_seed({"BusType": 3}, pos=(0, 0x4A)))
write("configuration", "eight_bit_refused_slot",
      configuration_seed({"Slot": 5, "IoBaseAddress": 0x310}, eight_bit=True, processors=2, address=bytes(5)))

# --- models: operation byte and little-endian operands (see models_fuzzer.cpp) ---


class Bus:
    def __init__(self, eight_bit=False):
        self.data = bytearray([1 if eight_bit else 0])

    def out8(self, port, value):
        self.data += bytes([0]) + struct.pack("<HB", port, value)

    def in8(self, port):
        self.data += bytes([1]) + struct.pack("<H", port)

    def outs16(self, port, words):
        self.data += bytes([6]) + struct.pack("<HB", port, len(words)) + b"".join(struct.pack("<H", w) for w in words)

    def ins16(self, port, n):
        self.data += bytes([7]) + struct.pack("<HB", port, n)

    def mem_write(self, address, value):
        self.data += bytes([8]) + struct.pack("<I", address)[:3] + bytes([value])

    def wait(self, microseconds):
        self.data += bytes([10]) + struct.pack("<H", microseconds)

    def frame(self, data):
        self.data += bytes([11]) + struct.pack("<H", len(data)) + data

    def i365(self, reg, value):
        self.out8(0x3E0, reg)
        self.out8(0x3E1, value)


def socket_up(bus):
    """The socket and the card as the driver's bring-up leaves them: network at 0x300, UART at 0x2F8."""
    bus.i365(0x03, 0x00)
    bus.i365(0x03, 0x40)
    bus.i365(0x02, 0x10)
    bus.i365(0x02, 0x90)
    for i, v in enumerate([0xD8, 0x80, 0xD9, 0x00, 0x27, 0x7F]):
        bus.i365(0x10 + i, v)
    bus.i365(0x06, 0x01)
    for i, v in enumerate([0x00, 0x03, 0x1F, 0x03, 0xF8, 0x02, 0xFF, 0x02]):
        bus.i365(0x08 + i, v)
    bus.i365(0x06, 0xE1)
    bus.i365(0x07, 0x33)
    bus.i365(0x05, 0x5B)
    bus.i365(0x03, 0x63)
    bus.mem_write(0xD83F8, 0x24)
    bus.mem_write(0xD83FA, 0x48)
    bus.mem_write(0xD83F2, 0x08)
    bus.i365(0x06, 0xE0)


def chip_up(bus, base=0x300):
    """The DP8390 programmed as the driver's set-up does, running, receiving directed frames."""
    for reg, value in [(0x00, 0x21), (0x0E, 0x49), (0x0A, 0), (0x0B, 0), (0x0C, 0x04), (0x0D, 0x02),
                       (0x03, 0x4C), (0x01, 0x4C), (0x02, 0x80), (0x07, 0xFF), (0x0F, 0x1B), (0x00, 0x61)]:
        bus.out8(base + reg, value)
    for i, b in enumerate(STATION):
        bus.out8(base + 1 + i, b)
    bus.out8(base + 7, 0x4D)
    bus.out8(base + 0x00, 0x22)
    bus.out8(base + 0x0D, 0x00)


bus = Bus()
socket_up(bus)
chip_up(bus)
for reg, value in [(0x08, 0x00), (0x09, 0x40), (0x0A, 0x08), (0x0B, 0x00), (0x00, 0x12)]:
    bus.out8(0x300 + reg, value)
bus.outs16(0x310, [0x1234, 0x5678, 0x9ABC, 0xDEF0])
for reg, value in [(0x08, 0x00), (0x09, 0x40), (0x0A, 0x08), (0x0B, 0x00), (0x00, 0x0A)]:
    bus.out8(0x300 + reg, value)
bus.ins16(0x310, 4)
bus.in8(0x307)
write("models", "remote_dma_round_trip", bytes(bus.data))

bus = Bus()
socket_up(bus)
chip_up(bus)
bus.frame(frame(60, 1))
bus.frame(frame(1514, 2))
bus.frame(frame(200, 3, to=b"\xFF" * 6))
bus.wait(2000)
bus.in8(0x307)
for reg, value in [(0x04, 0x40), (0x05, 0x3C), (0x06, 0x00), (0x00, 0x26)]:
    bus.out8(0x300 + reg, value)
bus.wait(1000)
write("models", "frames_in_and_out", bytes(bus.data))

bus = Bus(eight_bit=True)
socket_up(bus)
for port, value in [(0x2FB, 0x80), (0x2F8, 0x0C), (0x2F9, 0x00), (0x2FB, 0x03), (0x2F9, 0x0F), (0x2FC, 0x0B)]:
    bus.out8(port, value)
bus.data += bytes([12, 0, 0x41, 12, 1, 0x08])
for port in [0x2FA, 0x2FD, 0x2FE, 0x2F8]:
    bus.in8(port)
bus.data += bytes([13, 0, 13, 1])
bus.in8(0x3E1)
write("models", "serial_and_card_swap", bytes(bus.data))
