import inspect
import json
import types

import httpx
import pytest

from quillmarsh import submit
from quillmarsh.submit import SignalServiceClient

BASE = "http://127.0.0.1:8000/api"
ATTRIBUTES = ["_base_url", "_jwt_token", "_timeout", "_transmission_observer", "_client", "_era_catalog_cache"]


def make(transport, **kwargs):
    return SignalServiceClient(BASE, "tok", transport=transport, **kwargs)


def test_refused_base_url_raises_before_any_attribute(monkeypatch):
    refusal, seen = ValueError("nope"), []

    def vet(*args, **kwargs):
        seen.append((args, kwargs))
        raise refusal

    monkeypatch.setattr(submit, "validate_bearer_transport_url", vet)
    monkeypatch.setattr(submit, "httpx", None)
    client = SignalServiceClient.__new__(SignalServiceClient)
    with pytest.raises(ValueError) as caught:
        client.__init__("https://x.example", "t")
    assert caught.value is refusal and seen == [(("https://x.example",), {})] and vars(client) == {}
    monkeypatch.undo()
    with pytest.raises(ValueError, match="plain http only to a loopback host"):
        SignalServiceClient("http://signals.example.com", "t", transport=object())


class RecordingClient:
    built = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        RecordingClient.built.append(self)


@pytest.mark.parametrize(
    "base_url, kwargs, built",
    [
        ("http://127.0.0.1:8000", {}, {"base_url": "http://127.0.0.1:8000", "timeout": 30.0, "verify": False}),
        ("HTTP://LOCALHOST/api", {"timeout": 2}, {"base_url": "HTTP://LOCALHOST/api", "timeout": 2, "verify": False}),
        (
            "https://signals.example.com",
            {"timeout": None},
            {"base_url": "https://signals.example.com", "timeout": None},
        ),
    ],
)
def test_default_transport(monkeypatch, base_url, kwargs, built):
    RecordingClient.built = []
    monkeypatch.setattr(submit, "httpx", types.SimpleNamespace(Client=RecordingClient, URL=httpx.URL))
    observer = print
    client = SignalServiceClient(base_url, "tok", transmission_observer=observer, **kwargs)
    [transport] = RecordingClient.built
    assert transport.kwargs == built and list(transport.kwargs) == list(built)
    assert list(vars(client)) == ATTRIBUTES
    assert vars(client) == dict(zip(ATTRIBUTES, [base_url, "tok", built["timeout"], observer, transport, None]))
    assert type(built["timeout"]) is type(client._timeout)


def test_injected_transport_is_used_unchecked(monkeypatch):
    monkeypatch.setattr(submit, "httpx", None)
    transport = object()
    client = SignalServiceClient(BASE, 123, timeout="slow", transport=transport)
    assert (client._client, client._timeout, client._jwt_token, client._era_catalog_cache) == (
        transport,
        "slow",
        123,
        None,
    )


class NotCallableClose:
    close = 5


def test_close(fake_transport, basic_transport):
    client = make(fake_transport)
    assert client.close() is None and client.close() is None and fake_transport.closed == 2
    assert client._client is fake_transport
    assert make(basic_transport).close() is None and make(NotCallableClose()).close() is None
    with pytest.raises(ZeroDivisionError):
        make(types.SimpleNamespace(close=lambda: 1 / 0)).close()


class ContentBytes(bytes):
    pass


class RaisingJson:
    @property
    def json(self):
        raise RuntimeError("json accessor failed")


@pytest.mark.parametrize(
    "response, expected",
    [
        (types.SimpleNamespace(content=b"raw", text="ignored"), b"raw"),
        (types.SimpleNamespace(content="é{}", text="ignored"), "é{}".encode()),
        (types.SimpleNamespace(content=bytearray(b"ba"), text="té"), "té".encode()),
        (
            types.SimpleNamespace(content=None, text=b"no", json=lambda: {"a": [1, None], "b": "é"}),
            json.dumps({"a": [1, None], "b": "é"}).encode(),
        ),
        (types.SimpleNamespace(json=lambda: float("nan")), b"NaN"),
        (types.SimpleNamespace(content=memoryview(b"x"), text=None), b""),
        (object(), b""),
    ],
)
def test_response_content(fake_transport, response, expected):
    assert make(fake_transport)._response_content(response) == expected


def test_response_content_identity_and_lookup_errors(fake_transport, basic_transport):
    client, content = make(fake_transport), ContentBytes(b"sub")
    assert client._response_content(types.SimpleNamespace(content=content)) is content
    with pytest.raises(RuntimeError, match="json accessor failed"):
        client._response_content(RaisingJson())
    raising_request = type("RaisingRequest", (type(basic_transport),), {"request": RaisingJson.json})()
    with pytest.raises(RuntimeError, match="json accessor failed"):
        make(raising_request)._transport_request("PUT", "http://h/x", {}, None)


@pytest.mark.parametrize(
    "method, url, call",
    [
        ("POST", "http://127.0.0.1:8000/eras", ("post", ("/eras",), True)),
        ("POST", "http://127.0.0.1:8000/api/signals/submit", ("post", ("/api/signals/submit",), True)),
        (
            "GET",
            "http://h/api/signals/submissions?status=a%20b&cursor=x%2Fy",
            ("get", ("/api/signals/submissions?status=a%20b&cursor=x%2Fy",), False),
        ),
        ("GET", "http://h", ("get", ("/",), False)),
        ("PUT", "https://h:9/x/%C3%A9?", ("request", ("PUT", "/x/%C3%A9?"), True)),
        ("post", "http://h/eras", ("request", ("post", "/eras"), True)),
    ],
)
def test_transport_request_dispatch(fake_transport, method, url, call):
    fake_transport.respond(207, b"answer")
    headers, body = {"Authorization": "Bearer t"}, b"{}"
    assert make(fake_transport)._transport_request(method, url, headers, body) == (207, b"answer")
    [made] = fake_transport.calls
    name, args, with_content = call
    assert (made.name, made.args) == (name, args)
    assert made.kwargs["headers"] is headers and (made.kwargs.get("content") is body) == with_content


@pytest.mark.parametrize("method", ["post", "DELETE", "get"])
def test_unsupported_method_without_request(basic_transport, method):
    with pytest.raises(ValueError) as caught:
        make(basic_transport)._transport_request(method, "http://h/x", {}, None)
    assert str(caught.value) == f"Unsupported HTTP method: {method}" and basic_transport.calls == []


def test_transport_exception_propagates_unchanged(fake_transport):
    failure = httpx.ConnectError("refused")
    fake_transport.responses.append(failure)
    with pytest.raises(httpx.ConnectError) as caught:
        make(fake_transport)._canonical_request("GET", "eras")
    assert caught.value is failure


def test_canonical_request_passes_settings_to_request_json(fake_transport, monkeypatch):
    seen = []
    monkeypatch.setattr(submit, "_request_json", lambda *args, **kwargs: seen.append((args, kwargs)) or "answer")
    client = make(fake_transport, transmission_observer=print)
    assert client._canonical_request("GET", "eras") == "answer"
    [((method, endpoint, get_token, base_url, body), kwargs)] = seen
    assert (method, endpoint, base_url, body) == ("GET", "eras", BASE, None)
    assert kwargs == {"request_func": client._transport_request, "transmission_observer": print}
    assert str(inspect.signature(get_token)) == "()"
    assert get_token() == "tok"
    client._jwt_token = "rotated"
    assert get_token() == "rotated"


def test_token_is_read_at_each_request(fake_transport):
    client = make(fake_transport)
    client._canonical_request("GET", "eras")
    client._jwt_token = "second"
    client._canonical_request("POST", "signals/submit", {"idempotency_key": "k"})
    assert [c.kwargs["headers"]["Authorization"] for c in fake_transport.calls] == ["Bearer tok", "Bearer second"]
    assert fake_transport.calls[1].args == ("/api/signals/submit",)
    assert fake_transport.calls[1].sent == b'{"idempotency_key": "k"}'


def test_observed_body_through_the_client(fake_transport):
    observed = []
    client = make(fake_transport, transmission_observer=lambda *a: observed.append(a))
    fake_transport.respond(201, {"id": "s1"})
    assert client._canonical_request("POST", "/signals/submit", {"v": 1}) == (201, {"id": "s1"})
    assert observed == [("POST", BASE + "/signals/submit", fake_transport.calls[0].kwargs["headers"], b'{"v": 1}')]

    fake_transport.read_body = False
    with pytest.raises(RuntimeError, match="transport returned without consuming the request body"):
        client._canonical_request("POST", "signals/submit", {"v": 2})


def test_overrides_through_self(fake_transport):
    class Traced(SignalServiceClient):
        def _transport_request(self, method, url, headers, body_content):
            status, raw = super()._transport_request(method, url, headers, body_content)
            return status + 1, raw

        def _response_content(self, response):
            return b'{"patched": true}'

    client = Traced(BASE, "t", transport=fake_transport)
    assert client._canonical_request("GET", "eras") == (201, {"patched": True})
    client._transport_request = lambda *args: (299, b'{"instance": 1}')
    assert client._canonical_request("GET", "eras") == (299, {"instance": 1})
