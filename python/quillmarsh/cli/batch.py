"""``quillmarsh batch FILE``: the signals of a JSON Lines file, checked whole before anything is
sent, then posted in chunks through the SDK.

Every line the client's checks refuse is reported with its file line, every rule it breaks at
once (``--skip-invalid`` sends the others). The checked bodies then go out in chunks of 100
(``SignalClient.submit_checked``), one after another or, with ``--concurrency N``, up to N at
once on one event loop (``AsyncSignalClient``); each chunk is retried by the transport when
that is safe. A chunk that fails as a whole stops the batch (chunks already in flight are
answered first). What became of each line: accepted (or found already stored), failed (the
service refused it), unknown (its request may have reached the service but no answer came),
not sent, invalid. Each signal's idempotency key comes from its content, so sending the same
file again never stores a signal twice: after a failure or Ctrl-C, re-running the file is the
remedy.
"""

from __future__ import annotations

import argparse
import dataclasses
from collections.abc import Sequence
from typing import Any

from quillmarsh import ChunkSent, describe

from . import signals
from .connection import async_client_for, call, client_for
from .errors import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE
from .output import Output
from .settings import connection as settings
from .signals import Problem, Signal

SHOWN_PROBLEMS = 20
CHECKED_AT_ONCE = 1000  # signals checked between two steps of the progress bar
RERUN = (
    "re-running the same file is safe: each signal's idempotency key comes from its content, "
    "so the service stores no signal twice"
)
OUTCOMES = ("accepted", "failed", "unknown", "not_sent", "invalid")


@dataclasses.dataclass(slots=True)
class Outcome:
    """What became of one line of the file."""

    line: int | None
    outcome: str  # one of OUTCOMES
    status_code: Any = None
    submission_id: Any = None
    idempotency_key: Any = None
    replayed: bool | None = None
    error: Any = None


class Batch:
    """The lines of one batch file and what became of each."""

    def __init__(self, path: str):
        self.name = signals.source_name(path)
        self.signals, self.problems = signals.signal_lines(path)
        self.outcomes: dict[int | None, Outcome] = {}

    def counts(self) -> dict[str, int]:
        counts = dict.fromkeys(OUTCOMES, 0)
        for outcome in self.outcomes.values():
            counts[outcome.outcome] += 1
        counts["replayed"] = sum(1 for o in self.outcomes.values() if o.replayed)
        return counts

    def document(self) -> dict[str, Any]:
        counts = self.counts()
        lines = sorted(self.outcomes.values(), key=lambda o: o.line or 0)
        return {
            "ok": counts["accepted"] == len(lines),
            **counts,
            "lines": [
                {
                    "line": o.line,
                    "outcome": o.outcome,
                    "status_code": o.status_code,
                    "submission_id": o.submission_id,
                    "idempotency_key": o.idempotency_key,
                    "replayed": o.replayed,
                    "error": o.error,
                }
                for o in lines
            ],
        }


def report_problems(out: Output, problems: Sequence[Problem]) -> None:
    for problem in sorted(problems, key=lambda p: p.line or 0)[:SHOWN_PROBLEMS]:
        out.error(str(problem))
    if len(problems) > SHOWN_PROBLEMS:
        out.error(f"... and {len(problems) - SHOWN_PROBLEMS} more lines refused")


def check_lines(
    out: Output, client: Any, base_url: str, lines: list[Signal]
) -> tuple[list[tuple[Signal, Any]], list[Problem]]:
    """The signals the client's checks pass, each with its ``CheckedSignal``, and a problem for
    every other (its backtest timing refused, or every rule it breaks)."""
    problems = signals.record_timings(lines)
    refused = {p.line for p in problems}
    candidates = [s for s in lines if s.line not in refused]
    passed = []
    with out.progress(f"Checking {len(candidates)} signals", total=len(candidates)) as progress:
        for start in range(0, len(candidates), CHECKED_AT_ONCE):
            block = candidates[start : start + CHECKED_AT_ONCE]
            checked = call(out, base_url, lambda: client.check_signals([s.fields for s in block]))
            for signal, one in zip(block, checked):
                if one.ok:
                    passed.append((signal, one))
                else:
                    problems.append(Problem(signal.where, signal.line, one.problem, kind="refused"))
            progress.advance(len(block))
    return passed, problems


class Recorder:
    """Writes what the SDK tells of each chunk into the lines' outcomes."""

    def __init__(self, out: Output, batch: Batch, passed: list[tuple[Signal, Any]], base_url: str, progress: Any):
        self.out, self.batch, self.base_url, self.progress = out, batch, base_url, progress
        self.lines = [signal.line for signal, _ in passed]

    def __call__(self, event: Any) -> None:
        lines = self.lines[event.start : event.start + event.count]
        if isinstance(event, ChunkSent):
            for line in lines:  # on its way: it may or may not reach the service
                self.batch.outcomes[line].outcome = "unknown"
            return
        items = {
            item.index: item
            for item in (event.result.results if event.result is not None else ())
            if type(item.index) is int
        }
        cause = describe(event.failure, base_url=self.base_url) if event.failure is not None else None
        for position, line in enumerate(lines, start=event.start):
            outcome = self.batch.outcomes[line]
            item = items.get(position)
            if item is not None:
                outcome.outcome = "accepted" if item.status_code == 202 else "failed"
                outcome.status_code, outcome.submission_id, outcome.replayed = (
                    item.status_code,
                    item.submission_id,
                    item.replayed,
                )
                outcome.error = None if item.error is None else describe(item)
            else:
                answered = event.result is not None and event.result.status_code != 0
                outcome.outcome = "failed" if answered else "unknown"
                outcome.status_code = event.result.status_code if event.result is not None else None
                outcome.error = cause or "the service's answer holds no result for this signal"
        if cause is not None:
            where = f"line {lines[0]}" if len(lines) == 1 else f"chunk of lines {lines[0]}-{lines[-1]}"
            self.out.error(f"{where}: {cause}")
        self.progress.advance(len(lines))


def send(
    out: Output, batch: Batch, client: Any, passed: list[tuple[Signal, Any]], *, concurrency: int, conn: Any
) -> None:
    """Post the checked bodies in chunks, one after another or (``concurrency`` > 1, through the
    asynchronous client) up to ``concurrency`` at once; a chunk that fails as a whole stops the
    batch."""
    for signal, checked in passed:
        batch.outcomes[signal.line] = Outcome(signal.line, "not_sent", idempotency_key=checked.idempotency_key)
    checked_signals = [checked for _, checked in passed]
    with out.progress(f"Submitting {len(passed)} signals", total=len(passed)) as progress:
        record = Recorder(out, batch, passed, conn.base_url, progress)
        try:
            if concurrency > 1:
                import asyncio

                async def concurrently() -> None:
                    async with async_client_for(conn) as async_client:
                        most = min(concurrency, async_client.max_connections)
                        if most < concurrency:  # more would only wait for a connection, or meet refusals
                            out.note(f"--concurrency {concurrency}: {most} chunks at once, the connections there are")
                        await async_client.submit_checked(checked_signals, max_concurrency=most, on_chunk=record)

                asyncio.run(concurrently())
            else:
                client.submit_checked(checked_signals, on_chunk=record)
        except Exception as exc:  # an answer the batch does not map: its chunk and those in flight are unknown
            cause = describe(exc, base_url=conn.base_url)
            for outcome in batch.outcomes.values():
                if outcome.outcome == "unknown" and outcome.error is None:
                    outcome.error = cause
            out.error(f"the batch stopped: {cause}")


def _summary(batch: Batch) -> list[tuple[str, Any]]:
    counts = batch.counts()
    fields: list[tuple[str, Any]] = [("file", batch.name), ("signals", len(batch.outcomes))]
    for name in OUTCOMES:
        if name == "accepted" or counts[name]:
            fields.append((name, counts[name]))
        if name == "accepted" and counts["replayed"]:
            fields.append(("already_stored", counts["replayed"]))
    return fields


def _grouped(outcomes: list[Outcome]) -> list[tuple[str, str, Any, Any]]:
    """Consecutive lines that ended alike (a chunk that failed as a whole) as one row."""
    rows: list[list[Any]] = []
    for o in outcomes:
        last = rows[-1] if rows else None
        if last is not None and last[1:4] == [o.outcome, o.status_code, o.error] and last[4] + 1 == o.line:
            last[4] = o.line
        else:
            rows.append([o.line, o.outcome, o.status_code, o.error, o.line])
    return [
        (f"{first}" if first == end else f"{first}-{end}", outcome, status, error)
        for first, outcome, status, error, end in rows
    ]


def finish(out: Output, batch: Batch, interrupted: bool = False) -> int:
    counts = batch.counts()
    if out.format == "json":
        out.json(batch.document())
    else:
        out.record("Batch", _summary(batch))
        missed = [
            o for o in sorted(batch.outcomes.values(), key=lambda o: o.line or 0) if o.outcome in ("failed", "unknown")
        ]
        if missed and not out.plain:
            rows = _grouped(missed)
            shown = rows[:SHOWN_PROBLEMS]
            title = "Signals not accepted" + (
                f" (first {len(shown)} of {len(rows)} rows)" if len(rows) > len(shown) else ""
            )
            out.table(title, ("lines", "outcome", "status", "error"), shown, ids=("lines",))
    total = len(batch.outcomes)
    stored = f"{counts['accepted']} of {total} signals accepted" + (
        f" ({counts['replayed']} already stored)" if counts["replayed"] else ""
    )
    if interrupted:
        out.error(f"interrupted: {stored} before the interrupt; {RERUN}")
        return EXIT_INTERRUPTED
    if counts["accepted"] == total:
        out.note(stored)
        return EXIT_OK
    missing = [f"{counts[name]} {name.replace('_', ' ')}" for name in ("failed", "unknown", "not_sent") if counts[name]]
    if missing:
        out.error(f"{total - counts['accepted']} of {total} signals not accepted ({', '.join(missing)}); {RERUN}")
    return EXIT_FAILED


def run_batch(args: argparse.Namespace, out: Output) -> int:
    batch = Batch(args.file)
    conn = settings(args)
    with client_for(conn) as client:
        try:
            passed, refused = check_lines(out, client, conn.base_url, batch.signals)
        except KeyboardInterrupt:
            out.error("interrupted while checking the signals: nothing was sent")
            return EXIT_INTERRUPTED
        problems = batch.problems + refused
        for problem in problems:
            batch.outcomes[problem.line] = Outcome(problem.line, "invalid", error=problem.message)
        if problems:
            report_problems(out, problems)
            if not args.skip_invalid:
                for signal, checked in passed:
                    batch.outcomes[signal.line] = Outcome(
                        signal.line, "not_sent", idempotency_key=checked.idempotency_key
                    )
                if out.format == "json":
                    out.json(batch.document())
                out.error(
                    f"nothing was sent: {len(problems)} of {len(batch.outcomes)} lines cannot be "
                    f"sent; fix them, or pass --skip-invalid to send the {len(passed)} others"
                )
                return EXIT_USAGE if any(p.kind == "input" for p in problems) else EXIT_FAILED
        try:
            send(out, batch, client, passed, concurrency=args.concurrency, conn=conn)
        except KeyboardInterrupt:
            return finish(out, batch, interrupted=True)
        return finish(out, batch)
