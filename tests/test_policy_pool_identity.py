import types

import pytest

from quillmarsh._pool_identity import selected_signal_pool_from_era_config

pytestmark = pytest.mark.python_layers

ALPHA = {"name": "alpha", "universes": {}}
BETA = types.SimpleNamespace(signal_pool_name="beta")
SEVEN = {"id": 7}
BY_ID = {"name": None, "id": "x"}


@pytest.mark.parametrize(
    "era, name, expected",
    [
        ({"signal_pools": {"alpha": ALPHA}}, "alpha", ALPHA),
        ({"signal_pools": {7: SEVEN}}, "7", SEVEN),
        ({"signal_pools": [None, 3, BETA, ALPHA]}, "alpha", ALPHA),
        (types.SimpleNamespace(signal_pools=[ALPHA, BETA]), "beta", BETA),
        ({"signal_pools": [BY_ID, {"name": "x"}]}, "x", BY_ID),
    ],
)
def test_pool_is_found_as_the_same_object(era, name, expected):
    assert selected_signal_pool_from_era_config(era, name) is expected


@pytest.mark.parametrize(
    "era, name",
    [
        (None, "alpha"),
        ({}, "alpha"),
        ({"signal_pools": "alpha"}, "alpha"),
        ({"signal_pools": {"alpha": ALPHA}}, "Alpha"),
        ({"signal_pools": [ALPHA]}, None),
        ({"signal_pools": {"alpha": ALPHA}}, ["unhashable"]),
        (42, "alpha"),
    ],
)
def test_missing_or_malformed_gives_none(era, name):
    assert selected_signal_pool_from_era_config(era, name) is None
