#!/usr/bin/env python3
"""Interoperability: impacket's DCE/RPC client (an independent implementation from Debian's
python3-impacket) drives the runtime's test server over its Unix socket: a Windows-style bind
with NDR64 and bind-time feature negotiation, a call of every parameter shape, fragmented
requests, faults and a clean stop.

usage: impacket_interop_test.py <path to rpc_test_server>
Exits 77 (skipped) when impacket is not installed."""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
try:
    from impacket.dcerpc.v5 import rpcrt, transport
    from impacket.dcerpc.v5.dtypes import LONG, WSTR
    from impacket.dcerpc.v5.ndr import NDRCALL, NDRSHORT, NDRUniConformantArray
    from impacket.uuid import uuidtup_to_bin
except ImportError:
    print("impacket is not installed: skipped")
    sys.exit(SKIP)

TEST_IF = uuidtup_to_bin(("4f1d7a52-6c1e-4b8e-9d7f-0a5b3c2e1d90", "1.0"))
NDR = uuidtup_to_bin(("8a885d04-1ceb-11c9-9fe8-08002b104860", "2.0"))
NDR64 = uuidtup_to_bin(("71710533-beba-4937-8319-b5dbef9ccc36", "1.0"))
FEATURES = uuidtup_to_bin(("6cb71c2c-9812-4540-0300-000000000000", "1.0"))
ENDPOINT = "\\pipe\\NxRpcInterop"


class UnixTransport(transport.DCERPCTransport):
    """A minimal impacket transport over a Unix stream socket (one PDU per recv)."""

    def __init__(self, path):
        transport.DCERPCTransport.__init__(self, "localhost", 0)
        self.path = path
        self.sock = None

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(10)
        self.sock.connect(self.path)
        return 1

    def disconnect(self):
        self.sock.close()
        return 1

    def send(self, data, forceWriteAndx=0, forceRecv=0):
        self.sock.sendall(data)

    def _exact(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise ConnectionError("server closed the connection")
            buf += chunk
        return buf

    def recv(self, forceRecv=0, count=0):
        if count:
            return self._exact(count)
        header = self._exact(16)
        frag_len = struct.unpack_from("<H", header, 8)[0]
        return header + self._exact(frag_len - 16)

    def get_socket(self):
        return self.sock


class WCharArray(NDRUniConformantArray):
    item = "<H"


class Char(NDRCALL):
    opnum = 1
    structure = (("C", NDRSHORT),)


class Text(NDRCALL):
    opnum = 2
    structure = (("S", WSTR),)


class Array(NDRCALL):
    opnum = 3
    structure = (("Buf", WCharArray),)


class ArrayResponse(NDRCALL):
    structure = (("Buf", WCharArray), ("Result", LONG))


class Write(NDRCALL):
    opnum = 4
    structure = (("Doc", WSTR),)


class WriteResponse(NDRCALL):
    structure = (("Id", WSTR), ("Time", WSTR), ("Result", LONG))


class TwoTexts(NDRCALL):
    opnum = 5
    structure = (("A", WSTR), ("B", WSTR))


class LongResponse(NDRCALL):
    structure = (("Result", LONG),)


failures = []


def check(what, cond, detail=""):
    print(("ok   " if cond else "FAIL ") + what + (": " + str(detail) if detail and not cond else ""))
    if not cond:
        failures.append(what)


def call(dce, request):
    dce.call(request.opnum, request)
    return dce.recv()


def wstr(text):
    return text + "\x00"


def windows_style_bind(path):
    """Three contexts in one bind, as a Windows client sends them."""
    bind = rpcrt.MSRPCBind()
    for ctx_id, syntax in ((0, NDR), (1, NDR64), (2, FEATURES)):
        item = rpcrt.CtxItem()
        item["ContextID"] = ctx_id
        item["TransItems"] = 1
        item["AbstractSyntax"] = TEST_IF
        item["TransferSyntax"] = syntax
        bind.addCtxItem(item)
    packet = rpcrt.MSRPCHeader()
    packet["type"] = rpcrt.MSRPC_BIND
    packet["pduData"] = bind.getData()
    packet["call_id"] = 1
    t = UnixTransport(path)
    t.connect()
    t.send(packet.get_packet())
    ack = rpcrt.MSRPCBindAck(t.recv())
    t.disconnect()
    check("bind_ack type", ack["type"] == rpcrt.MSRPC_BINDACK)
    addr = ack["SecondaryAddr"]
    addr = addr.decode() if isinstance(addr, bytes) else addr
    check("secondary address names the pipe", addr.rstrip("\x00") == "\\PIPE\\NxRpcInterop", addr)
    check("secondary address length counts the NUL", ack["SecondaryAddrLen"] == 19, ack["SecondaryAddrLen"])
    check("three results", ack["ctx_num"] == 3, ack["ctx_num"])
    results = [(ack.getCtxItem(i)["Result"], ack.getCtxItem(i)["Reason"]) for i in range(1, 4)]
    check("NDR accepted", results[0] == (0, 0), results[0])
    check("NDR64 rejected: proposed transfer syntaxes not supported", results[1] == (2, 2), results[1])
    check("feature negotiation answered with negotiate_ack", results[2][0] == 3, results[2])
    check("NDR transfer syntax echoed", ack.getCtxItem(1)["TransferSyntax"] == NDR)


def calls(path):
    t = UnixTransport(path)
    dce = rpcrt.DCERPC_v5(t)
    dce.connect()
    dce.bind(TEST_IF)

    r = Char()
    r["C"] = 0x263A
    check("single wide character", LongResponse(call(dce, r))["Result"] == 0x263A)

    r = Text()
    r["S"] = wstr("h\u00e9llo")
    check("string", LongResponse(call(dce, r))["Result"] == 5)

    r = Array()
    r["Buf"] = [(i % 97) + 1 for i in range(3000)]  # 6004 bytes: a fragmented request
    resp = ArrayResponse(call(dce, r))
    check("fixed 3000-unit array comes back reversed",
          list(resp["Buf"]) == [(i % 97) + 1 for i in reversed(range(3000))])
    check("array result", resp["Result"] == 3000, resp["Result"])

    r = Write()
    r["Doc"] = wstr("x" * 450)
    resp = WriteResponse(call(dce, r))
    ident, when = resp.fields["Id"], resp.fields["Time"]
    check("identifier text cut to its 400-unit buffer",
          (ident["MaximumCount"], ident["ActualCount"], resp["Id"]) == (400, 400, "x" * 399 + "\x00"),
          (ident["MaximumCount"], ident["ActualCount"]))
    check("time text in its 40-unit buffer",
          (when["MaximumCount"], resp["Time"]) == (40, "2026/12/06 01:02:03\x00"), (when["MaximumCount"], resp["Time"]))

    dce.set_max_fragment_size(1000)  # many small request fragments
    r = TwoTexts()
    r["A"] = wstr("a" * 1234)
    r["B"] = wstr("b" * 4321)
    check("fragmented two-string request", LongResponse(call(dce, r))["Result"] == 1234 * 1000 + 4321)
    dce.set_max_fragment_size(0)

    for opnum, stub, status in ((99, b"", "nca_s_op_rng_error"),
                                (2, struct.pack("<III", 1, 0, 2) + b"a\x00\x00\x00", "rpc_x_bad_stub_data"),
                                (3, struct.pack("<I", 2999) + b"\x00" * 5998, "rpc_x_bad_stub_data")):
        try:
            dce.call(opnum, stub)
            dce.recv()
            check("fault " + status, False, "no fault")
        except rpcrt.DCERPCException as e:
            check("fault " + status, status in str(e), str(e))

    r = Char()
    r["C"] = 0x41
    check("connection still serves after faults", LongResponse(call(dce, r))["Result"] == 0x41)
    dce.call(7, b"")  # Stop: the stopping call still gets its reply
    dce.recv()
    check("stop call answered", True)
    dce.disconnect()


def main():
    server_bin = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, NX_PIPE_DIR=os.path.join(tmp, "pipes"))
        proc = subprocess.Popen([server_bin, ENDPOINT], env=env, stdout=subprocess.PIPE)
        try:
            line = proc.stdout.readline()
            if line.strip() != b"listening":
                print("server did not start")
                return 1
            path = os.path.join(tmp, "pipes", "nxrpcinterop")
            windows_style_bind(path)
            calls(path)
            code = proc.wait(timeout=10)
            check("server exits cleanly after stop", code == 0, code)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
