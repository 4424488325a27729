#!/usr/bin/python3
"""A test FTP server on pyftpdlib that misbehaves on request.

Started by the tests on 127.0.0.1 with a free port; prints "PORT <n>" on standard output once it listens
and runs until it is terminated. Every fault is chosen on the command line, so each test starts the server
it needs:

  --encoding cp932      names in commands, replies and listings in CP932 (default UTF-8)
  --listing FILE        LIST answers with the bytes of FILE instead of the folder's listing
  --drop-connects N     the first N connections are closed before the greeting
  --mdtm-failures N     the first N MDTM commands are answered 550
  --mdtm-fail NAME=N    the first N MDTM commands for the file NAME are answered 550, as while a file is
                        being replaced (may be given more than once)
  --mdtm-reply TEXT     MDTM is answered "213 TEXT" instead of the file's time
  --mdtm-drop           the control connection is closed when MDTM arrives
  --abort-after BYTES   RETR stops after BYTES: 426, then 226, as a server does that aborted the transfer
  --drop-after BYTES    RETR stops after BYTES and the control connection is closed
  --short-after BYTES   RETR ends after BYTES as if the file ended there: data connection closed, 226
  --slow-after BYTES    RETR pauses for --slow-seconds after BYTES, then goes on
  --fault-file NAME     the RETR faults above hit only the file NAME (default: every file)
  --faulty-retrs N      ... and only its first N transfers; later ones succeed (default: all)
  --replace NAME=SOURCE the first RETR of NAME finds it replaced by a copy of SOURCE (bytes and time), as
                        when the file is renewed on the server after the client listed it
  --refuse-size         SIZE is answered 502, as by a server that does not know the command
  --command-log FILE    every command received is appended to FILE, one line each (PASS without its
                        argument)
  --drop-connections LIST
                        the connections numbered in LIST ("2-11,15", counted from 1) are closed before
                        the greeting
  --cut-replies         the connections closed by --drop-connects, --drop-connections and --mdtm-drop are
                        closed after the first line of a multi-line reply ("220-", "213-") instead
  --delay-ms N          a slow link: every reply leaves N ms after its command arrived (replies to
                        commands sent together leave together, in order), and every data connection is
                        taken up N ms late (accepted in passive mode, connected in active mode)
  --no-mlst             MLST and MLSD are unknown and FEAT does not list them, as on a server that
                        offers only MDTM (with --mdtm-reply, MLSD gives that text as every file's time)
  --drop-pipelined N    the control connection is closed at the Nth MDTM that arrives with further
                        commands already waiting behind it, as by a server that cannot take commands
                        sent together; commands sent one at a time are answered as usual
  --swallow-pipelined   the second MDTM that arrives with further commands waiting behind it is never
                        answered, so that every later reply seems to answer the command before its own
  --pipelined CMD=HOW   the command CMD (TYPE, PASS, CWD...) that arrives with further commands waiting
                        behind it closes the connection (HOW "drop") or is answered 503 (HOW "refuse"),
                        as by servers that cannot take commands sent together; sent alone it is answered
                        as usual (may be given more than once)
"""

import argparse
import collections
import logging
import re
import os
import shutil
import sys
import time
import warnings

# pyftpdlib 1.5 is built on asynchat, which Python 3.11 reports as deprecated on every start.
warnings.filterwarnings("ignore", category=DeprecationWarning)
import asynchat  # noqa: E402

from pyftpdlib.authorizers import DummyAuthorizer  # noqa: E402
from pyftpdlib.filesystems import AbstractedFS  # noqa: E402
from pyftpdlib.handlers import ActiveDTP, FTPHandler, FileProducer, PassiveDTP  # noqa: E402
from pyftpdlib.servers import FTPServer  # noqa: E402


class Faults:
    encoding = "utf8"
    listing = None
    drop_connects = 0
    mdtm_failures = 0
    mdtm_fail = {}
    mdtm_reply = None
    mdtm_drop = False
    abort_after = -1
    drop_after = -1
    short_after = -1
    slow_after = -1
    slow_seconds = 0.0
    fault_file = None
    faulty_retrs = -1
    drop_connections = set()
    cut_replies = False
    replace = {}
    refuse_size = False
    command_log = None
    delay = 0.0
    drop_pipelined = 0
    swallow_pipelined = False
    pipelined = {}
    connects = 0
    pipelined_mdtms = 0
    mdtm_calls = 0
    faulty_retrs_done = 0

    @classmethod
    def retr_faulty(cls, name):
        """Whether this RETR misbehaves; counts it when it does."""
        if cls.abort_after < 0 and cls.drop_after < 0 and cls.slow_after < 0 and cls.short_after < 0:
            return False
        if cls.fault_file is not None and os.path.basename(name) != cls.fault_file:
            return False
        if 0 <= cls.faulty_retrs <= cls.faulty_retrs_done:
            return False
        cls.faulty_retrs_done += 1
        return True


def connection_numbers(text):
    numbers = set()
    for part in filter(None, text.split(",")):
        first, _, last = part.partition("-")
        numbers.update(range(int(first), int(last or first) + 1))
    return numbers


class EncodedFS(AbstractedFS):
    """Listings in the server's wire encoding; pyftpdlib itself writes them in UTF-8."""

    def format_list(self, basedir, listing, ignore_err=True):
        for line in super().format_list(basedir, listing, ignore_err):
            yield line.decode("utf8").encode(Faults.encoding)

    def format_mlsx(self, basedir, listing, perms, facts, ignore_err=True):
        for line in super().format_mlsx(basedir, listing, perms, facts, ignore_err):
            text = line.decode("utf8")
            if Faults.mdtm_reply is not None:
                # The same server time whichever way it is asked.
                text = re.sub(r"(?i)(^|;)modify=[^;]*;", lambda m: m.group(1) + "modify=%s;" % Faults.mdtm_reply,
                              text, count=1)
            yield text.encode(Faults.encoding)


class DelayedPassiveDTP(PassiveDTP):
    """Takes up an incoming data connection only after the link's delay."""

    def handle_accepted(self, sock, addr):
        if Faults.delay <= 0:
            return super().handle_accepted(sock, addr)
        self.ioloop.call_later(Faults.delay, super().handle_accepted, sock, addr)


class DelayedActiveDTP:
    """Connects to the client only after the link's delay; closed before that, it never connects."""

    def __init__(self, ip, port, cmd_channel):
        self.dtp = None
        self.call = cmd_channel.ioloop.call_later(Faults.delay, self._connect, ip, port, cmd_channel)

    def _connect(self, ip, port, cmd_channel):
        self.dtp = ActiveDTP(ip, port, cmd_channel)

    def close(self):
        if self.dtp is None:
            self.call.cancel()
        else:
            self.dtp.close()


class FaultProducer(FileProducer):
    """Sends the file and, once the configured number of bytes has gone out, injects the fault."""

    def __init__(self, file, type, handler):
        super().__init__(file, type)
        self.handler = handler
        self.sent = 0
        self.slowed = False

    def _limit(self):
        limits = [n for n in (Faults.abort_after, Faults.drop_after, Faults.short_after) if n >= 0]
        if Faults.slow_after >= 0 and not self.slowed:
            limits.append(Faults.slow_after)
        return min(limits) if limits else -1

    def more(self):
        limit = self._limit()
        if limit >= 0 and self.sent >= limit:
            if Faults.slow_after >= 0 and not self.slowed and self.sent >= Faults.slow_after:
                # Blocking on purpose: the client sees a stalled data connection.
                self.slowed = True
                time.sleep(Faults.slow_seconds)
                return self.more()
            if Faults.short_after >= 0 and self.sent >= Faults.short_after:
                # An empty chunk ends the file for asynchat: the data connection closes and 226 follows.
                return b""
            if Faults.abort_after >= 0:
                channel = self.handler.data_channel
                if channel is not None:
                    channel._resp = ("426 Connection closed; transfer aborted.", logging.info)
                    channel.close()
                self.handler.respond("226 Abort successful.")
            else:
                self.handler.close()
            # The channel is closed now; a non-empty chunk keeps asynchat from finishing the transfer.
            return b"\0"
        size = self.buffer_size if limit < 0 else min(self.buffer_size, limit - self.sent)
        data = self.file.read(size)
        self.sent += len(data)
        return data


class FaultHandler(FTPHandler):
    abstracted_fs = EncodedFS
    passive_dtp = DelayedPassiveDTP
    # sendfile() would bypass the producer that injects the faults.
    use_sendfile = False

    def __init__(self, *args, **kwargs):
        self._delayed = collections.deque()
        self._arrived = time.monotonic()
        super().__init__(*args, **kwargs)

    def decode(self, bytes):
        return bytes.decode(Faults.encoding, self.unicode_errors)

    def push(self, s):
        data = s.encode(Faults.encoding, "replace")
        self.after_delay(lambda: asynchat.async_chat.push(self, data))

    def close_when_done(self):
        self.after_delay(lambda: FTPHandler.close_when_done(self))

    def after_delay(self, action):
        """Runs the action (output on the control connection) the link's delay after the command that
        caused it arrived, behind every earlier one."""
        if Faults.delay <= 0:
            action()
            return
        self._delayed.append((max(self._arrived, time.monotonic() - Faults.delay) + Faults.delay, action))
        if len(self._delayed) == 1:
            self.call_later(max(0.0, self._delayed[0][0] - time.monotonic()), self._send_due)

    def _send_due(self):
        while self._delayed and self._delayed[0][0] <= time.monotonic() + 0.0005:
            _, action = self._delayed.popleft()
            if not self._closed:
                action()
        if self._delayed:
            self.call_later(max(0.0, self._delayed[0][0] - time.monotonic()), self._send_due)

    def found_terminator(self):
        self._arrived = time.monotonic()
        return super().found_terminator()

    def commands_waiting(self):
        """Whether a further command has arrived behind the one being served."""
        buffered = self.ac_in_buffer
        return bool(buffered) and b"\n" in (buffered if isinstance(buffered, bytes) else bytes(buffered))

    def handle(self):
        Faults.connects += 1
        if Faults.connects <= Faults.drop_connects or Faults.connects in Faults.drop_connections:
            self.hang_up("220-Welcome.")
            return
        super().handle()

    def hang_up(self, first_line):
        """Closes the control connection, after the first line of a reply when --cut-replies is given."""
        if not Faults.cut_replies:
            self.close()
            return
        self.push(first_line + "\r\n")
        self.close_when_done()

    def pre_process_command(self, line, cmd, arg):
        if Faults.command_log is not None:
            with open(Faults.command_log, "a", encoding="utf8") as log:
                log.write(("PASS" if cmd == "PASS" else line) + "\n")
        how = Faults.pipelined.get(cmd)
        if how is not None and self.commands_waiting():
            if how == "drop":
                self.ac_in_buffer = b""
                self.close()
            else:
                self.respond("503 Bad sequence of commands.")
            return
        return super().pre_process_command(line, cmd, arg)

    def ftp_SIZE(self, path):
        if Faults.refuse_size:
            self.respond("502 Command not implemented.")
            return
        return super().ftp_SIZE(path)

    def ftp_LIST(self, path):
        if Faults.listing is None:
            return super().ftp_LIST(path)
        with open(Faults.listing, "rb") as f:
            data = f.read()
        self.push_dtp_data(data, cmd="LIST")
        return path

    def ftp_MDTM(self, path):
        if (Faults.drop_pipelined or Faults.swallow_pipelined) and self.commands_waiting():
            Faults.pipelined_mdtms += 1
            if Faults.swallow_pipelined and Faults.pipelined_mdtms == 2:
                return
            if Faults.pipelined_mdtms == Faults.drop_pipelined:
                self.ac_in_buffer = b""
                self.close()
                return
        Faults.mdtm_calls += 1
        name = os.path.basename(path)
        if Faults.mdtm_fail.get(name, 0) > 0:
            Faults.mdtm_fail[name] -= 1
            self.respond("550 %s is being replaced." % name)
            return
        if Faults.mdtm_drop:
            self.hang_up("213-Time stamp follows.")
            return
        if Faults.mdtm_calls <= Faults.mdtm_failures:
            self.respond("550 Time stamp not available (try %d)." % Faults.mdtm_calls)
            return
        if Faults.mdtm_reply is not None:
            self.respond("213 %s" % Faults.mdtm_reply)
            return path
        return super().ftp_MDTM(path)

    def ftp_RETR(self, file):
        source = Faults.replace.pop(os.path.basename(file), None)
        if source is not None:
            shutil.copy2(source, file)
        if not Faults.retr_faulty(file):
            return super().ftp_RETR(file)
        try:
            fd = self.run_as_current_user(self.fs.open, file, "rb")
        except OSError as err:
            self.respond("550 %s." % err.strerror)
            return
        producer = FaultProducer(fd, self._current_type, self)
        self.push_dtp_data(producer, isproducer=True, file=fd, cmd="RETR")
        return file


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", default="towagi")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--encoding", default="utf8")
    parser.add_argument("--listing")
    parser.add_argument("--drop-connects", type=int, default=0)
    parser.add_argument("--mdtm-failures", type=int, default=0)
    parser.add_argument("--mdtm-fail", action="append", default=[])
    parser.add_argument("--mdtm-reply")
    parser.add_argument("--mdtm-drop", action="store_true")
    parser.add_argument("--abort-after", type=int, default=-1)
    parser.add_argument("--drop-after", type=int, default=-1)
    parser.add_argument("--short-after", type=int, default=-1)
    parser.add_argument("--slow-after", type=int, default=-1)
    parser.add_argument("--slow-seconds", type=float, default=0.0)
    parser.add_argument("--fault-file")
    parser.add_argument("--faulty-retrs", type=int, default=-1)
    parser.add_argument("--drop-connections", default="")
    parser.add_argument("--cut-replies", action="store_true")
    parser.add_argument("--replace", action="append", default=[])
    parser.add_argument("--refuse-size", action="store_true")
    parser.add_argument("--command-log")
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--no-mlst", action="store_true")
    parser.add_argument("--drop-pipelined", type=int, default=0)
    parser.add_argument("--swallow-pipelined", action="store_true")
    parser.add_argument("--pipelined", action="append", default=[])
    args = parser.parse_args()

    Faults.encoding = args.encoding
    Faults.listing = args.listing
    Faults.drop_connects = args.drop_connects
    Faults.mdtm_failures = args.mdtm_failures
    Faults.mdtm_fail = {name: int(count) for name, count in (item.rsplit("=", 1) for item in args.mdtm_fail)}
    Faults.mdtm_reply = args.mdtm_reply
    Faults.mdtm_drop = args.mdtm_drop
    Faults.abort_after = args.abort_after
    Faults.drop_after = args.drop_after
    Faults.short_after = args.short_after
    Faults.slow_after = args.slow_after
    Faults.slow_seconds = args.slow_seconds
    Faults.fault_file = args.fault_file
    Faults.faulty_retrs = args.faulty_retrs
    Faults.drop_connections = connection_numbers(args.drop_connections)
    Faults.cut_replies = args.cut_replies
    Faults.replace = dict(item.split("=", 1) for item in args.replace)
    Faults.refuse_size = args.refuse_size
    Faults.command_log = args.command_log
    Faults.delay = args.delay_ms / 1000.0
    Faults.drop_pipelined = args.drop_pipelined
    Faults.swallow_pipelined = args.swallow_pipelined
    Faults.pipelined = {cmd.upper(): how for cmd, how in (item.split("=", 1) for item in args.pipelined)}
    if any(how not in ("drop", "refuse") for how in Faults.pipelined.values()):
        parser.error("--pipelined: HOW is drop or refuse")
    if Faults.delay > 0:
        FaultHandler.active_dtp = DelayedActiveDTP
    if args.no_mlst:
        FaultHandler.proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items() if k not in ("MLST", "MLSD")}

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, os.path.abspath(args.root), perm="elr")
    FaultHandler.authorizer = authorizer
    # A rejected log-in is answered at once instead of after pyftpdlib's three seconds.
    FaultHandler.auth_failed_timeout = 0.01
    server = FTPServer(("127.0.0.1", 0), FaultHandler)
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
