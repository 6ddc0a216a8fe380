import logging

import pytest

from quillmarsh.logging_style import log_library_surface_event

pytestmark = pytest.mark.python_layers


@pytest.mark.parametrize(
    "outcome, level, expected",
    [("error", None, logging.WARNING), ("ok", None, logging.INFO), ("error", "debug", logging.DEBUG), ("ok", 40, 40)],
)
def test_one_structured_record_on_the_sub_service_logger(caplog, outcome, level, expected):
    caplog.set_level(logging.DEBUG, logger="quillmarsh")
    odd = object()
    metadata = {"reason": "transport_error", "error_type": "ConnectError", "path": "/a b", "wait": 0.4, "odd": odd}
    assert (
        log_library_surface_event(
            "Submission",
            outcome,
            sub_service="submit",
            component="transport",
            metadata=metadata,
            source_function="_submit_result_from_transport_error",
            source_file="src/submit",
            source_line=933,
            level=level,
        )
        is None
    )
    [record] = caplog.records
    assert (record.name, record.levelno) == ("quillmarsh.submit", expected)
    assert record.getMessage() == (
        f"Submission {outcome} sub_service=submit component=transport "
        f"reason=transport_error error_type=ConnectError path='/a b' wait=0.4 odd={odd}"
    )
    event = record.quillmarsh_event
    assert event["metadata"] == metadata and event["metadata"] is not metadata
    assert (event["source_function"], event["source_line"], event["level"]) == (
        "_submit_result_from_transport_error",
        933,
        logging.getLevelName(expected),
    )


@pytest.mark.parametrize("metadata, expected", [(None, {}), ([1, 2], {"value": "[1, 2]"})])
def test_odd_metadata_never_raises(caplog, metadata, expected):
    caplog.set_level(logging.INFO, logger="quillmarsh")
    log_library_surface_event("Surface", "ok", sub_service="x", component="y", metadata=metadata)
    assert caplog.records[0].quillmarsh_event["metadata"] == expected


def test_unknown_level_name_is_refused():
    with pytest.raises(ValueError, match="level must be a logging level"):
        log_library_surface_event("S", "ok", sub_service="x", component="y", level="LOUD")
