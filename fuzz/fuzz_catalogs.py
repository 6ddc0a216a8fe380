"""Arbitrary era catalogs through era selection and threshold resolution."""

from __future__ import annotations

from common import KEYS, ScriptedTransport, Values, checked, main, submit, to_json_bytes


def test_one_input(data: bytes) -> None:
    values = Values(data)
    catalog = values.mapping() if values.fdp.ConsumeBool() else values.value()
    market_id = values.pick([None, 1, "1", 7.0, "x", 10**400, True])
    era_number = values.pick([None, 1, 3, "3", 2.9, "x", float("nan")])
    universe = values.pick(["us_top", "", 12, "eu"])
    pool = values.pick(["pool-a", "", None, 5])
    checked(lambda: submit._active_era_from_catalog(catalog, market_id=market_id, era_number=era_number))
    checked(lambda: submit._required_active_submit_era(catalog, market_id, era_number))
    checked(lambda: submit._submission_thresholds_from_era_catalog(catalog, universe, pool, market_id, era_number))
    era = values.value()
    for field in ("market_id", "era_number", "max_depth"):
        checked(lambda: submit._required_positive_era_int(era, field))
    checked(lambda: submit._required_era_frequency(era))
    checked(lambda: submit._simulation_data_contract_projection_from_era(era))
    checked(lambda: submit._rule_id_for_named_universe(era, universe))
    checked(lambda: submit._signal_is_thresholds_for_pool(era, values.pick([12, 0, -1])))
    client = submit.SignalServiceClient(
        "https://signals.example", "t", transport=ScriptedTransport([(200, to_json_bytes(catalog))])
    )
    checked(lambda: client._resolve_submit_thresholds(universe, pool, market_id=market_id, era_number=era_number))
    checked(lambda: client._resolve_submit_thresholds(values.pick(KEYS), pool))


if __name__ == "__main__":
    main(test_one_input)
