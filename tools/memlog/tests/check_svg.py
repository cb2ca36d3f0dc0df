#!/usr/bin/env python3
"""Checks the folded-stack and SVG flame-graph outputs of quorkit-memlog.

Folded: every line is "frame;frame;... WEIGHT" with a space and an integer last, the
rule flame-graph readers split on, and no empty frame.
SVG: parses as XML, has no script, and every box's width is its weight's share of the
root box; the boxes of the outermost frames add up to the folded weights.

usage: check_svg.py TOOL LOGDIR
"""
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

SVG = "{http://www.w3.org/2000/svg}"


def run(tool, logdir, *args):
    return subprocess.run([tool, *args], cwd=logdir, check=True, capture_output=True, text=True,
                          timeout=60).stdout


def check_folded(text, where):
    totals = {}
    lines = text.splitlines()
    assert lines, f"{where}: no folded lines"
    for line in lines:
        m = re.fullmatch(r"(.+) (\d+)", line)
        assert m, f"{where}: line without ' WEIGHT' at the end: {line!r}"
        frames = m.group(1).split(";")
        assert all(f.strip() for f in frames), f"{where}: empty frame in {line!r}"
        assert int(m.group(2)) > 0, f"{where}: zero weight in {line!r}"
        totals[frames[0]] = totals.get(frames[0], 0) + int(m.group(2))
    return totals


def check_svg(text, outermost, where):
    assert "<script" not in text, f"{where}: the SVG carries a script"
    root = ET.fromstring(text)
    assert root.tag == SVG + "svg", f"{where}: root element is {root.tag}"
    boxes = []
    for g in root.iter(SVG + "g"):
        title = g.find(SVG + "title")
        rect = g.find(SVG + "rect")
        if title is None or rect is None:
            continue
        m = re.fullmatch(r"(.*) \((\d+) bytes, [\d.]+%\)", title.text)
        assert m, f"{where}: unexpected title {title.text!r}"
        boxes.append((m.group(1), int(m.group(2)), float(rect.get("width")), float(rect.get("y"))))
    assert boxes, f"{where}: no boxes"
    name, total, full_width, root_y = boxes[0]
    assert name == "all", f"{where}: first box is {name!r}, not the root"
    assert total == sum(outermost.values()), f"{where}: root holds {total}, folded lines add to {sum(outermost.values())}"
    for name, value, width, _ in boxes:
        expected = full_width * value / total
        assert abs(width - expected) <= 0.002, f"{where}: box {name!r} is {width} wide, {value}/{total} needs {expected}"
    # The row just above the root holds the outermost frames.
    row = {}
    for name, value, _, y in boxes:
        if abs(y - (root_y - 17)) < 0.5:
            row[name] = row.get(name, 0) + value
    assert row == outermost, f"{where}: outermost boxes {row} differ from folded totals {outermost}"
    return len(boxes)


def write_log(path, modules, events):
    """A log in the writer's layout: module block, then (code, address, size, frames) events."""
    out = bytearray()
    def record(code, ident, address, size, region):
        out.extend(struct.pack("<IIIIH", code, ident, address, size, region) + bytes(14))
    record(1, 0, 0, 0, 0)
    out.extend(struct.pack("<I", len(modules)))
    table = bytearray()
    for base, name in modules:
        table.extend(struct.pack("<I", base) + name.encode("latin-1").ljust(2048, b"\0"))
    table.extend(bytes(-len(table) % 16))
    out.extend(table)
    for i, (code, address, size, frames) in enumerate(events):
        record(code, i, address, size, 0)
        block = struct.pack("<I", len(frames)) + b"".join(struct.pack("<I", f) for f in frames)
        out.extend(block + bytes(-len(block) % 16))
    with open(path, "wb") as f:
        f.write(out)


def main():
    tool, logdir = sys.argv[1], sys.argv[2]
    for weight in ("bytes", "count", "live"):
        check_folded(run(tool, logdir, "folded", f"--weight={weight}", "small.bin"), f"folded {weight}")
    checked = 0

    live = check_folded(run(tool, logdir, "folded", "--weight=live", "small.bin"), "folded live")
    checked += check_svg(run(tool, logdir, "flame", "--at=end", "-o", "-", "small.bin"), live, "flame --at=end")

    # At the peak the whole of the peak's live bytes sits under the one outermost frame.
    peak = int(re.search(r"peak live: (\d+) bytes", run(tool, logdir, "summary", "small.bin")).group(1))
    svg = run(tool, logdir, "flame", "--at=peak", "-o", "-", "small.bin")
    checked += check_svg(svg, {"ntdll.dll + 0x12345": peak}, "flame --at=peak")

    # Names that need escaping, and many stacks of uneven weight.
    modules = [(0x00400000, 'C:\\odd\\a&b<c>"d\'e.exe'), (0x10000000, "C:\\odd\\x;y.dll")]
    events = []
    for i in range(60):
        frames = [0x10000000 + 0x100 * (i % 7), 0x00400000 + 0x10 * (i % 5), 0x00400000 + 0x1000 + (i % 3)]
        events.append((2, 0x100000 + 0x100 * i, 1 + i * i, frames))
    write_log(f"{logdir}/odd_names.bin", modules, events)
    live = check_folded(run(tool, logdir, "folded", "--weight=live", "odd_names.bin"), "folded odd names")
    checked += check_svg(run(tool, logdir, "flame", "-o", "-", "odd_names.bin"), live, "flame odd names")
    print(f"folded and SVG outputs check out ({checked} boxes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
