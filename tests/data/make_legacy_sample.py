#!/usr/bin/env python3
"""Rebuilds legacy_sample.cab, the legacy patch that both test suites decrypt.

The plaintext is a small serialised object graph as the old patch builder
wrote it; the key and IV come from Python's PBKDF2 and the encryption from
the openssl command line, so the launcher's own cryptography is checked
against two independent implementations. Run from this directory.
"""
import hashlib
import struct
import subprocess

PASSWORD = b"Qm7tWx2LpR9vKd4HsN8yBc3FgJ6eZa5U"
SALT = bytes((7 * i + 3) & 0xFF for i in range(32))


def lps(text):
    data = text.encode("utf-8")
    n, prefix = len(data), bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        prefix.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(prefix) + data


def i32(v):
    return struct.pack("<i", v)


def string_record(object_id, text):
    return b"\x06" + i32(object_id) + lps(text)


def reference(object_id):
    return b"\x09" + i32(object_id)


entries = [
    ("readme.txt", b"KIV legacy patch fixture\r\n"),
    ("ui_icons.bmp", bytes((i * 37 + 11) & 0xFF for i in range(300))),
    ("empty.dat", b""),
]

out = bytearray()
out += b"\x00" + i32(1) + i32(-1) + i32(1) + i32(0)            # stream header
out += b"\x0c" + i32(2) + lps("KivPatchBuilder, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null")
# The root object: the archive path and the entry array.
out += b"\x05" + i32(1) + lps("KivPatchBuilder.PatchFile") + i32(2)
out += lps("ArchivePath") + lps("Entries") + b"\x01\x04"
out += lps("KivPatchBuilder.PatchEntry[]") + i32(2)
out += i32(2)
out += string_record(3, "data\\kiv_ui.hed")
out += reference(4)
# The entry array: one object per entry, its name inline and its data referenced.
out += b"\x07" + i32(4) + b"\x00" + i32(1) + i32(len(entries)) + b"\x04"
out += lps("KivPatchBuilder.PatchEntry") + i32(2)
next_id = 5
array_ids = []
for index, (name, _) in enumerate(entries):
    entry_id, name_id, data_id = next_id, next_id + 1, next_id + 2
    next_id += 3
    if index == 0:
        out += b"\x05" + i32(entry_id) + lps("KivPatchBuilder.PatchEntry") + i32(2)
        out += lps("Name") + lps("Data") + b"\x01\x07" + b"\x02" + i32(2)
        first_entry = entry_id
    else:
        out += b"\x01" + i32(entry_id) + i32(first_entry)
    out += string_record(name_id, name) + reference(data_id)
    array_ids.append(data_id)
for data_id, (_, data) in zip(array_ids, entries):
    out += b"\x0f" + i32(data_id) + i32(len(data)) + b"\x02" + data
out += b"\x0b"                                                    # message end

pad = 16 - len(out) % 16
plaintext = bytes(out) + bytes([pad]) * pad

derived = hashlib.pbkdf2_hmac("sha1", PASSWORD, SALT, 50000, 48)
ciphertext = subprocess.run(
    ["openssl", "enc", "-aes-256-cfb", "-K", derived[:32].hex(), "-iv", derived[32:].hex()],
    input=plaintext, stdout=subprocess.PIPE, check=True).stdout
assert len(ciphertext) == len(plaintext)

with open("legacy_sample.cab", "wb") as f:
    f.write(SALT + ciphertext)
with open("legacy_sample.plain", "wb") as f:
    f.write(bytes(out))
