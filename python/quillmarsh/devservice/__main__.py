"""``python -m quillmarsh.devservice``: run the local signal service until SIGINT or SIGTERM.

On start it prints on standard output, one line each, what a script reads:
``QUILLMARSH_BASE_URL=<url>``, when no token was given ``QUILLMARSH_TOKEN=<generated
token>``, and with ``--tls`` ``SSL_CERT_FILE=<PEM of the certificate authority>``: the
variable through which httpx, and so the client's default transport, trusts that authority
(and only it). On standard error it says, for a person, where it listens and how to stop it.

An option the service cannot start with (a bad value, a database in a folder that does not
exist, a port in use, an unusable catalog, ``--tls`` without trustme) is one line on
standard error and exit status 2.
"""

from __future__ import annotations

import argparse
import json
import signal
import sys
import threading
from typing import Any, NoReturn

from quillmarsh import __version__

from .catalog import default_catalog
from .server import DEFAULT_IDLE_TIMEOUT, DEFAULT_MAX_CONNECTIONS, DEFAULT_REQUEST_TIMEOUT, start
from .tls import TLSUnavailable

PROG = "python -m quillmarsh.devservice"
EXIT_USAGE = 2

_DESCRIPTION = """\
Run a local signal service to develop and test clients against: the signal service's
routes on loopback, a realistic era catalog, idempotent submissions, statuses that reach
a verdict, and faults on request. It prints QUILLMARSH_BASE_URL (and QUILLMARSH_TOKEN when
it made the token) for the client, and runs until Ctrl-C.
"""
_EPILOG = """\
examples:
  %(prog)s --port 8765 --token dev-token
      then, in another shell:
      export QUILLMARSH_BASE_URL=http://127.0.0.1:8765 QUILLMARSH_TOKEN=dev-token
  %(prog)s --db submissions.sqlite --fail-every 7
      keep submissions in a file across restarts; answer every 7th request with 503
  %(prog)s --print-catalog > catalog.json
      a start for a catalog of your own, served with --catalog catalog.json
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        """One line, not argparse's usage block."""
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (see '{self.prog} --help')\n")


def _whole(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number, got {text!r}") from None


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number of seconds, got {text!r}") from None


def _port(text: str) -> int:
    value = _whole(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be a port number from 0 to 65535, got {text}")
    return value


def _count(text: str) -> int:
    value = _whole(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {text}")
    return value


def _seconds(text: str) -> float:
    value = _number(text)
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {text}")
    return value


def _positive_count(text: str) -> int:
    value = _whole(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {text}")
    return value


def _positive_seconds(text: str) -> float:
    value = _number(text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def _parser(prog: str) -> argparse.ArgumentParser:
    parser = _Parser(
        prog=prog,
        allow_abbrev=False,
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"quillmarsh.devservice {__version__}")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=_port, default=0, help="port to listen on (default 0: a free port)")
    parser.add_argument("--token", help="bearer token clients must send (default: generated and printed)")
    parser.add_argument("--catalog", metavar="FILE", help="era catalog as a JSON file (default: built in)")
    parser.add_argument("--db", metavar="FILE", help="SQLite file for submissions (default: in memory)")
    progress = parser.add_mutually_exclusive_group()
    progress.add_argument(
        "--status-after-polls",
        type=_count,
        metavar="N",
        help="reach the terminal status on the N-th status read (default 3)",
    )
    progress.add_argument(
        "--status-after-seconds",
        type=_seconds,
        metavar="S",
        help="reach the terminal status S seconds after submission",
    )
    parser.add_argument(
        "--demand-signal-pool-id-once",
        action="store_true",
        help="refuse the first signal without the older signal_pool_id field (400)",
    )
    parser.add_argument("--fail-every", type=_count, default=0, metavar="N", help="answer every N-th request with 503")
    parser.add_argument(
        "--malformed-every",
        type=_count,
        default=0,
        metavar="N",
        help="answer every N-th request with a non-JSON 502 page",
    )
    parser.add_argument("--latency", type=_seconds, default=0.0, metavar="SECONDS", help="delay every answer")
    parser.add_argument(
        "--max-connections",
        type=_positive_count,
        metavar="N",
        help=f"connections held open at a time, idle ones included; past them 503 (default "
        f"{DEFAULT_MAX_CONNECTIONS}, or fewer if the open-file limit allows fewer)",
    )
    parser.add_argument(
        "--idle-timeout",
        type=_positive_seconds,
        default=DEFAULT_IDLE_TIMEOUT,
        metavar="SECONDS",
        help=f"close a connection idle this long (default {DEFAULT_IDLE_TIMEOUT:g})",
    )
    parser.add_argument(
        "--request-timeout",
        type=_positive_seconds,
        default=DEFAULT_REQUEST_TIMEOUT,
        metavar="SECONDS",
        help=f"answer 408 to a request whose head and body take longer to arrive (default {DEFAULT_REQUEST_TIMEOUT:g})",
    )
    parser.add_argument(
        "--tls",
        action="store_true",
        help="serve https with a certificate from a certificate authority made for this run "
        "(needs the trustme package)",
    )
    parser.add_argument(
        "--tls-name",
        action="append",
        metavar="NAME",
        dest="tls_names",
        help="a name for the certificate, repeatable (default: localhost, 127.0.0.1, ::1)",
    )
    parser.add_argument(
        "--tls-ca-out",
        metavar="FILE",
        help="write the certificate authority's PEM here (default: a temporary file, removed on stop)",
    )
    parser.add_argument(
        "--verbose",
        action="store_true",
        help="log every request to stderr, those refused, timed out or dropped included",
    )
    parser.add_argument(
        "--print-catalog",
        action="store_true",
        help="print the built-in catalog as JSON and exit (a start for --catalog files)",
    )
    return parser


def main(argv: list[str] | None = None, *, prog: str | None = None) -> int:
    """Run the service until SIGINT or SIGTERM; the exit status. ``prog`` is the command
    shown in usage and error lines (default ``python -m quillmarsh.devservice``)."""
    prog = prog or PROG
    try:
        args = _parser(prog).parse_args(argv)
    except SystemExit as done:  # --help, --version, or an option refused
        return done.code if isinstance(done.code, int) else EXIT_USAGE
    if not args.tls and (args.tls_names or args.tls_ca_out):
        print(f"{prog}: --tls-name and --tls-ca-out need --tls (see '{prog} --help')", file=sys.stderr, flush=True)
        return EXIT_USAGE
    if args.print_catalog:
        json.dump(default_catalog(), sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    try:
        service = start(
            host=args.host,
            port=args.port,
            token=args.token,
            catalog=args.catalog,
            db=args.db,
            status_after_polls=args.status_after_polls,
            status_after_seconds=args.status_after_seconds,
            demand_signal_pool_id_once=args.demand_signal_pool_id_once,
            fail_every=args.fail_every,
            malformed_every=args.malformed_every,
            latency=args.latency,
            verbose=args.verbose,
            max_connections=args.max_connections,
            idle_timeout=args.idle_timeout,
            request_timeout=args.request_timeout,
            tls=args.tls,
            tls_names=args.tls_names,
            tls_ca_out=args.tls_ca_out,
        )
    except (OSError, ValueError, TLSUnavailable) as exc:
        print(f"{prog}: {_one_line(exc)}", file=sys.stderr, flush=True)
        return EXIT_USAGE
    stopping = threading.Event()
    previous = _on_stop_signals(lambda *_: stopping.set())
    try:
        print(f"QUILLMARSH_BASE_URL={service.url}", flush=True)
        if args.token is None:
            print(f"QUILLMARSH_TOKEN={service.token}", flush=True)
        if service.ca_pem_path is not None:
            print(f"SSL_CERT_FILE={service.ca_pem_path}", flush=True)
        print(f"quillmarsh local signal service on {service.url} \u2014 Ctrl-C to stop", file=sys.stderr, flush=True)
        while not stopping.wait(0.5):
            pass
    finally:
        service.stop()
        _on_stop_signals(previous)
    print("quillmarsh local signal service stopped", file=sys.stderr, flush=True)
    return 0


def _on_stop_signals(handler: Any) -> Any:
    """Set the SIGINT and SIGTERM handlers (from the main thread only); the ones they replace.
    ``handler`` is one handler, or the dict this returned."""
    if threading.current_thread() is not threading.main_thread():
        return {}
    if isinstance(handler, dict):
        for signum, old in handler.items():
            signal.signal(signum, old)
        return {}
    return {signum: signal.signal(signum, handler) for signum in (signal.SIGINT, signal.SIGTERM)}


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


if __name__ == "__main__":
    sys.exit(main())
