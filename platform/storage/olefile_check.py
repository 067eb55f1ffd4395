"""Checks a storage image written by storage_image with an independent
reader of the compound file layout (python3-olefile).

usage: olefile_check.py STORAGE_IMAGE_PROGRAM
"""
import datetime
import os
import subprocess
import sys
import tempfile

import olefile


def expect(cond, what):
    if not cond:
        print("FAIL:", what)
        sys.exit(1)


def main():
    tmp = os.environ.get("VANTREL_TEST_TMPDIR") or tempfile.mkdtemp()
    os.makedirs(tmp, exist_ok=True)
    path = os.path.join(tmp, "sample.stg")
    subprocess.run([sys.argv[1], path], check=True)

    expect(olefile.isOleFile(path), "not recognised as a compound file")
    ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
    try:
        entries = sorted("/".join(e) for e in ole.listdir(streams=True, storages=True))
        expect(entries == ["Sub", "Sub/Deep", "Sub/Inner", "s0", "s10000", "s4095", "s4096", "s5"],
               "entries %r" % entries)
        for n in (0, 5, 4095, 4096, 10000):
            name = "s%d" % n
            expect(ole.get_type(name) == olefile.STGTY_STREAM, name + " type")
            expect(ole.get_size(name) == n, name + " size")
            data = ole.openstream(name).read()
            expect(data == bytes((i * 7 + n) & 0xFF for i in range(n)), name + " contents")
        expect(ole.openstream("Sub/Inner").read() == b"inner data", "Sub/Inner contents")
        expect(ole.get_type("Sub") == olefile.STGTY_STORAGE, "Sub type")
        expect(ole.get_type("Sub/Deep") == olefile.STGTY_STORAGE, "Sub/Deep type")

        expect(ole.root.name == "Root Entry", "root name %r" % ole.root.name)
        expect(ole.root.clsid == "00020906-0000-0000-C000-000000000046", "root clsid " + ole.root.clsid)
        sub = ole.direntries[ole._find("Sub")]
        expect(sub.clsid == "12345678-9ABC-DEF0-0102-030405060708", "Sub clsid " + sub.clsid)
        expect(sub.dwUserFlags == 0xA0A0, "Sub state bits %#x" % sub.dwUserFlags)
        expect(ole.root.dwUserFlags == 0x55, "root state bits %#x" % ole.root.dwUserFlags)
        expect(ole.getctime("Sub") == datetime.datetime(2020, 1, 2), "Sub ctime %s" % ole.getctime("Sub"))
        expect(ole.getmtime("Sub") == datetime.datetime(2021, 3, 4), "Sub mtime %s" % ole.getmtime("Sub"))
        expect(ole.getmtime("s5") is None, "stream times are not kept")
    finally:
        ole.close()
    print("ok: %d entries read back" % len(entries))


if __name__ == "__main__":
    main()
