"""``python -m quillmarsh.devservice``: run the local signal service until SIGINT or SIGTERM.

On start it prints, one line each, ``QUILLMARSH_BASE_URL=<url>``, when no token was
given ``QUILLMARSH_TOKEN=<generated token>``, and with ``--tls``
``SSL_CERT_FILE=<PEM of the certificate authority>``: the variable through which httpx,
and so the client's default transport, trusts that authority (and only it).
"""

from __future__ import annotations

import argparse
import json
import signal
import sys
import threading

from .catalog import default_catalog
from .server import DEFAULT_IDLE_TIMEOUT, DEFAULT_MAX_CONNECTIONS, start
from .tls import TLSUnavailable


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {text}")
    return value


def _seconds(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {text}")
    return value


def _positive_count(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {text}")
    return value


def _positive_seconds(text: str) -> float:
    value = float(text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m quillmarsh.devservice",
                                     description="Local signal service for developing and testing clients.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=_count, default=0, help="port to listen on (default 0: a free port)")
    parser.add_argument("--token", help="bearer token clients must send (default: generated and printed)")
    parser.add_argument("--catalog", metavar="FILE", help="era catalog as a JSON file (default: built in)")
    parser.add_argument("--db", metavar="FILE", help="SQLite file for submissions (default: in memory)")
    progress = parser.add_mutually_exclusive_group()
    progress.add_argument("--status-after-polls", type=_count, metavar="N",
                          help="reach the terminal status on the N-th status read (default 3)")
    progress.add_argument("--status-after-seconds", type=_seconds, metavar="S",
                          help="reach the terminal status S seconds after submission")
    parser.add_argument("--demand-signal-pool-id-once", action="store_true",
                        help="refuse the first signal without the older signal_pool_id field (400)")
    parser.add_argument("--fail-every", type=_count, default=0, metavar="N", help="answer every N-th request with 503")
    parser.add_argument("--malformed-every", type=_count, default=0, metavar="N",
                        help="answer every N-th request with a non-JSON 502 page")
    parser.add_argument("--latency", type=_seconds, default=0.0, metavar="SECONDS", help="delay every answer")
    parser.add_argument("--max-connections", type=_positive_count, default=DEFAULT_MAX_CONNECTIONS, metavar="N",
                        help=f"connections served at a time; past them 503 (default {DEFAULT_MAX_CONNECTIONS})")
    parser.add_argument("--idle-timeout", type=_positive_seconds, default=DEFAULT_IDLE_TIMEOUT, metavar="SECONDS",
                        help=f"close a connection idle this long (default {DEFAULT_IDLE_TIMEOUT:g})")
    parser.add_argument("--tls", action="store_true",
                        help="serve https with a certificate from a certificate authority made for this run "
                             "(needs the trustme package)")
    parser.add_argument("--tls-name", action="append", metavar="NAME", dest="tls_names",
                        help="a name for the certificate, repeatable (default: localhost, 127.0.0.1, ::1)")
    parser.add_argument("--tls-ca-out", metavar="FILE",
                        help="write the certificate authority's PEM here (default: a temporary file, removed on stop)")
    parser.add_argument("--verbose", action="store_true", help="log every request to stderr")
    parser.add_argument("--print-catalog", action="store_true",
                        help="print the built-in catalog as JSON and exit (a start for --catalog files)")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.print_catalog:
        json.dump(default_catalog(), sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    stopping = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stopping.set())
    try:
        service = start(host=args.host, port=args.port, token=args.token, catalog=args.catalog, db=args.db,
                        status_after_polls=args.status_after_polls, status_after_seconds=args.status_after_seconds,
                        demand_signal_pool_id_once=args.demand_signal_pool_id_once, fail_every=args.fail_every,
                        malformed_every=args.malformed_every, latency=args.latency, verbose=args.verbose,
                        max_connections=args.max_connections, idle_timeout=args.idle_timeout, tls=args.tls,
                        tls_names=args.tls_names, tls_ca_out=args.tls_ca_out)
    except (OSError, ValueError, TLSUnavailable) as exc:
        print(f"devservice: {exc}", file=sys.stderr)
        return 2
    print(f"QUILLMARSH_BASE_URL={service.url}", flush=True)
    if args.token is None:
        print(f"QUILLMARSH_TOKEN={service.token}", flush=True)
    if service.ca_pem_path is not None:
        print(f"SSL_CERT_FILE={service.ca_pem_path}", flush=True)
    try:
        while not stopping.wait(0.5):
            pass
    finally:
        service.stop()
    print("devservice: stopped", file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
