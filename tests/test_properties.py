"""Rules that hold for all inputs: derived keys ignore member order, URL joining, the era
choice prefers a requested era over the active one."""

import hashlib
import json
import random

from hypothesis import given, settings, strategies as st

from quillmarsh import submit
from quillmarsh.submit import SignalServiceClient

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=20)
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
    assert joined[len(base)] == "/" and joined[len(base) + 1:] == route


@settings(max_examples=200)
@given(st.lists(st.integers(0, 50), min_size=1, max_size=8, unique=True), st.data())
def test_a_requested_era_wins_over_the_active_one(numbers, data):
    states = data.draw(st.lists(st.sampled_from(["active", "closed", "OPEN", "current", "scheduled"]),
                                min_size=len(numbers), max_size=len(numbers)))
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
