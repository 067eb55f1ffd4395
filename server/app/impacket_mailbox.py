#!/usr/bin/python3
"""Logs on to a running ZelServer with python3-impacket and lists the
folders of the mailbox's IPM subtree. The request types come from
protocol/zel.idl and the replies are decoded here from the documented
encoding (little-endian images, counted bytes, 8-bit strings), so nothing
of our own C++ code is on the client side.

usage: impacket_mailbox.py ZELSERVER ZEL_IDL MAPIPROF ZELUSERS
"""
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interop_test as idl  # noqa: E402  (the IDL-driven NDR types)

from impacket.dcerpc.v5 import transport  # noqa: E402
from impacket.dcerpc.v5.ndr import NDRLONG  # noqa: E402
from impacket.uuid import uuidtup_to_bin  # noqa: E402

PR_DISPLAY_NAME_A = 0x3001001E
PR_IPM_SUBTREE_ENTRYID = 0x35E00102
PT_STRING8 = 0x001E
PT_BINARY = 0x0102
MAPI_FOLDER = 3
MAPI_BEST_ACCESS = 0x10


def longs(values):
    """An array of longs as impacket's NDR arrays hold it."""
    out = []
    for v in values:
        item = NDRLONG()
        item['Data'] = v if v < 0x80000000 else v - (1 << 32)
        out.append(item)
    return out


def to_bytes(v):
    if isinstance(v, (bytes, bytearray)):
        return bytes(v)
    return b''.join(x if isinstance(x, bytes) else bytes([x]) for x in v)


class Client:
    def __init__(self, port, ops):
        t = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % port)
        self.dce = t.get_dce_rpc()
        self.dce.connect()
        self.dce.bind(uuidtup_to_bin(idl.IFACE))
        self.ops = ops

    def call(self, opnum, **args):
        name, has_result, params = self.ops[opnum]
        request_cls, response_cls = idl.make_classes(opnum, name, has_result, params)
        request = request_cls()
        idl.fill(request, params, 0)
        for k, v in args.items():
            request[k] = v
        self.dce.call(opnum, request)
        answer = self.dce.recv()
        response = response_cls(answer)
        idl.check(len(response.getData()) == len(answer), '%s: the reply has the IDL layout' % name)
        return response

    def block(self, r):
        """The whole result block: inline bytes, then ReadBuffer."""
        cb = r['cb']
        data = bytes(r['inlineData'])[:min(cb, 512)]
        while len(data) < cb:
            more = self.call(7, hBuffer=r['hBuffer'])
            idl.check(more['ErrorCode'] > 0, 'ReadBuffer answered %d' % more['ErrorCode'])
            data += to_bytes(more['data'])[:more['cbRead']]
        return data


def read_value(data, at):
    """One property value: (tag, value, next offset)."""
    tag, = struct.unpack_from('<L', data, at)
    at += 16
    kind = tag & 0xFFFF
    if kind == PT_STRING8:
        end = data.index(b'\0', at)
        return tag, data[at:end].decode('latin-1'), end + 1
    if kind == PT_BINARY:
        n, = struct.unpack_from('<L', data, at)
        return tag, data[at + 4:at + 4 + n], at + 4 + n
    return tag, data[at - 8:at], at


def read_rows(data):
    """A row set: presence, count, row entries, filler, then each row's values."""
    if not data or data[0] == 0:
        return []
    count, = struct.unpack_from('<L', data, 1)
    at = 5
    value_counts = []
    for _ in range(count):
        _, n, _ = struct.unpack_from('<LLL', data, at)
        value_counts.append(n)
        at += 12
    at += 12
    rows = []
    for n in value_counts:
        row = []
        for _ in range(n):
            tag, value, at = read_value(data, at)
            row.append((tag, value))
        rows.append(row)
    return rows


def main():
    server, idl_path, mapiprof, zelusers = sys.argv[1:5]
    ops = idl.parse_idl(idl_path)
    scratch = os.environ.get('VANTREL_TEST_TMPDIR', '/tmp/vantrel-impacket')
    for folder in (scratch, os.environ.get('ZEL_REGISTRY_DIR'), os.environ.get('ZEL_MAPI_DIR')):
        if folder:
            shutil.rmtree(folder, ignore_errors=True)
    home = os.path.join(scratch, 'home')
    os.makedirs(home)
    quiet = dict(stdout=subprocess.DEVNULL, check=True)
    subprocess.run([mapiprof, 'create', 'mailbox_jsmith'], **quiet)
    subprocess.run([mapiprof, 'add-pst', 'mailbox_jsmith', os.path.join(scratch, 'jsmith.pst'),
                    'Mailbox - John Smith'], **quiet)
    subprocess.run([zelusers, os.path.join(home, 'USERS.ZLF')], **quiet)

    port = idl.free_port()
    env = dict(os.environ, ZEL_RPC_ENDPOINT=str(port))
    proc = subprocess.Popen([server, '--home', home], stdout=subprocess.PIPE, text=True, env=env)
    try:
        for line in proc.stdout:
            if line.startswith('ZelServer listening'):
                break
        else:
            idl.check(False, 'ZelServer started')
        c = Client(port, ops)
        session = c.call(3, profile='mailbox_jsmith\0', storeName='Mailbox - John Smith\0', userName='jsmith\0',
                         password='secret\0', reserved='\0', workstation='impacket\0')['ErrorCode']
        idl.check(session > 0, 'logon gave a session (%x)' % (session & 0xFFFFFFFF))
        store = c.call(12, hSession=session)['ErrorCode']
        idl.check(store > 0, 'the session has a store')

        r = c.call(16, hObject=store, cTags=1, tags=longs([PR_IPM_SUBTREE_ENTRYID]), ulFlags=0)
        idl.check(r['ErrorCode'] == 0 and r['cValues'] == 1, 'GetProps of the IPM subtree entry ID')
        tag, subtree, _ = read_value(c.block(r), 0)
        idl.check(tag == PR_IPM_SUBTREE_ENTRYID and len(subtree) > 20, 'the IPM subtree entry ID')

        r = c.call(27, hStore=store, cbEntryID=len(subtree), entryID=subtree, fIid=0, ulFlags=MAPI_BEST_ACCESS)
        idl.check(r['ErrorCode'] == 0 and r['ulObjType'] == MAPI_FOLDER, 'OpenEntry of the IPM subtree')
        folder = r['hNewObject']
        table = c.call(39, hContainer=folder, ulFlags=0)['hTable']
        idl.check(table > 0, 'a hierarchy table')
        idl.check(c.call(69, hTable=table, cTags=1, tags=longs([PR_DISPLAY_NAME_A]), ulFlags=0)['ErrorCode'] == 0,
                  'SetColumns')
        r = c.call(64, hTable=table, lRowCount=100, ulFlags=0)
        idl.check(r['ErrorCode'] == 0, 'QueryRows')
        names = [value for row in read_rows(c.block(r)) for tag, value in row if tag == PR_DISPLAY_NAME_A]
        for expected in ('Inbox', 'Outbox', 'Sent Items', 'Deleted Items'):
            idl.check(expected in names, '%s listed in %r' % (expected, names))
        for h in (table, folder, session):
            c.call(2, hObject=h)
        print('ok: impacket logged on and listed %s' % ', '.join(names))
    finally:
        proc.terminate()
        rc = proc.wait(timeout=20)
    idl.check(rc == 0, 'ZelServer exited cleanly on SIGTERM (%d)' % rc)


if __name__ == '__main__':
    main()
