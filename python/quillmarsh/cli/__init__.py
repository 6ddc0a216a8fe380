"""The ``quillmarsh`` command: submit signals and strategies, check them without sending,
follow submissions, and run the local signal service.

Commands (``quillmarsh COMMAND --help`` for each, with the fields of its files and an
example)::

    submit FILE          one signal from a JSON file ("-" reads standard input)
    strategy FILE        one strategy from a JSON file
    batch FILE           signals from a JSON Lines file, one per line
    check FILE           every local check against the live era catalog; prints the exact
                         bodies and idempotency keys, sends nothing
    status ID            the status of one submission
    poll ID              read the status until it is terminal
    list                 list submissions (pages; --all follows them)
    serve [ARGS...]      run the local signal service
    completion SHELL     a completion script for bash, zsh or fish

The command line is a client of the SDK's public names alone (``quillmarsh.SignalClient``,
``AsyncSignalClient``, ``describe``, ``config``, ``prescreen``). Where the service and the
token come from: ``settings.py``. How a failure is told (its cause, on one line):
``connection.py``. Files as people write them: ``signals.py``. Where output goes (tables,
plain rows for scripts, JSON): ``output.py``. Exit statuses: ``errors.py``.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import logging
import os
import sys
from collections.abc import Callable, Sequence

from .errors import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, Reported, UsageError, one_line
from .output import Output, error_line

__all__ = ["main"]


def _verbose(level: int | None) -> None:
    """-v: the library's log records on stderr; -vv: also httpx's record of each request."""
    if not level:
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(name)s: %(levelname)s: %(message)s"))
    for name in ("quillmarsh", "httpx") if level > 1 else ("quillmarsh",):
        logger = logging.getLogger(name)
        logger.addHandler(handler)
        logger.setLevel(logging.DEBUG if level > 2 else logging.INFO)


def _serve(args: argparse.Namespace, service_args: list[str]) -> int:
    """Hand over to the local signal service's own command line. A token configured for this
    command (option, file, profile or environment) becomes the service's token unless the
    service's arguments name one, so the other commands of the same shell reach it as they are."""
    from .settings import token_for_service

    try:
        service_main = importlib.import_module("quillmarsh.devservice.__main__").main
    except ImportError as exc:
        raise UsageError(f"the local signal service is not available ({one_line(exc)})") from None
    token = token_for_service(args)
    if token and not any(a == "--token" or a.startswith("--token=") for a in service_args):
        service_args = [*service_args, f"--token={token}"]  # "=": a token may begin with "-"
    status = service_main(service_args, prog="quillmarsh serve")
    return status if isinstance(status, int) else EXIT_OK


def _commands() -> dict[str, Callable[[argparse.Namespace, Output], int]]:
    from . import batch, check, follow, submit

    return {
        "submit": submit.run_submit,
        "strategy": submit.run_strategy,
        "batch": batch.run_batch,
        "check": check.run_check,
        "status": follow.run_status,
        "poll": follow.run_poll,
        "list": follow.run_list,
    }


def _did_you_mean(message: str, commands: Sequence[str]) -> str:
    """argparse's refusal of an unknown command, with the command probably meant."""
    import difflib
    import re

    given = re.search(r"invalid choice: '([^']*)'", message)
    if given is None:
        return message
    close = difflib.get_close_matches(given.group(1), commands, n=1, cutoff=0.5)
    head = f"unknown command {given.group(1)!r}"
    return f"{head} (did you mean {close[0]!r}?)" if close else f"{head} (commands: {', '.join(commands)})"


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    from .options import CONFIG_HELP, build_parser

    argv = list(sys.argv[1:] if argv is None else argv)
    command: str | None = None
    try:
        parser = build_parser()
        try:
            args, extra = parser.parse_known_args(argv)
        except UsageError as exc:
            from .completion import commands_of

            raise UsageError(_did_you_mean(str(exc), list(commands_of(parser)))) from None
        command = args.command
        if command == "serve":
            return _serve(args, extra)
        if command == "completion":
            from .completion import script

            sys.stdout.write(script(args.shell, parser))
            return EXIT_OK
        if getattr(args, "help_config", False):
            print(CONFIG_HELP)
            return EXIT_OK
        if command is None:
            raise UsageError("the following arguments are required: COMMAND (see 'quillmarsh --help')")
        if extra:
            raise UsageError(f"unrecognized arguments: {' '.join(extra)} (see 'quillmarsh {command} --help')")
        _verbose(getattr(args, "verbose", None))
        return _commands()[command](
            args, Output(command, getattr(args, "format", None), quiet=bool(getattr(args, "quiet", False)))
        )
    except UsageError as exc:
        error_line(command, str(exc))
        return EXIT_USAGE
    except SystemExit as exc:  # --help and --version print and end here
        return exc.code if isinstance(exc.code, int) else EXIT_OK
    except Reported as reported:
        return reported.status
    except KeyboardInterrupt:
        error_line(command, "interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:  # output piped into a reader that went away: nothing left to say
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 -- keeps the interpreter's final flush quiet
        return EXIT_FAILED
    except Exception as exc:  # the promise is one line, never a traceback
        error_line(command, f"unexpected {type(exc).__name__}: {one_line(exc)}")
        return EXIT_FAILED
