#!/usr/bin/python3
"""FTP server for the integration tests, built on pyftpdlib.

It listens on 127.0.0.1 on a free port, prints "PORT <n>" as the first line
of standard output, and serves until it receives SIGTERM, its standard input
reaches end of file (the test that started it has gone), or --timeout
seconds have passed. It never outlives the test that started it.

Without options it behaves as stock pyftpdlib does: it connects to the
client's data port as soon as it receives PORT, answers transfers with
"125 Data connection already open", and refuses wildcard listings with 550.

Options make it behave like other common servers (wildcard listings, the
size in the RETR reply, data connections opened after the transfer command)
or inject faults into transfers and into the control connection. Run it
with --help for the list.

Every command received is written, one per line, to the --log file (PASS
arguments masked), so a test can check which commands a client sent.

With --fault-once only the first fault that applies is injected; everything
after it (in the same or a later connection) is served normally, so a test
can check that a client recovers in its next session.
"""

import argparse
import ctypes
import fcntl
import fnmatch
import logging
import os
import posixpath
import signal
import socket
import struct
import sys
import termios
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import ActiveDTP, DTPHandler, FTPHandler, BufferedIteratorProducer
from pyftpdlib.ioloop import RetryError
from pyftpdlib.servers import FTPServer

logger = logging.getLogger("ftp_server")

# Reply codes a command gets when it succeeds; used when a fault answers a
# command with an oversized or unterminated reply, so that only the size or
# the missing line end is wrong.
USUAL_REPLY_CODE = {
    "USER": "331", "PASS": "230", "CWD": "250", "PWD": "257", "TYPE": "200",
    "PORT": "200", "REST": "350", "NLST": "150", "LIST": "150", "RETR": "150",
    "STOR": "150", "DELE": "250", "QUIT": "221", "NOOP": "200", "SYST": "215",
}

# Commands whose argument names a file; --fault-file narrows faults to them.
FILE_COMMANDS = ("RETR", "STOR", "DELE", "SIZE", "MDTM", "APPE")

# The control faults, in the order they are checked.
CONTROL_FAULTS = ("silent_after", "close_control_after", "huge_reply_after",
                  "unterminated_reply_after")

# Commands answered first by a preliminary reply (150/125) and later by a
# final one. --huge-reply-after on one of them enlarges the preliminary
# reply and lets the transfer go on, so that only the size is wrong.
TRANSFER_COMMANDS = ("RETR", "STOR", "APPE", "STOU", "LIST", "NLST", "MLSD")


class FaultBudget:
    """Whether a fault may still be injected (--fault-once: only one).

    The server runs all connections in one thread, so a plain flag is
    enough; it is shared by every connection of the process.
    """

    once = False
    spent = False

    @classmethod
    def take(cls):
        """True when a fault may be injected now; with --fault-once, the
        first call that returns True is the last one."""
        if cls.once and cls.spent:
            return False
        cls.spent = True
        return True


class CommandLog:
    """Appends each command received to a file, one line each, flushed at once."""

    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8", errors="replace") if path else None
        self._lock = threading.Lock()

    def write(self, line):
        if self._file is None:
            return
        if line[:5].upper() == "PASS ":
            line = line[:5] + "******"
        with self._lock:
            self._file.write(line.replace("\r", "\\r").replace("\n", "\\n") + "\n")
            self._file.flush()


def unsent_bytes(sock):
    """Bytes still in the kernel's send queue of sock (not yet acknowledged)."""
    try:
        raw = fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, struct.pack("i", 0))
        return struct.unpack("i", raw)[0]
    except OSError:
        return 0


class DeferredActiveDTP(ActiveDTP):
    """An active data connection opened after the transfer command.

    Stock pyftpdlib opens the connection when PORT arrives and then answers
    PORT with "200 Active data connection established". Here PORT has been
    answered already, so the connection is only handed to the data handler,
    and the preliminary reply of the transfer command has been sent.
    """

    def handle_connect(self):
        self.del_channel()
        if self._idler is not None and not self._idler.cancelled:
            self._idler.cancel()
        if not self.cmd_channel.connected:
            return self.close()
        err = self.socket.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if err != 0:
            raise socket.error(err)
        handler = self.cmd_channel.dtp_handler(self.socket, self.cmd_channel)
        self.cmd_channel.data_channel = handler
        self.cmd_channel._on_dtp_connection()


class FaultDTPHandler(DTPHandler):
    """A data handler that can cut a file in transit after a number of bytes.

    Outgoing (RETR): the cut travels with the producer (attribute
    fault_cut = (bytes, how)), set by the control handler when the RETR
    matches a fault. "reset" ends the connection abortively (SO_LINGER
    {1, 0}, so the client sees a reset) and answers 426; "close" closes it
    cleanly and answers with the configured code (226 by default: the
    server believes it sent it all); "cut" does the same but, over TLS,
    without close_notify.

    Incoming (STOR/APPE, --reset-stor-after N): once N bytes have been
    received (and written), the connection is reset the same way and the
    command answered 426; whatever the client sends after that is dropped.
    With --withhold-stor-reply the whole file is received and stored, but
    the final reply is never sent and the control connection goes silent.
    """

    def __init__(self, sock, cmd_channel):
        self._cut = None
        self._cut_started = False
        self._cut_deadline = 0.0
        self._recv_cut = None   # bytes to receive before a reset, or None
        self._withhold_reply = False
        self._late_reply = False  # the final reply is sent later by the control handler
        super().__init__(sock, cmd_channel)

    def enable_receiving(self, type, cmd):
        # file_obj is set before this is called, on both the 125 and the
        # 150 paths of pyftpdlib's STOR.
        super().enable_receiving(type, cmd)
        self.cmd_channel.hold_commands()
        name = posixpath.basename(self.file_obj.name) if self.file_obj is not None else None
        if cmd in ("STOR", "APPE") and self.cmd_channel._data_fault("reset_stor_after", name):
            self._recv_cut = self.cmd_channel.config.reset_stor_after
            # A small receive buffer: what the client can have handed to its
            # kernel by the time of the reset stays small, so with a large
            # enough file the client is still sending when the reset comes.
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
            if self._recv_cut <= 0:
                self.ioloop.call_later(0, self._reset_receiving, _errback=self.handle_error)
        elif cmd in ("STOR", "APPE") and self.cmd_channel._data_fault("withhold_stor_reply", name):
            self._withhold_reply = True

    def close(self):
        if self._closed:
            return
        if self._withhold_reply:
            # Silence the control connection first: the 226 that close()
            # sends is then dropped, and so is every later reply.
            logger.info("withholding the final reply of %s", self.cmd)
            self.cmd_channel._silenced = True
        cmd_channel = self.cmd_channel
        receiving = self.receive
        super().close()
        if receiving and not self._late_reply:
            cmd_channel.release_commands()

    def handle_read(self):
        if self._recv_cut is None:
            return super().handle_read()
        if self._closed:
            return
        try:
            chunk = self.recv(self.ac_in_buffer_size)
        except RetryError:
            return
        except socket.error:
            self.handle_error()
            return
        if not chunk:
            # The client ended the data before the cut: an ordinary end.
            self.transfer_finished = True
            return
        room = self._recv_cut - self.tot_bytes_received
        keep = chunk[:max(room, 0)]
        self.tot_bytes_received += len(keep)
        if keep:
            if self._data_wrapper is not None:
                keep = self._data_wrapper(keep)
            self.file_obj.write(keep)
        if self.tot_bytes_received >= self._recv_cut:
            self._reset_receiving()

    handle_read_event = handle_read

    def _reset_receiving(self):
        if self._closed:
            return
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.transfer_finished = False
        logger.info("STOR data connection reset after %d bytes", self.tot_bytes_received)
        if self.cmd_channel.config.reset_stor_control:
            # Both connections end abortively; there is no reply at all.
            cmd_channel = self.cmd_channel
            self._resp = ()
            self._late_reply = True
            self.close()
            cmd_channel.reset_connection()
            return
        reply = "426 Connection reset by server; transfer aborted."
        delay = self.cmd_channel.config.reset_stor_reply_delay
        if delay <= 0:
            self._resp = (reply, logger.debug)
            self.close()
            return
        # The reset goes out now, the 426 later: the client meets the reset
        # on its data connection before it learns the server's verdict.
        # Commands arriving meanwhile wait, so that replies stay in order.
        self._resp = ()
        self._late_reply = True
        self.cmd_channel.hold_commands_until(delay, reply)
        self.close()

    def push_with_producer(self, producer):
        self._cut = getattr(producer, "fault_cut", None)
        super().push_with_producer(producer)

    def use_sendfile(self):
        # sendfile() would bypass send(), where the byte count is kept.
        return self._cut is None and super().use_sendfile()

    def send(self, data):
        if self._cut is None:
            return super().send(data)
        room = self._cut[0] - self.tot_bytes_sent
        sent = super().send(data[:room]) if room > 0 else 0
        if self.tot_bytes_sent >= self._cut[0]:
            self._start_cut()
        return sent

    def _start_cut(self):
        if self._cut_started:
            return
        self._cut_started = True
        self._cut_deadline = time.monotonic() + 2.0
        self.ioloop.call_later(0, self._finish_cut, _errback=self.handle_error)

    def _finish_cut(self):
        if self._closed:
            return
        # Let the bytes already sent reach the client before cutting, so that
        # it receives exactly the announced part of the file.
        if unsent_bytes(self.socket) > 0 and time.monotonic() < self._cut_deadline:
            self.ioloop.call_later(0.005, self._finish_cut, _errback=self.handle_error)
            return
        how = self._cut[1]
        if how == "reset":
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self._resp = ("426 Connection reset by server; transfer aborted.", logger.debug)
        else:
            code = self.cmd_channel.config.close_data_reply
            text = "Transfer complete." if code.startswith("2") else "Transfer aborted."
            self._resp = ("%s %s" % (code, text), logger.debug)
            self.transfer_finished = code.startswith("2")
            if how == "cut":
                # Over TLS: the TCP connection ends without close_notify
                # (pyftpdlib skips the TLS shutdown of a connection in error).
                self._error = True
        logger.info("data connection %s after %d bytes", how, self.tot_bytes_sent)
        self.close()


class TestFTPHandler(FTPHandler):
    """The control connection handler: stock pyftpdlib plus test behaviours.

    config and command_log are set on the class by main().
    """

    config = None
    command_log = CommandLog(None)
    dtp_handler = FaultDTPHandler

    def __init__(self, conn, server, ioloop=None):
        super().__init__(conn, server, ioloop)
        self._pending_port = None   # (ip, port) of a PORT whose connection is deferred
        self._silenced = False      # a fault made the server stop answering
        self._enlarge_next_reply = False  # --huge-reply-after on a transfer command
        self._held = None           # commands waiting for a store (or its late reply) to end

    # --- replies in order
    #
    # pyftpdlib reads commands while a file is being received, so it could
    # answer a command sent after a STOR's data before the STOR itself. A
    # client matching replies to commands in order would then be misled by
    # the server, not by its own fault. Commands received while a store is
    # in progress (or while its late reply is due) wait, and are served in
    # order once the store's final reply has gone out.

    def hold_commands(self):
        if self._held is None:
            self._held = []

    def release_commands(self):
        held, self._held = self._held or [], None
        for i, (line, cmd, arg) in enumerate(held):
            if self._closed:
                return
            self._serve(line, cmd, arg)
            if self._held is not None:   # that command started another store
                self._held.extend(held[i + 1:])
                return

    def hold_commands_until(self, delay, reply):
        """Send reply in delay seconds; commands received until then are
        served after it."""
        self.hold_commands()

        def answer():
            if self._closed:
                return
            self.respond(reply)
            self.release_commands()
        self.ioloop.call_later(delay, answer, _errback=self.handle_error)

    def reset_connection(self):
        """Ends the control connection abortively (the client sees a reset)."""
        if self._closed:
            return
        logger.info("resetting the control connection")
        try:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.close()

    def respond(self, resp, logfun=logger.debug):
        if self._silenced:
            return   # e.g. the final reply of a transfer under --silent-after
        if self._enlarge_next_reply:
            self._enlarge_next_reply = False
            resp = resp[:3] + " " + "x" * (1 << 20)
        super().respond(resp, logfun)

    # --- fault selection

    def _fault_file_matches(self, name):
        wanted = self.config.fault_file
        return wanted is None or posixpath.basename(name or "") == wanted

    def _control_fault(self, cmd, arg):
        """The control fault that command cmd triggers, or None."""
        for fault in CONTROL_FAULTS:
            target = getattr(self.config, fault)
            if target is None or target.upper() != cmd:
                continue
            if self.config.fault_file is not None and cmd in FILE_COMMANDS:
                if not self._fault_file_matches(arg):
                    continue
            return fault if FaultBudget.take() else None
        return None

    def _data_fault(self, flag, name):
        """Whether the data fault option flag is set and applies to file name
        (and, with --fault-once, no fault has been injected yet)."""
        value = getattr(self.config, flag)
        return (value is not None and value is not False and self._fault_file_matches(name)
                and FaultBudget.take())

    # --- commands

    def pre_process_command(self, line, cmd, arg):
        self.command_log.write(line)
        # ABOR and STAT are meant for a transfer in progress: never held.
        if self._held is not None and cmd not in ("ABOR", "STAT"):
            self._held.append((line, cmd, arg))
            return
        self._serve(line, cmd, arg)

    def _serve(self, line, cmd, arg):
        if self._silenced:
            return
        fault = self._control_fault(cmd, arg)
        if fault == "silent_after":
            logger.info("silent from %s on", cmd)
            self._silenced = True
            return
        if fault == "close_control_after":
            logger.info("closing the control connection on %s", cmd)
            self.close()
            return
        if fault == "huge_reply_after" and cmd in TRANSFER_COMMANDS:
            # The transfer goes on; its first reply (normally the 150) is
            # sent with a 1 MiB text.
            self._enlarge_next_reply = True
        elif fault == "huge_reply_after":
            code = USUAL_REPLY_CODE.get(cmd, "200")
            self.push(code + " " + "x" * (1 << 20) + "\r\n")
            return
        if fault == "unterminated_reply_after":
            code = USUAL_REPLY_CODE.get(cmd, "200")
            self.push(code + " this reply line never ends")
            self._silenced = True
            return
        if (self.config.expand_wildcards and self.authenticated and cmd in ("LIST", "NLST")
                and self._has_pattern(arg)):
            self._list_matching(cmd, arg)
            return
        super().pre_process_command(line, cmd, arg)

    @staticmethod
    def _has_pattern(arg):
        return any(c in arg for c in "*?[")

    def _list_matching(self, cmd, arg):
        """NLST or LIST with glob patterns (several separated by blanks).

        NLST sends bare names (prefixed by the directory part of the pattern,
        if it has one), LIST long-format lines. With no match at all the
        reply is "450 No files found" and no data connection is opened.
        """
        matches = []   # (directory in the file system, name, name as sent)
        seen = set()
        for pattern in arg.split():
            if pattern.startswith("-"):
                continue   # ls-style options
            ftp_dir, name_pattern = posixpath.split(pattern)
            fs_dir = self.fs.ftp2fs(ftp_dir or self.fs.cwd)
            if not self.fs.validpath(fs_dir) or not self.fs.isdir(fs_dir):
                continue
            try:
                names = sorted(self.run_as_current_user(self.fs.listdir, fs_dir))
            except OSError:
                continue
            for name in names:
                if name.startswith(".") and not name_pattern.startswith("."):
                    continue
                if not fnmatch.fnmatchcase(name, name_pattern) or (fs_dir, name) in seen:
                    continue
                seen.add((fs_dir, name))
                matches.append((fs_dir, name, posixpath.join(ftp_dir, name) if ftp_dir else name))
        if not matches:
            self._pending_port = None
            self.respond("450 No files found.")
            self.log_cmd(cmd, arg, 450, "No files found.")
            return
        if cmd == "NLST":
            data = "".join(shown + "\r\n" for _, _, shown in matches)
            self.push_dtp_data(data.encode("utf8", self.unicode_errors), cmd="NLST")
        else:
            def lines():
                for fs_dir, name, _ in matches:
                    yield from self.fs.format_list(fs_dir, [name])
            self.push_dtp_data(BufferedIteratorProducer(lines()), isproducer=True, cmd="LIST")

    def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
        name = posixpath.basename(file.name) if file is not None else None
        if cmd == "RETR" and isproducer:
            if self._data_fault("reset_data_after", name):
                data.fault_cut = (self.config.reset_data_after, "reset")
            elif self._data_fault("close_data_after", name):
                data.fault_cut = (self.config.close_data_after, "close")
            elif self._data_fault("cut_data_after", name):
                data.fault_cut = (self.config.cut_data_after, "cut")
        if self.data_channel is not None or self._pending_port is None:
            return super().push_dtp_data(data, isproducer, file, cmd)
        # The data connection is opened now, after the preliminary reply.
        self.respond(self._preliminary_reply(cmd, file))
        self._out_dtp_queue = (data, isproducer, file, cmd)
        if cmd in ("RETR", "LIST", "NLST") and self._data_fault("no_data_connect", name):
            self._never_connect(cmd)
        else:
            self._connect_deferred()

    def _preliminary_reply(self, cmd, file):
        if cmd == "RETR" and self.config.announce_size and file is not None:
            try:
                size = os.fstat(file.fileno()).st_size - file.tell()
            except OSError:
                size = 0
            mode = "BINARY" if self._current_type == "i" else "ASCII"
            return "150 Opening %s mode data connection for %s (%d bytes)." % (
                mode, posixpath.basename(file.name), size)
        if cmd in ("LIST", "NLST"):
            return "150 Here comes the directory listing."
        return "150 File status okay. About to open data connection."

    def ftp_STOR(self, file, mode="w"):
        pending = self._pending_port if self.data_channel is None else None
        result = super().ftp_STOR(file, mode)
        if pending is not None and self._in_dtp_queue is not None:
            if self._data_fault("refuse_stor_data", file):
                self._pending_port = None
                logger.info("never connecting for STOR %s", file)
            else:
                self._connect_deferred()
        return result

    def _connect_deferred(self):
        ip, port = self._pending_port
        self._pending_port = None
        self._dtp_connector = DeferredActiveDTP(ip, port, self)

    def _never_connect(self, cmd):
        self._pending_port = None
        logger.info("never connecting for %s", cmd)
        delay = self.config.no_data_connect_reply_after
        if delay is None:
            return

        def give_up():
            if not self._closed and self._out_dtp_queue is not None:
                self._out_dtp_queue = None
                self.respond("425 Can't open data connection.")
        self.ioloop.call_later(delay, give_up, _errback=self.handle_error)

    def _make_eport(self, ip, port):
        if not self.config.defer_data_connect:
            return super()._make_eport(ip, port)
        # The checks stock pyftpdlib makes, then only remember the address.
        remote_ip = self.remote_ip[7:] if self.remote_ip.startswith("::ffff:") else self.remote_ip
        if not self.permit_foreign_addresses and ip != remote_ip:
            self.respond_w_warning("501 Rejected data connection to foreign address %s:%s." % (ip, port))
            return
        if not self.permit_privileged_ports and port < 1024:
            self.respond_w_warning('501 PORT against the privileged port "%s" refused.' % port)
            return
        self._shutdown_connecting_dtp()
        if self.data_channel is not None:
            self.data_channel.close()
            self.data_channel = None
        self._pending_port = (ip, port)
        self.respond("200 PORT command successful.")

    def _make_epasv(self, extmode=False):
        self._pending_port = None
        return super()._make_epasv(extmode)


def parse_args(argv):
    p = argparse.ArgumentParser(description="FTP server for the integration tests (127.0.0.1 only).")
    p.add_argument("--root", required=True, help="home directory of the user")
    p.add_argument("--user", default="user")
    p.add_argument("--password", default="pass")
    p.add_argument("--readonly", action="store_true", help='the user may only list and read ("elr")')
    p.add_argument("--timeout", type=float, default=300.0, help="exit after this many seconds")
    p.add_argument("--log", help="append every command received to this file")
    p.add_argument("--verbose", action="store_true", help="pyftpdlib debug output on stderr")
    p.add_argument("--no-stdin-watch", action="store_true",
                   help="do not exit when standard input reaches end of file")
    p.add_argument("--auth-failed-delay", type=float, default=0.5,
                   help="seconds before a refused login is answered (pyftpdlib: 3)")
    # Behaviours of other common servers.
    p.add_argument("--expand-wildcards", action="store_true",
                   help='NLST/LIST with glob patterns list the matches; no match: "450 No files found"')
    p.add_argument("--announce-size", action="store_true",
                   help='RETR answers "150 Opening BINARY mode data connection for NAME (N bytes)."')
    p.add_argument("--defer-data-connect", action="store_true",
                   help="answer PORT at once and connect after the transfer command's 150 "
                        "(implied by --expand-wildcards, --announce-size, --no-data-connect "
                        "and --refuse-stor-data)")
    # Data connection faults.
    p.add_argument("--fault-file", metavar="NAME",
                   help="restrict the faults to one file name: data faults to its transfers, "
                        "control faults on file commands (RETR, STOR, DELE...) to those naming it")
    p.add_argument("--reset-data-after", type=int, metavar="N",
                   help="reset the RETR data connection after N bytes (then 426)")
    p.add_argument("--close-data-after", type=int, metavar="N",
                   help="close the RETR data connection cleanly after N bytes")
    p.add_argument("--cut-data-after", type=int, metavar="N",
                   help="with --tls-cert: end a RETR data connection after N bytes without close_notify, "
                        "answering as --close-data-after does")
    p.add_argument("--tls-cert", metavar="FILE",
                   help="explicit FTPS with this certificate (PEM), required for logins and data")
    p.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    p.add_argument("--close-data-reply", default="226", metavar="CODE",
                   help="reply after --close-data-after's close (default 226)")
    p.add_argument("--no-data-connect", action="store_true",
                   help="accept PORT but never open the data connection for RETR/LIST/NLST")
    p.add_argument("--no-data-connect-reply-after", type=float, metavar="SECS",
                   help="with --no-data-connect: reply 425 after SECS (default: never)")
    p.add_argument("--refuse-stor-data", action="store_true",
                   help="never open the data connection for STOR")
    p.add_argument("--reset-stor-after", type=int, metavar="N",
                   help="reset the STOR data connection after receiving N bytes (then 426)")
    p.add_argument("--reset-stor-reply-delay", type=float, default=0.0, metavar="SECS",
                   help="with --reset-stor-after: send the 426 SECS after the reset (default 0)")
    p.add_argument("--reset-stor-control", action="store_true",
                   help="with --reset-stor-after: reset the control connection too, with no reply")
    p.add_argument("--withhold-stor-reply", action="store_true",
                   help="receive a STOR in full, then never send its final reply nor any other")
    p.add_argument("--fault-once", action="store_true",
                   help="inject only the first fault that applies; serve normally after it")
    # Control connection faults.
    p.add_argument("--silent-after", metavar="CMD", help="stop answering once CMD is received")
    p.add_argument("--close-control-after", metavar="CMD", help="close the control connection on CMD")
    p.add_argument("--huge-reply-after", metavar="CMD",
                   help="answer CMD with a single 1 MiB reply line (a transfer command: its "
                        "preliminary reply, then the transfer goes on)")
    p.add_argument("--unterminated-reply-after", metavar="CMD",
                   help="answer CMD with a reply line that never ends, then nothing more")
    args = p.parse_args(argv)
    if args.expand_wildcards or args.announce_size or args.no_data_connect or args.refuse_stor_data:
        args.defer_data_connect = True
    return args


def bound_lifetime(args):
    """Make sure the server ends with the test that started it."""
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    signal.signal(signal.SIGINT, lambda *_: os._exit(0))
    try:
        # Linux: a SIGTERM when the parent dies, whatever the way.
        PR_SET_PDEATHSIG = 1
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
        if os.getppid() == 1:
            os._exit(0)
    except (OSError, AttributeError):
        pass
    timer = threading.Timer(args.timeout, lambda: os._exit(3))
    timer.daemon = True
    timer.start()
    if not args.no_stdin_watch:
        def watch_stdin():
            try:
                while os.read(sys.stdin.fileno(), 4096):
                    pass
            except OSError:
                pass
            os._exit(0)
        threading.Thread(target=watch_stdin, daemon=True).start()


def tls_handler(args):
    """TestFTPHandler speaking explicit FTPS with TLS required for logins and
    data (pyftpdlib's TLS handlers, which need pyOpenSSL), its faults kept."""
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class TlsFaultDTPHandler(FaultDTPHandler, TLS_DTPHandler):
        pass

    class TlsTestFTPHandler(TestFTPHandler, TLS_FTPHandler):
        dtp_handler = TlsFaultDTPHandler
        proto_cmds = TLS_FTPHandler.proto_cmds
        certfile = args.tls_cert
        keyfile = args.tls_key
        tls_control_required = True
        tls_data_required = True

    return TlsTestFTPHandler


def main(argv):
    args = parse_args(argv)
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING, stream=sys.stderr,
                        format="ftp_server %(asctime)s %(message)s")
    if not args.verbose:
        logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
    bound_lifetime(args)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, os.path.abspath(args.root),
                        perm="elr" if args.readonly else "elradfmwMT")

    TestFTPHandler.config = args
    FaultBudget.once = args.fault_once
    TestFTPHandler.command_log = CommandLog(args.log)
    TestFTPHandler.authorizer = authorizer
    TestFTPHandler.auth_failed_timeout = args.auth_failed_delay
    TestFTPHandler.banner = "ready."

    handler = tls_handler(args) if args.tls_cert else TestFTPHandler
    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    server.serve_forever(handle_exit=False)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
