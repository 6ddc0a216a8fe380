"""Hostile callers against every public operation, client member and module function.

Each entry starts from inputs that work (arguments, the cached era catalog, the transport's
answer). Every position in those inputs is then replaced, one at a time, by a hostile twin
(see hostile.py), and every dict gets a key colliding with each name the client may look up
in it. The twin's trap strikes on its first, second or fourth touch: it clears or scrambles
every container of the call, or raises. Whatever happens, the interpreter must come out with
a result or an ordinary exception; a SystemError (a native function that returned without
its error, or with one left set), a crash or a sanitizer report is a finding.
"""

from __future__ import annotations

import asyncio
import copy
import dataclasses
import json
from collections.abc import Callable
from typing import Any

import pytest
from fakes import (
    SIGNAL_GRAPH,
    AsyncTransport,
    FakeResponse,
    RecordingTransport,
    RequestFunc,
    signal_catalog,
    signal_kwargs,
)
from hostile import CollidingKey, HObject, Trap, hostile_twin

from quillmarsh import _backtest_timing, submit
from quillmarsh.async_client import AsyncSignalServiceClient
from quillmarsh.signal_types import BatchSubmitResult, StatusResult, SubmissionListResult, SubmitResult

C = submit.SignalServiceClient

# Names the client may look up in a dict that lacks them: colliding with one of these runs
# the key's __eq__ on a lookup that finds nothing.
ABSENT = [
    "thresholds",
    "threshold_checks",
    "signal_pool_id",
    "idempotency_key",
    "_threshold_checks",
    "universe_id",
    "valid_universe_id",
    "is_mi",
    "detail",
    "details",
    "reason",
    "error",
    "results",
    "body",
    "eras",
    "eras_by_market",
    "state",
    "rule_id",
    "universes",
    "signal_is_thresholds",
]


@dataclasses.dataclass
class Entry:
    name: str
    inputs: Callable[[], dict]  # fresh inputs that work
    run: Callable[[dict], Any]  # the call, given the (possibly hostile) inputs
    returns: tuple = (object,)  # what a normal return must be


class Response:
    """The inputs' answer, read when the client reads it (its parts may be hostile twins)."""

    def __init__(self, answer):
        self.status_code, self.content = answer["status_code"], answer["content"]


def answer_of(inputs, path):
    """The inputs' answer; GET eras answers with the inputs' `eras` when they have one."""
    eras = inputs.get("eras")
    return Response(eras if eras is not None and path.endswith("/eras") else inputs["answer"])


def async_client_over(inputs):
    """An asynchronous client over the inputs' answers, observing its bodies; without a cached
    catalog it fetches the inputs' `eras`."""
    client = AsyncSignalServiceClient(
        "https://signals.example",
        "tok",
        transmission_observer=lambda *a: None,
        transport=AsyncTransport(otherwise=lambda path: answer_of(inputs, path)),
    )
    current_trap.victims.append(vars(client._twin))
    client._twin._era_catalog_cache = inputs["catalog"]
    return client


def run_async(call):
    return lambda i: asyncio.run(call(i))


# The trap of the call under way: a client built for the call is among its victims.
current_trap = Trap("raise", 0)


def client_over(inputs):
    client = C(
        "https://signals.example",
        "tok",
        transport=RecordingTransport(otherwise=lambda path: Response(inputs["answer"])),
    )
    current_trap.victims.append(vars(client))
    if "close" in inputs:
        client._client.close = inputs["close"]
    client._era_catalog_cache = inputs["catalog"]
    return client


def answer(status_code, body):
    return {"status_code": status_code, "content": json.dumps(body).encode()}


def record(graph):
    _backtest_timing.record_backtest_timing(graph, row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01)


def submit_signal_inputs():
    return {
        "graph": SIGNAL_GRAPH,
        "universe": "us_top",
        "catalog": signal_catalog(),
        "answer": answer(202, {"submission_id": "s-1"}),
        "kwargs": signal_kwargs(
            metaparameters={"w": [1, 2.5]},
            market_id=7,
            era_number=3,
            client_manifest_version=1,
            search_state={"s": "x"},
        ),
    }


def run_submit_signal(i):
    record(i["graph"])
    return client_over(i).submit_signal(i["graph"], i["universe"], **i["kwargs"])


def batch_inputs():
    signal = {
        "graph": SIGNAL_GRAPH,
        "named_universe": "us_top",
        **signal_kwargs(),
        "era_number": 3,
        "client_manifest_version": 1,
    }
    return {
        "catalog": signal_catalog(),
        "answer": answer(
            202,
            {
                "results": [{"index": 0, "status_code": 202, "body": {"submission_id": "s-1"}}],
                "accepted": 1,
                "failed": 0,
            },
        ),
        "submissions": [signal, dict(signal, graph="x(y)")],
    }


def run_batch(i):
    for item in i["submissions"]:
        if isinstance(item, dict):
            record(item.get("graph"))
    return client_over(i).submit_signals_batch(i["submissions"])


def strategy_inputs():
    return {
        "catalog": {},
        "answer": answer(202, {"submission_id": "st-1"}),
        "kwargs": {
            "graph": "g(x)",
            "named_universe": "us_top",
            "strategy_pool_name": "sp-1",
            "market_id": 7,
            "era_number": 3,
            "metaparameters": {"w": 1},
            "client_manifest_version": 2,
        },
    }


def status_inputs():
    return {
        "catalog": {},
        "answer": answer(
            200,
            {
                "status": "signal_found",
                "is_stats": {"sharpe": "Infinity"},
                "payment": 1.5,
                "failure_detail": {"reason": "x"},
            },
        ),
        "id": "a b/c",
    }


def listing_inputs():
    return {
        "catalog": {},
        "answer": answer(200, {"submissions": [{"submission_id": "s", "status": "queued"}]}),
        "filters": {"status": "queued", "idempotency_key": "k", "since": "2024-05-01T00:00:00Z", "limit": 5.0},
    }


def rejection():
    return submit.SubmissionRejectedError(
        400,
        "malformed_request",
        {"field": "x"},
        body={"error": "malformed_request", "detail": "signal_pool_id is required"},
    )


def malformed():
    return submit.SignalClientResponseError("bad", status_code=400, url="https://s/x", raw_body=b"<html>" * 100)


def item_results():
    return C._batch_result_from_body(
        207,
        {
            "results": [
                {"index": 0, "status_code": 202, "body": {"submission_id": "a"}},
                {"index": 1, "status_code": 409, "body": {"reason": "dup"}},
            ]
        },
    )


def era_catalog():
    return {"eras_by_market": {"7": [{"era_number": 3, "state": "active", "market_id": 7}]}, **signal_catalog()}


def run_prepared_batch(i):
    """Bodies already checked, posted as a batch posts its own: chunks handed out, answered, read."""
    exchange = submit._exchange("submit_prepared_batch", client_over(i), i["bodies"])
    while (request := submit._exchange_next(exchange)) is not None:
        submit._exchange_answered(exchange, request[0], 200, i["chunk_answer"])
        submit._exchange_settled(exchange, request[0])
    return submit._exchange_result(exchange)


OPERATIONS = [
    Entry("submit_signal", submit_signal_inputs, run_submit_signal, (SubmitResult,)),
    Entry("submit_signals_batch", batch_inputs, run_batch, (BatchSubmitResult,)),
    Entry("submit_strategy", strategy_inputs, lambda i: client_over(i).submit_strategy(**i["kwargs"]), (SubmitResult,)),
    Entry("get_signal_status", status_inputs, lambda i: client_over(i).get_signal_status(i["id"]), (StatusResult,)),
    Entry(
        "poll_until_terminal",
        status_inputs,
        lambda i: client_over(i).poll_until_terminal(i["id"], timeout=0.0),
        (StatusResult,),
    ),
    Entry(
        "list_signal_submissions",
        listing_inputs,
        lambda i: client_over(i).list_signal_submissions(**i["filters"]),
        (SubmissionListResult,),
    ),
    Entry(
        "_resolve_submit_thresholds",
        lambda: {
            "catalog": signal_catalog(),
            "answer": answer(200, {}),
            "args": ["us_top", "pool-a"],
            "kwargs": {"market_id": 7},
        },
        lambda i: client_over(i)._resolve_submit_thresholds(*i["args"], **i["kwargs"]),
    ),
    Entry(
        "_canonical_request",
        lambda: {
            "catalog": None,
            "answer": answer(200, {"ok": [1, {"a": None}]}),
            "body": {"idempotency_key": "k", "x": [1.5, "y"]},
        },
        lambda i: client_over(i)._canonical_request("POST", "signals/submit", i["body"]),
    ),
    Entry(
        "_response_content",
        lambda: {"catalog": None, "answer": answer(200, {}), "content": "text"},
        lambda i: client_over(i)._response_content(type("R", (), {"content": i["content"], "text": "t"})()),
    ),
    Entry(
        "close",
        lambda: {"catalog": None, "answer": answer(200, {}), "close": lambda: None},
        lambda i: client_over(i).close(),
    ),
    Entry(
        "SignalServiceClient",
        lambda: {"args": ["https://signals.example", "tok"], "timeout": 3.0},
        lambda i: C(
            *i["args"], timeout=i["timeout"], transport=RecordingTransport(otherwise=lambda path: FakeResponse())
        ),
    ),
    Entry(
        "submit_prepared_batch",
        lambda: {
            "catalog": None,
            "answer": answer(200, {}),
            "bodies": [{"graph": "g(x)", "idempotency_key": f"k{n}"} for n in range(3)],
            "chunk_answer": {"results": [{"index": 0, "status_code": 202, "body": {"submission_id": "a"}}]},
        },
        run_prepared_batch,
        (BatchSubmitResult,),
    ),
]

# The asynchronous client's operations drive the module's exchange and transmission steps.
ASYNC_OPERATIONS = [
    Entry(
        "async submit_signal",
        lambda: {**submit_signal_inputs(), "catalog": None, "eras": answer(200, signal_catalog())},
        run_async(
            lambda i: (
                record(i["graph"]),
                async_client_over(i).submit_signal(i["graph"], i["universe"], **i["kwargs"]),
            )[1]
        ),
        (SubmitResult,),
    ),
    Entry(
        "async submit_signals_batch",
        batch_inputs,
        run_async(
            lambda i: (
                [record(s.get("graph")) for s in i["submissions"] if isinstance(s, dict)],
                async_client_over(i).submit_signals_batch(i["submissions"], max_concurrency=2),
            )[1]
        ),
        (BatchSubmitResult,),
    ),
    Entry(
        "async submit_strategy",
        strategy_inputs,
        run_async(lambda i: async_client_over(i).submit_strategy(**i["kwargs"])),
        (SubmitResult,),
    ),
    Entry(
        "async poll_until_terminal",
        status_inputs,
        run_async(lambda i: async_client_over(i).poll_until_terminal(i["id"], timeout=0.0)),
        (StatusResult,),
    ),
    Entry(
        "async list_signal_submissions",
        listing_inputs,
        run_async(lambda i: async_client_over(i).list_signal_submissions(**i["filters"])),
        (SubmissionListResult,),
    ),
]

# Module functions and the client's static and class methods: (name, callable, args, kwargs).
FUNCTIONS = [
    (
        "_request_json",
        submit._request_json,
        lambda: [
            "POST",
            "signals/submit",
            lambda: "tok",
            "https://s.example",
            {"idempotency_key": "k", "a": [1]},
            RequestFunc(200, {"a": [1]}),
        ],
        {"transmission_observer": lambda *a: None},
    ),
    ("_join_url", submit._join_url, lambda: ["https://s.example//", "//eras"], {}),
    ("_percent_encode", submit._percent_encode, lambda: ["a b/\u00e9"], {}),
    (
        "_parse_response_json",
        submit._parse_response_json,
        lambda: [200, b'{"a": [1]}', "https://s/x"],
        {"operation": "eras"},
    ),
    (
        "_raise_submission_rejected",
        submit._raise_submission_rejected,
        lambda: [422, {"reason": "r", "error": "e", "details": {"a": 1}}],
        {},
    ),
    ("_requires_legacy_signal_pool_id_retry", submit._requires_legacy_signal_pool_id_retry, lambda: [rejection()], {}),
    ("_is_finite_number", submit._is_finite_number, lambda: [1.5], {}),
    ("_has_non_finite_number", submit._has_non_finite_number, lambda: [{"a": [1, {"b": 2.5}], "c": (3,)}], {}),
    ("_coerce_mi_contract_value", submit._coerce_mi_contract_value, lambda: ["Infinity"], {}),
    ("_mi_contract_json_value", submit._mi_contract_json_value, lambda: [0.4], {}),
    (
        "_has_disallowed_mi_contract_field",
        submit._has_disallowed_mi_contract_field,
        lambda: [{"a": {"b": [1, {"c": 2}]}}],
        {},
    ),
    ("_stat_metric", submit._stat_metric, lambda: [{"sharpe": 1.5, "is_sharpe": 2}, ["x", "sharpe"]], {}),
    (
        "_submission_is_stats_payload",
        submit._submission_is_stats_payload,
        lambda: [{"sharpe": 1.5, "_threshold_checks": {}}],
        {},
    ),
    ("_reject_caller_threshold_authority", submit._reject_caller_threshold_authority, lambda: [None, None], {}),
    (
        "_validate_submission_thresholds",
        submit._validate_submission_thresholds,
        lambda: [{"sharpe": 1.5, "is_correlation": 0.2}, 0.4],
        {"thresholds": {"min_sharpe": 1.0, "is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1}},
    ),
    ("_validate_optional_manifest_int", submit._validate_optional_manifest_int, lambda: [3, "field"], {}),
    ("_validate_selected_pool_id", submit._validate_selected_pool_id, lambda: [" pool-a ", "signal_pool_name"], {}),
    ("_validate_named_universe", submit._validate_named_universe, lambda: [" us_top "], {}),
    ("_reject_retired_universe_aliases", submit._reject_retired_universe_aliases, lambda: [{"graph": "g", "x": 1}], {}),
    ("_field_value", submit._field_value, lambda: [{"a": 1, "b": 2}, "b", 0], {}),
    ("_mapping_lookup", submit._mapping_lookup, lambda: [{"12": {"a": 1}, 13: 2}, 12], {}),
    ("_coerce_optional_int", submit._coerce_optional_int, lambda: ["12"], {}),
    (
        "_active_era_from_catalog",
        submit._active_era_from_catalog,
        lambda: [era_catalog()],
        {"market_id": 7, "era_number": 3},
    ),
    ("_required_active_submit_era", submit._required_active_submit_era, lambda: [era_catalog()], {"market_id": "7"}),
    ("_required_positive_era_int", submit._required_positive_era_int, lambda: [{"market_id": 7}, "market_id"], {}),
    ("_required_era_frequency", submit._required_era_frequency, lambda: [{"frequency": "1d"}], {}),
    (
        "_simulation_data_contract_projection_from_era",
        submit._simulation_data_contract_projection_from_era,
        lambda: [{"simulation_data_contract": {"fields": ["close"], "version": 2}, "data_contract": {"x": 1}}],
        {},
    ),
    (
        "_submission_thresholds_from_era_catalog",
        submit._submission_thresholds_from_era_catalog,
        lambda: [
            signal_catalog(signal_pools={"pool-a": {"universes": {"12": {"signal_is_thresholds": {"a": 1}}}}}),
            "us_top",
            "pool-a",
        ],
        {"era_number": 3},
    ),
    (
        "_rule_id_for_named_universe",
        submit._rule_id_for_named_universe,
        lambda: [{"universes": [{"name": "eu", "rule_id": 1}, {"name": "us_top", "rule_id": 12}]}, "us_top"],
        {},
    ),
    (
        "_signal_is_thresholds_for_pool",
        submit._signal_is_thresholds_for_pool,
        lambda: [
            {"universes": [{"rule_id": 12, "signal_is_thresholds": {"a": 1}}], "signal_is_thresholds": {"b": 2}},
            12,
        ],
        {},
    ),
    (
        "_enforce_graph_complexity_for_submit",
        submit._enforce_graph_complexity_for_submit,
        lambda: [{"op": "rank", "args": [{"op": "close"}]}, {"max_depth": 4, "max_node_count": 8}],
        {},
    ),
    (
        "_enforce_recorded_backtest_timing_for_submit",
        submit._enforce_recorded_backtest_timing_for_submit,
        lambda: [SIGNAL_GRAPH, {"frequency": "1d"}],
        {},
    ),
    ("_coerce_status_metric", submit._coerce_status_metric, lambda: ["-Infinity"], {}),
    (
        "_failure_reason_from_status_body",
        submit._failure_reason_from_status_body,
        lambda: [{"rejection_reason": "x: tampering_detected", "failure_detail": {"reason": "stats_mismatch"}}],
        {},
    ),
    ("_public_status_body", submit._public_status_body, lambda: [{"a": 1, "correlation": 0.2, "is_weights_mi": 3}], {}),
    (
        "_submit_result_from_body",
        C._submit_result_from_body,
        lambda: [202, {"submission_id": "s", "signal_pool_id": "p", "error": None}],
        {},
    ),
    (
        "_batch_item_result_from_body",
        C._batch_item_result_from_body,
        lambda: [{"index": 0, "status_code": 409, "body": {"reason": "", "error": "dup"}}],
        {},
    ),
    (
        "_batch_result_from_body",
        C._batch_result_from_body,
        lambda: [207, {"results": [{"index": 0, "status_code": 202, "body": {}}, "x"], "accepted": "n"}],
        {"error": "e"},
    ),
    ("_batch_body_item_from_result", C._batch_body_item_from_result, lambda: [item_results().results[0]], {}),
    ("_batch_http_status_for_items", C._batch_http_status_for_items, lambda: [item_results().results], {}),
    ("_combine_batch_chunk_results", C._combine_batch_chunk_results, lambda: [[item_results(), item_results()]], {}),
    (
        "_batch_result_with_partial_failure",
        C._batch_result_with_partial_failure,
        lambda: [C._batch_result_from_transport_error(ConnectionError("down")), item_results().results, 10],
        {},
    ),
    ("_rebase_batch_item_indices", C._rebase_batch_item_indices, lambda: [item_results(), 100], {}),
    (
        "_status_result_from_body",
        C._status_result_from_body,
        lambda: [200, {"status": "queued", "is_stats": {"sharpe": 1}, "correlation": 1}],
        {},
    ),
    (
        "_submission_list_result_from_body",
        C._submission_list_result_from_body,
        lambda: [200, {"submissions": [{"status": "queued", "is_pnl_mi": "Infinity"}, 3]}],
        {"error": None},
    ),
    ("_submit_result_from_rejection", C._submit_result_from_rejection, lambda: [rejection()], {}),
    ("_status_result_from_rejection", C._status_result_from_rejection, lambda: [rejection()], {}),
    ("_error_body_from_response_error", C._error_body_from_response_error, lambda: [malformed()], {}),
    ("_submit_result_from_response_error", C._submit_result_from_response_error, lambda: [malformed()], {}),
    ("_batch_result_from_response_error", C._batch_result_from_response_error, lambda: [malformed()], {}),
    ("_status_result_from_response_error", C._status_result_from_response_error, lambda: [malformed()], {}),
    ("_submit_result_from_transport_error", C._submit_result_from_transport_error, lambda: [ConnectionError("")], {}),
    ("_batch_result_from_transport_error", C._batch_result_from_transport_error, lambda: [TimeoutError("t")], {}),
    ("_status_result_from_transport_error", C._status_result_from_transport_error, lambda: [OSError(5, "io")], {}),
    (
        "_idempotency_key_for_body",
        C._idempotency_key_for_body,
        lambda: [{"graph": "g", "is_stats": {"b": 1, "a": [1.5, None]}, "idempotency_key": "x"}],
        {},
    ),
    (
        "_validate_submission_contract",
        C._validate_submission_contract,
        lambda: ["pool-a", {"sharpe": 1.5, "is_correlation": 0.2}, 0.4, 0.5],
        {
            "thresholds": {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1},
            "client_manifest_version": 1,
            "client_manifest_market_id": 7,
            "client_manifest_era_number": 3,
        },
    ),
    ("SubmissionRejectedError", submit.SubmissionRejectedError, lambda: [409, "dup", {"a": 1}, {"b": 2}], {}),
    (
        "SignalClientResponseError",
        submit.SignalClientResponseError,
        lambda: ["m"],
        {"status_code": 502, "url": "u", "raw_body": b"x" * 600},
    ),
    ("SubmissionStatus", submit.SubmissionStatus, lambda: ["s", "queued", {"a": 1}, 1.5, None], {"is_pnl_mi": 0.1}),
    (
        "_TransmissionObservedBody",
        lambda *a: list(submit._TransmissionObservedBody(*a)),
        lambda: [b"{}", lambda *a: None, "POST", "https://s/x", {"Authorization": "Bearer t"}],
        {},
    ),
]

ENTRIES = (
    OPERATIONS
    + ASYNC_OPERATIONS
    + [
        Entry(
            name,
            lambda args=args, kwargs=kwargs: {"args": args(), "kwargs": copy.deepcopy(kwargs)},
            lambda i, fn=fn: (record(SIGNAL_GRAPH), fn(*i["args"], **i["kwargs"]))[1],
        )
        for name, fn, args, kwargs in FUNCTIONS
    ]
)


def positions(tree, path=()):
    """Every (path, value) below the inputs, containers before their contents."""
    yield path, tree
    if isinstance(tree, dict):
        for key, value in tree.items():
            yield from positions(value, path + (key,))
    elif isinstance(tree, (list, tuple)):
        for index, value in enumerate(tree):
            yield from positions(value, path + (index,))


def replaced(tree, path, make):
    """The inputs with the value at `path` replaced by `make(value)` (containers along the path copied)."""
    if not path:
        return make(tree)
    head, rest = path[0], path[1:]
    if isinstance(tree, dict):
        return {**tree, head: replaced(tree[head], rest, make)}
    items = list(tree)
    items[head] = replaced(items[head], rest, make)
    return type(tree)(items) if isinstance(tree, tuple) else items


def with_colliding_key(name, trap):
    """A dict with a key colliding with `name` placed first, so it holds the slot `name` probes first."""
    return lambda value: {CollidingKey(name, trap): HObject(trap), **value}


def containers(tree):
    return [value for _, value in positions(tree) if isinstance(value, (dict, list))]


# The harness's own containers: the argument lists and the transport's answer.
STRUCTURAL = {(), ("args",), ("kwargs",), ("filters",), ("answer",)}


def variants(inputs, trap):
    """(label, hostile inputs) for every position of the inputs."""
    for path, value in positions(inputs):
        if path in STRUCTURAL:
            continue
        yield f"{path} twin", replaced(inputs, path, lambda v: hostile_twin(v, trap))
        if isinstance(value, dict):
            for name in [k for k in value if isinstance(k, str)] + ABSENT:
                yield f"{path} key {name}", replaced(inputs, path, with_colliding_key(name, trap))


# Entries that decide by exact type and identity alone: a hostile twin is refused (or stored)
# without any of its methods being called.
UNTOUCHED = {
    "_join_url",
    "_is_finite_number",
    "_mi_contract_json_value",
    "_reject_caller_threshold_authority",
    "_validate_optional_manifest_int",
    "_coerce_optional_int",
    "SubmissionStatus",
}

SCHEDULES = [(action, at) for action in ("clear", "scramble", "raise") for at in (1, 2, 3, 5, 8)]


def outcome(entry, inputs):
    """("returned", value) or ("raised", exception); a SystemError escapes."""
    try:
        return "returned", entry.run(inputs)
    except SystemError:
        raise
    except Exception as exc:  # any ordinary exception is a fair answer to a hostile caller
        return "raised", exc


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e.name)
def test_hostile_inputs_end_in_a_result_or_an_exception(entry):
    how, value = outcome(entry, entry.inputs())
    assert how == "returned" or entry.name == "_raise_submission_rejected", (entry.name, value)
    cases = struck = 0
    global current_trap
    for action, at in SCHEDULES:
        trap = current_trap = Trap(action, at)
        for label, hostile in variants(entry.inputs(), trap):
            trap.touches, trap.victims, trap.armed = 0, containers(hostile), True
            how, value = outcome(entry, hostile)
            trap.armed = False
            assert how == "raised" or isinstance(value, entry.returns), (label, value)
            cases += 1
            struck += trap.struck
            trap.struck = False
            _backtest_timing.clear_recorded_backtest_timings()
    assert cases >= len(SCHEDULES) and (struck > 0 or entry.name in UNTOUCHED), (cases, struck)


def test_battery_covers_every_entry_point():
    members = {
        name for name, value in vars(C).items() if callable(value) or isinstance(value, (staticmethod, classmethod))
    }
    functions = {name for name, value in vars(submit).items() if type(value).__name__ == "builtin_function_or_method"}
    # Reached through the operations: the constructor, the transport adapter and the catalog fetch.
    covered = {entry.name for entry in ENTRIES} | {"__init__", "_transport_request", "_fetch_era_catalog"}
    # Reached through the asynchronous client's operations: the steps it drives.
    covered |= {name for name in functions if name.startswith(("_exchange", "_transmission_", "_poll_"))}
    covered |= {"_settle_era_catalog"}
    assert (members | functions) - covered == set()
