"""Rules that hold for all inputs: derived keys ignore member order, URL joining, the era
choice prefers a requested era over the active one."""

import hashlib
import json

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from quillmarsh import submit
from quillmarsh.submit import SignalServiceClient

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=20,
)
bodies = st.dictionaries(st.text(max_size=12), json_values, max_size=8)


@given(bodies, st.randoms(use_true_random=False), st.none() | st.text() | st.integers())
def test_derived_key_ignores_member_order_and_any_key_already_there(body, rng, old_key):
    items = list(body.items())
    rng.shuffle(items)
    reordered = dict(items)
    if old_key is not None:
        reordered["idempotency_key"] = old_key
    payload = {k: v for k, v in body.items() if k != "idempotency_key"}
    canonical = json.dumps(payload, sort_keys=True, separators=(",", ":"), allow_nan=False).encode("utf-8")
    expected = "sigsubmit-" + hashlib.sha256(canonical).hexdigest()
    assert SignalServiceClient._idempotency_key_for_body(body) == expected
    assert SignalServiceClient._idempotency_key_for_body(reordered) == expected


@given(st.text(), st.text())
def test_join_url_puts_exactly_one_slash_between_base_and_route(server_url, endpoint):
    joined = submit._join_url(server_url, endpoint)
    assert joined == server_url.rstrip("/") + "/" + endpoint.lstrip("/")
    base, route = server_url.rstrip("/"), endpoint.lstrip("/")
    assert joined[len(base)] == "/" and joined[len(base) + 1 :] == route


@settings(max_examples=200)
@given(st.lists(st.integers(0, 50), min_size=1, max_size=8, unique=True), st.data())
def test_a_requested_era_wins_over_the_active_one(numbers, data):
    states = data.draw(
        st.lists(
            st.sampled_from(["active", "closed", "OPEN", "current", "scheduled"]),
            min_size=len(numbers),
            max_size=len(numbers),
        )
    )
    eras = [{"era_number": n, "state": s} for n, s in zip(numbers, states)]
    active = data.draw(st.sampled_from(numbers))
    requested = data.draw(st.sampled_from(numbers))
    grouped = data.draw(st.booleans())
    catalog = ({"eras_by_market": {"1": eras}} if grouped else {"eras": eras}) | {"active_era_number": active}
    form = data.draw(st.sampled_from([int, str, float]))
    assert submit._active_era_from_catalog(catalog, era_number=form(requested))["era_number"] == requested
    assert submit._active_era_from_catalog(catalog)["era_number"] == active
    missing = max(numbers) + 1
    assert submit._active_era_from_catalog(catalog, era_number=missing)["era_number"] == active


def host_key_or_error(body):
    payload = {k: v for k, v in body.items() if k != "idempotency_key"}
    try:
        canonical = json.dumps(payload, sort_keys=True, separators=(",", ":"), allow_nan=False).encode("utf-8")
    except (TypeError, ValueError, RecursionError) as exc:
        return type(exc), str(exc)
    return "sigsubmit-" + hashlib.sha256(canonical).hexdigest()


any_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=10**30)
    | st.floats()
    | st.text(alphabet=st.characters(min_codepoint=0, max_codepoint=0x10FFFF))
    | st.just(-0.0)
    | st.just(object),
    lambda inner: (
        st.lists(inner, max_size=4)
        | st.tuples(inner, inner)
        | st.dictionaries(st.text(max_size=6) | st.integers() | st.none(), inner, max_size=4)
    ),
    max_leaves=25,
)


@settings(max_examples=400)
@given(st.dictionaries(st.text(max_size=10), any_values, max_size=6))
@example({"z": [0.0, -0.0, 0.1, 0.1], "a": [2**63 - 1, -(2**63), 2**63, 2**64], "s": "plain " * 40 + "\x7f"})
def test_derived_key_matches_the_host_encoder_on_arbitrary_values(body):
    """The key's canonical text is written natively for plain JSON values; whatever the body
    holds, the key (or the error) is exactly the one the host's json.dumps gives."""
    expected = host_key_or_error(body)
    try:
        actual = SignalServiceClient._idempotency_key_for_body(body)
    except (TypeError, ValueError, RecursionError) as exc:
        actual = type(exc), str(exc)
    assert actual == expected


def test_derived_key_follows_a_replaced_json_dumps(monkeypatch):
    calls = []
    real = json.dumps
    monkeypatch.setattr(submit.json, "dumps", lambda *a, **k: calls.append(k) or real(*a, **k))
    SignalServiceClient._idempotency_key_for_body({"a": 1})
    assert calls == [{"sort_keys": True, "separators": (",", ":"), "allow_nan": False}]


@settings(max_examples=400)
@given(
    st.dictionaries(st.text(max_size=10) | st.integers() | st.booleans() | st.none(), any_values, max_size=6)
    | st.lists(any_values, max_size=4)
)
# Texts the writer keeps for doubles seen lately, and machine integers at their bounds.
@example([0.0, -0.0, 0.0, -0.0, 1e-7, 1e16, 0.1, 0.1])
@example([2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, 0, -1, True, False])
@example({"graph": 'rank(ts_mean(close, 5))\u00e9\n"x"\\', "s": "plain " * 40 + "\x7f\x1f"})
def test_wire_bytes_match_the_host_encoder_on_arbitrary_values(body):
    """A request body goes on the wire exactly as json.dumps(body).encode() (or fails as it does)."""
    try:
        expected = json.dumps(body).encode("utf-8")
    except (TypeError, ValueError, RecursionError) as exc:
        expected = type(exc), str(exc)
    sent = []

    def transport(method, url, headers, content):
        sent.append(content)
        return 200, b"{}"

    try:
        submit._request_json("POST", "signals/submit", lambda: "t", "https://x", body, transport)
        actual = sent[0]
    except (TypeError, ValueError, RecursionError) as exc:
        actual = type(exc), str(exc)
    assert actual == expected


any_json = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=20,
)


def same(a, b):
    """Equal, kind for kind (an int is no float, -0.0 no 0.0), NaN equal to NaN."""
    if isinstance(a, float) and isinstance(b, float):
        return repr(a) == repr(b)
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


@settings(max_examples=500)
@given(any_json, st.booleans(), st.sampled_from([None, 2]))
def test_the_command_lines_json_reader_answers_as_json_loads(value, ascii_only, indent):
    from quillmarsh.cli.signals import loads

    text = json.dumps(value, ensure_ascii=ascii_only, indent=indent)
    for form in (text, text.encode("utf-8", "surrogatepass")):
        try:
            expected = json.loads(form)
        except ValueError as refusal:
            with pytest.raises(type(refusal)):
                loads(form)
        else:
            assert same(loads(form), expected)
