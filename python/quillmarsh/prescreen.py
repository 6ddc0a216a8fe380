"""Pre-screening: every local check of the client, and the exact body and idempotency key a
signal would be posted with, with nothing sent.

``check_signal(...)`` takes the arguments of ``submit_signal`` and returns what it would post
(``CheckedSignal``), or raises what it raises; ``check_signals(signals)`` takes the dicts of
``submit_signals_batch`` and returns one ``CheckedSignal`` per signal, in order, each with its
body or its problem, raising nothing for a signal. Both run against an era catalog: the
service's own through a client (``SignalClient.check_signals``), or one given here, a dict or
the path of a JSON file saved from a live catalog (``json.dump(client.era_catalog(), f)``).

The checks are the client's own, run by the native module on a client that keeps its one
request instead of sending it; the backtest-timing registry is left exactly as it was, so a
signal checked can then be submitted.
"""

from __future__ import annotations

import dataclasses
import json
import os
import threading
from collections.abc import Iterable, Mapping
from typing import Any

from quillmarsh import _backtest_timing
from quillmarsh.causes import one_line

__all__ = [
    "MAX_DEPTH",
    "MAX_SAFE_INTEGER",
    "CheckedSignal",
    "body_problems",
    "check_signal",
    "check_signals",
    "explain",
    "load_catalog",
]

_BLOCK = 1000  # signals prepared at once by check_signals; a block with a refusal is checked one by one

# What the service takes in a request body (I-JSON, RFC 7493): integers every JSON reader holds
# exactly, nesting it bounds (the request body counts as one level), text it can store.
MAX_SAFE_INTEGER = 2**53 - 1
MAX_DEPTH = 64
_NESTING = {"signals/submit": 1, "signals/batch": 3}  # levels above a body: none, or {"signals": [...]}


@dataclasses.dataclass(frozen=True, slots=True)
class CheckedSignal:
    """One signal after the client's checks: the request it would go out in, or its problem."""

    index: int  # its position among the signals checked
    endpoint: str  # "signals/submit" (check_signal) or "signals/batch" (check_signals)
    body: dict[str, Any] | None  # the body it is posted with (one item of a batch's "signals")
    idempotency_key: Any  # the body's idempotency_key
    problem: str | None = None  # why the client refuses it, on one line: its problems joined
    problems: tuple[str, ...] = ()  # every rule it breaks, in its own field names
    error: BaseException | None = dataclasses.field(default=None, repr=False, compare=False)

    @property
    def ok(self) -> bool:
        return self.problem is None


class _Caught(BaseException):
    """The request a checked operation would make (a BaseException: no mapping of the client's
    catches it)."""

    def __init__(self, endpoint: str, body: Any) -> None:
        super().__init__(endpoint)
        self.endpoint, self.body = endpoint, body


_holders: dict[int, Any] = {}  # id(catalog) -> (catalog, client); one kept
_holders_lock = threading.Lock()


def load_catalog(catalog: Mapping[str, Any] | str | os.PathLike[str]) -> dict[str, Any]:
    """An era catalog: the dict itself, or the JSON object of a file."""
    if isinstance(catalog, (str, os.PathLike)):
        try:
            with open(catalog, "rb") as handle:
                loaded = json.load(handle)
        except OSError as exc:
            raise ValueError(f"cannot read the era catalog {os.fspath(catalog)}: {exc.strerror or exc}") from None
        except ValueError as exc:  # invalid JSON or UTF-8
            raise ValueError(f"the era catalog {os.fspath(catalog)} is not JSON: {exc}") from None
        catalog = loaded
    if not isinstance(catalog, dict):
        raise ValueError(f"an era catalog is a JSON object (dict), not {type(catalog).__name__}")
    return catalog


def _holder(catalog: Any) -> Any:
    """A client that holds the catalog (checked as the client checks a fetched one) and keeps
    its requests instead of sending them."""
    catalog = load_catalog(catalog)
    with _holders_lock:
        kept = _holders.get(id(catalog))
        if kept is not None and kept[0] is catalog:
            return kept[1]
    from quillmarsh import submit

    holder = _checking_client_type()("http://127.0.0.1", "never-sent", transport=_NoTransport())
    submit._settle_era_catalog(holder, (200, catalog), None)
    with _holders_lock:
        _holders.clear()
        _holders[id(catalog)] = (catalog, holder)
    return holder


class _NoTransport:
    def _refuse(self, *args: Any, **kwargs: Any) -> Any:
        raise RuntimeError("a checking client sends nothing")

    post = get = request = _refuse


_client_type: type | None = None


def _checking_client_type() -> type:
    global _client_type
    if _client_type is None:
        from quillmarsh.submit import SignalServiceClient

        class CheckingClient(SignalServiceClient):
            """Runs an operation's checks; its request is caught, never sent."""

            def _canonical_request(self, method: str, endpoint: str, body: Any = None) -> Any:
                raise _Caught(endpoint, body)

        _client_type = CheckingClient
    return _client_type


def check_signal(graph: Any, named_universe: Any = None, *, catalog: Any, **fields: Any) -> CheckedSignal:
    """What ``submit_signal(graph, named_universe, **fields)`` would post against ``catalog``
    (a dict, or the path of a JSON file): its endpoint, body and idempotency key; raises what
    ``submit_signal`` raises for the signal. Whole numbers are taken where a float is expected."""
    from quillmarsh._face import _with_floats

    holder = _holder(catalog)
    ledger = _backtest_timing.UseLedger([graph])
    try:
        holder.submit_signal(graph, named_universe, **_with_floats(fields))
    except _Caught as caught:
        body = caught.body
        refused = body_problems(body, caught.endpoint)
        if refused:
            raise ValueError("; ".join(refused)) from None
        return CheckedSignal(0, caught.endpoint, body, body.get("idempotency_key"))
    finally:
        ledger.restore()
    raise AssertionError("submit_signal returned without making its request")  # pragma: no cover


def body_problems(body: Any, endpoint: str = "signals/batch") -> list[str]:
    """What the service would refuse in ``body`` as a whole request (the limits above), each
    named by its field (``metaparameters.window``)."""
    problems: list[str] = []
    stack: list[tuple[Any, str, int]] = [(body, "", _NESTING.get(endpoint, 1))]
    while stack:
        value, where, depth = stack.pop()
        kind = type(value)
        if kind is str:
            if not value.isascii():
                try:
                    value.encode("utf-8")
                except UnicodeEncodeError:
                    problems.append(
                        f"{where or 'the body'} holds a lone UTF-16 surrogate, which the service cannot store"
                    )
        elif kind is int:
            if not -MAX_SAFE_INTEGER <= value <= MAX_SAFE_INTEGER:
                problems.append(
                    f"{where} is {value}, beyond +-(2**53 - 1), the largest integer the service takes exactly"
                )
        elif kind is float:
            if value != value or value in (float("inf"), float("-inf")):
                problems.append(f"{where} is {value!r}, which JSON cannot carry")
        elif kind is dict or kind is list or kind is tuple:
            if depth > MAX_DEPTH:
                field = where.split(".")[0].split("[")[0] or "the body"
                problems.append(f"{field} is nested deeper than the {MAX_DEPTH} levels the service takes")
                continue
            items = value.items() if kind is dict else enumerate(value)
            for key, child in items:
                if type(key) is str and not key.isascii():
                    stack.append((key, f"{where}.{key}".lstrip(".") + " (its name)", depth))
                name = f"{where}.{key}".lstrip(".") if kind is dict else f"{where}[{key}]"
                stack.append((child, name, depth + 1))
    return sorted(set(problems))


def _bodies(holder: Any, signals: list[Any]) -> list[Any]:
    """The body of each signal as ``submit_signals_batch`` would post it; raises its refusal."""
    from quillmarsh import submit

    exchange = submit._exchange("submit_signals_batch", holder, signals)
    bodies: list[Any] = []
    while (request := submit._exchange_next(exchange)) is not None:
        bodies.extend(request[3]["signals"])
    return bodies


# A signal checked alone is "submission 0" of a batch of one: its position would mislead.
_ALONE = _backtest_timing._REQUIRED_MESSAGE.format(where=" for submission 0")


def explain(signal: Mapping[str, Any], refusal: BaseException, *, catalog: Any) -> list[str]:
    """Every rule of the era ``signal`` breaks (its keyword fields, ``graph`` included, and
    ``backtest_timing``, the figures its timing was recorded with, if the check that refused it
    used the record up), each in one line, in the signal's own field names and saying what the era requires; the
    refusal's own message when no rule can be told apart. ``refusal`` is what the client's
    checks raised for it; ``catalog`` is the era catalog (a dict or a file), or a function
    that gives it, called only when a rule needs it."""
    from quillmarsh._explain import explain as every_rule

    if str(refusal) == _ALONE:
        refusal = ValueError(_backtest_timing._REQUIRED_MESSAGE.format(where=""))
    return every_rule(dict(signal), lambda: load_catalog(catalog() if callable(catalog) else catalog), refusal)


def _problem(index: int, exc: BaseException, signal: Any = None, catalog: Any = None) -> CheckedSignal:
    problems = tuple(explain(signal, exc, catalog=catalog)) if isinstance(signal, dict) else (one_line(exc),)
    return CheckedSignal(index, "signals/batch", None, None, "; ".join(problems), problems, exc)


def check_signals(signals: Iterable[Any], *, catalog: Any) -> list[CheckedSignal]:
    """One ``CheckedSignal`` per signal (the dicts ``submit_signals_batch`` takes), in order:
    the body and key each goes out with in a batch, or the problem that keeps it back. Raises
    only for an unusable catalog. Whole numbers are taken where a float is expected."""
    from quillmarsh._face import _batch_items, _graphs

    holder = _holder(catalog)
    items = _batch_items(list(signals))
    graphs = _graphs(items)
    ledger = _backtest_timing.UseLedger(graphs)
    outcomes: list[CheckedSignal] = []
    try:
        for start in range(0, len(items), _BLOCK):
            outcomes += _check_block(holder, items[start : start + _BLOCK], graphs[start : start + _BLOCK], start)
    finally:
        ledger.restore()
    return outcomes


def _check_block(holder: Any, items: list[Any], graphs: list[Any], start: int) -> list[CheckedSignal]:
    dicts = [item for item in items if isinstance(item, dict)]
    if len(dicts) == len(items):
        block = _backtest_timing.UseLedger(graphs)
        try:
            bodies = _bodies(holder, items)
        except Exception:  # noqa: BLE001 - a refusal names no signal: each is checked alone
            block.restore()
        else:
            return [_checked(start + i, body) for i, body in enumerate(bodies)]
    outcomes = []
    for offset, item in enumerate(items):
        index = start + offset
        if not isinstance(item, dict):
            outcomes.append(_problem(index, ValueError("each batch submission must be a dict")))
            continue
        one = _backtest_timing.UseLedger([graphs[offset]])
        try:
            [body] = _bodies(holder, [item])
        except Exception as exc:  # noqa: BLE001 - whatever the checks raise keeps the signal back
            one.restore()
            outcomes.append(_problem(index, exc, item, holder._era_catalog_cache))
        else:
            outcomes.append(_checked(index, body))
    return outcomes


def _checked(index: int, body: Any) -> CheckedSignal:
    """A prepared batch body, or its problems when the service would refuse it as a whole."""
    refused = body_problems(body)
    if refused:
        return CheckedSignal(index, "signals/batch", None, None, "; ".join(refused), tuple(refused))
    return CheckedSignal(index, "signals/batch", body, body.get("idempotency_key"))
