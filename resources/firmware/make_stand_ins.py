#!/usr/bin/env python3
"""Writes the stand-in loader texts and the demo keypad firmware images.

The real RAM loader image and password belong to the chip maker and the keypad's maker; these
stand-ins have their layout (see README.md) so the whole upgrade can run on the virtual
keypad. Run from this folder; the output is committed.
"""


def ti_txt(sections):
    lines = []
    for address, data in sections:
        lines.append("@%04X" % address)
        for i in range(0, len(data), 16):
            lines.append(" ".join("%02X" % b for b in data[i:i + 16]))
    return "\r\n".join(lines) + "\r\nq"


def pseudo_random(seed, count):
    state, out = seed, bytearray()
    for _ in range(count):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((state >> 16) & 0xFF)
    return bytes(out)


# Interrupt vectors of the demo firmware, which are also the loader password: every
# interrupt at 0x4410, reset at 0x4400.
VECTORS = bytes([0x10, 0x44] * 15 + [0x00, 0x44])


def keypad_firmware(version, seed):
    marker = b"FWVER:" + version.encode() + b"\0"
    code = bytearray(pseudo_random(seed, 1536))
    code[0x80:0x80 + len(marker)] = marker
    return ti_txt([(0x4400, bytes(code)), (0xFFE0, VECTORS)])


def unaligned_firmware(version, seed):
    """The same demo firmware placed from the middle of a segment (0x4500), its last section
    reaching into a segment (0x4A00) where no section starts, and its sections listed out of
    address order: what a linker may well write, and what the download must handle."""
    marker = b"FWVER:" + version.encode() + b"\0"
    code = bytearray(pseudo_random(seed, 1536))
    code[0x80:0x80 + len(marker)] = marker
    vectors = bytes([0x10, 0x45] * 15 + [0x00, 0x45])
    return ti_txt([(0xFFE0, vectors), (0x4900, bytes(code[0x400:])), (0x4500, bytes(code[:0x400]))])


def write(name, text):
    with open(name, "w", newline="") as f:
        f.write(text)


write("password-stand-in.txt", ti_txt([(0xFFE0, VECTORS)]))
write("ram-bsl-stand-in.txt",
      ti_txt([(0x2500, bytes([0x00, 0x06, 0x05, 0x34]) + pseudo_random(1, 113)),
              (0x2576, pseudo_random(2, 2676))]))
write("keypad-firmware-2.00.txt", keypad_firmware("2.00", 200))
write("keypad-firmware-2.01.txt", keypad_firmware("2.01", 201))
write("keypad-firmware-2.01-unaligned.txt", unaligned_firmware("2.01", 201))
