#!/usr/bin/python3
"""Independent reader and writer of the encrypted users file.

Written from the file format alone: "cryp", then N = L // 8 + 2 eight-byte
blocks of the text padded with zero bytes, each enciphered with XTEA
(32 cycles, delta 0x9E3779B9) under the built-in key, two little-endian
words per block. A file without the magic is plain text.

  users_file_decode.py FILE         print the text of FILE
  users_file_decode.py --self-test [--users]
                                    check files written by zelcrypt (and
                                    a users file written by zelusers)
"""
import os
import struct
import subprocess
import sys
import tempfile

KEY = struct.unpack("<4I", bytes.fromhex("5A91C307E42B78D60F3CA5619E14B872"))
DELTA = 0x9E3779B9
MASK = 0xFFFFFFFF


def decipher(v0, v1):
    s = (DELTA * 32) & MASK
    for _ in range(32):
        v1 = (v1 - ((((v0 << 4) ^ (v0 >> 5)) + v0) ^ (s + KEY[(s >> 11) & 3]))) & MASK
        s = (s - DELTA) & MASK
        v0 = (v0 - ((((v1 << 4) ^ (v1 >> 5)) + v1) ^ (s + KEY[s & 3]))) & MASK
    return v0, v1


def encipher(v0, v1):
    s = 0
    for _ in range(32):
        v0 = (v0 + ((((v1 << 4) ^ (v1 >> 5)) + v1) ^ (s + KEY[s & 3]))) & MASK
        s = (s + DELTA) & MASK
        v1 = (v1 + ((((v0 << 4) ^ (v0 >> 5)) + v0) ^ (s + KEY[(s >> 11) & 3]))) & MASK
    return v0, v1


def decode(data):
    """Returns (text bytes, encrypted flag, deciphered padding bytes)."""
    if data[:4] != b"cryp":
        return data.split(b"\0", 1)[0], False, b""
    out = bytearray()
    for off in range(4, 4 + (len(data) - 4) // 8 * 8, 8):
        out += struct.pack("<2I", *decipher(*struct.unpack_from("<2I", data, off)))
    text = bytes(out).split(b"\0", 1)[0]
    return text, True, bytes(out[len(text):])


def encode(text):
    plain = text + b"\0" * (8 * (len(text) // 8 + 2) - len(text))
    out = bytearray(b"cryp")
    for off in range(0, len(plain), 8):
        out += struct.pack("<2I", *encipher(*struct.unpack_from("<2I", plain, off)))
    return bytes(out)


def parse_users(text):
    """The users: a list of {tag: value text} per section, in file order."""
    users = []
    for line in text.split(b"\n"):
        if line.endswith(b"\r"):
            line = line[:-1]
        if line.startswith(b"["):
            users.append({})
        elif b"=" in line and users:
            tag, value = line.split(b"=", 1)
            users[-1][int(tag, 16)] = value
    return users


def check_users_file(tool, work, check):
    path = os.path.join(work, "USERS.ZLF")
    subprocess.run([tool, path], check=True)
    text, encrypted, _ = decode(open(path, "rb").read())
    users = parse_users(text)
    check(encrypted, "users file not encrypted")
    check(text.startswith(b"[0]\n") and text.endswith(b"\n"), "users file layout %r" % text[:40])
    check([u.get(0x3A00001E) for u in users] == [b"jsmith", b"mmuster"], "accounts %r" % users)
    check([u.get(0x6800001E) for u in users] == [b"secret", b"geheim"], "passwords %r" % users)
    check([u.get(0x30000003) for u in users] == [b"1", b"2"], "row ids %r" % users)
    check(all(u.get(0x6804000B) == b"1" for u in users), "all-profiles flags %r" % users)
    for u, name in zip(users, (b"John Smith", b"Max Muster")):
        check(u.get(0x3001001E) == name, "display name %r" % u)
        entry_id = bytes.fromhex(u.get(0x0FFF0102, b"").decode())
        check(len(entry_id) == 44 and entry_id[:4] == b"\0" * 4 and entry_id[20:24] == b"\0" * 4, "entry id %r" % u)
        check(entry_id[4:20] == bytes.fromhex("C39C90B8BAA094448780D2018CEB431E"), "provider %r" % entry_id)
        check(entry_id[24:43].rstrip(b"\0") == name[:19] and entry_id[43] == 0, "name bytes %r" % entry_id)


def self_test(with_users):
    tool = os.path.join(os.environ["VANTREL_BIN"], "zelcrypt")
    scratch = os.environ.get("VANTREL_TEST_TMPDIR")
    if scratch:
        os.makedirs(scratch, exist_ok=True)
    work = tempfile.mkdtemp(dir=scratch)
    failures = []

    def check(cond, what):
        if not cond:
            failures.append(what)

    # Files our program writes, decoded here.
    for length in (0, 7, 8, 16, 100):
        text = bytes(b"abcdefghij"[i % 10] for i in range(length))
        path = os.path.join(work, "t%d" % length)
        subprocess.run([tool, "write", path], input=text, check=True)
        data = open(path, "rb").read()
        got, encrypted, pad = decode(data)
        check(encrypted, "%d: no magic" % length)
        check(len(data) == 4 + 8 * (length // 8 + 2), "%d: size %d" % (length, len(data)))
        check(got == text, "%d: text %r" % (length, got))
        check(9 <= len(pad) <= 16 and pad == b"\0" * len(pad), "%d: padding %r" % (length, pad))
        check(data == encode(text), "%d: our encoding differs" % length)

    # A users file written by the program.
    if with_users:
        check_users_file(os.path.join(os.environ["VANTREL_BIN"], "zelusers"), work, check)

    # A file enciphered here, read by our program; and a plain one.
    path = os.path.join(work, "ours")
    open(path, "wb").write(encode(b"[0]\r\n3a00001e=jsmith\r\n"))
    r = subprocess.run([tool, "read", path], capture_output=True, check=True)
    check(r.stdout == b"[0]\r\n3a00001e=jsmith\r\n" and r.stderr == b"encrypted=1\n", "read back %r" % (r,))
    open(path, "wb").write(b"plain text")
    r = subprocess.run([tool, "read", path], capture_output=True, check=True)
    check(r.stdout == b"plain text" and r.stderr == b"encrypted=0\n", "plain read %r" % (r,))

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) in (2, 3) and sys.argv[1] == "--self-test":
        sys.exit(self_test(sys.argv[2:] == ["--users"]))
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.stdout.buffer.write(decode(open(sys.argv[1], "rb").read())[0])
