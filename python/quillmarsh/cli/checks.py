"""Every local check of the client, run without sending: the client's own operations on a
copy whose requests are kept instead of sent. What it keeps is exactly what the client would
have posted, idempotency keys included, so a batch checked here is sent as it was checked."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from .errors import one_line
from .signals import Problem, Signal

CHUNK = 100  # the client posts batches in chunks of this size


def _dry_client_type() -> type:
    from quillmarsh.submit import SignalServiceClient

    class DryClient(SignalServiceClient):
        """Keeps each request body and answers as a service that accepts everything would."""

        posted: list[tuple[str, Any]]

        def _canonical_request(self, method: str, endpoint: str, body: Any = None) -> tuple[int, dict]:
            self.posted.append((endpoint, body))
            return 202, {}

    return DryClient


class Checker:
    """Runs the client's checks against the service's era catalog (already read)."""

    def __init__(self, client: Any, catalog: dict[str, Any]):
        from quillmarsh import _backtest_timing

        self._timings = _backtest_timing
        self.dry = _dry_client_type()(client._base_url, client._jwt_token, transport=client._client)
        self.dry._era_catalog_cache = catalog
        self.dry.posted = []

    def _recorded(self, signals: Sequence[Signal]) -> list[Problem]:
        """A fresh registry holding the timings of exactly these signals (a check consumes them)."""
        from .signals import record_timings

        self._timings.clear_recorded_backtest_timings()
        return record_timings(signals, self._timings.record_backtest_timing)

    def submission(self, signal: Signal) -> tuple[str, dict[str, Any]]:
        """(endpoint, body) that ``submit_signal`` would post for the signal; raises what it raises."""
        problems = self._recorded([signal])
        if problems:
            raise ValueError(problems[0].message)
        fields = dict(signal.fields)
        self.dry.posted.clear()
        self.dry.submit_signal(fields.pop("graph"), fields.pop("named_universe", None), **fields)
        return self.dry.posted[0]

    def batch(self, signals: Sequence[Signal], progress: Callable[[int], None] = lambda n: None,
              ) -> tuple[list[tuple[Signal, dict[str, Any]]], list[Problem]]:
        """The body each signal goes out with in a batch, and the signals the checks refuse (all
        of them, not only the first), in file order."""
        prepared: list[tuple[Signal, dict[str, Any]]] = []
        problems: list[Problem] = []
        for start in range(0, len(signals), CHUNK):
            chunk = list(signals[start:start + CHUNK])
            refused = self._recorded(chunk)
            if not refused:
                try:
                    prepared.extend(zip(chunk, self._prepare(chunk)))
                    progress(len(chunk))
                    continue
                except Exception:  # noqa: BLE001 -- find the signals refused, one by one
                    pass
            for signal in chunk:  # a refusal names no signal: check each alone
                timing = self._recorded([signal])
                if timing:
                    problems.extend(timing)
                    continue
                try:
                    [body] = self._prepare([signal])
                except Exception as exc:  # noqa: BLE001 -- whatever the checks raise refuses the signal
                    message = refusal(self.dry._era_catalog_cache, signal.fields, exc)
                    problems.append(Problem(signal.where, signal.line, message, kind="refused"))
                else:
                    prepared.append((signal, body))
            progress(len(chunk))
        self._timings.clear_recorded_backtest_timings()
        return prepared, problems

    def _prepare(self, signals: Sequence[Signal]) -> list[dict[str, Any]]:
        self.dry.posted.clear()
        self.dry.submit_signals_batch([s.fields for s in signals])
        [(_, body)] = self.dry.posted
        return body["signals"]


# ---------------------------------------------------------------------------------------
# What a refusal of an unknown universe or pool should say: every such problem at once, and
# what the catalog holds instead.


def _names(collection: Any, fields: Sequence[str]) -> list[str]:
    from quillmarsh import submit

    if isinstance(collection, dict):
        return [str(key) for key in collection]
    names = []
    for record in collection if isinstance(collection, (list, tuple)) else ():
        for field in fields:
            value = submit._field_value(record, field)
            if value is not None:
                names.append(str(value))
                break
    return names


def identity_problems(catalog: Any, fields: dict[str, Any]) -> list[str]:
    """The universe and pool of a signal that the era it goes to does not have, each with the
    names the era has; none when the era itself cannot be told."""
    from quillmarsh import submit

    try:
        era = submit._required_active_submit_era(catalog, market_id=fields.get("market_id"),
                                                 era_number=fields.get("era_number"))
        universe = submit._validate_named_universe(fields.get("named_universe"))
    except Exception:  # noqa: BLE001 -- the client's own refusal says it then
        return []
    problems = []
    era_name = f"era {submit._field_value(era, 'era_number')}"
    if submit._rule_id_for_named_universe(era, universe) is None:
        known = _names(submit._field_value(era, "universe_rules"), ())
        known += [n for n in _names(submit._field_value(era, "universes"), ("named_universe", "id", "name"))
                  if n not in known]
        problems.append(f"named_universe {universe!r} is not in {era_name} (known: {', '.join(known) or 'none'})")
    pool = fields.get("signal_pool_name")
    if isinstance(pool, str) and submit._shared_selected_signal_pool_from_era_config(era, pool) is None:
        known = _names(submit._field_value(era, "signal_pools"), ("name", "signal_pool_name", "id"))
        problems.append(f"signal_pool_name {pool!r} is not in {era_name} (known: {', '.join(known) or 'none'})")
    return problems


def refusal(catalog: Any, fields: dict[str, Any], exc: BaseException) -> str:
    """The line that tells why the client refused a signal."""
    identity = identity_problems(catalog, fields)
    if identity:
        return "; ".join(identity)
    message = one_line(exc)
    gate, _, rest = message.partition(" failed: None ")
    if rest and gate.isidentifier():  # a threshold gate found no value to compare
        return f"{message} (is_stats has no {gate!r})"
    return message
