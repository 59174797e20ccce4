#!/usr/bin/env python3
"""Writes the named seed inputs of the fuzz targets into corpus/<target>/.

The binary inputs follow the readers of the targets (fuzz/fakes.h and the
target files): every answer of a fake driver is read from the input in the
order the code under test asks for it. Regression inputs of fixed bugs are
kept as files and are not written here.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("latin-1"))


def be16(v):
    return struct.pack(">H", v & 0xFFFF)


def be32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def text(s):  # length byte, then the bytes (Input::Text and, below 0xF0, Input::ComText)
    b = s.encode("latin-1")
    return bytes([len(b)]) + b


# ---- registry_parse: .reg text -------------------------------------------
HEADER = "Windows Registry Editor Version 5.00\n\n"
put("registry_parse", "header-only.reg", HEADER)
put("registry_parse", "class-registration.reg", HEADER +
    '[HKEY_CLASSES_ROOT\\CLSID\\{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}]\n'
    '@="CameraControl Class"\n\n'
    '[HKEY_CLASSES_ROOT\\CLSID\\{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}\\InprocServer32]\n'
    '@="/opt/velquin/VELQUIN.so"\n"ThreadingModel"="Apartment"\n\n'
    '[HKEY_CLASSES_ROOT\\VELQUIN.CameraControl.1]\n@="CameraControl Class"\n\n')
put("registry_parse", "devsymlink-value.reg", HEADER +
    '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001]\n'
    '"DevSymLink"="\\\\??\\\\1394#maker&kv7#0800460102ab0001#{6bdd1fc6}"\n"Count"=dword:00000003\n\n')
put("registry_parse", "escapes-and-binary-values.reg", HEADER +
    '[HKEY_CURRENT_USER\\Software\\Test]\n"multi\\nline"="a\\"quoted\\"\\r\\0end"\n'
    '"bin"=hex:01,02,03,\\\n  04,05\n"exp"=hex(2):25,00,00,00\n;comment\n\n')
put("registry_parse", "bom-and-crlf.reg", "\xef\xbb\xbf" + HEADER.replace("\n", "\r\n") +
    '[HKEY_CURRENT_USER\\Software\\Crlf]\r\n"a"="b"\r\n@=dword:ffffffff\r\n\r\n')
put("registry_parse", "truncated-section-header.reg", HEADER + "[HKEY_LOCAL_MACHINE\\SYSTEM\n")
put("registry_parse", "string-without-closing-quote.reg", HEADER + '[HKEY_CURRENT_USER\\A]\n"name"="value\n')
put("registry_parse", "dword-nine-digits.reg", HEADER + '[HKEY_CURRENT_USER\\A]\n"n"=dword:123456789\n')
put("registry_parse", "empty-key-name.reg", HEADER + "[HKEY_CURRENT_USER\\A\\\\B]\n")
put("registry_parse", "value-before-section.reg", HEADER + '"n"="v"\n')
put("registry_parse", "deletion-entries.reg", HEADER + "[-HKEY_CURRENT_USER\\A]\n")
put("registry_parse", "continued-value-at-end.reg", HEADER + '[HKEY_CURRENT_USER\\A]\n"b"=hex:01,\\')

# ---- storage_channel: channel calls and driver answers ---------------------
LINK = "\\??\\1394#maker&kv7#0800460102ab0001#{6bdd1fc6}"
OPEN = bytes([0, 0]) + text(LINK)
PRESET = bytes([25, 0x5A]) + b"SLOT1\0\0\0" + bytes(range(0x30, 0x30 + 15))


def answer(status=0, how=0):
    return bytes([how, status])


put("storage_channel", "open-count-read-write.bin",
    OPEN
    + bytes([1]) + answer() + be16(3)                                      # CountEntries: 3 slots
    + bytes([2]) + be16(25) + answer() + be16(25) + be16(25) + PRESET      # ReadFile: 25 bytes
    + bytes([3]) + be16(25) + PRESET + answer()                            # WriteFile
    + bytes([4]))                                                          # Close
put("storage_channel", "delivered-count-over-request.bin",
    OPEN + bytes([2]) + be16(25) + answer() + be16(26) + be16(26) + PRESET + b"X")
put("storage_channel", "delivered-count-32-bit-huge.bin",
    OPEN + bytes([2]) + be16(25) + answer(how=4) + be32(0xFFFFFFFF) + be16(25) + PRESET)
put("storage_channel", "busy-on-every-attempt.bin",
    OPEN + bytes([2]) + be16(25) + (answer(0x80) + be16(0) + be16(0)) * 4)
put("storage_channel", "busy-then-success.bin",
    OPEN + bytes([1]) + answer(0x80) + be16(9) + answer() + be16(2))
put("storage_channel", "protected-write.bin", OPEN + bytes([3]) + be16(4) + b"DATA" + answer(0xA8))
put("storage_channel", "transport-errors.bin",
    OPEN + bytes([1]) + bytes([2, 1])                                      # ERROR_BUSY
    + bytes([2]) + be16(10) + bytes([3]) + be32(0xFFFFFFF0)                # a negative error
    + bytes([3]) + be16(0) + bytes([3]) + be32(0x00000001))
put("storage_channel", "link-too-short.bin", bytes([0, 0]) + text("\\"))
put("storage_channel", "link-with-embedded-nul.bin", bytes([0, 0]) + text("\\??\\ab\0cd") + bytes([1]) + answer())
put("storage_channel", "open-refused-by-driver.bin", bytes([0, 2]) + text(LINK) + be32(2) + bytes([1]))
put("storage_channel", "open-twice.bin", OPEN + OPEN)
put("storage_channel", "request-over-transfer-area.bin", OPEN + bytes([2 | 0x40]) + be16(0x0101))
put("storage_channel", "path-over-field-length.bin", OPEN + bytes([1 | 0x80]) + text("\\" + "a" * 254))
put("storage_channel", "camera-mutex-held-elsewhere.bin", OPEN + bytes([5 | 0x80, 1, 2, 5]) + be16(4) + bytes([1]) + answer() + be16(1))
put("storage_channel", "stray-bytes-over-opcode.bin",
    OPEN + bytes([1]) + bytes([3 << 3, 0x80]) + be16(0) + be16(0) + bytes([0x09]) + be16(1) + bytes([0xFF])
    + be16(275) + bytes([0xAA]) + answer() + be16(7))

# ---- camctl_answers: object calls and camera answers -----------------------
# AV/C answer byte: low 3 bits result (0 accepted), high 4 bits answer byte count.


def avc(*operands, result=0):
    return bytes([(len(operands) << 4) | result]) + bytes(operands)


def file_answer(content, delivered=None):
    d = len(content) if delivered is None else delivered
    return answer() + be16(d) + be16(len(content)) + content


put("camctl_answers", "preset-name-from-usable-file.bin", bytes([15, 1]) + file_answer(PRESET))
put("camctl_answers", "preset-file-length-byte-mismatch.bin", bytes([15, 1]) + file_answer(bytes([30]) + PRESET[1:]))
put("camctl_answers", "preset-name-without-terminator.bin",
    bytes([15, 2]) + file_answer(bytes([25, 0]) + b"EIGHTCHR" + bytes(15)))
put("camctl_answers", "preset-file-shorter-than-name-field.bin", bytes([15, 1]) + file_answer(bytes([5, 0, 65, 66, 67])))
put("camctl_answers", "preset-file-of-256-bytes.bin", bytes([15, 3]) + file_answer(bytes([0, 0]) + b"LONGNAME" + bytes(246)))
put("camctl_answers", "register-keeps-file-name.bin",
    bytes([11 | 0x80, 1]) + file_answer(PRESET) + avc(1, 0) + avc())
put("camctl_answers", "register-protected-slot.bin", bytes([11, 2]) + text("NEWNAME") + avc(2, 1))
put("camctl_answers", "range-answer-high-bytes.bin", bytes([2, 20]) + avc(0x14, 0xFF, 0xFE, 0x80))
put("camctl_answers", "read-back-never-matches.bin", bytes([0, 20, 5]) + avc() + avc(7) * 20)
put("camctl_answers", "timeouts-on-every-call.bin", bytes([1, 1]) + avc(result=5) * 4)
put("camctl_answers", "settle-window-busy-camera.bin", bytes([10, 1]) + avc() + bytes([15, 1]) + avc(1) * 4)
put("camctl_answers", "mode-query-and-capability.bin",
    bytes([4]) + avc() * 25 + bytes([6]) + avc(0x38, 0, 0, 0) + bytes([3]) + avc(0x20, 0, 0, 1))
put("camctl_answers", "set-preset-name-busy-camera.bin",
    bytes([16, 1]) + text("AB") + avc(1, 0) + file_answer(PRESET) + avc(1) * 8)
put("camctl_answers", "set-preset-name-writes-file.bin",
    bytes([16, 1]) + text("NEW") + avc(1, 0) + file_answer(PRESET) + avc(0) + answer())
put("camctl_answers", "removed-camera.bin", bytes([19 | 0x80, 15, 1, 1, 5, 9]))
put("camctl_answers", "colour-bars-and-vcr-mode.bin", bytes([8]) + be16(0x102) + avc() + avc(2) + avc(2) + bytes([5, 1]) + avc(2))

# ---- device_selection: device lists and answers ----------------------------


def device(model="kv7", uid="0800460102ab0001", friendly=None, flags=0):
    out = bytes([flags | (1 if friendly is not None else 0)])
    if friendly is not None:
        out += text(friendly)
    return out + bytes([0]) + text(model) + text(uid) + text("Marrowfield DV Camera")


def imaging(device_id, pick=0, flags=0):
    return bytes([flags]) + text(device_id) + bytes([pick])


SUPPORTED = avc(1, 1)
SELECT = SUPPORTED + avc() * 25 + answer() + be16(3) + avc(1)  # identification, probes, slot count, availability
put("device_selection", "one-camera-selected.bin",
    bytes([1 | (1 << 3)]) + device() + imaging("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001")
    + SUPPORTED + bytes([0]) + SELECT)
put("device_selection", "slot-count-over-99.bin",
    bytes([1 | (1 << 3)]) + device() + imaging("{cls}\\0001") + SUPPORTED + bytes([0])
    + SUPPORTED + avc() * 25 + answer() + be16(0xFFFF) + avc(2))
put("device_selection", "two-cameras-one-unsupported.bin",
    bytes([2 | (1 << 3)]) + device(uid="aaaa") + device(uid="bbbb", model="other")
    + imaging("{cls}\\0002", pick=1) + avc(1, 1) + avc(0, 1) + bytes([0]) + SELECT)
put("device_selection", "device-path-with-too-few-hashes.bin",
    bytes([1]) + bytes([0, 1]) + text("\\\\?\\avc#maker&kv7&camcorder") + text("pnp"))
put("device_selection", "raw-link-without-unique-id.bin",
    bytes([1 | (1 << 3)]) + device() + bytes([4]) + text("{cls}\\0001") + text("\\??\\nohash")
    + SUPPORTED + bytes([0]) + SUPPORTED + avc() * 25)
put("device_selection", "identification-not-supported.bin", bytes([1]) + device() + avc(result=4))
put("device_selection", "enumerator-fails.bin", bytes([0x80 | 2]) + device() + device())
put("device_selection", "empty-unique-id.bin", bytes([1]) + device(uid=""))

# ---- vcam_frames: frames to a fresh virtual camcorder ----------------------


def vavc(frame, length=None):
    n = len(frame) if length is None else length
    return bytes([0]) + be16(n) + bytes(frame)


def vstorage(opcode, body, data_length=0, data=b""):
    return bytes([2, opcode]) + bytes(body) + be16(data_length) + data


def padded(body, length):
    return bytes(body) + bytes(length - 1 - len(body))


SHAPE = 3 | 0x20  # three slots, one medium
put("vcam_frames", "identification-and-busy-flag.bin",
    bytes([SHAPE, 0]) + vavc([0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x13, 0xFF, 0xFF])
    + vavc([0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x75, 0xFF]))
put("vcam_frames", "select-and-register-preset.bin",
    bytes([SHAPE, 0]) + vavc([0x00, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x70, 0x01])
    + vavc([0x00, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x71, 0x01] + list(b"ABCDEFGH")))
put("vcam_frames", "avc-length-over-buffer.bin", bytes([SHAPE, 0]) + vavc([0x01, 0x20, 0x00], length=520))
count = padded([0xFF, 0xFF, 0x00, 0x01, 0x00, 0x00, 12] + list(b"\\dev\\campset"), 265)
put("vcam_frames", "count-preset-slots.bin", bytes([SHAPE, 0]) + vstorage(0x06, count))
read = bytearray(275)
read[1:4] = bytes([0xFF, 0xFF, 0x00])
path = b"\\dev\\campset\\Preset01.pst"
read[4] = len(path)
read[5:5 + len(path)] = path
read[261:265] = be32(0x8000)
read[265:269] = be32(25)
put("vcam_frames", "read-preset-file.bin", bytes([SHAPE, 0]) + vstorage(0x09, read, 256))
escape = bytearray(read)
p2 = b"\\dev\\campset\\..\\..\\..\\outside"
escape[4] = len(p2)
escape[5:5 + 255] = bytes(255)
escape[5:5 + len(p2)] = p2
put("vcam_frames", "read-path-leaving-namespace.bin", bytes([SHAPE, 0]) + vstorage(0x09, escape, 64))
put("vcam_frames", "storage-frame-too-short.bin", bytes([SHAPE, 0]) + bytes([2 | 0x80, 0x09]) + be16(7) + bytes(6) + be16(0))
put("vcam_frames", "unplugged-camera.bin",
    bytes([SHAPE, 0]) + bytes([5 | 0x40]) + vavc([0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x75, 0xFF]))
put("vcam_frames", "scripted-timeout-fault.bin",
    bytes([SHAPE, 0]) + bytes([4, 1, 1, 1, 1, 1]) + be32(1460) + bytes([3])
    + vavc([0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x75, 0xFF]))
write = bytearray(279)
write[1:4] = bytes([0xFF, 0xFF, 0x00])
p3 = b"\\dev\\campset\\..\\..\\..\\..\\escaped.txt"
write[4] = len(p3)
write[5:5 + len(p3)] = p3
write[260:264] = be32(4)
write[264:268] = be32(4)
write[268] = 1
write[269] = 0xFF
put("vcam_frames", "write-path-leaving-namespace.bin", bytes([SHAPE, 0]) + vstorage(0x0A, write, 4, b"EVIL"))


# ---- torwen_answers: the microdriver's answers -----------------------------
# A flags byte (fast busy, fast media), then one answer per exchange: a count
# byte and that many bytes from frame byte 1 on (0xFC: the whole answer), or
# 0xFE (ERROR_BUSY) / 0xFD (device gone); data frames take one more byte.
def ans(body):
    return bytes([len(body)]) + bytes(body)


def whole(frame_length, fields):  # 0xFC and every byte from 1 to the end
    body = bytearray(frame_length - 1)
    for offset, value in fields.items():
        body[offset - 1:offset - 1 + len(value)] = value
    return b"\xFC" + bytes(body)


def record(name, ext, attributes=0, size=0, date=0x3021, time=0x645C):
    return (name.ljust(8).encode() + ext.ljust(3).encode() + bytes([attributes]) +
            struct.pack("<HHI", time, date, size))


def page(records, count=None, end=1):
    body = b"".join(records)
    return whole(492, {1: b"\x00", 9: bytes([len(records) if count is None else count]), 11: bytes([end]),
                       12: body})


OPEN = b"\x00" + ans([0x10])
ONE_MEDIUM = ans([0, 1, 1]) + ans([0, 0, 0, 1, 0, 0, 0, 0, 0, 0] + list(be32(0x90000000)) + [0] * 4 +
                                  list(be32(0x10000)))


def count(n):
    return ans([0, 0, 0, 1, 0, 3] + list(be16(n)))


TREE = (OPEN + ONE_MEDIUM + count(2) + page([record("DCIM", "", 0x10), record("A", "TXT", 0x01, 34)]) +
        count(2) + page([record("IMG_0001", "JPG", 0, 0x80000001), record("IMG_0001", "THM", 0, 10)]))
put("torwen_answers", "tree-with-folder-and-image.bin",
    TREE + b"\x00\x02" + whole(276, {262: be32(400)}) + b"\x01" + b"\x01\x02" + be16(64) + ans([0]) + b"\x01")
put("torwen_answers", "count-byte-above-24.bin",
    OPEN + ONE_MEDIUM + count(30) + page([record("F%d" % i, "TXT") for i in range(24)], count=200, end=0))
put("torwen_answers", "empty-page-without-end-flag.bin", OPEN + ONE_MEDIUM + count(30) + page([], end=0) * 3)
put("torwen_answers", "dot-and-empty-names.bin",
    OPEN + ONE_MEDIUM + count(4) + page([record("", ""), record(".", ""), record("..", ""), record("A\\..", "")]))
put("torwen_answers", "thumbnail-length-above-area.bin",
    TREE + b"\x00\x02" + whole(276, {262: be32(0x9000)}) + b"\x01")
put("torwen_answers", "alternating-busy-statuses.bin", OPEN + (ans([0x80]) + ans([0x82])) * 400)
put("torwen_answers", "transport-busy-then-gone.bin", OPEN + b"\xFE" * 50 + b"\xFD")
put("torwen_answers", "put-answer-path-unterminated.bin",
    OPEN + ONE_MEDIUM + count(0) + b"\x02\x00" + text("\\Media:1\\A.TXT") + b"\x03\x03\x01" +
    whole(280, {6: b"Q" * 274}) + b"\x00")
put("torwen_answers", "put-to-unknown-medium.bin",
    OPEN + ONE_MEDIUM + count(0) + b"\x02\x00" + text("\\Media:7\\Volume:3\\A.TXT") + b"\x03\x03\x01")
# Two media of 255 volumes fill the harness's volume budget; the third is cut
# to one volume, so a put to its second volume is refused.
put("torwen_answers", "media-of-255-volumes-past-the-budget.bin",
    OPEN + ans([0, 3, 255, 255, 255]) + b"\x00" * 3 + b"\x00" * 511 +
    b"\x02\x00" + text("\\Media:2\\Volume:255\\A.TXT") + b"\x03\x03\x01" + ans([0]) + b"\x00" +
    b"\x02\x00" + text("\\Media:3\\Volume:2\\A.TXT") + b"\x03\x03\x01")
