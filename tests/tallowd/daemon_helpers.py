"""Helpers for black-box tests of the installed daemon: start it in the sandbox, talk to its socket."""

import os
import signal
import socket
import struct
import time

SOCK = "/var/run/tallowd.sock"


def msg(msg_type, vrf=0, body=b"", ifindex=0, length=None):
    """One northbound message; `length` overrides the header's msg_len."""
    total = 12 + len(body) if length is None else length
    return struct.pack(">HBBII", total, msg_type, 0, vrf, ifindex) + body


def sync_begin(vrf, epoch):
    return msg(3, vrf, struct.pack(">I", epoch))


class Daemon:
    def __init__(self, sandbox, proc):
        self.sandbox = sandbox
        self.proc = proc
        self.log = sandbox.syslog

    def lines(self):
        return [l for l in self.log.lines() if l.ident == "tallowd"]

    def messages(self):
        return [l.message for l in self.lines()]

    def wait_for(self, pattern, timeout=5.0, start=0):
        return self.log.wait_for(pattern, timeout=timeout, ident="tallowd", start=start)

    def mark(self):
        return self.log.count()

    def kill(self, sig):
        self.proc.send_signal(sig)

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        status = self.proc.wait(timeout=10)
        self.log.sync()  # its last lines recorded before anyone reads them
        return status

    def enable_debug(self):
        self.sandbox.write("/var/run/tallowd.debug", "")
        start = self.mark()
        self.kill(signal.SIGHUP)
        self.wait_for(r"^debug logging enabled", start=start)

    def connect(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(SOCK)
        return s


def start_daemon(sandbox, frr=True, conf=None, wait=True):
    sandbox.set_groups(frr=frr)
    if conf is not None:
        sandbox.write("/etc/tarvik/tallowd.conf", conf)
    proc = sandbox.spawn([sandbox.prefix / "sbin" / "tallowd"])
    d = Daemon(sandbox, proc)
    if wait:
        d.wait_for(r"^tallowd started, waiting for FRR connection on /var/run/tallowd.sock$")
    return d


def wait_closed(sock, timeout=5.0):
    """True when the peer closed the connection within the timeout."""
    sock.settimeout(timeout)
    try:
        return sock.recv(1) == b""
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False
