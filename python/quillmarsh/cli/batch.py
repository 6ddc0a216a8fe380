"""``quillmarsh batch FILE`` and ``quillmarsh check FILE``.

A batch is checked whole before anything is sent: every line the client's checks refuse is
reported with its file line (``--skip-invalid`` sends the others). The checked bodies then go
out in chunks of 100, one after another or, with ``--concurrency N``, up to N at once on one
event loop through the asynchronous client; each chunk is retried by the transport when that
is safe. A chunk that still fails stops the batch (chunks already in flight are answered
first), and the signals of the chunks not started are reported as not sent. Each
signal's idempotency key comes from its content, so sending the same file again never
stores a signal twice: after a failure or Ctrl-C, re-running the file is the remedy.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from . import connection, signals
from .checks import CHUNK, Checker, refusal
from .errors import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE
from .output import Output, fields_table, rows_table
from quillmarsh.config import Settings as Connection
from .signals import Problem, Signal

if TYPE_CHECKING:
    import asyncio

SHOWN_PROBLEMS = 20
RERUN = ("re-running the same file is safe: each signal's idempotency key comes from its content, "
         "so the service stores no signal twice")


@dataclasses.dataclass(slots=True)
class Outcome:
    """What became of one line of the file."""

    line: int | None
    outcome: str  # accepted | failed | not_sent | invalid | unknown
    status_code: Any = None
    submission_id: Any = None
    idempotency_key: Any = None
    error: Any = None


class Batch:
    """The lines of one batch file and what became of each."""

    def __init__(self, path: str):
        self.name = signals.source_name(path)
        self.signals, self.problems = signals.signal_lines(path)
        self.outcomes: dict[int | None, Outcome] = {}

    def counts(self) -> dict[str, int]:
        counts = dict.fromkeys(("accepted", "failed", "not_sent", "unknown", "invalid"), 0)
        for outcome in self.outcomes.values():
            counts[outcome.outcome] += 1
        return counts

    def document(self) -> dict[str, Any]:
        counts = self.counts()
        lines = sorted(self.outcomes.values(), key=lambda o: o.line or 0)
        return {"ok": counts["accepted"] == len(lines), **counts,
                "lines": [{"line": o.line, "outcome": o.outcome, "status_code": o.status_code,
                           "submission_id": o.submission_id, "idempotency_key": o.idempotency_key,
                           "error": o.error} for o in lines]}


def _report_problems(out: Output, problems: Sequence[Problem]) -> None:
    for problem in sorted(problems, key=lambda p: p.line or 0)[:SHOWN_PROBLEMS]:
        out.error(str(problem))
    if len(problems) > SHOWN_PROBLEMS:
        out.error(f"... and {len(problems) - SHOWN_PROBLEMS} more lines refused")


def checked(out: Output, batch: Batch, client: Any) -> list[tuple[Signal, dict[str, Any]]]:
    """The bodies of the batch's valid signals, after the era catalog and every check."""
    catalog = connection.invoke(out, client, "_fetch_era_catalog")
    with out.progress(f"Checking {len(batch.signals)} signals", total=len(batch.signals)) as progress:
        prepared, refused = Checker(client, catalog).batch(batch.signals, progress.advance)
    batch.problems.extend(refused)
    return prepared


def _chunk_failures() -> tuple[type[BaseException], ...]:
    """What a chunk's request raises when the chunk as a whole fails: the service could not be
    reached, refused the chunk, or answered unreadably."""
    import httpx

    from quillmarsh import submit

    return ConnectionError, httpx.RequestError, submit.SubmissionRejectedError, submit.SignalClientResponseError


def _chunk_result(client: Any, answer: tuple[Any, Any] | BaseException) -> tuple[Any, str | None]:
    """One chunk: its result, from the service's answer (status, body) or from what its request
    raised (one of ``_chunk_failures()``), and the reason the chunk as a whole failed (None when
    answered)."""
    import httpx

    from quillmarsh import submit

    if not isinstance(answer, BaseException):
        status_code, body = answer
        return client._batch_result_from_body(status_code, body), None
    if isinstance(answer, (ConnectionError, httpx.RequestError)):
        return client._batch_result_from_transport_error(answer), connection.describe(answer, client._base_url)
    if isinstance(answer, submit.SubmissionRejectedError):
        result = client._batch_result_from_body(answer.status_code, answer.body or {}, error=answer.reason)
        return result, connection.describe(answer, client._base_url)
    if isinstance(answer, submit.SignalClientResponseError):
        return None, connection.describe(answer, client._base_url)
    raise answer  # not a failure of the chunk: it ends the command


def _post(client: Any, bodies: list[dict[str, Any]]) -> tuple[Any, str | None]:
    """One chunk through the client: its result, and the reason the chunk as a whole failed."""
    try:
        answer = client._canonical_request("POST", "signals/batch", {"signals": bodies})
    except _chunk_failures() as exc:
        return _chunk_result(client, exc)
    return _chunk_result(client, answer)


async def _post_async(async_client: Any, client: Any, bodies: list[dict[str, Any]]) -> tuple[Any, str | None]:
    """``_post`` through the asynchronous client; ``client`` makes the result."""
    try:
        answer = await async_client._canonical_request("POST", "signals/batch", {"signals": bodies})
    except _chunk_failures() as exc:
        return _chunk_result(client, exc)
    return _chunk_result(client, answer)


Prepared = list[tuple[Signal, dict[str, Any]]]  # checked signals and their bodies, or a chunk of them


def _in_flight(batch: Batch, chunk: Prepared) -> None:
    for signal, _ in chunk:  # in flight: it may or may not reach the service
        batch.outcomes[signal.line].outcome = "unknown"


def _settle(out: Output, progress: Any, batch: Batch, chunk: Prepared, result: Any, failure: str | None) -> bool:
    """Record what became of a chunk's signals; True when the chunk failed as a whole (reported)."""
    answered = {}
    for item in (result.results if result is not None else ()):
        if type(item.index) is int and 0 <= item.index < len(chunk):
            answered[item.index] = item
    for index, (signal, _) in enumerate(chunk):
        outcome = batch.outcomes[signal.line]
        item = answered.get(index)
        if item is not None:
            outcome.outcome = "accepted" if item.status_code == 202 else "failed"
            outcome.status_code, outcome.submission_id, outcome.error = (item.status_code,
                                                                         item.submission_id, item.error)
        else:
            outcome.outcome = "failed"
            outcome.status_code = result.status_code if result is not None else None
            outcome.error = failure or "the service's answer holds no result for this signal"
    progress.advance(len(chunk))
    if failure is not None:
        out.error(f"chunk of lines {chunk[0][0].line}-{chunk[-1][0].line}: {failure}")
        return True
    return False


def send(out: Output, batch: Batch, client: Any, prepared: Prepared, *, concurrency: int = 1,
         conn: Connection | None = None) -> None:
    """Post the bodies in chunks, one after another or (``concurrency`` > 1, through the
    asynchronous client made from ``conn``) up to ``concurrency`` at once; a chunk that fails as
    a whole stops the batch."""
    for signal, body in prepared:
        batch.outcomes[signal.line] = Outcome(signal.line, "not_sent", idempotency_key=body.get("idempotency_key"))
    with out.progress(f"Submitting {len(prepared)} signals", total=len(prepared)) as progress:
        if concurrency > 1:
            import asyncio

            assert conn is not None, "the concurrent path makes its own client"
            asyncio.run(_send_concurrently(out, batch, client, conn, prepared, concurrency, progress))
            return
        for start in range(0, len(prepared), CHUNK):
            chunk = prepared[start:start + CHUNK]
            _in_flight(batch, chunk)
            if _settle(out, progress, batch, chunk, *_post(client, [body for _, body in chunk])):
                return


async def _send_concurrently(out: Output, batch: Batch, client: Any, conn: Connection, prepared: Prepared,
                             limit: int, progress: Any) -> None:
    """Up to ``limit`` chunks in flight, started in file order; none is started once one has
    failed as a whole, and those in flight are answered first. Cancelled (Ctrl-C), the chunks
    in flight keep the outcome "unknown"."""
    import asyncio

    chunks = enumerate(prepared[start:start + CHUNK] for start in range(0, len(prepared), CHUNK))
    in_flight: dict[asyncio.Future[tuple[Any, str | None]], tuple[int, Prepared]] = {}
    failed = False
    async_client = connection.build_async_client(conn)
    try:
        while True:
            while not failed and len(in_flight) < limit and (next_chunk := next(chunks, None)) is not None:
                _in_flight(batch, next_chunk[1])
                bodies = [body for _, body in next_chunk[1]]
                in_flight[asyncio.ensure_future(_post_async(async_client, client, bodies))] = next_chunk
            if not in_flight:
                return
            done, _ = await asyncio.wait(in_flight, return_when=asyncio.FIRST_COMPLETED)
            for task in sorted(done, key=lambda t: in_flight[t][0]):
                _, chunk = in_flight.pop(task)
                failed = _settle(out, progress, batch, chunk, *task.result()) or failed
    finally:
        for task in in_flight:
            task.cancel()
        await asyncio.gather(*in_flight, return_exceptions=True)
        await async_client.aclose()


def _render(batch: Batch) -> list[Any]:
    counts = batch.counts()
    rows = [("file", batch.name), ("signals", len(batch.outcomes))]
    rows += [(name.replace("_", " "), counts[name]) for name in ("accepted", "failed", "not_sent", "unknown",
                                                                  "invalid") if counts[name] or name == "accepted"]
    tables = [fields_table("Batch", rows)]
    failed = [o for o in sorted(batch.outcomes.values(), key=lambda o: o.line or 0) if o.outcome == "failed"]
    if failed:
        shown = failed[:SHOWN_PROBLEMS]
        title = "Failed signals" + (f" (first {SHOWN_PROBLEMS} of {len(failed)})" if len(failed) > len(shown) else "")
        tables.append(rows_table(title, ("line", "status", "error"), [(o.line, o.status_code, o.error) for o in shown],
                                 no_wrap=("line",)))
    return tables


def _finish(out: Output, batch: Batch, interrupted: bool = False) -> int:
    counts = batch.counts()
    if out.format == "json":
        out.json(batch.document())
    else:
        out.print(*_render(batch))
    total = len(batch.outcomes)
    if interrupted:
        out.error(f"interrupted: {counts['accepted']} of {total} signals accepted before the interrupt; {RERUN}")
        return EXIT_INTERRUPTED
    if counts["accepted"] == total:
        return EXIT_OK
    missing = total - counts["accepted"]
    if counts["not_sent"] or counts["failed"]:
        out.error(f"{missing} of {total} signals not accepted ({counts['failed']} failed, "
                  f"{counts['not_sent']} not sent); {RERUN}")
    return EXIT_FAILED


def run_batch(args: argparse.Namespace, out: Output) -> int:
    from .settings import connection as settings

    batch = Batch(args.file)
    conn = settings(args)
    client = connection.build_client(conn)
    try:
        try:
            prepared = checked(out, batch, client)
        except KeyboardInterrupt:
            out.error("interrupted while checking the signals: nothing was sent")
            return EXIT_INTERRUPTED
        for problem in batch.problems:
            batch.outcomes[problem.line] = Outcome(problem.line, "invalid", error=problem.message)
        if batch.problems:
            _report_problems(out, batch.problems)
            if not args.skip_invalid:
                for signal, body in prepared:
                    batch.outcomes[signal.line] = Outcome(signal.line, "not_sent",
                                                          idempotency_key=body.get("idempotency_key"))
                if out.format == "json":
                    out.json(batch.document())
                out.error(f"nothing was sent: {len(batch.problems)} of {len(batch.outcomes)} lines cannot be "
                          f"sent; fix them, or pass --skip-invalid to send the {len(prepared)} others")
                return EXIT_USAGE if any(p.kind == "input" for p in batch.problems) else EXIT_FAILED
        try:
            send(out, batch, client, prepared, concurrency=args.concurrency, conn=conn)
        except KeyboardInterrupt:
            return _finish(out, batch, interrupted=True)
        return _finish(out, batch)
    finally:
        client.close()


# ---------------------------------------------------------------------------------------
# check


def _is_batch_file(path: str, text: str, forced: bool) -> bool:
    """A batch file: so named or asked for, or anything but one JSON document (a signal file
    may spread its one object over many lines)."""
    if forced or path.endswith((".jsonl", ".ndjson")):
        return True
    try:
        json.loads(text)
    except json.JSONDecodeError:
        return True
    return False


def _checked_signal(line: int | None, endpoint: str, body: dict[str, Any]) -> dict[str, Any]:
    key = body.get("idempotency_key")
    return {"line": line, "ok": True, "endpoint": endpoint,
            "idempotency_key_header": str(key) if key and endpoint == "signals/submit" else None,
            "body": body, "wire": json.dumps(body)}


def run_check(args: argparse.Namespace, out: Output) -> int:
    from .settings import connection as settings

    text = signals.read_text(args.file)
    batch_form = _is_batch_file(args.file, text, args.batch)
    if batch_form:
        batch = Batch(args.file)
        lines, problems = batch.signals, batch.problems
    else:
        lines, problems = [signals.one_signal(args.file)], []
    client = connection.build_client(settings(args))
    try:
        catalog = connection.invoke(out, client, "_fetch_era_catalog")
        checker = Checker(client, catalog)
        results = []
        if batch_form:
            prepared, refused = checker.batch(lines)
            problems = problems + refused
            results = [_checked_signal(s.line, "signals/batch", body) for s, body in prepared]
        else:
            try:
                results = [_checked_signal(None, *checker.submission(lines[0]))]
            except Exception as exc:  # noqa: BLE001 -- the checks' refusal is the answer
                problems = [Problem(lines[0].where, None, connection.describe(exc, client._base_url)
                                    or refusal(catalog, lines[0].fields, exc), kind="refused")]
    finally:
        client.close()
    results += [{"line": p.line, "ok": False, "error": p.message} for p in problems]
    results.sort(key=lambda r: r["line"] or 0)
    if out.format == "json":
        out.json({"ok": not problems, "sent": False, "signals": results})
    else:
        for result in results:
            if result["ok"]:
                where = f"{signals.source_name(args.file)}" + (f":{result['line']}" if result["line"] else "")
                header = f" Idempotency-Key: {result['idempotency_key_header']}" if result[
                    "idempotency_key_header"] else ""
                out.stdout.print(f"{where}: ok, would POST {result['endpoint']}{header}", highlight=False)
                out.stdout.print(result["wire"], highlight=False, soft_wrap=True)
    _report_problems(out, problems)
    if problems:
        return EXIT_USAGE if any(p.kind == "input" for p in problems) else EXIT_FAILED
    out.error(f"{len(results)} signal{'s' if len(results) != 1 else ''} checked, nothing sent")
    return EXIT_OK

