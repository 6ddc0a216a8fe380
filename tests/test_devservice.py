"""The local signal service, driven through quillmarsh.submit's default httpx transport on 127.0.0.1."""

import httpx
import pytest
from fakes import SERVICE_STATS, SIGNAL_GRAPH, service_body

from quillmarsh import devservice, submit

pytestmark = pytest.mark.python_layers


@pytest.fixture
def serve():
    """`serve(**options)` starts a service and a client of it; both end with the test."""
    running = []

    def start(token=lambda right: right, **options):
        service = devservice.start(**options)
        client = submit.SignalServiceClient(service.url, token(service.token))
        running.append((service, client))
        return service, client

    yield start
    for service, client in running:
        client.close()
        service.stop()


@pytest.fixture
def signal(record_timing):
    """`signal(client, graph=..., universe=..., **keywords)` records the graph's timing and submits it."""

    def send(client, graph=SIGNAL_GRAPH, universe="us_top500", **keywords):
        record_timing(graph)
        keywords = {
            "signal_pool_name": "momentum",
            "is_stats": SERVICE_STATS,
            "is_pnl_mi": 0.4,
            "expression_elapsed_seconds": 0.5,
            **keywords,
        }
        return client.submit_signal(graph, universe, **keywords)

    return send


def raw_signal(key, **fields):
    return service_body(graph=SIGNAL_GRAPH, idempotency_key=key, **fields)


def rejected(call):
    """(status, reason, body) of a request that the service refuses."""
    with pytest.raises(submit.SubmissionRejectedError) as caught:
        call()
    return caught.value.status_code, caught.value.reason, caught.value.body


@pytest.mark.parametrize("token", [lambda right: "wrong", lambda right: right[:-1], lambda right: right + "x"])
def test_requests_without_the_token_get_401(serve, token):
    service, client = serve(token=token)
    status = client.get_signal_status("sub_x")
    listing = client.list_signal_submissions()
    assert (status.status_code, status.error, listing.status_code, listing.error) == (
        401,
        "unauthorized",
        401,
        "unauthorized",
    )
    assert (
        "Authorization: Bearer" in rejected(lambda: client._canonical_request("GET", "eras"))[2]["details"]["message"]
    )
    assert service.store.count() == 0


@pytest.mark.parametrize(
    "universe, market_id, pool_id", [("us_top500", None, "sp-1-3-momentum"), ("eu_top600", 2, "sp-2-3-momentum")]
)
def test_default_catalog_takes_a_real_signal(serve, signal, universe, market_id, pool_id):
    service, client = serve()
    result = signal(client, universe=universe, market_id=market_id)
    assert (result.status_code, result.error, result.signal_pool_id) == (202, None, pool_id)
    assert result.submission_id.startswith("sub_") and result.strategy_signal_pool == "core/momentum"
    assert result.body["era_number"] == 3 and service.store.count() == 1


def strategy(client, universe="us_top500", **fields):
    fields = {"strategy_pool_name": "core", "market_id": 1, "era_number": 3, **fields}
    return client.submit_strategy("f(x)", universe, **fields)


# (call, status, reason, details: "message" is a part of the message, the other fields are exact)
REFUSALS = [
    (
        lambda s, c: strategy(c, "us_top"),
        422,
        "unknown_named_universe",
        {
            "message": "named_universe 'us_top' is not in era 3 of market 1; known: us_top500, us_top1000",
            "field": "named_universe",
            "allowed": ["us_top500", "us_top1000"],
        },
    ),
    (
        lambda s, c: c._canonical_request(
            "POST",
            "signals/submit",
            raw_signal("k", named_universe="eu_top300", market_id=2, signal_pool_name="Momentum"),
        ),
        422,
        "unknown_signal_pool",
        {
            "message": "of era 3 of market 2; known: momentum, mean_reversion, value",
            "field": "signal_pool_name",
            "allowed": ["momentum", "mean_reversion", "value"],
        },
    ),
    (
        lambda s, c: s(c, universe="us_top1000", signal_pool_name="value"),
        422,
        "universe_not_in_pool",
        {"message": "it takes: us_top500", "field": "named_universe", "allowed": ["us_top500"]},
    ),
    (
        lambda s, c: s(c, era_number=2),
        422,
        "era_not_open",
        {"message": "era 2 of market 1 is closed; submissions go to era 3", "field": "era_number", "allowed": [3]},
    ),
    (
        lambda s, c: strategy(c, strategy_pool_name="none"),
        422,
        "unknown_strategy_pool",
        {
            "message": "known: core, market_neutral",
            "field": "strategy_pool_name",
            "allowed": ["core", "market_neutral"],
        },
    ),
    (
        lambda s, c: strategy(c, era_number=9),
        422,
        "unknown_era",
        {
            "message": "era_number 9 is not an era of market 1; known: 1, 2, 3, 4",
            "field": "era_number",
            "allowed": [1, 2, 3, 4],
        },
    ),
    (
        lambda s, c: strategy(c, market_id=7),
        422,
        "unknown_era",
        {"message": "market_id 7 is not in the catalog; known: 1, 2", "field": "market_id", "allowed": [1, 2]},
    ),
    (
        lambda s, c: c._canonical_request("POST", "signals/submit", {"named_universe": "us_top500"}),
        400,
        "malformed_request",
        {"message": "graph is required", "field": "graph"},
    ),
    (
        lambda s, c: c._canonical_request("POST", "signals/submit", raw_signal("k", market_id="1")),
        400,
        "malformed_request",
        {"message": 'market_id must be a positive integer, got the string "1"', "field": "market_id"},
    ),
    (
        lambda s, c: c._canonical_request("POST", "signals/submit", raw_signal("k", is_pnl_mi=float("nan"))),
        400,
        "malformed_json",
        {"message": "NaN is not valid JSON"},
    ),
    (
        lambda s, c: c._canonical_request("POST", "signals/submit", raw_signal("k", graph_depth=2)),
        422,
        "graph_complexity_mismatch",
        {"message": "which measures 3", "field": "graph_depth", "allowed": [3]},
    ),
    (
        lambda s, c: c._canonical_request(
            "POST", "signals/submit", raw_signal("k", metaparameters={"devservice_outcome": "won"})
        ),
        400,
        "malformed_request",
        {
            "message": "must be one of signal_found",
            "field": "metaparameters.devservice_outcome",
            "allowed": list(devservice.TERMINAL_STATUSES),
        },
    ),
    (
        lambda s, c: c.list_signal_submissions(limit=1001),
        400,
        "malformed_request",
        {"message": "limit must be an integer from 1 to 1000", "field": "limit", "minimum": 1, "maximum": 1000},
    ),
    (
        lambda s, c: c.list_signal_submissions(since="yesterday"),
        400,
        "malformed_request",
        {"message": "since must be an ISO-8601 time", "field": "since"},
    ),
    (
        lambda s, c: c.get_signal_status("sub_missing"),
        404,
        "not_found",
        {"message": "no submission with id 'sub_missing'"},
    ),
]


@pytest.mark.parametrize("call, status, reason, details", REFUSALS)
def test_refusals_explain_themselves_in_details(serve, signal, call, status, reason, details):
    service, client = serve()
    try:
        result = call(signal, client)
        answer = (result.status_code, result.error, result.body)
    except submit.SubmissionRejectedError as exc:
        answer = (exc.status_code, exc.reason, exc.body)
        assert exc.details == exc.body["details"]  # where the client shows it
    body = answer[2]
    assert answer[:2] == (status, reason) and "detail" not in body
    assert details["message"] in body["details"]["message"]
    assert {k: v for k, v in body["details"].items() if k != "message"} == {
        k: v for k, v in details.items() if k != "message"
    }
    assert service.store.count() == 0


def test_idempotency_replays_the_submission_and_refuses_another_body(serve, signal):
    service, client = serve()
    first, again = (
        client.submit_strategy(
            "f(x)", "us_top500", strategy_pool_name="core", market_id=1, era_number=3, idempotency_key="strategy-1"
        )
        for _ in range(2)
    )
    assert (first.status_code, again.status_code, again.submission_id) == (202, 202, first.submission_id)
    status, reason, _ = rejected(
        lambda: client.submit_strategy(
            "g(x)", "us_top500", strategy_pool_name="core", market_id=1, era_number=3, idempotency_key="strategy-1"
        )
    )
    assert (status, reason) == (409, "idempotency_key_reused")
    derived = [signal(client) for _ in range(2)]  # no caller key: the key is derived from the body
    assert derived[0].submission_id == derived[1].submission_id and service.store.count() == 2


def test_the_legacy_field_is_demanded_once_and_the_retry_is_one_submission(serve, signal):
    service, client = serve(demand_signal_pool_id_once=True)
    first, again = (signal(client, idempotency_key="legacy-1") for _ in range(2))
    assert (first.status_code, again.status_code, again.submission_id) == (202, 202, first.submission_id)
    assert [s for m, p, s in service.requests if p == "/signals/submit"] == [400, 202, 202]


def test_the_legacy_demand_keeps_the_text_the_client_retries_on(serve):
    service, _ = serve(demand_signal_pool_id_once=True)
    with httpx.Client(base_url=service.url, headers={"Authorization": f"Bearer {service.token}"}) as http:
        answers = [http.post("/signals/submit", json=raw_signal("legacy-raw")) for _ in range(2)]
    assert [a.status_code for a in answers] == [400, 202]
    assert answers[0].json() == {
        "error": "malformed_request",
        "detail": "signal_pool_id is required",
        "details": {"message": "signal_pool_id is required", "field": "signal_pool_id"},
    }


@pytest.mark.parametrize(
    "options, status, content_type, retry_after",
    [({"fail_every": 1}, 503, "application/json", 1), ({"malformed_every": 1}, 502, "text/html", None)],
)
def test_injected_faults_say_when_to_retry(serve, options, status, content_type, retry_after):
    service, _ = serve(**options)
    answer = httpx.get(f"{service.url}/eras", headers={"Authorization": f"Bearer {service.token}"})
    assert (answer.status_code, answer.headers["content-type"], answer.headers["retry-after"]) == (
        status,
        content_type,
        "1",
    )
    if retry_after is not None:
        assert answer.json()["details"]["retry_after"] == retry_after


@pytest.mark.parametrize(
    "options, status, marker",
    [({"fail_every": 3}, 503, "service_unavailable"), ({"malformed_every": 3}, 502, "502 Bad Gateway")],
)
def test_every_nth_request_fails(serve, signal, options, status, marker):
    service, client = serve(**options)  # request 1 fetches the catalog
    results = [signal(client, graph=f"rank(close, {n})") for n in range(3)]
    assert [r.status_code for r in results] == [202, status, 202]
    assert marker in results[1].error and results[1].submission_id is None
    assert service.store.count() == 2


def test_status_steps_through_queued_and_simulating(serve, signal):
    _, client = serve(status_after_polls=3)
    submission_id = signal(client).submission_id
    seen = [client.get_signal_status(submission_id) for _ in range(4)]
    assert [s.status for s in seen] == ["queued", "simulating", "signal_os_passed", "signal_os_passed"]
    assert (seen[0].payment, seen[0].is_correlation, seen[0].agent_is_correlation) == (None, None, 0.2)
    assert (seen[2].payment, seen[2].is_correlation, seen[2].is_pnl_mi) == (
        {"amount": 25.0, "currency": "credits"},
        0.2,
        0.4,
    )
    missing = client.get_signal_status("no such id/")
    assert (missing.status_code, missing.error) == (404, "not_found")


@pytest.mark.parametrize(
    "options, outcome, field, value",
    [
        ({"status_after_seconds": 0.2}, None, "signal_pool_id", "sp-1-3-momentum"),
        ({"status_after_polls": 5}, "signal_os_failed", "failure_reason", "os_sharpe_below_threshold"),
        (
            {"status_after_polls": 2},
            "signal_is_rejected",
            "rejection_reason",
            "is_thresholds_not_met: rejected on request",
        ),
    ],
)
def test_polling_reaches_the_terminal_status(serve, signal, options, outcome, field, value):
    _, client = serve(**options)
    metaparameters = None if outcome is None else {"devservice_outcome": outcome}
    result = client.poll_until_terminal(signal(client, metaparameters=metaparameters).submission_id, timeout=30)
    assert result.status == (outcome or "signal_os_passed") and getattr(result, field) == value


@pytest.mark.parametrize(
    "filters, expected",
    [
        ({}, ["k0", "k1", "k2"]),
        ({"idempotency_key": "k1"}, ["k1"]),
        ({"status": "signal_found"}, ["k1"]),
        ({"status": "queued", "limit": 1}, ["k0"]),
        ({"since": "k0"}, ["k1", "k2"]),
        ({"limit": 2}, ["k0", "k1"]),
        ({"limit": 0}, 400),
        ({"since": "yesterday"}, 400),
    ],
)
def test_listing_filters(serve, filters, expected):
    _, client = serve(status_after_polls=1)
    made = {
        key: client.submit_strategy(
            f"f({key})", "us_top500", strategy_pool_name="core", market_id=1, era_number=3, idempotency_key=key
        )
        for key in ("k0", "k1", "k2")
    }
    client.get_signal_status(made["k1"].submission_id)  # k1 reaches its terminal status
    if filters.get("since") == "k0":
        filters = {"since": made["k0"].body["created_at"]}
    listing = client.list_signal_submissions(**filters)
    if isinstance(expected, int):
        assert (listing.status_code, listing.error) == (expected, "malformed_request")
    else:
        assert [s["idempotency_key"] for s in listing.submissions] == expected
        assert [s["submission_id"] for s in listing.submissions] == [made[k].submission_id for k in expected]


def test_a_batch_of_250_goes_in_three_requests_and_replays(serve, record_timing):
    service, client = serve()
    signals = [
        {
            "graph": f"rank(ts_mean(close, {n}))",
            "named_universe": "us_top500",
            "signal_pool_name": "momentum",
            "is_stats": SERVICE_STATS,
            "is_pnl_mi": 0.4,
            "expression_elapsed_seconds": 0.5,
        }
        for n in range(250)
    ]
    outcomes = []
    for _ in range(2):  # the second run replays: the same keys name the same submissions
        for item in signals:
            record_timing(item["graph"])
        result = client.submit_signals_batch(signals)
        outcomes.append((result.status_code, result.accepted, result.failed))
        assert [r.index for r in result.results] == list(range(250))
    assert outcomes == [(202, 250, 0)] * 2
    assert [p for _, p, _ in service.requests].count("/signals/batch") == 6 and service.store.count() == 250


@pytest.mark.parametrize(
    "signals, status, items",
    [
        ([raw_signal(f"b{n}") for n in range(101)], 413, None),
        (
            [
                raw_signal("b0"),
                {"graph": "f(x)"},
                raw_signal("b0", is_pnl_mi=0.5),
                raw_signal("b1", signal_pool_name="x"),
            ],
            207,
            [202, 400, 409, 422],
        ),
        ([], 202, []),
    ],
)
def test_batch_answers_per_item(serve, signals, status, items):
    _, client = serve()
    if items is None:
        assert rejected(lambda: client._canonical_request("POST", "signals/batch", {"signals": signals}))[:2] == (
            status,
            "batch_too_large",
        )
        return
    code, body = client._canonical_request("POST", "signals/batch", {"signals": signals})
    assert (code, [r["status_code"] for r in body["results"]]) == (status, items)
    assert [r["index"] for r in body["results"]] == list(range(len(items)))
    assert (body["accepted"], body["failed"]) == (items.count(202), len(items) - items.count(202))
    assert all(r["body"]["details"]["message"] for r in body["results"] if r["status_code"] != 202)


HAND_WRITTEN = {
    "eras": [
        {  # the list shapes a catalog file may use
            "market_id": 5,
            "era_number": 1,
            "state": "active",
            "universes": [
                {"named_universe": "asia_200", "rule_id": 4},
                {"name": "asia_400", "rule_id": 5},
                {"named_universe": "no_rule"},
            ],
            "signal_pools": [{"name": "carry", "universes": [4]}, {"id": "trend"}, "not a record"],
            "strategy_pools": [{"strategy_pool_name": "main"}, {"name": "no_record_fields_but_name"}, "not a record"],
        }
    ]
}


@pytest.mark.parametrize(
    "path, fields, reason, allowed",
    [
        ("signals/submit", {"named_universe": "asia"}, "unknown_named_universe", ["asia_200", "asia_400"]),
        ("signals/submit", {"signal_pool_name": "Carry"}, "unknown_signal_pool", ["carry", "trend"]),
        ("signals/submit", {"named_universe": "asia_400"}, "universe_not_in_pool", ["asia_200"]),
        (
            "strategies/submit",
            {"strategy_pool_name": "mian"},
            "unknown_strategy_pool",
            ["main", "no_record_fields_but_name"],
        ),
        ("signals/submit", {"era_number": 2}, "unknown_era", [1]),
        ("signals/submit", {"market_id": 6}, "unknown_era", [5]),
    ],
)
def test_known_names_come_from_a_hand_written_catalog(serve, path, fields, reason, allowed):
    service, _ = serve(catalog=HAND_WRITTEN)
    body = {
        "graph": "rank(close)",
        "named_universe": "asia_200",
        "signal_pool_name": "carry",
        "strategy_pool_name": "main",
        "is_stats": SERVICE_STATS,
        "is_pnl_mi": 0.4,
        "expression_elapsed_seconds": 0.5,
        "market_id": 5,
        "era_number": 1,
        **fields,
    }
    answer = httpx.post(f"{service.url}/{path}", json=body, headers={"Authorization": f"Bearer {service.token}"})
    details = answer.json()["details"]
    assert (answer.status_code, answer.json()["reason"], details["allowed"]) == (422, reason, allowed)
    assert details["message"].endswith(", ".join(map(str, allowed)))
