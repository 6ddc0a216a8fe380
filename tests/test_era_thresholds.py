import types

import httpx
import pytest

from quillmarsh import submit
from quillmarsh.submit import SignalServiceClient

COULD_NOT_FETCH = "thresholds are required for submit_signal; could not fetch /eras"
INVALID = "thresholds are required for submit_signal; /eras returned invalid payload"


def make_catalog(pool=None, **era_fields):
    era = {
        "era_number": 1,
        "state": "active",
        "universe_rules": {"us_top": {"rule_id": 12}},
        "thresholds": {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1, "sharpe": 1.0},
        "signal_pools": {"pool-a": {} if pool is None else pool},
        **era_fields,
    }
    return {"eras": [era]}


def resolve(catalog, universe="us_top", pool="pool-a", **kwargs):
    return submit._submission_thresholds_from_era_catalog(catalog, universe, pool, **kwargs)


@pytest.fixture
def client(fake_transport):
    return SignalServiceClient("http://127.0.0.1:8000", "tok", transport=fake_transport)


@pytest.mark.parametrize(
    "pool, expected",
    [
        ({}, {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1, "sharpe": 1.0}),
        (
            {"universes": {"12": {"signal_is_thresholds": {"sharpe": 2.0}}}, "signal_is_thresholds": {"turnover": 9}},
            {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1, "sharpe": 2.0},
        ),
        (
            {"universes": {"12": {}}, "signal_is_thresholds": {"turnover": 9, "is_pnl_mi_threshold": 0.3}},
            {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.3, "sharpe": 1.0, "turnover": 9},
        ),
        (
            {
                "universes": [
                    {"universe_rule_id": 12, "rule_id": 7, "signal_is_thresholds": {"a": 12}},
                    {"rule_id": 12, "signal_is_thresholds": {"a": 7}},
                ]
            },
            {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1, "sharpe": 1.0, "a": 12},
        ),
        (
            {
                "universes": [
                    {"universe_rule_id": 7, "rule_id": 12, "signal_is_thresholds": {"a": 7}},
                    {"rule_id": "12", "signal_is_thresholds": {"a": "text"}},
                ]
            },
            {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1, "sharpe": 1.0, "a": "text"},
        ),
        (
            {
                "universes": {"12": {"signal_is_thresholds": {"is_correlation_threshold": 0.5}}},
                "is_correlation_threshold": 0.9,
                "is_pnl_mi_threshold": None,
            },
            {"is_correlation_threshold": 0.9, "is_pnl_mi_threshold": 0.1, "sharpe": 1.0},
        ),
    ],
)
def test_threshold_precedence(pool, expected):
    result = resolve(make_catalog(pool))
    assert result == expected and list(result) == list(expected)


def test_pool_records_may_be_objects():
    universe = types.SimpleNamespace(universe_rule_id="12", signal_is_thresholds={"is_pnl_mi_threshold": 0.4})
    pool = types.SimpleNamespace(universes=[universe], is_correlation_threshold=None)
    assert resolve(make_catalog(pool))["is_pnl_mi_threshold"] == 0.4


@pytest.mark.parametrize(
    "era, universe, expected",
    [
        ({"universe_rules": {"us": {"rule_id": "12"}}}, "us", 12),
        ({"universe_rules": {"3": {"rule_id": 4}}}, 3, 4),
        ({"universe_rules": {"us": {"rule_id": True}}, "universes": {"us": {"rule_id": 5}}}, "us", 5),
        ({"universe_rules": {"us": {}}, "universes": [{"id": "us", "rule_id": 6}]}, "us", 6),
        ({"universes": [{"name": "us", "rule_id": "x"}, {"named_universe": "us", "rule_id": 8.0}]}, "us", 8),
        ({"universes": [{"named_universe": "eu", "id": "us", "rule_id": 9}]}, "us", 9),
        ({"universes": {"us": {"rule_id": None}}}, "us", None),
        ({"universes": [{"named_universe": "eu", "rule_id": 1}]}, "us", None),
        (types.SimpleNamespace(universes=[types.SimpleNamespace(name="us", rule_id=10)]), "us", 10),
        ({}, "us", None),
        (None, "us", None),
    ],
)
def test_rule_id_sources(era, universe, expected):
    assert submit._rule_id_for_named_universe(era, universe) == expected


def test_signal_is_thresholds_are_copies():
    own = {"sharpe": 1}
    pool = {"universes": {"12": {"signal_is_thresholds": own}}}
    result = submit._signal_is_thresholds_for_pool(pool, 12)
    assert result == own and result is not own
    assert submit._signal_is_thresholds_for_pool({"universes": "odd"}, 12) == {}
    assert submit._signal_is_thresholds_for_pool(None, 12) == {}


@pytest.mark.parametrize(
    "catalog, universe, pool, message",
    [
        ({"eras": []}, "us_top", "pool-a", "thresholds unavailable: /eras returned no active era"),
        (make_catalog(), "us_top", "pool-b", "thresholds unavailable: signal_pool_name 'pool-b' not found"),
        (make_catalog(), "eu", "pool-b", "thresholds unavailable: signal_pool_name 'pool-b' not found"),
        (make_catalog(), "eu", "pool-a", "thresholds unavailable: named_universe 'eu' not found"),
        (
            make_catalog(thresholds={"is_pnl_mi_threshold": 1}),
            "us_top",
            "pool-a",
            "thresholds unavailable: missing is_correlation_threshold",
        ),
        (make_catalog(thresholds={}), "us_top", "pool-a", "thresholds unavailable: missing is_correlation_threshold"),
        (
            make_catalog(thresholds={"is_correlation_threshold": 1}),
            "us_top",
            "pool-a",
            "thresholds unavailable: missing is_pnl_mi_threshold",
        ),
    ],
)
def test_resolution_failures_in_order(catalog, universe, pool, message):
    with pytest.raises(ValueError) as caught:
        resolve(catalog, universe, pool)
    assert str(caught.value) == message


def test_presence_is_tested_on_keys_only():
    assert resolve(make_catalog(thresholds={"is_correlation_threshold": None, "mi_threshold": 2})) == {
        "is_correlation_threshold": None,
        "mi_threshold": 2,
    }


def test_catalog_is_fetched_once_and_cached(client, fake_transport):
    catalog = make_catalog()
    fake_transport.respond(200, catalog)
    first = client._resolve_submit_thresholds("us_top", "pool-a")
    first["is_correlation_threshold"] = -1
    assert client._resolve_submit_thresholds("us_top", "pool-a", era_number=1) == resolve(catalog)
    assert [(c.name, c.args) for c in fake_transport.calls] == [("get", ("/eras",))]
    assert client._era_catalog_cache == catalog and client._fetch_era_catalog() is client._era_catalog_cache


def test_failed_fetch_is_retried_and_chained(client, fake_transport):
    fake_transport.respond(503, {"error": "busy"}).respond(200, make_catalog())
    with pytest.raises(ValueError) as caught:
        client._resolve_submit_thresholds("us_top", "pool-a")
    assert str(caught.value) == COULD_NOT_FETCH and caught.value.__suppress_context__
    assert isinstance(caught.value.__cause__, submit.SubmissionRejectedError) and client._era_catalog_cache is None
    assert client._resolve_submit_thresholds("us_top", "pool-a")["sharpe"] == 1.0
    assert len(fake_transport.calls) == 2


@pytest.mark.parametrize(
    "answer, cause",
    [
        (httpx.ConnectError("refused"), httpx.ConnectError),
        (ConnectionError("down"), ConnectionError),
        ((200, {}, "extra"), ValueError),
        (None, TypeError),
    ],
)
def test_request_failures_become_could_not_fetch(client, answer, cause):
    def canonical_request(*args):
        if isinstance(answer, BaseException):
            raise answer
        return answer

    client._canonical_request = canonical_request
    with pytest.raises(ValueError) as caught:
        client._fetch_era_catalog()
    assert str(caught.value) == COULD_NOT_FETCH and type(caught.value.__cause__) is cause
    assert caught.value.__context__ is caught.value.__cause__ and client._era_catalog_cache is None


def test_interrupts_pass_unconverted(client, fake_transport):
    fake_transport.responses.append(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        client._fetch_era_catalog()


@pytest.mark.parametrize(
    "body, accepted",
    [
        ({"eras_by_market": {}}, True),
        ({"market_era_groups": {}}, True),
        ({"eras": []}, True),
        ({"eras_by_market": [], "market_era_groups": None, "eras": {}}, False),
        ({}, False),
        ({"eras": ()}, False),
        ([1], False),
        ("eras", False),
    ],
)
def test_catalog_outline(client, body, accepted):
    client._canonical_request = lambda method, endpoint: (200, body)
    if accepted:
        assert client._fetch_era_catalog() is body and client._era_catalog_cache is body
    else:
        with pytest.raises(ValueError) as caught:
            client._fetch_era_catalog()
        assert str(caught.value) == INVALID and caught.value.__cause__ is None and client._era_catalog_cache is None


def test_accepted_catalog_stays_cached_when_resolution_fails(client, fake_transport):
    fake_transport.respond(200, {"eras": []})
    for _ in range(2):
        with pytest.raises(ValueError, match="returned no active era"):
            client._resolve_submit_thresholds("us_top", "pool-a")
    assert len(fake_transport.calls) == 1


def test_methods_go_through_self():
    catalog, seen = make_catalog(), []

    class Client(SignalServiceClient):
        def _canonical_request(self, method, endpoint, body=None):
            seen.append((method, endpoint, body))
            return 200, catalog

    sub = Client("http://127.0.0.1:8000", "tok", transport=object())
    assert sub._resolve_submit_thresholds("us_top", "pool-a") == resolve(catalog)
    assert seen == [("GET", "eras", None)]
    assert catalog == make_catalog()
