#!/usr/bin/python3
"""Captures the interop exchange on loopback and has tshark decode it as
DCE/RPC: every PDU must decode without a malformed mark or an expert
error. Exits 77 (skipped) when this machine does not allow capturing.

usage: capture_test.py RPC_TESTSERVER INTEROP_TEST_PY
"""
import importlib.util
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77


def skip(why):
    print('SKIPPED: ' + why)
    sys.exit(SKIP)


def load_interop(path):
    spec = importlib.util.spec_from_file_location('interop_test', path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def start_capture(port, pcap):
    """Starts tshark on lo; returns the process once packets to the port
    reach it, or None."""
    cap = subprocess.Popen(['tshark', '-i', 'lo', '-f', 'tcp port %d' % port, '-w', pcap, '-P', '-l'],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seen = threading.Event()
    lines = []

    def watch(stream, keep):
        for line in stream:
            if keep:
                lines.append(line)
            else:
                seen.set()
    threading.Thread(target=watch, args=(cap.stderr, True), daemon=True).start()
    threading.Thread(target=watch, args=(cap.stdout, False), daemon=True).start()
    # "Capturing on" comes before the filter is in place: probe with empty
    # connections until the capture shows one.
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and not seen.is_set() and cap.poll() is None:
        try:
            socket.create_connection(('127.0.0.1', port), timeout=1).close()
        except OSError:
            pass
        seen.wait(0.3)
    if not seen.is_set():
        cap.kill()
        cap.wait()
        print(''.join(lines))
        return None
    return cap


def main():
    server_bin, interop_path = sys.argv[1], sys.argv[2]
    if not shutil.which('tshark'):
        skip('tshark is not installed')
    interop = load_interop(interop_path)
    tmp = os.environ.get('VANTREL_TEST_TMPDIR') or tempfile.mkdtemp()
    os.makedirs(tmp, exist_ok=True)
    pcap = os.path.join(tmp, 'rpc.pcapng')
    if os.path.exists(pcap):
        os.remove(pcap)

    proc, port = interop.start_server(server_bin)
    try:
        cap = start_capture(port, pcap)
        if cap is None:
            skip('capturing on lo is not permitted here')
        try:
            interop.exchange(port)
            time.sleep(0.5)  # let the last segments reach the capture
        finally:
            cap.send_signal(signal.SIGINT)
            cap.wait(timeout=20)
    finally:
        interop.stop_server(proc)

    decode = ['tshark', '-r', pcap, '-d', 'tcp.port==%d,dcerpc' % port]
    pdus = subprocess.run(decode + ['-Y', 'dcerpc', '-T', 'fields', '-e', 'dcerpc.pkt_type'],
                          capture_output=True, text=True, check=True).stdout.split()
    types = set(t for line in pdus for t in line.split(','))
    print('decoded %d DCE/RPC frames, packet types %s' % (len(pdus), sorted(types, key=int)))
    # request, response, fault, bind, bind_ack, bind_nak, alter_context and
    # its answer must all be seen.
    for t in ('0', '2', '3', '11', '12', '13', '14', '15'):
        if t not in types:
            raise SystemExit('FAILED: no PDU of type %s in the capture' % t)
    bad = subprocess.run(decode + ['-Y', '_ws.malformed || _ws.expert.severity >= 0x00800000'],
                         capture_output=True, text=True, check=True).stdout
    if bad.strip():
        print(bad)
        expert = subprocess.run(decode + ['-q', '-z', 'expert,error'], capture_output=True, text=True).stdout
        print(expert)
        raise SystemExit('FAILED: malformed frames or expert errors in the capture')
    print('capture: no malformed frame, no expert error')


if __name__ == '__main__':
    main()
