#!/usr/bin/env python3
"""Writes the binary files of the sample disc and the sample eventsTable.

Run once from anywhere; the results are committed. The output is the same on
every run.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
DISC = HERE / "disc"


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def table():
    # 48 records: u32 id, u32 price, u16 weight, u16 flags, u32 name offset.
    records = []
    for i in range(48):
        records.append(struct.pack("<IIHHI", 1000 + i, (i * 37 + 11) % 500, i * 3 % 97,
                                   1 << (i % 16), i * 24))
    return b"".join(records)


def tile_map():
    # 64 x 48 tiles: grass (1), a river (7) down column 20-22, a road (3)
    # along row 30 and a house (9) at rows 10-13, columns 40-45.
    rows = []
    for y in range(48):
        row = bytearray([1] * 64)
        row[20:23] = bytes([7] * 3)
        if y == 30:
            row[:] = bytes([3] * 64)
            row[20:23] = bytes([5] * 3)  # the bridge
        if 10 <= y <= 13:
            row[40:46] = bytes([9] * 6)
        rows.append(bytes(row))
    return b"".join(rows)


def event_file(pieces):
    # u32 unused, i32 piece count, then the start offset of every piece; each
    # piece runs to the next start, the last one to the end of the file.
    header = struct.pack("<Ii", 0, len(pieces))
    start = len(header) + 4 * len(pieces)
    offsets = []
    for p in pieces:
        offsets.append(start)
        start += len(p)
    return header + struct.pack("<%dI" % len(pieces), *offsets) + b"".join(pieces)


def events_table(names):
    return b"".join(n.encode().ljust(256, b"\0") for n in names)


def main():
    write(DISC / "data" / "table.bin", table())
    write(DISC / "data" / "map.bin", tile_map())
    write(DISC / "events" / "intro.evt", event_file([
        b"SCENE 1\0fade in; camera pans over the river\0",
        b"SCENE 2\0the road; a cart crosses the bridge\0" + bytes(range(32)),
        b"SCENE 3\0the house at dusk; fade out\0",
    ]))
    write(HERE / "eventsTable", events_table(["events/intro.evt"]))


if __name__ == "__main__":
    main()
