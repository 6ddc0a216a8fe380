"""The command line's options, commands and help texts."""

from __future__ import annotations

import argparse
import math
from typing import NoReturn

from .errors import UsageError
from .output import PROG

SIGNAL_FIELDS_HELP = """\
A signal file holds one JSON object with the fields of SignalServiceClient.submit_signal and the
backtest timing measured when the graph was simulated:
  required  graph, signal_pool_name, is_stats, is_pnl_mi, expression_elapsed_seconds, backtest_timing
  optional  named_universe (else the agent onboarding default), metaparameters, search_state,
            idempotency_key, client_manifest_version, market_id, era_number,
            client_manifest_market_id, client_manifest_era_number
  backtest_timing  {"row_count": int, "elapsed_seconds": number, "max_row_elapsed_seconds": number}
Whole numbers are taken where a float is expected; a misspelt field gets a suggestion."""

SIGNAL_EXAMPLE = """\
  {"graph": "rank(ts_mean(close, 5))", "named_universe": "us_top500", "signal_pool_name": "momentum",
   "is_stats": {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2}, "is_pnl_mi": 0.4,
   "expression_elapsed_seconds": 1.8,
   "backtest_timing": {"row_count": 2520, "elapsed_seconds": 1.8, "max_row_elapsed_seconds": 0.004}}"""

STRATEGY_FIELDS_HELP = """\
A strategy file holds one JSON object with the fields of SignalServiceClient.submit_strategy:
  required  graph, strategy_pool_name, market_id, era_number
  optional  named_universe, metaparameters, idempotency_key, client_manifest_version,
            client_manifest_market_id, client_manifest_era_number"""

EPILOG = """\
The service and token come from --base-url and --token/--token-file, a --profile of the config
file (quillmarsh --help-config), or QUILLMARSH_BASE_URL and QUILLMARSH_TOKEN.

exit status: 0 all accepted, 1 something refused, rejected, unreadable or unreachable,
2 the command cannot run as given (options, input file, settings), 130 interrupted."""

CONFIG_HELP = """\
Profiles live in a TOML file, at $QUILLMARSH_CONFIG or config.toml in the platform's config
directory for quillmarsh (~/.config/quillmarsh/config.toml on Linux):

  [profiles.default]                      # used when no profile is named
  base_url = "http://127.0.0.1:8765"
  token_file = "~/.config/quillmarsh/local-token"

  [profiles.research]                     # quillmarsh --profile research ...
  base_url = "https://signals.example.com"
  token_file = "~/.secrets/signals-token"
  request_timeout = 60
  retries = 6

Options win over a profile named with --profile or QUILLMARSH_PROFILE, which wins over
QUILLMARSH_BASE_URL / QUILLMARSH_TOKEN, which win over the default profile."""


class Parser(argparse.ArgumentParser):
    def __init__(self, *args, **kwargs):
        kwargs.setdefault("formatter_class", argparse.RawDescriptionHelpFormatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


def _seconds(text: str, *, allow_zero: bool) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or value < 0 or (value == 0 and not allow_zero):
        bound = ">= 0" if allow_zero else "> 0"
        raise argparse.ArgumentTypeError(f"must be a finite number of seconds {bound}, got {text!r}")
    return value


def _poll_timeout(text: str) -> float:
    return _seconds(text, allow_zero=True)


def _request_timeout(text: str) -> float:
    return _seconds(text, allow_zero=False)


def _whole(text: str, least: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be {least} or more, got {text!r}")
    return value


def _count(text: str) -> int:
    return _whole(text, 0)


def _positive(text: str) -> int:
    return _whole(text, 1)


def _common(suppress: bool) -> Parser:
    """The options every command takes, before or after its name; with ``suppress`` their
    defaults stay unset, so a value given before the command name is not overwritten."""
    default = argparse.SUPPRESS if suppress else None
    parent = Parser(add_help=False)
    group = parent.add_argument_group("service and output")
    group.add_argument("--base-url", default=default, metavar="URL", help="signal service URL")
    group.add_argument("--token", default=default, help="bearer token (--token-file keeps it off the command line)")
    group.add_argument(
        "--token-file", default=default, metavar="PATH", help='read the bearer token from PATH ("-": standard input)'
    )
    group.add_argument("--profile", default=default, metavar="NAME", help="use a profile of the config file")
    group.add_argument(
        "--format",
        default=default,
        choices=("table", "json"),
        help="output: tables (tab-separated when piped) or one JSON document (default: table)",
    )
    group.add_argument(
        "--request-timeout",
        default=default,
        type=_request_timeout,
        metavar="S",
        help="timeout of each HTTP request in seconds (default: 30)",
    )
    group.add_argument(
        "--retries",
        default=default,
        type=_count,
        metavar="N",
        help="retry a failed request up to N times when that is safe; 0: never (default: 4)",
    )
    group.add_argument(
        "-v",
        "--verbose",
        default=default,
        action="count",
        help="show the library's log records (twice: also each HTTP request)",
    )
    group.add_argument(
        "-q",
        "--quiet",
        default=default,
        action="store_true",
        help="no progress and no notes on standard error: errors only",
    )
    return parent


def build_parser() -> argparse.ArgumentParser:
    from quillmarsh import __version__

    common = _common(suppress=True)
    parser = Parser(
        prog=PROG,
        parents=[common],
        description="Submit research signals and strategies to a signal service and follow them.",
        epilog=EPILOG,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    parser.add_argument("--help-config", action="store_true", help="how profiles are configured, and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    def command(name: str, summary: str, description: str = "", example: str = "") -> argparse.ArgumentParser:
        epilog = f"example:\n{example}" if example else None
        return commands.add_parser(
            name,
            parents=[common],
            help=summary,
            description=f"{summary}.\n\n{description}".strip(),
            epilog=epilog,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )

    command(
        "submit",
        "submit one signal from a JSON file",
        SIGNAL_FIELDS_HELP,
        f"  quillmarsh submit signal.json\n\nsignal.json:\n{SIGNAL_EXAMPLE}",
    ).add_argument("file", help='signal file ("-": standard input)')
    command(
        "strategy", "submit one strategy from a JSON file", STRATEGY_FIELDS_HELP, "  quillmarsh strategy strategy.json"
    ).add_argument("file", help='strategy file ("-": standard input)')
    batch = command(
        "batch",
        "submit the signals of a JSON Lines file, one signal per line",
        "Every line is checked before anything is sent, and every line that cannot be sent is\n"
        "reported with its line number. Signals go out in chunks of 100, one after another, or up to\n"
        "N at once with --concurrency N; a chunk that fails as a whole stops the batch (the chunks\n"
        "already in flight are answered first). Re-running a file is safe: each signal's idempotency\n"
        "key comes from its content.\n\n"
        + SIGNAL_FIELDS_HELP.replace("A signal file holds one JSON object", "Each line holds one JSON object"),
        "  quillmarsh batch signals.jsonl\n"
        "  quillmarsh --format json batch signals.jsonl --skip-invalid > result.json\n"
        "  quillmarsh batch signals.jsonl --concurrency 4",
    )
    batch.add_argument("file", help='JSON Lines file ("-": standard input)')
    batch.add_argument("--skip-invalid", action="store_true", help="send the valid lines when some are not")
    batch.add_argument(
        "--concurrency",
        type=_positive,
        default=1,
        metavar="N",
        help="keep up to N chunks of 100 in flight at once (default: 1, one after another)",
    )
    check = command(
        "check",
        "run every local check of a signal file against the service's era catalog, sending nothing",
        "Prints the exact body (and Idempotency-Key) each signal would be posted with. A file with\n"
        "one JSON object is checked as `submit` sends it; a .jsonl file (or one of several lines) as\n"
        "`batch` sends it.",
        "  quillmarsh check signal.json\n  quillmarsh check signals.jsonl",
    )
    check.add_argument("file", help='signal file or JSON Lines file ("-": standard input)')
    check.add_argument("--batch", action="store_true", help="check the file as a batch whatever its name")
    command("status", "show the status of one submission", example="  quillmarsh status sub-0001").add_argument(
        "submission_id", metavar="ID"
    )
    poll = command(
        "poll",
        "read a submission's status until it is terminal",
        "Reads after 0.5 s, then 1.5 times longer each time up to 5 s; stops at once when the\n"
        "service refuses the request (an unknown id, a wrong token).",
        "  quillmarsh poll sub-0001 --timeout 120 --exit-status && echo passed",
    )
    poll.add_argument("submission_id", metavar="ID")
    poll.add_argument(
        "--timeout", type=_poll_timeout, default=60.0, metavar="S", help="give up after S seconds (default: 60)"
    )
    poll.add_argument(
        "--exit-status",
        action="store_true",
        help="exit 1 when the terminal status is a failing one (e.g. signal_os_failed)",
    )
    listing = command(
        "list",
        "list submissions",
        "Submissions in the order they were made; a full page ends with the command for the\n"
        "next one, and --all follows every page.",
        "  quillmarsh list --status signal_os_passed --limit 20\n  quillmarsh list --all > all.tsv",
    )
    listing.add_argument("--status", help="only submissions with this status")
    listing.add_argument("--idempotency-key", metavar="KEY", help="only the submission with this idempotency key")
    listing.add_argument("--since", metavar="TIME", help="only submissions made after this time (ISO 8601)")
    listing.add_argument(
        "--limit",
        type=_positive,
        default=None,
        help="at most this many per page (default: 100; with --all, the largest the service allows)",
    )
    listing.add_argument("--all", action="store_true", help="follow every page")
    listing.add_argument("--wide", action="store_true", help="show every field, idempotency keys included")
    commands.add_parser("serve", add_help=False, help="run the local signal service (see 'quillmarsh serve --help')")
    completion = command(
        "completion",
        "print a completion script for your shell",
        "The script holds every command and option; completing runs nothing.",
        '  eval "$(quillmarsh completion bash)"       # in ~/.bashrc\n'
        '  eval "$(quillmarsh completion zsh)"        # in ~/.zshrc\n'
        "  quillmarsh completion fish > ~/.config/fish/completions/quillmarsh.fish",
    )
    completion.add_argument("shell", choices=("bash", "zsh", "fish"))
    return parser
