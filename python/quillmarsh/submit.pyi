"""Submit subcomponent — client-side signal and strategy submission.

Type stubs for the native extension ``quillmarsh.submit``. They list every
name the module binds: the public client, its errors and records, its private
helpers and converters (with their method kinds), its constants, and the host
modules and policy collaborators it looks up by name at call time (so that
replacing ``quillmarsh.submit.time`` or ``quillmarsh.submit.measure_graph_complexity``
type-checks like it works).
"""

import hashlib as hashlib
import json as json
import logging as logging
import math as math
import time as time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any, Final, NoReturn, Protocol, TypeAlias

import httpx as httpx

from quillmarsh import _backtest_timing as _backtest_timing
from quillmarsh._backtest_timing import BacktestTimingAssessment
from quillmarsh._graph_complexity import GraphComplexity
from quillmarsh._graph_complexity import measure_graph_complexity as measure_graph_complexity
from quillmarsh._pool_identity import (  # noqa: F401 - a module global of its own name
    selected_signal_pool_from_era_config as _shared_selected_signal_pool_from_era_config,
)
from quillmarsh._threshold_gates import evaluate_threshold_gates as evaluate_threshold_gates
from quillmarsh._transport_security import validate_bearer_transport_url as validate_bearer_transport_url
from quillmarsh.logging_style import log_library_surface_event as log_library_surface_event
from quillmarsh.signal_types import BatchSubmitItemResult as BatchSubmitItemResult
from quillmarsh.signal_types import BatchSubmitResult as BatchSubmitResult
from quillmarsh.signal_types import StatusResult as StatusResult
from quillmarsh.signal_types import SubmissionListResult as SubmissionListResult
from quillmarsh.signal_types import SubmitResult as SubmitResult

# --- shapes of the callables and objects the module is handed ------------------------------

_Json: TypeAlias = dict[str, Any]
_Headers: TypeAlias = dict[str, str]
# observer(method, url, headers copy, body bytes); its return value is ignored
_TransmissionObserver: TypeAlias = Callable[[str, str, dict[str, str], bytes], object]
_TransportBody: TypeAlias = bytes | _TransmissionObservedBody | None
# request_func(method, url, headers, body) -> (status_code, response bytes)
_RequestFunc: TypeAlias = Callable[[str, str, dict[str, str], _TransportBody], Iterable[Any]]

class _TransportResponse(Protocol):
    """A transport's answer: ``status_code`` and one of ``content``, ``text`` or ``json()``."""

    @property
    def status_code(self) -> int: ...

class _Transport(Protocol):
    """What an injected transport must offer (``request`` and ``close`` are optional)."""

    def post(self, path: str, *, content: Any = ..., headers: dict[str, str] = ...) -> Any: ...
    def get(self, path: str, *, headers: dict[str, str] = ...) -> Any: ...

# --- module constants -------------------------------------------------------------------

logger: logging.Logger
_MALFORMED_BODY_PREVIEW_BYTES: Final[int]
_SIGNALS_BATCH_CLIENT_CHUNK_SIZE: Final[int]
_TERMINAL_STATUSES: Final[frozenset[str]]
_POLL_INTERVAL_SECONDS: Final[float]
_UNRESERVED_BYTES: Final[frozenset[int]]
_RETIRED_UNIVERSE_ALIAS_KEYS: Final[tuple[str, ...]]

# --- errors -----------------------------------------------------------------------------

class SubmissionRejectedError(Exception):
    """Raised when the server rejects a submission or poll request."""

    status_code: int
    reason: Any
    details: Any
    body: dict[str, Any] | None
    def __init__(
        self, status_code: int, reason: Any, details: Any = None, body: dict[str, Any] | None = None
    ) -> None: ...

class SignalClientResponseError(Exception):
    """Raised when signal_service returns an invalid response body."""

    status_code: int
    url: str
    raw_body: bytes
    raw_body_preview: bytes
    def __init__(self, message: str, *, status_code: int, url: str, raw_body: bytes) -> None: ...

# --- records the module defines ------------------------------------------------------------

class SubmissionReceipt:
    """Receipt returned after successful signal/strategy submission."""

    submission_id: str
    def __init__(self, submission_id: str) -> None: ...

class SubmissionStatus:
    """Status returned by poll_status for a submitted signal/strategy."""

    submission_id: str
    status: str
    is_stats: dict[str, Any]
    payment: dict[str, Any] | None
    rejection_reason: str | None
    signal_pool_id: str | None
    is_correlation: Any
    agent_is_correlation: Any
    is_pnl_mi: Any
    agent_is_pnl_mi: Any
    failure_reason: str | None
    failure_detail: str | None
    failure_message: str | None
    def __init__(
        self,
        submission_id: str,
        status: str,
        is_stats: dict[str, Any],
        payment: dict[str, Any] | None,
        rejection_reason: str | None,
        signal_pool_id: str | None = None,
        is_correlation: Any = None,
        agent_is_correlation: Any = None,
        is_pnl_mi: Any = None,
        agent_is_pnl_mi: Any = None,
        failure_reason: str | None = None,
        failure_detail: str | None = None,
        failure_message: str | None = None,
    ) -> None: ...

# --- the observed request body -------------------------------------------------------------

class _TransmissionObservedBody:
    """Seekable request body that observes the first transport read."""

    _body_bytes: bytes
    _observer: _TransmissionObserver
    _method: str
    _url: str
    _headers: dict[str, str]
    _offset: int
    _observed: bool
    def __init__(
        self, body_bytes: bytes, observer: _TransmissionObserver, method: str, url: str, headers: Mapping[str, str]
    ) -> None: ...
    @property
    def consumed(self) -> bool: ...
    def _observe_once(self) -> None: ...
    def read(self, size: int | None = -1) -> bytes: ...
    def seek(self, offset: int, whence: int = 0) -> int: ...
    def tell(self) -> int: ...
    def __iter__(self) -> Iterator[bytes]: ...
    def __next__(self) -> bytes: ...

# --- the client -------------------------------------------------------------------------

class SignalServiceClient:
    """Result-based HTTP SDK facade backed by the canonical submit transport."""

    _base_url: str
    _jwt_token: str
    _timeout: float
    _transmission_observer: _TransmissionObserver | None
    _client: Any
    _era_catalog_cache: dict[str, Any] | None
    def __init__(
        self,
        base_url: str,
        jwt_token: str,
        *,
        timeout: float = 30.0,
        transport: _Transport | Any | None = None,
        transmission_observer: _TransmissionObserver | None = None,
    ) -> None: ...
    def close(self) -> None: ...
    def _response_content(self, response: Any) -> bytes: ...
    def _transport_request(
        self, method: str, url: str, headers: dict[str, str], body_content: _TransportBody
    ) -> tuple[int, bytes]: ...
    def _canonical_request(self, method: str, endpoint: str, body: Any = None) -> tuple[int, dict[str, Any]]: ...
    def _fetch_era_catalog(self) -> dict[str, Any]: ...
    def _resolve_submit_thresholds(
        self, named_universe: str, signal_pool_name: str, market_id: Any = None, era_number: Any = None
    ) -> dict[str, Any]: ...
    @staticmethod
    def _submit_result_from_body(status_code: int, body: dict[str, Any]) -> SubmitResult: ...
    @staticmethod
    def _batch_item_result_from_body(item: dict[str, Any]) -> BatchSubmitItemResult: ...
    @classmethod
    def _batch_result_from_body(cls, status_code: int, body: Any, *, error: Any = None) -> BatchSubmitResult: ...
    @staticmethod
    def _batch_body_item_from_result(item: BatchSubmitItemResult) -> dict[str, Any]: ...
    @staticmethod
    def _batch_http_status_for_items(results: Sequence[BatchSubmitItemResult]) -> int: ...
    @classmethod
    def _combine_batch_chunk_results(cls, chunk_results: Sequence[BatchSubmitResult]) -> BatchSubmitResult: ...
    @classmethod
    def _batch_result_with_partial_failure(
        cls, failure: BatchSubmitResult, prior_results: list[BatchSubmitItemResult], total_count: int
    ) -> BatchSubmitResult: ...
    @staticmethod
    def _rebase_batch_item_indices(result: BatchSubmitResult, index_offset: int) -> None: ...
    @staticmethod
    def _status_result_from_body(status_code: int, body: dict[str, Any]) -> StatusResult: ...
    @staticmethod
    def _submission_list_result_from_body(
        status_code: int, body: Any, *, error: Any = None
    ) -> SubmissionListResult: ...
    @staticmethod
    def _submit_result_from_rejection(exc: SubmissionRejectedError) -> SubmitResult: ...
    @staticmethod
    def _status_result_from_rejection(exc: SubmissionRejectedError) -> StatusResult: ...
    @staticmethod
    def _error_body_from_response_error(exc: SignalClientResponseError) -> tuple[str, dict[str, Any]]: ...
    @classmethod
    def _submit_result_from_response_error(cls, exc: SignalClientResponseError) -> SubmitResult: ...
    @classmethod
    def _batch_result_from_response_error(cls, exc: SignalClientResponseError) -> BatchSubmitResult: ...
    @classmethod
    def _status_result_from_response_error(cls, exc: SignalClientResponseError) -> StatusResult: ...
    @staticmethod
    def _submit_result_from_transport_error(exc: BaseException) -> SubmitResult: ...
    @staticmethod
    def _batch_result_from_transport_error(exc: BaseException) -> BatchSubmitResult: ...
    @staticmethod
    def _status_result_from_transport_error(exc: BaseException) -> StatusResult: ...
    @staticmethod
    def _idempotency_key_for_body(body: Mapping[str, Any]) -> str: ...
    @staticmethod
    def _validate_submission_contract(
        signal_pool_name: Any,
        is_stats: Any,
        is_pnl_mi: Any,
        expression_elapsed_seconds: Any,
        thresholds: Mapping[str, Any] | None = None,
        client_manifest_version: int | None = None,
        client_manifest_market_id: int | None = None,
        client_manifest_era_number: int | None = None,
    ) -> None: ...
    def submit_signal(
        self,
        graph: Any,
        named_universe: str | None = None,
        *,
        signal_pool_name: str,
        is_stats: dict[str, Any],
        is_pnl_mi: float | str,
        metaparameters: Any = None,
        expression_elapsed_seconds: float,
        search_state: Any = None,
        idempotency_key: Any = None,
        threshold_checks: None = None,
        thresholds: None = None,
        client_manifest_version: int | None = None,
        market_id: int | None = None,
        era_number: int | None = None,
        client_manifest_market_id: int | None = None,
        client_manifest_era_number: int | None = None,
    ) -> SubmitResult: ...
    def submit_strategy(
        self,
        graph: Any,
        named_universe: str | None = None,
        *,
        strategy_pool_name: str,
        market_id: int,
        era_number: int,
        metaparameters: Any = None,
        idempotency_key: Any = None,
        client_manifest_version: int | None = None,
        client_manifest_market_id: int | None = None,
        client_manifest_era_number: int | None = None,
    ) -> SubmitResult: ...
    def submit_signals_batch(self, submissions: Sequence[Mapping[str, Any]]) -> BatchSubmitResult: ...
    def get_signal_status(self, submission_id: str) -> StatusResult: ...
    def list_signal_submissions(
        self, *, status: Any = None, idempotency_key: Any = None, since: Any = None, limit: int | float | None = 100
    ) -> SubmissionListResult: ...
    def poll_until_terminal(self, submission_id: str, *, timeout: float) -> StatusResult: ...

# --- module-level helpers -------------------------------------------------------------------

# request core
def _request_json(
    method: str,
    endpoint: str,
    get_token: Callable[[], object],
    server_url: str,
    body: Any,
    request_func: _RequestFunc,
    transmission_observer: _TransmissionObserver | None = None,
) -> tuple[int, dict[str, Any]]: ...
def _join_url(server_url: str, endpoint: str) -> str: ...
def _percent_encode(value: str) -> str: ...
def _parse_response_json(
    status_code: int, response_body_bytes: bytes | str, url: str, *, operation: str
) -> dict[str, Any]: ...
def _raise_submission_rejected(status_code: int, response_data: dict[str, Any]) -> NoReturn: ...
def _requires_legacy_signal_pool_id_retry(exc: SubmissionRejectedError) -> bool: ...

# metric and MI contract
def _is_finite_number(value: object) -> bool: ...
def _has_non_finite_number(value: object) -> bool: ...
def _has_disallowed_mi_contract_field(value: object) -> bool: ...
def _coerce_mi_contract_value(value: object) -> float: ...
def _mi_contract_json_value(value: object) -> float | str: ...
def _stat_metric(is_stats: Mapping[str, Any], keys: Iterable[str]) -> float | None: ...
def _submission_is_stats_payload(is_stats: Mapping[str, Any]) -> dict[str, Any]: ...

# thresholds, manifest and identifiers
def _reject_caller_threshold_authority(threshold_checks: object = None, thresholds: object = None) -> None: ...
def _validate_submission_thresholds(
    is_stats: Any, is_pnl_mi: Any, thresholds: Mapping[str, Any] | None = None
) -> None: ...
def _validate_optional_manifest_int(value: object, field_name: str) -> int | None: ...
def _validate_named_universe(value: str | None) -> str: ...
def _validate_selected_pool_id(value: object, field_name: str = "signal_pool_id") -> None: ...
def _reject_retired_universe_aliases(body: object) -> None: ...

# era catalog
def _field_value(value: Any, key: str, default: Any = None) -> Any: ...
def _mapping_lookup(mapping: Any, key: Any) -> Any: ...
def _coerce_optional_int(value: object) -> int | None: ...
def _active_era_from_catalog(catalog: Any, market_id: Any = None, era_number: Any = None) -> Any: ...
def _required_active_submit_era(catalog: Any, market_id: Any = None, era_number: Any = None) -> Any: ...
def _required_positive_era_int(era: Any, field_name: str) -> int: ...
def _required_era_frequency(era: Any) -> str: ...
def _simulation_data_contract_projection_from_era(era: Any) -> dict[str, Any] | None: ...
def _rule_id_for_named_universe(era: Any, named_universe: str) -> Any: ...
def _signal_is_thresholds_for_pool(pool: Any, rule_id: Any) -> dict[str, Any]: ...
def _submission_thresholds_from_era_catalog(
    catalog: Any, named_universe: str, signal_pool_name: str, market_id: Any = None, era_number: Any = None
) -> dict[str, Any]: ...
def _enforce_graph_complexity_for_submit(graph: Any, era: Any) -> GraphComplexity: ...
def _enforce_recorded_backtest_timing_for_submit(graph: Any, era: Any) -> BacktestTimingAssessment: ...

# status results
def _coerce_status_metric(value: Any) -> Any: ...
def _failure_reason_from_status_body(body: Mapping[str, Any]) -> Any: ...
def _public_status_body(body: dict[str, Any]) -> dict[str, Any]: ...

# the steps the asynchronous client drives with await (quillmarsh.async_client)
_Exchange: TypeAlias = Any  # an operation's exchange: opaque
_Transmission: TypeAlias = Any  # one request on its way: opaque

def _exchange(operation: str, subject: SignalServiceClient, /, *args: Any, **kwargs: Any) -> _Exchange: ...
def _exchange_next(exchange: _Exchange) -> tuple[int, str, str, Any] | None: ...
def _exchange_answered(exchange: _Exchange, tag: int, status_code: int, body: dict[str, Any]) -> None: ...
def _exchange_failed(exchange: _Exchange, tag: int, exc: BaseException) -> None: ...
def _exchange_result(exchange: _Exchange) -> Any: ...
def _exchange_settled(exchange: _Exchange, tag: int) -> Any: ...
def _poll_deadline(timeout: float) -> float: ...
def _poll_delay(last: StatusResult, deadline: float) -> float | None: ...
def _settle_era_catalog(
    client: SignalServiceClient, answer: tuple[int, dict[str, Any]] | None, failure: BaseException | None
) -> dict[str, Any]: ...
def _transmission_begin(client: SignalServiceClient, method: str, endpoint: str, body: Any) -> _Transmission: ...
def _transmission_send(
    transmission: _Transmission, transport: Any, stream_type: Callable[[Any], Any] | None
) -> Any: ...
def _transmission_answer(client: SignalServiceClient, response: Any) -> tuple[int, bytes]: ...
def _transmission_failed(transmission: _Transmission, exc: BaseException) -> NoReturn: ...
def _transmission_end(
    transmission: _Transmission, status_code: int, response_bytes: bytes
) -> tuple[int, dict[str, Any]]: ...
