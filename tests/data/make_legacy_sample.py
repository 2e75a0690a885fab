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
ENTRY = "KivPatchBuilder.PatchEntry"


def lps(text):
    """A string with its length in 7-bit groups, low first."""
    data, n, prefix = text.encode("utf-8"), len(text.encode("utf-8")), bytearray()
    while n > 0x7F:
        prefix.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes(prefix + bytes([n])) + data


def i32(v):
    return struct.pack("<i", v)


entries = [
    ("readme.txt", b"KIV legacy patch fixture\r\n"),
    ("ui_icons.bmp", bytes((i * 37 + 11) & 0xFF for i in range(300))),
    ("empty.dat", b""),
]

out = bytearray(b"\x00" + i32(1) + i32(-1) + i32(1) + i32(0))  # stream header
out += b"\x0c" + i32(2) + lps("KivPatchBuilder, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null")
# The root object: the archive path (a string record) and the entry array (a reference).
out += b"\x05" + i32(1) + lps("KivPatchBuilder.PatchFile") + i32(2) + lps("ArchivePath") + lps("Entries")
out += b"\x01\x04" + lps(ENTRY + "[]") + i32(2) + i32(2)
out += b"\x06" + i32(3) + lps("data\\kiv_ui.hed") + b"\x09" + i32(4)
# The entry array: one object per entry (the first with its class, the rest
# referring to it), its name inline and its data referenced.
out += b"\x07" + i32(4) + b"\x00" + i32(1) + i32(len(entries)) + b"\x04" + lps(ENTRY) + i32(2)
for index, (name, _) in enumerate(entries):
    entry_id = 5 + 3 * index
    if index == 0:
        out += b"\x05" + i32(entry_id) + lps(ENTRY) + i32(2) + lps("Name") + lps("Data") + b"\x01\x07\x02" + i32(2)
    else:
        out += b"\x01" + i32(entry_id) + i32(5)
    out += b"\x06" + i32(entry_id + 1) + lps(name) + b"\x09" + i32(entry_id + 2)
for index, (_, data) in enumerate(entries):
    out += b"\x0f" + i32(7 + 3 * index) + i32(len(data)) + b"\x02" + data
out += b"\x0b"  # message end

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
