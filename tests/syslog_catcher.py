"""Syslog catcher for the test sandbox: receives datagrams on a Unix socket (bound at /dev/log inside the
sandbox) and appends each line as one JSON record to a file, flushed at once."""

import json
import os
import re
import socket
import sys

# glibc writes "<PRI>Mmm dd hh:mm:ss ident[pid]: message" (no "[pid]" without LOG_PID).
LINE = re.compile(rb"^<(\d{1,3})>(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )?([^\[:\s]*)(?:\[(\d+)\])?: ?(.*)$", re.S)


def main():
    path, record = sys.argv[1], sys.argv[2]
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    tmp = path + ".bind"
    sock.bind(tmp)
    os.chmod(tmp, 0o666)
    os.rename(tmp, path)  # appears only once it is ready to receive
    with open(record, "a", buffering=1) as out:
        while True:
            data = sock.recv(65536)
            m = LINE.match(data.rstrip(b"\n\0"))
            if m:
                pri = int(m.group(1))
                rec = {"priority": pri & 7, "facility": pri >> 3, "ident": m.group(2).decode(errors="replace"),
                       "pid": int(m.group(3)) if m.group(3) else None,
                       "message": m.group(4).decode(errors="replace")}
            else:
                rec = {"priority": -1, "facility": -1, "ident": "", "pid": None,
                       "message": data.decode(errors="replace")}
            out.write(json.dumps(rec) + "\n")


if __name__ == "__main__":
    main()
