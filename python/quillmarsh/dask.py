"""Pre-screening and submitting a Dask collection of candidate signals from a cluster
(``pip install 'quillmarsh[dask]'``).

``submit_candidates(candidates, ...)`` takes a Dask bag or dataframe of candidate records
(the fields of a signal file, ``backtest_timing`` included: ``quillmarsh.records``) and
gives back the outcome of every candidate as a Dask dataframe:

- the era catalog is read once, by the caller (or given), and travels to each worker once,
  as one piece of the task graph;
- every candidate is pre-screened on the workers (``quillmarsh.check_signals``, after its
  backtest timing is recorded in the worker process), and the survivors of each partition
  are submitted in chunks of 100 (``SignalClient.submit_checked``, with the SDK's retries)
  through one ``SignalClient`` per worker process, held by the worker plugin
  ``SignalClients`` for all its tasks and closed with the worker;
- exactly once: each signal's idempotency key comes from its content, so a partition the
  engine runs again (its worker died midway) stores nothing twice; its signals come back
  ``already_stored`` with the submission id stored the first time.

The result has one row per candidate, in the candidates' partitions and order (a
dataframe's index is kept, so ``candidates.join(outcomes)`` lines them up; a bag's rows are
numbered within each partition, and ``candidates.zip(outcomes.to_bag(format="dict"))``
pairs them), with the columns of ``COLUMNS``. ``outcome`` is one of ``OUTCOMES``:

- ``accepted``: stored now; ``submission_id`` is its id.
- ``already_stored``: the service had it under the same key (sent before, by this run's
  earlier attempt at its partition or by another run); ``submission_id`` is the stored one.
- ``failed``: the service refused it (its status in ``status_code``, the cause in ``error``).
- ``unknown``: its request went out and no answer came, after the retries; it may or may
  not be stored, and submitting it again is safe.
- ``not_sent``: an earlier chunk of its partition failed as a whole, which stops the
  partition (as a batch stops); submitting it again is safe.
- ``invalid``: the record or the client's checks refused it (``error``: every problem).
- ``checked``: ``dry_run=True`` and every check passed; nothing was sent.

A submitting call is started at once (``persist``): on a cluster the outcomes are kept on
the workers as they come, and computing, saving or joining the result reads them rather than
submitting again (``distributed.wait(outcomes)`` waits for the last). A dry run is a lazy
dataframe like any other.

A dataframe's columns are the fields: a nested field either as an object column holding
dicts, or as dotted columns as ``pandas.json_normalize`` writes them (``is_stats.sharpe``,
``backtest_timing.row_count``); a missing value (None, NaN, NA) is an absent field. (Dask
turns object columns into strings when a dataframe is built from pandas unless
``dataframe.convert-string`` is off: dotted columns avoid that.) A bag's items are the
records (dicts), or JSON texts of them (the lines of ``dask.bag.read_text``).
"""

from __future__ import annotations

import atexit
import json
import math
import os
import threading
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

try:
    import dask
    import dask.bag
    import dask.dataframe
    import distributed
    import pandas as pd  # type: ignore[import-untyped]
    from dask.delayed import delayed
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(f"quillmarsh.dask needs the dask extra: pip install 'quillmarsh[dask]' ({exc})") from exc

from quillmarsh import (
    CheckedSignal,
    ChunkSent,
    ChunkSettled,
    SignalClient,
    check_signals,
    consume_recorded_backtest_timing,
    describe,
    record_backtest_timing,
)
from quillmarsh.causes import one_line
from quillmarsh.config import Settings, resolve_settings
from quillmarsh.prescreen import load_catalog
from quillmarsh.records import TIMING, read_signal_record

__all__ = ["COLUMNS", "OUTCOMES", "SignalClients", "submit_candidates"]

OUTCOMES = ("accepted", "already_stored", "failed", "unknown", "not_sent", "invalid", "checked")
COLUMNS = ("outcome", "submission_id", "idempotency_key", "status_code", "error")
STORED = frozenset({"accepted", "already_stored"})
PLUGIN_NAME = "quillmarsh-signal-clients"
NOT_SENT = "not sent: an earlier chunk of its partition failed as a whole; submitting it again is safe"


def _meta() -> pd.DataFrame:
    text = pd.Series([], dtype="string")
    return pd.DataFrame(
        {
            "outcome": text,
            "submission_id": text,
            "idempotency_key": text,
            "status_code": pd.Series([], dtype="Int64"),
            "error": text,
        }
    )


# ---------------------------------------------------------------------------------------
# One client per worker process


class SignalClients(distributed.WorkerPlugin):
    """The ``SignalClient`` of each service a worker's tasks submit to, one per worker process
    for all its tasks, made on first use and closed when the worker closes. Registered by
    ``submit_candidates`` under ``PLUGIN_NAME`` (once: a later registration keeps the one in
    place, so no client is closed under a running task)."""

    idempotent = True
    name = PLUGIN_NAME

    def __init__(self) -> None:
        self._clients: dict[Settings, SignalClient] = {}
        self._lock = threading.Lock()

    def __getstate__(self) -> dict[str, Any]:
        return {}  # travels empty: clients are made where they are used

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__()  # type: ignore[misc]

    def client(self, settings: Settings) -> SignalClient:
        """The client for ``settings``, made on the first call."""
        with self._lock:
            client = self._clients.get(settings)
            if client is None:
                client = self._clients[settings] = SignalClient(
                    settings.base_url, settings.token, timeout=settings.timeout, max_retries=settings.max_retries
                )
            return client

    def teardown(self, worker: Any = None) -> None:
        """Close every client."""
        with self._lock:
            clients, self._clients = list(self._clients.values()), {}
        for client in clients:
            client.close()


_process_clients = SignalClients()  # for tasks run outside a distributed worker (local schedulers)
atexit.register(_process_clients.teardown)


def _clients_here() -> SignalClients:
    try:
        plugin = distributed.get_worker().plugins.get(PLUGIN_NAME)
    except ValueError:  # not in a distributed worker
        return _process_clients
    return plugin if isinstance(plugin, SignalClients) else _process_clients


def _register_plugin() -> None:
    try:
        client = distributed.default_client()  # type: ignore[no-untyped-call]
    except ValueError:  # no cluster: the tasks run here, with this process's clients
        return
    client.register_plugin(SignalClients(), name=PLUGIN_NAME)


# ---------------------------------------------------------------------------------------
# Candidate records out of a partition


def _missing(value: Any) -> bool:
    return value is None or value is pd.NA or value is pd.NaT or (type(value) is float and math.isnan(value))


_ROW_COUNT = f"{TIMING}.row_count"  # a whole number, held as a float by a column with missing values


def _frame_records(frame: pd.DataFrame) -> list[dict[str, Any]]:
    """The records of a dataframe's rows: dotted columns nested, missing values left out, a
    row count held as a whole float taken as the int it is."""
    records: list[dict[str, Any]] = [{} for _ in range(len(frame))]
    nested = False
    for column in frame.columns:
        *parents, name = str(column).split(".")
        nested = nested or bool(parents)
        whole = str(column) == _ROW_COUNT
        values = frame[column].tolist()
        for record, value in zip(records, values):
            if _missing(value):
                continue
            if whole and type(value) is float and value.is_integer():
                value = int(value)
            target = record
            for parent in parents:
                inner = target.get(parent)
                if type(inner) is not _Nested:
                    inner = target[parent] = _Nested(inner) if isinstance(inner, dict) else _Nested()
                target = inner
            target[name] = value
    if nested:
        records = [_plain(record) for record in records]
    return records


class _Nested(dict):  # type: ignore[type-arg]
    """A dict made here for dotted columns (a dict held in a cell is copied, never changed)."""


def _plain(record: dict[str, Any]) -> dict[str, Any]:
    return {key: _plain(value) if type(value) is _Nested else value for key, value in record.items()}


def _item_record(item: Any) -> Any:
    """A bag's item as a record: a JSON text is read (an error of it is the record's problem)."""
    if isinstance(item, (str, bytes)):
        try:
            return json.loads(item)
        except ValueError as exc:
            return _Unreadable(f"invalid JSON: {exc}")
    return item


class _Unreadable(str):
    """The problem of a bag item that is not JSON."""


# ---------------------------------------------------------------------------------------
# One partition: read, record the timings, check, submit, give back what was not used

# check_signals puts the timing registry back as it found it: recording and checking are done
# under one lock, so that two tasks of one process never undo each other's recordings.
_registry_lock = threading.Lock()


class _Outcomes:
    """The columns of one partition's outcomes, filled position by position."""

    def __init__(self, count: int) -> None:
        self.outcome: list[str] = ["invalid"] * count
        self.submission_id: list[Any] = [None] * count
        self.idempotency_key: list[Any] = [None] * count
        self.status_code: list[Any] = [None] * count
        self.error: list[Any] = [None] * count

    def frame(self, index: Any) -> pd.DataFrame:
        return pd.DataFrame(
            {
                "outcome": pd.array(self.outcome, dtype="string"),
                "submission_id": pd.array(self.submission_id, dtype="string"),
                "idempotency_key": pd.array(self.idempotency_key, dtype="string"),
                "status_code": pd.array(self.status_code, dtype="Int64"),
                "error": pd.array(self.error, dtype="string"),
            },
            index=index,
        )


def _outcomes(records: Sequence[Any], index: Any, catalog: dict[str, Any], settings: Settings | None) -> pd.DataFrame:
    """The outcome of each record; ``settings`` None checks only."""
    out = _Outcomes(len(records))
    readable = []
    for position, record in enumerate(records):
        read = read_signal_record(record) if not isinstance(record, _Unreadable) else [str(record)]
        if isinstance(read, list):
            out.error[position] = "; ".join(read)
        else:
            readable.append((position, *read))
    recorded: list[tuple[int, Any]] = []  # (position, graph) of each timing this task recorded
    with _registry_lock:
        for position, fields, timing in readable:
            try:
                record_backtest_timing(fields.get("graph"), **timing)
            except ValueError as exc:
                out.error[position] = f"{TIMING}: {one_line(exc)}"
            else:
                recorded.append((position, fields["graph"]))
        fields_of = {position: fields for position, fields, _ in readable}
        checked = check_signals([fields_of[position] for position, _ in recorded], catalog=catalog)
    passed: list[tuple[int, CheckedSignal]] = []
    for (position, _), one in zip(recorded, checked):
        if one.ok:
            out.outcome[position] = "checked" if settings is None else "not_sent"
            out.idempotency_key[position] = one.idempotency_key
            passed.append((position, one))
        else:
            out.error[position] = one.problem
    try:
        if settings is not None and passed:
            _submit(out, passed, settings)
    finally:
        with _registry_lock:  # the timings of signals not stored are given back
            for position, graph in recorded:
                if out.outcome[position] not in STORED:
                    consume_recorded_backtest_timing(graph)
    return out.frame(index)


class _Recorder:
    """Writes what the SDK tells of each chunk into the outcomes of its signals."""

    def __init__(self, out: _Outcomes, positions: list[int], base_url: str) -> None:
        self.out, self.positions, self.base_url = out, positions, base_url

    def __call__(self, event: ChunkSent | ChunkSettled) -> None:
        out, positions = self.out, self.positions[event.start : event.start + event.count]
        if isinstance(event, ChunkSent):
            for position in positions:  # on its way: it may or may not reach the service
                out.outcome[position], out.error[position] = "unknown", "sent; no answer came"
            return
        result = event.result
        items = {item.index: item for item in (result.results if result is not None else ()) if type(item.index) is int}
        cause = describe(event.failure, base_url=self.base_url) if event.failure is not None else None
        for at, position in enumerate(positions, start=event.start):
            item = items.get(at)
            if item is not None:
                out.status_code[position] = item.status_code
                if item.status_code == 202:
                    out.outcome[position] = "already_stored" if item.replayed else "accepted"
                    out.submission_id[position], out.error[position] = item.submission_id, None
                else:
                    out.outcome[position], out.error[position] = "failed", describe(item, base_url=self.base_url)
            else:
                answered = result is not None and result.status_code != 0
                out.outcome[position] = "failed" if answered else "unknown"
                out.status_code[position] = result.status_code if result is not None else None
                out.error[position] = cause or "the service's answer holds no result for this signal"


def _submit(out: _Outcomes, passed: list[tuple[int, CheckedSignal]], settings: Settings) -> None:
    positions = [position for position, _ in passed]
    try:
        _clients_here().client(settings).submit_checked(
            [one for _, one in passed], on_chunk=_Recorder(out, positions, settings.base_url)
        )
    except Exception as exc:  # noqa: BLE001 - an answer the batch does not map: the chunk in flight is unknown
        cause = describe(exc, base_url=settings.base_url)
        for position in positions:
            if out.outcome[position] == "unknown":
                out.error[position] = cause
    for position in positions:
        if out.outcome[position] == "not_sent":
            out.error[position] = NOT_SENT


def _bag_partition(items: Iterable[Any], catalog: dict[str, Any], settings: Settings | None) -> pd.DataFrame:
    records = [_item_record(item) for item in items]
    return _outcomes(records, pd.RangeIndex(len(records)), catalog, settings)


def _frame_partition(frame: pd.DataFrame, catalog: dict[str, Any], settings: Settings | None) -> pd.DataFrame:
    return _outcomes(_frame_records(frame), frame.index, catalog, settings)


# ---------------------------------------------------------------------------------------
# The entry


def submit_candidates(
    candidates: dask.bag.Bag | dask.dataframe.DataFrame,
    *,
    base_url: str | None = None,
    token: str | None = None,
    profile: str | None = None,
    dry_run: bool = False,
    catalog: Mapping[str, Any] | str | os.PathLike[str] | None = None,
    timeout: float | None = None,
    max_retries: int | None = None,
) -> dask.dataframe.DataFrame:
    """Pre-screen every candidate of ``candidates`` (a Dask bag or dataframe of signal records)
    on the workers and submit those that pass; the outcome of each as a Dask dataframe (see
    the module's documentation).

    The service is found as ``SignalClient`` finds it (``base_url``, ``token``, ``profile``,
    else ``QUILLMARSH_BASE_URL`` and ``QUILLMARSH_TOKEN``), here, by the caller; ``timeout``
    and ``max_retries`` are the clients'. ``catalog`` (a dict, or the path of a JSON file)
    is the era catalog to check against instead of the service's, read once here.
    ``dry_run=True`` checks only: with a ``catalog`` it needs no service at all. Raises here,
    before any task runs, for settings that cannot be used, a catalog that cannot be read or
    used, and candidates that are not a bag or a dataframe."""
    if not isinstance(candidates, (dask.bag.Bag, dask.dataframe.DataFrame)):
        raise TypeError(f"candidates must be a Dask bag or dataframe, not {type(candidates).__name__}")
    settings = None
    if not dry_run or catalog is None:
        settings = resolve_settings(base_url, token, profile=profile, timeout=timeout, max_retries=max_retries)
        with SignalClient(
            settings.base_url, settings.token, timeout=settings.timeout, max_retries=settings.max_retries
        ) as client:
            read = client.era_catalog() if catalog is None else load_catalog(catalog)
    else:
        read = load_catalog(catalog)
    check_signals([], catalog=read)  # an unusable catalog is refused here
    shared = delayed(read, pure=True, traverse=False)  # one key: each worker fetches it once
    if dry_run:
        settings = None
    else:
        _register_plugin()
    outcomes = _mapped(candidates, shared, settings)
    result: dask.dataframe.DataFrame = outcomes if dry_run else outcomes.persist()
    return result


def _mapped(candidates: Any, shared: Any, settings: Settings | None) -> Any:
    if isinstance(candidates, dask.dataframe.DataFrame):
        return candidates.map_partitions(  # type: ignore[no-untyped-call]
            _frame_partition, shared, settings, meta=_meta(), transform_divisions=False, align_dataframes=False
        )
    parts = candidates.map_partitions(_bag_partition, shared, settings)
    return dask.dataframe.from_delayed(parts.to_delayed(), meta=_meta(), verify_meta=False)
