"""The module's namespace: every function and SignalServiceClient member, with its kind and
signature, and argument errors that read exactly like those of a Python function."""

import inspect

import pytest

from quillmarsh import submit
from quillmarsh.submit import SignalServiceClient

FUNCTIONS = {
    "_request_json": "(method, endpoint, get_token, server_url, body, request_func, transmission_observer=None)",
    "_join_url": "(server_url, endpoint)",
    "_percent_encode": "(value)",
    "_parse_response_json": "(status_code, response_body_bytes, url, *, operation)",
    "_raise_submission_rejected": "(status_code, response_data)",
    "_requires_legacy_signal_pool_id_retry": "(exc)",
    "_is_finite_number": "(value)",
    "_has_non_finite_number": "(value)",
    "_coerce_mi_contract_value": "(value)",
    "_mi_contract_json_value": "(value)",
    "_has_disallowed_mi_contract_field": "(value)",
    "_stat_metric": "(is_stats, keys)",
    "_submission_is_stats_payload": "(is_stats)",
    "_reject_caller_threshold_authority": "(threshold_checks=None, thresholds=None)",
    "_validate_submission_thresholds": "(is_stats, is_pnl_mi, thresholds=None)",
    "_validate_optional_manifest_int": "(value, field_name)",
    "_validate_selected_pool_id": "(value, field_name='signal_pool_id')",
    "_validate_named_universe": "(value)",
    "_reject_retired_universe_aliases": "(body)",
    "_field_value": "(value, key, default=None)",
    "_mapping_lookup": "(mapping, key)",
    "_coerce_optional_int": "(value)",
    "_active_era_from_catalog": "(catalog, market_id=None, era_number=None)",
    "_required_active_submit_era": "(catalog, market_id=None, era_number=None)",
    "_required_positive_era_int": "(era, field_name)",
    "_required_era_frequency": "(era)",
    "_simulation_data_contract_projection_from_era": "(era)",
    "_submission_thresholds_from_era_catalog": (
        "(catalog, named_universe, signal_pool_name, market_id=None, era_number=None)"
    ),
    "_rule_id_for_named_universe": "(era, named_universe)",
    "_signal_is_thresholds_for_pool": "(pool, rule_id)",
    "_enforce_graph_complexity_for_submit": "(graph, era)",
    "_enforce_recorded_backtest_timing_for_submit": "(graph, era)",
    "_coerce_status_metric": "(value)",
    "_failure_reason_from_status_body": "(body)",
    "_public_status_body": "(body)",
}

# SignalServiceClient's members in definition order: (name, kind, signature as seen on the class).
CLIENT_MEMBERS = [
    (
        "__init__",
        "instance",
        "(self, /, base_url, jwt_token, *, timeout=30.0, transport=None, transmission_observer=None)",
    ),
    ("close", "instance", "(self, /)"),
    ("_response_content", "instance", "(self, /, response)"),
    ("_transport_request", "instance", "(self, /, method, url, headers, body_content)"),
    ("_canonical_request", "instance", "(self, /, method, endpoint, body=None)"),
    ("_fetch_era_catalog", "instance", "(self, /)"),
    (
        "_resolve_submit_thresholds",
        "instance",
        "(self, /, named_universe, signal_pool_name, market_id=None, era_number=None)",
    ),
    ("_submit_result_from_body", "static", "(status_code, body)"),
    ("_batch_item_result_from_body", "static", "(item)"),
    ("_batch_result_from_body", "class", "(status_code, body, *, error=None)"),
    ("_batch_body_item_from_result", "static", "(item)"),
    ("_batch_http_status_for_items", "static", "(results)"),
    ("_combine_batch_chunk_results", "class", "(chunk_results)"),
    ("_batch_result_with_partial_failure", "class", "(failure, prior_results, total_count)"),
    ("_rebase_batch_item_indices", "static", "(result, index_offset)"),
    ("_status_result_from_body", "static", "(status_code, body)"),
    ("_submission_list_result_from_body", "static", "(status_code, body, *, error=None)"),
    ("_submit_result_from_rejection", "static", "(exc)"),
    ("_status_result_from_rejection", "static", "(exc)"),
    ("_error_body_from_response_error", "static", "(exc)"),
    ("_submit_result_from_response_error", "class", "(exc)"),
    ("_batch_result_from_response_error", "class", "(exc)"),
    ("_status_result_from_response_error", "class", "(exc)"),
    ("_submit_result_from_transport_error", "static", "(exc)"),
    ("_batch_result_from_transport_error", "static", "(exc)"),
    ("_status_result_from_transport_error", "static", "(exc)"),
    ("_idempotency_key_for_body", "static", "(body)"),
    (
        "_validate_submission_contract",
        "static",
        "(signal_pool_name, is_stats, is_pnl_mi, expression_elapsed_seconds, thresholds=None, "
        "client_manifest_version=None, client_manifest_market_id=None, client_manifest_era_number=None)",
    ),
    (
        "submit_signal",
        "instance",
        "(self, /, graph, named_universe=None, *, signal_pool_name, is_stats, is_pnl_mi, metaparameters=None, "
        "expression_elapsed_seconds, search_state=None, idempotency_key=None, threshold_checks=None, thresholds=None, "
        "client_manifest_version=None, market_id=None, era_number=None, client_manifest_market_id=None, "
        "client_manifest_era_number=None)",
    ),
    (
        "submit_strategy",
        "instance",
        "(self, /, graph, named_universe=None, *, strategy_pool_name, market_id, era_number, metaparameters=None, "
        "idempotency_key=None, client_manifest_version=None, client_manifest_market_id=None, "
        "client_manifest_era_number=None)",
    ),
    ("submit_signals_batch", "instance", "(self, /, submissions)"),
    ("get_signal_status", "instance", "(self, /, submission_id)"),
    ("list_signal_submissions", "instance", "(self, /, *, status=None, idempotency_key=None, since=None, limit=100)"),
    ("poll_until_terminal", "instance", "(self, /, submission_id, *, timeout)"),
]
KINDS = {staticmethod: "static", classmethod: "class"}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_module_function_signature_and_argument_errors(argument_errors, name):
    function = getattr(submit, name)
    assert function.__module__ == "quillmarsh.submit"
    assert str(inspect.signature(function)) == FUNCTIONS[name]
    argument_errors(function, name)


def test_client_members_in_definition_order_with_their_kinds():
    assert SignalServiceClient.__bases__ == (object,)
    assert SignalServiceClient.__doc__ == "Result-based HTTP SDK facade backed by the canonical submit transport."
    assert str(inspect.signature(SignalServiceClient)) == (
        "(base_url, jwt_token, *, timeout=30.0, transport=None, transmission_observer=None)"
    )
    names = [name for name, _, _ in CLIENT_MEMBERS]
    assert [name for name in vars(SignalServiceClient) if name in names] == names
    for name, kind, signature in CLIENT_MEMBERS:
        assert KINDS.get(type(inspect.getattr_static(SignalServiceClient, name)), "instance") == kind, name
        assert str(inspect.signature(getattr(SignalServiceClient, name))) == signature, name


@pytest.mark.parametrize("name, kind", [(name, kind) for name, kind, _ in CLIENT_MEMBERS])
def test_client_member_argument_errors(argument_errors, fake_transport, name, kind):
    client = SignalServiceClient("http://127.0.0.1:8000", "tok", transport=fake_transport)
    if kind == "instance":
        argument_errors(getattr(SignalServiceClient, name), f"SignalServiceClient.{name}", client)
    else:
        argument_errors(getattr(SignalServiceClient, name), f"SignalServiceClient.{name}")


CLASSES = [
    submit.SubmissionReceipt,
    submit.SubmissionStatus,
    submit.SubmissionRejectedError,
    submit.SignalClientResponseError,
    submit._TransmissionObservedBody,
    SignalServiceClient,
]


def python_twin(cls):
    """The class a Python developer would write: the same bases, and each member a Python
    function with the member's declared signature, a static or class method, or a property,
    as the member is. A C method's `self` is positional-only, so the twin's is too."""
    namespace = {"__module__": cls.__module__, "__qualname__": cls.__qualname__}
    for name, member in vars(cls).items():
        kind = type(member) if isinstance(member, (staticmethod, classmethod, property)) else None
        native = {
            staticmethod: lambda m: m.__func__,
            classmethod: lambda m: m.__func__,
            property: lambda m: m.fget,
        }.get(kind, lambda m: m)(member)
        text = getattr(native, "__text_signature__", None)
        if not text:
            continue
        parameters = text[1:-1].replace("$self", "self, /").replace("$module, ", "").replace("$module", "")
        code = {}
        exec(f"def {name}({parameters}): pass", code)
        namespace[name] = kind(code[name]) if kind else code[name]
    return type(cls.__name__, cls.__bases__, namespace)


def signatures(cls):
    """The signatures a caller sees: the class's, and each member's through the class and
    through an instance."""
    instance = cls.__new__(cls)
    seen = {"(class)": str(inspect.signature(cls))}
    for name, member in vars(cls).items():
        if callable(getattr(cls, name)) and not isinstance(member, type) and name not in ("__new__", "__doc__"):
            seen[name] = str(inspect.signature(getattr(cls, name)))
            seen[name + " (bound)"] = str(inspect.signature(getattr(instance, name)))
    return seen


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_class_and_member_has_its_python_twins_signature(cls):
    native, twin = signatures(cls), signatures(python_twin(cls))
    assert native == twin and len(native) > 1
