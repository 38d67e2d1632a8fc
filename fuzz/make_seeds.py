#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small input in the layout its harness reads (see the comments
at the top of each target) that walks one known path: the cases the unit tests
cover, so that fuzzing starts from every corner they reach. Run it again after
changing a harness's input layout; the files are committed.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def rec(tag, value, length=None):
    assert len(tag) == 11
    if isinstance(value, str):
        value = value.encode("latin-1")
    return tag.encode() + bytes([len(value) if length is None else length]) + value


def filler(n, b=0x2E):
    return bytes([b]) * n


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# identity_scan: [start flags] block
def identity_scan():
    full = rec("PRODUKTNAME", "ABCDE") + rec("HARDWAREVER", "1.2a") + \
        rec("SERIAL_NO  ", b"\x78\x56\x34\x12", length=9) + rec("BRANDLABEL ", "XY")
    write("identity_scan", "records", b"\x00" + full + filler(4096 - len(full)))
    write("identity_scan", "later_wins", b"\x01" + rec("PRODUKTNAME", "FIRST") + filler(20) +
          rec("PRODUKTNAME", "SECOND"))
    write("identity_scan", "cut_serial", b"\x00" + filler(30) + rec("SERIAL_NO  ", b"\x01\x02", length=4))
    write("identity_scan", "not_tags", b"\x01" + b"BRANDLABELX\x02XY" + b"SERIAL_NO \x00\x04abcd" +
          b"produktname\x01a" + rec("HARDWAREVER", "", length=200))
    write("identity_scan", "empty_name", b"\x00" + rec("PRODUKTNAME", ""))


# identity_window: [product change] [hardware change] [extra] window
def identity_window():
    base = rec("PRODUKTNAME", "FUZZDEV") + rec("HARDWAREVER", "1.2a")
    write("identity_window", "sectors_3_5_4", b"\x00\x01x" + base + rec("SOFTWARESNR", b"\x03\x05\x04"))
    write("identity_window", "above_34_and_zero", b"\x00\x00\x00" + base +
          rec("SOFTWARESNR", b"\x28\x22\x00") + filler(9) + rec("SOFTWARESNR", b""))
    write("identity_window", "cut_list", b"\x03\x02A" + base + filler(100) +
          rec("SOFTWARESNR", b"\x08\x09", length=30))
    write("identity_window", "two_lists", b"\x02\x04q" + rec("SOFTWARESNR", b"\x01\x02") + base +
          rec("SOFTWARESNR", b"\x08"))
    write("identity_window", "full_window", b"\x00\x00\x00" + base + filler(4096 - len(base)))


def patch_values(serial, product, hardware, brand):
    return struct.pack("<I", serial) + bytes([len(product), len(hardware), len(brand)]) + \
        product.encode() + hardware.encode() + brand.encode()


# identity_patch: [mode] values, then the block (even mode) or
# [pointer choice] [pointer bits 4] [gap 2] tail of the image (odd mode)
def identity_patch():
    example = rec("BEGIN______", "") + rec("HARDWAREVER", "A1") + rec("SERIAL_NO  ", "zzzz") + \
        rec("END________", "")
    worked = patch_values(513, "", "B2", "XY")
    write("identity_patch", "rewrite_worked_example", b"\x00" + worked + example + filler(200))
    write("identity_patch", "rewrite_brand_copied", b"\x00" + patch_values(7, "PN", "HW", "") +
          rec("BEGIN______", "v1") + rec("PRODUKTNAME", "OLDNAME") + rec("BRANDLABEL ", "OLD") +
          rec("SERIAL_NO  ", "12", length=2) + rec("END________", "tail"))
    write("identity_patch", "rewrite_no_end", b"\x00" + patch_values(1, "LONGER-NAME", "H", "BR") +
          rec("BEGIN______", "") + rec("PRODUKTNAME", "X") + filler(40))
    write("identity_patch", "rewrite_too_long", b"\x00" + patch_values(0, "N" * 255, "", "") +
          rec("BEGIN______", "") + rec("PRODUKTNAME", "") * 330)
    write("identity_patch", "rewrite_cut_record", b"\x00" + worked + rec("BEGIN______", "") +
          rec("PRODUKTNAME", "AB", length=50))
    block = example + filler(300)
    write("identity_patch", "patch_block_after_gap", b"\x01" + worked + b"\x00" +
          b"\x00\x00\x00\x00" + struct.pack("<H", 16) + block)
    write("identity_patch", "patch_short_block_at_end", b"\x01" + worked + b"\x02" +
          struct.pack("<I", len(example)) + struct.pack("<H", 100) + filler(50) + example)
    write("identity_patch", "patch_grows", b"\x01" + patch_values(9, "A" * 100, "B" * 100, "C" * 50) +
          b"\x00" + b"\x00\x00\x00\x00" + b"\x00\x00" + rec("BEGIN______", "") +
          rec("PRODUKTNAME", "") + rec("HARDWAREVER", "") + rec("END________", ""))
    write("identity_patch", "patch_8196_bytes", b"\x01" + worked + b"\x00" + b"\x00" * 6)
    write("identity_patch", "patch_beyond_end", b"\x01" + worked + b"\x01" +
          struct.pack("<I", 0x7FFF0000) + b"\x00\x00" + block)


# upload_hex: [loader length 2] text; the loader is the first part of the text
def upload_hex():
    routine = "00112233445566778899aabbccddeeff"
    for n, loader in [(20, "FA00E6F0CAFE4a4A0d0a"), (64, "0123456789abcdef" * 4),
                      (65, "0123456789ABCDEF" * 4 + "7"), (80, "f0" * 40)]:
        write("upload_hex", f"loader_{n}", struct.pack("<H", n) + (loader + routine).encode())
    write("upload_hex", "stray_characters", struct.pack("<H", 6) + b"G1\r\n4a:0 zz-\xff4A")


# dispatcher: [flags] [table pattern 4] [list length] list [tail] [size of
# "empty"] then steps: 0-6 chunk (length-1, bytes), 7 connect, 8 verify,
# 9 download (image), 10 erase-only, 11 read-back (destination), 12 read-back
# into what is no destination (which), 13 port (what), 14 window/comm/clock
# (what ...), 15 repeat (count-1 2, unit length-1, unit)
CONNECTED, OPENS, SAME_PRODUCT, SERIAL, BRAND, FILES, ACTIVATE, NO_TEMP = 1, 2, 4, 8, 16, 32, 64, 128


KIND_NO_PRODUCT, KIND_NO_BEGIN, KIND_TOO_LONG, UNIDENTIFIED = 0x10, 0x20, 0x30, 0x40


TICK, START_OVER, GIVE_UP = b"\x0e\x02", b"\x0e\x03", b"\x0e\x05"


def tick(seconds):
    return TICK + bytes([seconds])


def header(flags, pattern=0x22222222, sectors=b"", tail=0, empty=0, extra=0):
    return bytes([flags]) + struct.pack("<I", pattern) + bytes([len(sectors) | extra]) + sectors + \
        bytes([tail, empty])


def chunk(data):
    out = b""
    while data:
        part, data = data[:256], data[256:]
        out += b"\x00" + bytes([len(part) - 1]) + part
    return out


def repeat(count, unit, at_once=False):
    return (b"\x1f" if at_once else b"\x0f") + struct.pack("<H", count - 1) + \
        bytes([len(unit) - 1]) + unit


def device_words(count):
    return b"\x2f" + struct.pack("<H", count - 1)


def sector_table(n, size=0x100):
    data = b"jX" + bytes([n])
    for i in range(n + 2):
        data += b"P" + struct.pack(">I", 0x4000 + i * size)
    return data


def words(block):
    data = b""
    for k in range(0, len(block), 2):
        data += block[k:k + 2] + b"g"
    return data


def dispatcher():
    connect = b"\x07" + chunk(b"\xd5") + chunk(sector_table(34)) + chunk(b"a") + chunk(b"h12")
    write("dispatcher", "connect", header(OPENS | FILES | ACTIVATE) + connect)
    write("dispatcher", "connect_table_40_silent", header(OPENS | FILES) + b"\x07" + chunk(b"\xd5") +
          chunk(sector_table(40)) + chunk(b"a") + b"\x07" + chunk(b"\xd5") + chunk(b"jX\x03P\x00") +
          tick(1) + tick(2) + chunk(b"a") + b"\x07" + chunk(b"\xd5") + chunk(sector_table(34)) + chunk(b"a"))
    write("dispatcher", "connect_missing_files", header(CONNECTED) + b"\x07" + chunk(b"x") +
          b"\x0e\x01\x08\x00\x00\x00" + b"\x0e\x04\x01\x00\x00\x00\x02\x00\x00\x00")
    ident = rec("PRODUKTNAME", "FUZZDEV") + rec("HARDWAREVER", "1.0a") + \
        rec("SERIAL_NO  ", b"\x78\x56\x34\x12") + rec("BRANDLABEL ", "XY")
    block = ident + filler(4096 - len(ident), 0xFF)
    write("dispatcher", "verify", header(CONNECTED | ACTIVATE) + b"\x08" + chunk(words(block)) +
          chunk(b"Z"))
    write("dispatcher", "verify_repeated_words", header(CONNECTED) + b"\x08" +
          repeat(2048, b"\x41\x42g") + chunk(b"Z\x00"))
    write("dispatcher", "verify_then_readback_cancelled", header(CONNECTED) + b"\x08" +
          b"\x0b\x00" + repeat(2100, b"\x41\x42g") + chunk(b"Z"))
    everything = CONNECTED | SAME_PRODUCT | SERIAL | BRAND | FILES
    update = b"\x09\x01" + chunk(b"bab") + chunk(b"abae") + chunk(b"aea") + chunk(b"ea") + chunk(b"x")
    write("dispatcher", "update_complete", header(everything, 0x99999999, b"\x03\x05\x04", 2) + update)
    programmed = b"\x09\x01" + chunk(b"bab") + chunk(b"abae")
    # The image is 16928 bytes: 8464 words read back and compared.
    write("dispatcher", "update_verified", header(everything, 0x99999999, b"\x03\x05\x04", 2) +
          programmed + chunk(b"a") + device_words(8464) + chunk(b"a"))
    write("dispatcher", "update_verify_mismatch", header(everything, 0x99999999, b"\x03\x05\x04", 2) +
          programmed + chunk(b"a") + device_words(100) + chunk(b"\x00\x00g") + chunk(b"a"))
    write("dispatcher", "update_too_long", header(everything, 0x66666666, b"\x03\x05\x04", 40) + update +
          chunk(b"aeae"))
    write("dispatcher", "update_programming_error", header(everything & ~SERIAL, 0x77777777,
          b"\x02\x01\x00", 1) + b"\x09\x01" + chunk(b"babab") + chunk(b"ad") + chunk(b"q") + chunk(b"aaaa"))
    write("dispatcher", "update_bad_list", header(everything, 0x99999999, b"\x28\x03\x03", 0) + update +
          chunk(b"abab"))
    write("dispatcher", "update_mismatch_and_files", header(CONNECTED | FILES | NO_TEMP, 0x88888888,
          b"\x01") + b"\x09\x01" + b"\x09\x02" + b"\x09\x03" + b"\x09\x00" + chunk(b"b"))
    write("dispatcher", "update_writes_fail", header(everything, 0xBBBBBBBB, b"\x00\x01") + b"\x09\x01" +
          chunk(b"bab") + b"\x0d\x01" + chunk(b"a") + chunk(b"e") + chunk(b"a"))
    write("dispatcher", "erase_only", header(CONNECTED | FILES, 0x12345678, b"", 0, 5) + b"\x0a" +
          chunk(b"ba") + chunk(b"ba") + chunk(b"eaeaZ") + b"\x0a" + chunk(b"baba"))
    write("dispatcher", "erase_only_odd_sizes", header(CONNECTED | FILES, 0xCDA43E10, b"", 0, 255) +
          b"\x0a" + chunk(b"babaeae?aeaeae"))
    write("dispatcher", "erase_only_read_back", header(CONNECTED | FILES, 0x55555555, b"", 0, 100) +
          b"\x0a" + chunk(b"babae") + chunk(b"ae") + chunk(b"a") + b"\x0b\x01" + device_words(40) +
          chunk(b"a") + device_words(40) + chunk(b"a"))
    sector = words(bytes(range(256)) * 2)
    readback = b"\x0b\x01" + chunk(sector[:-1] + b"f") + chunk(b"a") + \
        chunk(sector[:90] + b"f") + chunk(b"Z")
    write("dispatcher", "readback", header(CONNECTED) + readback)
    write("dispatcher", "readback_whole", header(CONNECTED) + b"\x0b\x01" +
          repeat(32767, b"AB" + b"g", True) + chunk(b"ABf") + chunk(b"a") +
          repeat(32768, b"CDg", True) + chunk(b"Z"))
    for name, kind in [("update_invalid_firmware", KIND_NO_PRODUCT), ("update_no_begin", KIND_NO_BEGIN),
                       ("update_block_too_long", KIND_TOO_LONG)]:
        write("dispatcher", name, header(everything, 0x99999999, b"\x03", 0, 0, kind) + b"\x09\x01" +
              chunk(b"bae"))
    write("dispatcher", "verify_unidentified", header(CONNECTED, extra=UNIDENTIFIED) + b"\x08" +
          repeat(2048, b"\x00\x01g", True) + chunk(b"Z") + b"\x09\x01" + chunk(b"b"))
    write("dispatcher", "readback_bad_destinations", header(CONNECTED) + b"\x0b\x02" + b"\x0b\x03" +
          chunk(b"\x01\x02g\x03\x04f") + b"\x0b\x00" + chunk(b"xyz"))
    write("dispatcher", "readback_no_destinations", header(CONNECTED | FILES) + b"\x0c\x00" +
          b"\x0c\x01" + b"\x0c\x02" + b"\x0c\x03" + b"\x0b\x01" + chunk(b"\x01\x02f") + b"\x0c\x03")
    # Room for 48 bytes: the disk fills in the middle of the first sector.
    write("dispatcher", "readback_disk_fills", header(CONNECTED) + b"\x0b\x0f" + repeat(40, b"ABg") +
          chunk(b"CDg") + chunk(b"a") + chunk(b"Z"))
    write("dispatcher", "update_images_refused", header(everything, 0x99999999, b"\x03", 0) +
          b"\x09\x04" + b"\x09\x05" + b"\x09\x07" + b"\x09\x01" + chunk(b"bab") + b"\x09\x06" +
          START_OVER + b"\x09\x06")
    write("dispatcher", "update_silent", header(everything, 0x99999999, b"\x03\x04", 0) + b"\x09\x01" +
          chunk(b"ba") + tick(4) + tick(6) + b"\x09\x01" + chunk(b"bab") + GIVE_UP + chunk(b"ae"))
    write("dispatcher", "readback_interrupted", header(CONNECTED | FILES) + b"\x0b\x01" +
          chunk(b"\x01\x02g\x03") + b"\x08" + chunk(b"\xe4\xfc\x80g") + b"\x0d\x00" + chunk(b"lost") +
          b"\x0d\x00" + b"\x0a" + chunk(b"b") + b"\x0d\x03")


identity_scan()
identity_window()
identity_patch()
upload_hex()
dispatcher()
