"""submit_strategy through an injected transport: its body, and failures that raise."""

import json

import httpx
import pytest
from fakes import FakeResponse, keyed
from helpers import host_message

from quillmarsh import submit

HEAD = {"graph": "g(x)", "named_universe": "us_top", "strategy_pool_name": "sp-1"}


def send(transport, **overrides):
    client = submit.SignalServiceClient("https://signals.example", "tok", transport=transport)
    return client.submit_strategy(
        "g(x)", " us_top ", **{"strategy_pool_name": "sp-1", "market_id": 7, "era_number": 3, **overrides}
    )


@pytest.mark.parametrize(
    "overrides, expected",
    [
        (
            {},
            keyed(
                {
                    **HEAD,
                    "market_id": 7,
                    "era_number": 3,
                    "client_manifest_market_id": 7,
                    "client_manifest_era_number": 3,
                }
            ),
        ),
        (
            {
                "market_id": "7",
                "era_number": 3.9,
                "client_manifest_market_id": 70,
                "client_manifest_era_number": 30,
                "client_manifest_version": 2,
                "metaparameters": {"w": 1},
                "idempotency_key": 99,
            },
            {
                **HEAD,
                "market_id": 7,
                "era_number": 3,
                "client_manifest_market_id": 70,
                "client_manifest_era_number": 30,
                "client_manifest_version": 2,
                "metaparameters": {"w": 1},
                "idempotency_key": "99",
            },
        ),
    ],
)
def test_body_on_the_wire(fake_transport, overrides, expected):
    fake_transport.respond(202, {"submission_id": "st-1", "strategy_pool_id": "sp"})
    result = send(fake_transport, **overrides)
    assert (result.status_code, result.submission_id, result.strategy_pool_id, result.error) == (
        202,
        "st-1",
        "sp",
        None,
    )
    [call] = fake_transport.calls
    assert (call.name, call.args, call.sent) == ("post", ("/strategies/submit",), json.dumps(expected).encode())
    assert call.kwargs["headers"]["Idempotency-Key"] == expected["idempotency_key"]


@pytest.mark.parametrize(
    "answer, error",
    [
        (FakeResponse(409, {"reason": "duplicate"}), submit.SubmissionRejectedError),
        (FakeResponse(404, b"<html>"), submit.SignalClientResponseError),
        (httpx.ConnectError("refused"), httpx.ConnectError),
    ],
)
def test_request_failures_raise(fake_transport, answer, error):
    fake_transport.responses.append(answer)
    with pytest.raises(error) as caught:
        send(fake_transport)
    assert (caught.value is answer or caught.value.status_code == answer.status_code) and len(fake_transport.calls) == 1


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"market_id": "7"}, "client_manifest_market_id must be a positive integer"),
        ({"era_number": True}, "client_manifest_era_number must be a positive integer"),
        ({"market_id": "x"}, host_message(lambda: int("x"))),
        ({"strategy_pool_name": ""}, "strategy_pool_name must be a non-empty string"),
    ],
)
def test_refusals_post_nothing(fake_transport, overrides, message):
    with pytest.raises(ValueError) as caught:
        send(fake_transport, **overrides)
    assert str(caught.value) == message and fake_transport.calls == []
