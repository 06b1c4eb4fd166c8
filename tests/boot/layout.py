"""What the booted system is made of: the units checked, the lldpd stand-in's unit, the links."""

UNITS = ("tallowd.service", "tallowhost.service")
STANDIN = "/usr/libexec/tarvik-platform"
RECORD = "/run/lldpd-standin.json"
# The stand-in as the host's LLDP agent: records every request and transmits the blobs on the interfaces
# they name, with TTL 0 on clear, flush and stop.
LLDPD_UNIT = f"""[Unit]
Description=LLDP agent stand-in, recording the requests and transmitting the blobs

[Service]
ExecStart={STANDIN}/lldpd-standin --quiet --tx-interval 1 --record {RECORD}

[Install]
WantedBy=multi-user.target
"""
STRICT = "[Service]\nSystemCallErrorNumber=\n"
# Debian's exporter, installed in the cached root, whose textfile collector reads tallowhost's metrics.
EXPORTER = "prometheus-node-exporter.service"
EXPORTER_URL = ("127.0.0.1", 9100, "/metrics")
METRICS_FILE = "/var/lib/prometheus/node-exporter/tallowhost.prom"
# Users of the container only: one in group tallowhost, which may ask the agent (tallowhost show), one not.
SHOW_MEMBER, SHOW_OUTSIDER = "watcher", "outsider"
SHIPPED_HOST_OPTIONS = 'TALLOWHOST_OPTIONS=""\n'

# The links of the booted system: the switch side sw0 (tallowd's downlink, where the stand-in transmits)
# and the host side host0 (tallowhost's uplink), one veth pair.
SWITCH_IF, HOST_IF = "sw0", "host0"
SWITCH_V4, HOST_V4 = "192.0.2.1", "192.0.2.2"
SWITCH_V6, HOST_V6 = "2001:db8:a::1", "2001:db8:a::2"

# The exposure figures that the checks found, printed at the end of the run.
FIGURES = {}
