#!/usr/bin/python3
"""Calls rpc_testserver with python3-impacket, an independent DCE/RPC
implementation: small and large payloads both ways, the op-range and
bad-stub-data faults, and the refusal of an interface we do not serve.

usage: interop_test.py RPC_TESTSERVER
"""
import struct
import subprocess
import sys

from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

IFACE = ('e7d62c8d-ba26-4d96-a34b-05c4bd1cc1f6', '1.0')
OTHER = ('12345678-1234-abcd-ef00-0123456789ab', '1.0')
NDR64 = ('71710533-beba-4937-8319-b5dbef9ccc36', '1.0')


def start_server(binary):
    """Starts the test server on a free port; returns (process, port)."""
    proc = subprocess.Popen([binary, '0'], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith('listening on '):
        proc.kill()
        raise SystemExit('rpc_testserver did not start: %r' % line)
    return proc, int(line.split()[-1])


def stop_server(proc):
    proc.stdin.close()
    if proc.wait(timeout=20) != 0:
        raise SystemExit('rpc_testserver exited with %d' % proc.returncode)


def connect(port, iface=IFACE):
    t = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % port)
    dce = t.get_dce_rpc()
    dce.connect()
    dce.bind(uuidtup_to_bin(iface))
    return dce


def block(data):
    """A count followed by a conformant byte array of that many bytes."""
    n = len(data)
    pad = b'\0' * ((4 - n % 4) % 4)
    return struct.pack('<LL', n, n) + data + pad


def call(dce, opnum, stub):
    dce.call(opnum, stub)
    return dce.recv()


def expect_fault(dce, opnum, stub, name):
    try:
        call(dce, opnum, stub)
    except DCERPCException as e:
        if name not in str(e.error_string):
            raise SystemExit('opnum %d: expected %s, got %s' % (opnum, name, e.error_string))
        return
    raise SystemExit('opnum %d: expected the fault %s, got a response' % (opnum, name))


def check(cond, what):
    if not cond:
        raise SystemExit('FAILED: ' + what)
    print('ok:', what)


def exchange(port):
    """The interop conversation; raises SystemExit on the first mismatch."""
    dce = connect(port)

    for size in (0, 5, 1000, 70000, 200000):
        data = bytes((i * 13 + size) & 0xFF for i in range(size))
        reply = call(dce, 0, block(data))  # Echo: fragments both ways above the fragment size
        n, m = struct.unpack_from('<LL', reply)
        check(n == size and m == size and reply[8:8 + size] == data, 'echo of %d bytes' % size)

    for size in (3, 100000):
        reply = call(dce, 1, struct.pack('<L', size))  # Fill: large answer
        n, m = struct.unpack_from('<LL', reply)
        want = bytes((i * 7 + 1) & 0xFF for i in range(size))
        check(n == size and reply[8:8 + size] == want, 'fill of %d bytes' % size)

    data = bytes(range(256)) * 400
    count, total = struct.unpack('<LL', call(dce, 2, block(data)))  # Sum: large request
    check(count == len(data) and total == sum(data) & 0xFFFFFFFF, 'sum of %d bytes' % len(data))

    s = b'hello'
    reply = call(dce, 3, struct.pack('<LLL', 6, 0, 6) + s + b'\0')
    check(reply[12:18] == b'HELLO\0', 'string')

    expect_fault(dce, 5, b'', 'nca_s_op_rng_error')
    check(True, 'op-range fault')
    expect_fault(dce, 0, struct.pack('<LL', 100, 100) + b'short', 'rpc_x_bad_stub_data')
    check(True, 'bad-stub-data fault')
    expect_fault(dce, 3, struct.pack('<LLL', 6, 0, 6) + b'hel', 'rpc_x_bad_stub_data')
    check(True, 'bad-stub-data fault for a short string')
    reply = call(dce, 0, block(b'still here'))
    check(reply[8:18] == b'still here', 'association survives faults')

    assoc = struct.unpack('<Q', call(dce, 4, b''))[0]
    check(assoc != 0, 'association id')

    # A second presentation context on the same association.
    alt = dce.alter_ctx(uuidtup_to_bin(IFACE))
    reply = call(alt, 3, struct.pack('<LLL', 3, 0, 3) + b'ok\0')
    check(reply[12:15] == b'OK\0', 'call on an altered context')
    check(struct.unpack('<Q', call(alt, 4, b''))[0] == assoc, 'same association after alter_context')
    try:
        dce.alter_ctx(uuidtup_to_bin(OTHER))
    except DCERPCException as e:
        check('abstract_syntax_not_supported' in str(e.error_string), 'alter_context to another interface refused')
    else:
        raise SystemExit('FAILED: alter_context to another interface was accepted')
    dce.disconnect()

    # NDR64 is not spoken: the bind is refused.
    t = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % port)
    d64 = t.get_dce_rpc()
    d64.connect()
    try:
        d64.bind(uuidtup_to_bin(IFACE), transfer_syntax=NDR64)
    except DCERPCException as e:
        check('rejected' in str(e.error_string), 'bind offering only NDR64 is refused')
    else:
        raise SystemExit('FAILED: a bind offering only NDR64 was accepted')
    d64.disconnect()

    try:
        connect(port, OTHER)
    except DCERPCException as e:
        check('rejected' in str(e.error_string), 'bind of another interface is rejected (%s)' % e.error_string)
    else:
        raise SystemExit('FAILED: bind of another interface was accepted')


def main():
    proc, port = start_server(sys.argv[1])
    try:
        exchange(port)
    finally:
        stop_server(proc)
    print('interop: all checks passed')


if __name__ == '__main__':
    main()
