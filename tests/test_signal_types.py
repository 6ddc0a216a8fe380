import dataclasses

import pytest

from quillmarsh.signal_types import (
    BatchSubmitItemResult,
    BatchSubmitResult,
    StatusResult,
    SubmissionListResult,
    SubmitResult,
)

pytestmark = pytest.mark.python_layers

IDS = dict(signal_pool_id=None, strategy_pool_id=None, strategy_signal_pool=None)


def _item(index=0, status_code=202, error=None):
    return BatchSubmitItemResult(index=index, status_code=status_code, body={}, submission_id="s", error=error, **IDS)


def test_records_refuse_positional_arguments():
    with pytest.raises(TypeError):
        SubmitResult(200, {}, "s", None, None, None, None)


def test_status_result_optional_fields_default_to_none():
    result = StatusResult(status_code=200, body={}, status="accepted", error=None, **IDS)
    optional = [f.name for f in dataclasses.fields(StatusResult)][7:]
    assert len(optional) == 10
    assert all(getattr(result, name) is None for name in optional)


def test_batch_results_keep_the_same_list_and_items_reindex_in_place():
    items = [_item(0), _item(1)]
    batch = BatchSubmitResult(status_code=202, body={}, accepted=2, failed=0, results=items, error=None)
    for item in batch.results:
        item.index += 100
    assert batch.results is items
    assert [item.index for item in items] == [100, 101]
    with pytest.raises(dataclasses.FrozenInstanceError):
        batch.accepted = 3


@pytest.mark.parametrize(
    "status_code, error, ok",
    [
        (200, None, True),
        (299, None, True),
        (202, "boom", False),
        (0, "connect", False),
        (300, None, False),
        (True, None, False),
    ],
)
def test_ok_needs_no_error_and_a_2xx_int(status_code, error, ok):
    assert SubmissionListResult(status_code=status_code, body=None, submissions=[], error=error).ok is ok
    assert _item(status_code=status_code, error=error).ok is ok
