#!/usr/bin/env python3
"""An SSH server (paramiko) on 127.0.0.1 whose SFTP subsystem (version 3)
behaves oddly but within the protocol, or breaks it on request:

    python3 odd_sftp_server.py ROOT

It prints "PORT n" once it listens, takes any password, makes a new ECDSA
host key per run, and ends when its standard input closes or after two
minutes.

- Reads are answered short (fewer bytes than asked, the length varying
  with the offset, whole answers now and then), and the answers to all the
  requests waiting at one time go out in reverse order.
- Listing the folder "flood" never ends: name packets of 1000 entries.
- The attributes of "huge" come as a packet header announcing 1 GiB, then
  silence.
Open, close and stat of the files under ROOT work plainly.
"""
import os
import socket
import struct
import sys
import threading
import time

import paramiko

ROOT = sys.argv[1]


class Stop(Exception):
    pass


def sstr(b):
    return struct.pack(">I", len(b)) + b


def attrs(st):
    return struct.pack(">IQIIIII", 0x1 | 0x2 | 0x4 | 0x8, st.st_size, st.st_uid, st.st_gid, st.st_mode,
                       int(st.st_atime), int(st.st_mtime))


def short_length(offset, length):
    if (offset // 4096) % 5 == 0:
        return length
    return max(1, min(length, 1 + (offset * 7919) % (length + 1)))


class Session:
    def __init__(self, channel):
        self.channel = channel
        self.handles = {}
        self.count = 0
        self.buf = bytearray()

    def send(self, ptype, body):
        self.channel.sendall(struct.pack(">IB", len(body) + 1, ptype) + body)

    def status(self, rid, code, msg=b""):
        self.send(101, struct.pack(">II", rid, code) + sstr(msg) + sstr(b""))

    def packets(self, block):
        """The complete packets received so far; waits for one when block."""
        out = []
        while True:
            while len(self.buf) >= 4 and len(self.buf) >= 4 + struct.unpack(">I", self.buf[:4])[0]:
                n = struct.unpack(">I", self.buf[:4])[0]
                out.append(bytes(self.buf[4:4 + n]))
                del self.buf[:4 + n]
            if out or not block:
                if not self.channel.recv_ready():
                    return out
            chunk = self.channel.recv(1 << 20)
            if not chunk:
                raise Stop()
            self.buf.extend(chunk)

    @staticmethod
    def string(p, at):
        n = struct.unpack(">I", p[at:at + 4])[0]
        return p[at + 4:at + 4 + n], at + 4 + n

    def answer(self, p):
        ptype = p[0]
        rid = struct.unpack(">I", p[1:5])[0]
        if ptype == 3:  # OPEN
            path, _ = self.string(p, 5)
            try:
                f = open(os.path.join(ROOT, path.decode()), "rb")
            except OSError:
                return self.status(rid, 2, b"no such file")
            self.count += 1
            h = b"h%d" % self.count
            self.handles[h] = f
            self.send(102, struct.pack(">I", rid) + sstr(h))
        elif ptype == 5:  # READ
            h, at = self.string(p, 5)
            offset, length = struct.unpack(">QI", p[at:at + 12])
            f = self.handles.get(h)
            if f is None:
                return self.status(rid, 4, b"bad handle")
            f.seek(offset)
            data = f.read(short_length(offset, length))
            if not data:
                return self.status(rid, 1, b"end of file")
            self.send(103, struct.pack(">I", rid) + sstr(data))
        elif ptype == 4:  # CLOSE
            h, _ = self.string(p, 5)
            f = self.handles.pop(h, None)
            if hasattr(f, "close"):
                f.close()
            self.status(rid, 0)
        elif ptype in (7, 17):  # LSTAT, STAT
            path, _ = self.string(p, 5)
            if path == b"huge":
                self.channel.sendall(struct.pack(">I", 1 << 30) + b"\x69")
                time.sleep(60)
                raise Stop()
            try:
                st = os.stat(os.path.join(ROOT, path.decode()))
            except OSError:
                return self.status(rid, 2, b"no such file")
            self.send(105, struct.pack(">I", rid) + attrs(st))
        elif ptype == 11:  # OPENDIR
            path, _ = self.string(p, 5)
            self.count += 1
            h = b"d%d" % self.count
            self.handles[h] = path
            self.send(102, struct.pack(">I", rid) + sstr(h))
        elif ptype == 12:  # READDIR
            h, _ = self.string(p, 5)
            if self.handles.get(h) != b"flood":
                return self.status(rid, 1, b"end")
            st = os.stat(ROOT)
            body = bytearray(struct.pack(">II", rid, 1000))
            for i in range(1000):
                name = b"f%d" % (self.count * 1000 + i)
                body += sstr(name) + sstr(name) + attrs(st)
            self.count += 1
            self.send(104, bytes(body))
        else:
            self.status(rid, 8, b"not offered here")

    def run(self):
        try:
            pending = self.packets(True)
            if pending.pop(0)[0] != 1:
                return
            self.send(2, struct.pack(">I", 3))
            while True:
                pending += self.packets(not pending)
                # Everything waiting now is answered, the last asked first.
                batch, pending = pending, []
                for p in reversed(batch):
                    self.answer(p)
        except (Stop, OSError, EOFError):
            pass
        finally:
            self.channel.close()


class Server(paramiko.ServerInterface):
    def check_channel_request(self, kind, chanid):
        if kind == "session":
            return paramiko.OPEN_SUCCEEDED
        return paramiko.OPEN_FAILED_ADMINISTRATIVELY_PROHIBITED

    def get_allowed_auths(self, username):
        return "password"

    def check_auth_password(self, username, password):
        return paramiko.AUTH_SUCCESSFUL

    def check_channel_subsystem_request(self, channel, name):
        if name != "sftp":
            return False
        threading.Thread(target=Session(channel).run, daemon=True).start()
        return True


def serve(sock, key):
    transport = paramiko.Transport(sock)
    transport.add_server_key(key)
    transport.start_server(server=Server())


def main():
    key = paramiko.ECDSAKey.generate()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    # Ends with the test (its end of our stdin closes), or after two minutes.
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    threading.Timer(120, lambda: os._exit(0)).start()
    while True:
        sock, _ = listener.accept()
        # Each connection on a thread of its own: a client that hangs up in
        # the middle of the handshake (a refused host key) never holds up
        # the next one.
        threading.Thread(target=serve, args=(sock, key), daemon=True).start()


main()
