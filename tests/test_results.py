"""Result records built from answers and from failures, and the public record classes."""

import logging
import math

import httpx
import pytest

from quillmarsh import submit
from quillmarsh.signal_types import BatchSubmitResult, StatusResult, SubmissionListResult, SubmitResult
from quillmarsh.submit import SignalClientResponseError, SignalServiceClient, SubmissionRejectedError

C = SignalServiceClient
IDS = dict(submission_id=None, signal_pool_id=None, strategy_pool_id=None, strategy_signal_pool=None)
STATUS_IDS = dict(status=None, signal_pool_id=None, strategy_pool_id=None, strategy_signal_pool=None)


def malformed(status, preview):
    return SignalClientResponseError("bad", status_code=status, url="u", raw_body=preview)


def test_record_classes():
    assert vars(submit.SubmissionReceipt("s-1")) == {"submission_id": "s-1"}
    status = submit.SubmissionStatus("s-1", "queued", {}, None, None, failure_message="m")
    assert list(vars(status)) == [
        "submission_id",
        "status",
        "is_stats",
        "payment",
        "rejection_reason",
        "signal_pool_id",
        "is_correlation",
        "agent_is_correlation",
        "is_pnl_mi",
        "agent_is_pnl_mi",
        "failure_reason",
        "failure_detail",
        "failure_message",
    ]
    assert (status.failure_message, status.signal_pool_id) == ("m", None)
    assert submit.SubmissionReceipt.__bases__ == (object,)


@pytest.mark.parametrize(
    "value, expected",
    [
        ("Infinity", math.inf),
        ("-Infinity", -math.inf),
        ("inf", "inf"),
        ("Infinity ", "Infinity "),
        (0.5, 0.5),
        (None, None),
    ],
)
def test_coerce_status_metric(value, expected):
    assert submit._coerce_status_metric(value) == expected


@pytest.mark.parametrize(
    "body, expected",
    [
        (
            {
                "rejection_reason": "x: tampering_detected",
                "failure_detail": {"reason": "stats_mismatch"},
                "failure_reason": "other",
            },
            "stats_mismatch",
        ),
        ({"rejection_reason": "x: tampering_detected", "failure_detail": "stats_mismatch", "failure_reason": "r"}, "r"),
        ({"rejection_reason": "x: tampering_detected", "failure_detail": {"reason": "late"}, "failure_reason": 3}, 3),
        ({"rejection_reason": "tampering_detected", "failure_detail": {"reason": "stats_mismatch"}}, None),
    ],
)
def test_failure_reason_from_status_body(body, expected):
    assert submit._failure_reason_from_status_body(body) == expected


def test_public_status_body_strips_internal_keys_without_touching_the_answer():
    answer = {"a": 1, "correlation": 0.2, "b": 2, "is_weights_mi": 3}
    public = submit._public_status_body(answer)
    assert list(public) == ["a", "b"] and len(answer) == 4
    plain = {"a": 1}
    assert submit._public_status_body(plain) is plain


def test_results_from_bodies():
    assert C._submit_result_from_body(201, {"x": 1}) == SubmitResult(status_code=201, body={"x": 1}, error=None, **IDS)
    body = {
        "status": "signal_found",
        "correlation": 0.9,
        "is_correlation": 0.1,
        "is_pnl_mi": "-Infinity",
        "agent_is_pnl_mi": "Infinity",
        "failure_detail": {"d": 1},
        "failure_message": "m",
        "payment": {"p": 1},
    }
    result = C._status_result_from_body(200, body)
    assert result == StatusResult(
        status_code=200,
        body={k: v for k, v in body.items() if k != "correlation"},
        status="signal_found",
        signal_pool_id=None,
        strategy_pool_id=None,
        strategy_signal_pool=None,
        error=None,
        is_stats=None,
        payment={"p": 1},
        rejection_reason=None,
        is_correlation=0.1,
        agent_is_correlation=None,
        is_pnl_mi=-math.inf,
        agent_is_pnl_mi=math.inf,
        failure_reason=None,
        failure_detail={"d": 1},
        failure_message="m",
    )


@pytest.mark.parametrize(
    "body, submissions",
    [
        ({"submissions": [1, 2]}, [1, 2]),
        ({"submissions": None}, []),
        ({}, []),
        ({"submissions": {"a": 1}}, []),
        ([1, 2], []),
        (None, []),
    ],
)
def test_submission_list_result_from_body(body, submissions):
    result = C._submission_list_result_from_body(200, body, error="e")
    assert result == SubmissionListResult(status_code=200, body=body, submissions=submissions, error="e")


def test_rejections_become_results():
    exc = SubmissionRejectedError(409, "duplicate", body={"error": "duplicate"})
    assert C._submit_result_from_rejection(exc) == SubmitResult(
        status_code=409, body={"error": "duplicate"}, error="duplicate", **IDS
    )
    assert C._status_result_from_rejection(SubmissionRejectedError(404, "http_404")) == StatusResult(
        status_code=404, body=None, error="http_404", **STATUS_IDS
    )


@pytest.mark.parametrize(
    "preview, error, shown",
    [
        (b"", "http_502", ""),
        (b" \n\t", "http_502", ""),
        (b"busy\n", "busy", "busy"),
        (b"\xffok", "\ufffdok", "\ufffdok"),
    ],
)
def test_malformed_answers_become_results(preview, error, shown):
    exc = malformed(502, preview)
    body = {"error": error, "raw_body_preview": shown, "status_code": 502}
    assert C._error_body_from_response_error(exc) == (error, body)
    assert C._submit_result_from_response_error(exc) == SubmitResult(status_code=502, body=body, error=error, **IDS)
    assert C._status_result_from_response_error(exc) == StatusResult(
        status_code=502, body=body, error=error, **STATUS_IDS
    )
    assert C._batch_result_from_response_error(exc) == BatchSubmitResult(
        status_code=502, body=body, accepted=0, failed=0, results=[], error=error
    )


def test_response_error_converters_call_their_fellow_through_the_class():
    class Client(SignalServiceClient):
        @staticmethod
        def _error_body_from_response_error(exc):
            return "mine", {"mine": True}

    assert Client._status_result_from_response_error(malformed(400, b"x")).error == "mine"


@pytest.mark.parametrize(
    "exc, text", [(httpx.ConnectError(""), "ConnectError"), (ConnectionRefusedError("refused"), "refused")]
)
def test_transport_errors_become_results_and_only_submission_logs(caplog, monkeypatch, exc, text):
    events = []
    monkeypatch.setattr(submit, "log_library_surface_event", lambda *a, **k: events.append((a, k)))
    with caplog.at_level(logging.DEBUG):
        assert C._status_result_from_transport_error(exc) == StatusResult(
            status_code=0, body=None, error=text, **STATUS_IDS
        )
        assert C._batch_result_from_transport_error(exc) == BatchSubmitResult(
            status_code=0, body=None, accepted=0, failed=0, results=[], error=text
        )
        assert events == []
        assert C._submit_result_from_transport_error(exc) == SubmitResult(status_code=0, body=None, error=text, **IDS)
    assert events == [
        (
            ("Submission", "error"),
            {
                "sub_service": "submit",
                "component": "transport",
                "metadata": {"reason": "transport_error", "error_type": type(exc).__name__},
                "source_function": "_submit_result_from_transport_error",
                "source_file": "quillmarsh_library/native_sources/src/quillmarsh/submit",
                "source_line": 933,
            },
        )
    ]
    assert list(events[0][1]) == [
        "sub_service",
        "component",
        "metadata",
        "source_function",
        "source_file",
        "source_line",
    ]
