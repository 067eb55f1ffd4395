#!/usr/bin/python3
"""Calls every operation of a running ZelServer with python3-impacket, an
independent DCE/RPC and NDR implementation. The request and reply types are
built from protocol/zel.idl alone, so the test checks that the layout the
IDL states is the layout the server speaks.

usage: interop_test.py ZELSERVER ZEL_IDL
"""
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile

from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.dtypes import STR
from impacket.dcerpc.v5.ndr import (NDRCALL, NDRLONG, NDRSHORT, NDRSMALL, NDRSTRUCT, NDRUniConformantArray,
                                    NDRUniConformantVaryingArray, NDRUniFixedArray, NDRUniVaryingArray)
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

IFACE = ('e7d62c8d-ba26-4d96-a34b-05c4bd1cc1f6', '1.0')

MAPI_E_NO_SUPPORT = 0x80040102
MAPI_E_OBJECT_DELETED = 0x8004010A
MAPI_E_NOT_FOUND = 0x8004010F
MAPI_E_LOGON_FAILED = 0x80040111
MAPI_E_INVALID_WORKSTATION_ACCOUNT = 0x80040122


def nothing_result(op):
    """What each operation answers when its handles name nothing. The logon
    checks the user against the users file, the store identity logs on to
    the profile named; neither exists."""
    if op == 3:
        return MAPI_E_INVALID_WORKSTATION_ACCOUNT
    if op == 115:
        return MAPI_E_LOGON_FAILED
    if op in (0, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 73, 116):
        return MAPI_E_NO_SUPPORT
    if op in (1, 2, 52, 101, 102, 113, 114, 117):
        return 0
    if op in (6, 7, 100):
        return 0xFFFFFFFF
    if op == 9:
        return MAPI_E_INVALID_WORKSTATION_ACCOUNT
    if op == 118:
        return MAPI_E_NOT_FOUND
    if 30 <= op <= 72 or op in (119, 120):
        return MAPI_E_OBJECT_DELETED
    return 1


# ---- NDR types for the IDL's declarations ----

class Fixed16(NDRUniFixedArray):
    def getDataLen(self, data, offset=0):
        return 16


class Fixed512(NDRUniFixedArray):
    def getDataLen(self, data, offset=0):
        return 512


class Fixed64(NDRUniFixedArray):
    def getDataLen(self, data, offset=0):
        return 64


class LongArray(NDRUniConformantArray):
    item = NDRLONG


class Long64(NDRSTRUCT):
    structure = (('low', NDRLONG), ('high', NDRLONG))


class StatStg(NDRSTRUCT):
    structure = (('name', Fixed64), ('type', NDRLONG), ('size', Long64), ('mtime', Long64), ('ctime', Long64),
                 ('atime', Long64), ('mode', NDRLONG), ('locksSupported', NDRLONG), ('clsid', Fixed16),
                 ('stateBits', NDRLONG), ('reserved', NDRLONG))


class StatStgArray(NDRUniConformantVaryingArray):
    item = StatStg


class ByteVarying(NDRUniVaryingArray):
    item = 'c'


class ByteConfVarying(NDRUniConformantVaryingArray):
    item = 'c'


def ndr_type(decl):
    """(name, NDR class, default value) of one IDL parameter declaration."""
    attrs = re.match(r'\[([^\]]*)\]', decl).group(1)
    rest = decl[decl.index(']') + 1:].strip()
    if rest.startswith('['):  # never: attributes are merged
        raise ValueError(decl)
    m = re.match(r'(\w+)\s*(\*?)\s*(\w+)(\[(\d+)\])?$', rest)
    ctype, ptr, name, dim = m.group(1), m.group(2), m.group(3), m.group(5)
    if 'string' in attrs:
        return name, STR, '\x00'
    if ctype == 'long' and not dim:
        if 'size_is' in attrs:
            return name, LongArray, []
        return name, NDRLONG, 0
    if ctype == 'short':
        return name, NDRSHORT, 0
    if ctype == 'byte' and dim == '16':
        return name, Fixed16, b'\0' * 16
    if ctype == 'byte' and dim == '512':
        return name, Fixed512, b'\0' * 512
    if ctype == 'byte' and dim == '32768':
        return name, ByteVarying, b''
    if ctype == 'byte' and ptr and 'length_is' in attrs:
        return name, ByteConfVarying, b''
    if ctype == 'byte' and ptr:
        return name, NDRUniConformantArray, b''
    if ctype == 'byte':
        return name, NDRSMALL, 0
    if ctype == 'ZEL_LONG64':
        return name, Long64, None
    if ctype == 'ZEL_STATSTG':
        return name, (StatStgArray if 'size_is' in attrs else StatStg), None
    raise ValueError('unknown declaration: ' + decl)


def parse_idl(path):
    """The operations of the IDL: {opnum: (name, has_result, [(dir, decl)])}."""
    text = open(path).read()
    ops = {}
    for m in re.finditer(r'\[opnum\((\d+)\)\]\s+(long|void)\s+(\w+)\((.*?)\);', text, re.S):
        params = []
        for line in m.group(4).split(',\n'):
            line = line.strip()
            if not line:
                continue
            d = re.match(r'\[(in, out|in|out)', line).group(1)
            params.append((d, line))
        ops[int(m.group(1))] = (m.group(3), m.group(2) == 'long', params)
    return ops


def make_classes(opnum, name, has_result, params):
    req, resp = [], []
    for d, decl in params:
        field = ndr_type(decl)[:2]
        if 'in' in d.split(', '):
            req.append(field)
        if 'out' in d.split(', '):
            resp.append(field)
    if has_result:
        resp.append(('ErrorCode', NDRLONG))
    request = type(name, (NDRCALL,), {'opnum': opnum, 'structure': tuple(req)})
    response = type(name + 'Response', (NDRCALL,), {'structure': tuple(resp)})
    return request, response


def fill(request, params, handle):
    for d, decl in params:
        if 'in' not in d.split(', '):
            continue
        name, cls, default = ndr_type(decl)
        if cls is Long64:
            request[name]['low'] = 0
            request[name]['high'] = 0
        elif cls is NDRLONG and name.startswith('h'):
            request[name] = handle
        elif default is not None:
            request[name] = default


# ---- the server ----

def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def check(cond, what):
    if not cond:
        raise SystemExit('FAILED: ' + what)


def main():
    server, idl = sys.argv[1], sys.argv[2]
    ops = parse_idl(idl)
    check(sorted(ops) == list(range(122)), 'the IDL lists 122 operations')
    port = free_port()
    scratch = os.environ.get('VANTREL_TEST_TMPDIR')
    if scratch:
        os.makedirs(scratch, exist_ok=True)
    home = tempfile.mkdtemp(dir=scratch)
    env = dict(os.environ, ZEL_RPC_ENDPOINT=str(port))
    proc = subprocess.Popen([server, '--home', home], stdout=subprocess.PIPE, text=True, env=env)
    try:
        line = proc.stdout.readline()
        check(line.startswith('ZelServer listening'), 'ZelServer started: %r' % line)
        t = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % port)
        dce = t.get_dce_rpc()
        dce.connect()
        dce.bind(uuidtup_to_bin(IFACE))

        for opnum in range(122):
            name, has_result, params = ops[opnum]
            request_cls, response_cls = make_classes(opnum, name, has_result, params)
            request = request_cls()
            fill(request, params, 555)
            dce.call(opnum, request)
            answer = dce.recv()
            response = response_cls(answer)
            check(len(response.getData()) == len(answer), '%s: the reply has the IDL layout' % name)
            if has_result:
                got = response['ErrorCode'] & 0xFFFFFFFF
                check(got == nothing_result(opnum), '%s answered %x, not %x' % (name, got, nothing_result(opnum)))
            if opnum == 117:
                check((response['value1'], response['value2'], response['value3']) == (1800, 0, 0), 'op 117 values')

        # The 8-bit selector with an entry ID, through impacket's own coding.
        name, has_result, params = ops[41]
        request_cls, response_cls = make_classes(41, name, has_result, params)
        request = request_cls()
        fill(request, params, 555)
        request['cbEntryID'] = 3
        request['entryID'] = b'\x01\x02\x03'
        request['fIid'] = 1
        dce.call(41, request)
        check(response_cls(dce.recv())['ErrorCode'] & 0xFFFFFFFF == MAPI_E_OBJECT_DELETED, 'OpenEntry, 8-bit flag')

        # Truncated stub data is refused with fault 1783 before anything runs.
        try:
            dce.call(14, struct.pack('<L', 1) + b'\x02')
            dce.recv()
            check(False, 'truncated stub data got a response')
        except DCERPCException as e:
            check('rpc_x_bad_stub_data' in str(e).lower() or '0x6f7' in str(e).lower(), 'fault 1783: %s' % e)
        print('ok: 122 operations through impacket')
    finally:
        proc.terminate()
        rc = proc.wait(timeout=20)
    check(rc == 0, 'ZelServer exited cleanly on SIGTERM (%d)' % rc)


if __name__ == '__main__':
    main()
