"""What the service does for each route, apart from HTTP: submissions with idempotency,
batches, status reads and listings. Each operation returns (HTTP status, JSON body) or
raises ``Refusal``."""

from __future__ import annotations

import datetime as dt
import threading
from typing import Any

from . import lifecycle
from .catalog import Catalog
from .store import IdempotencyConflict, Store, now_us
from .validation import Refusal, check_signal, check_strategy, explain, fingerprint, malformed

__all__ = ["BATCH_LIMIT", "LIST_LIMIT", "Operations"]

# The answer a client that still sends the older signal_pool_id field retries on: its
# "detail" is matched word for word, so it keeps that field beside "details".
LEGACY_DEMAND = "signal_pool_id is required"

BATCH_LIMIT = 100
LIST_LIMIT = 1000


def iso(us: int) -> str:
    moment = dt.datetime.fromtimestamp(us // 1_000_000, dt.UTC).replace(microsecond=us % 1_000_000)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def parse_since(text: str) -> int:
    try:
        moment = dt.datetime.fromisoformat(text.strip().replace("Z", "+00:00").replace("z", "+00:00"))
    except ValueError:
        raise malformed(
            f"since must be an ISO-8601 time such as 2024-07-01T00:00:00Z, got {text!r}", field="since"
        ) from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=dt.UTC)
    delta = moment - dt.datetime(1970, 1, 1, tzinfo=dt.UTC)
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def _shown(text: str, limit: int = 200) -> str:
    return repr(text) if len(text) <= limit else f"{text[:limit]!r}... ({len(text)} characters)"


class Operations:
    def __init__(
        self,
        catalog: Catalog,
        store: Store,
        progression: lifecycle.Progression,
        *,
        demand_signal_pool_id_once: bool = False,
    ):
        self.catalog = catalog
        self.store = store
        self.progression = progression
        self._lock = threading.Lock()
        self._demand_signal_pool_id = demand_signal_pool_id_once

    def _demands_signal_pool_id(self, body: Any) -> bool:
        """True once, for the first signal submitted without the older signal_pool_id field."""
        if not isinstance(body, dict) or body.get("signal_pool_id") is not None:
            return False
        with self._lock:
            demanded, self._demand_signal_pool_id = self._demand_signal_pool_id, False
        return demanded

    def submit(self, kind: str, body: Any, header_key: str | None = None) -> tuple[int, dict[str, Any], bool]:
        """(status, answer, replayed) for one signal or strategy."""
        if kind == "signal" and self._demands_signal_pool_id(body):
            raise Refusal(
                400,
                {
                    "error": "malformed_request",
                    "detail": LEGACY_DEMAND,
                    "details": explain(LEGACY_DEMAND, field="signal_pool_id"),
                },
            )
        checked = check_signal(self.catalog, body) if kind == "signal" else check_strategy(self.catalog, body)
        body_key = body.get("idempotency_key") or None
        if body_key and header_key and body_key != header_key:
            raise malformed(
                "the Idempotency-Key header and the body's idempotency_key differ; send one, or the same key in both",
                field="idempotency_key",
            )
        key = body_key or header_key or None

        def build(submission_id: str, created_us: int) -> dict[str, Any]:
            answer = {
                "submission_id": submission_id,
                "status": lifecycle.QUEUED,
                "kind": kind,
                "signal_pool_id": checked.signal_pool_id,
                "strategy_pool_id": checked.strategy_pool_id,
                "strategy_signal_pool": checked.strategy_signal_pool,
                "market_id": checked.market_id,
                "era_number": checked.era_number,
                "named_universe": checked.named_universe,
                "idempotency_key": key,
                "created_at": iso(created_us),
            }
            return {
                "submission_id": submission_id,
                "idempotency_key": key,
                "created_at": iso(created_us),
                "created_us": created_us,
                "answer": answer,
                "facts": lifecycle.facts(checked),
                "verdict": lifecycle.verdict(checked),
            }

        try:
            record, replayed = self.store.create(key, fingerprint(kind, body), build)
        except IdempotencyConflict as conflict:
            raise Refusal(
                409,
                {
                    "error": "idempotency_conflict",
                    "reason": "idempotency_key_reused",
                    "details": explain(
                        f"idempotency key {key!r} was used for a different request (submission "
                        f"{conflict.submission_id}); send this one under a new key",
                        field="idempotency_key",
                        submission_id=conflict.submission_id,
                    ),
                },
            ) from None
        return 202, record["answer"], replayed

    def batch(self, body: Any) -> tuple[int, dict[str, Any]]:
        if not isinstance(body, dict) or not isinstance(body.get("signals"), list):
            raise malformed('request body must be an object with a "signals" list', field="signals")
        signals = body["signals"]
        if len(signals) > BATCH_LIMIT:
            raise Refusal(
                413,
                {
                    "error": "batch_too_large",
                    "details": explain(
                        f"at most {BATCH_LIMIT} signals per request, got {len(signals)}; split the batch",
                        field="signals",
                        maximum=BATCH_LIMIT,
                    ),
                },
            )
        results = []
        for index, item in enumerate(signals):
            try:
                status, answer, replayed = self.submit("signal", item)
                answer = {**answer, "replayed": replayed}  # an item has no header of its own to say so
            except Refusal as refusal:
                status, answer = refusal.status, refusal.body
            results.append({"index": index, "status_code": status, "body": answer})
        accepted = sum(1 for r in results if r["status_code"] == 202)
        return (202 if accepted == len(results) else 207), {
            "accepted": accepted,
            "failed": len(results) - accepted,
            "results": results,
        }

    def _current(self, record: dict[str, Any], polls: int) -> str:
        return self.progression.status(
            record["verdict"]["status"], polls=polls, created_us=record["created_us"], now_us=now_us()
        )

    def status(self, submission_id: str) -> tuple[int, dict[str, Any]]:
        found = self.store.poll(submission_id)
        if found is None:
            raise Refusal(
                404, {"error": "not_found", "details": explain(f"no submission with id {_shown(submission_id)}")}
            )
        record, polls = found
        return 200, lifecycle.status_body(record, self._current(record, polls))

    def listing(self, query: dict[str, str]) -> tuple[int, dict[str, Any]]:
        wanted = query.get("status") or None
        key = query.get("idempotency_key") or None
        after = parse_since(query["since"]) if query.get("since") else None
        limit_text = query.get("limit") or "100"
        try:
            limit = int(limit_text)
        except ValueError:
            limit = 0
        if not 1 <= limit <= LIST_LIMIT:
            raise malformed(
                f"limit must be an integer from 1 to {LIST_LIMIT}, got {limit_text!r}",
                field="limit",
                minimum=1,
                maximum=LIST_LIMIT,
            )
        found = []
        for record, polls in self.store.scan(key=key, after_us=after):
            status = self._current(record, polls)
            if wanted is None or status == wanted:
                found.append(lifecycle.status_body(record, status))
                if len(found) == limit:
                    break
        return 200, {
            "submissions": found,
            "count": len(found),
            "next_since": found[-1]["created_at"] if len(found) == limit else None,
        }
