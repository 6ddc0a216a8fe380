"""Response side: arbitrary bytes and arbitrary JSON values through _parse_response_json and
every result converter."""

from __future__ import annotations

import httpx
from common import Values, checked, main, submit, to_json_bytes

C = submit.SignalServiceClient


def test_one_input(data: bytes) -> None:
    values = Values(data)
    status = values.pick([200, 202, 204, 207, 400, 404, 409, 422, 500, 502, 503, 0, -1, True, None, "202"])
    raw = data if values.fdp.ConsumeBool() else to_json_bytes(values.value())

    def parse():
        body = submit._parse_response_json(status, raw, "https://x/eras", operation="eras")
        for convert in (
            C._submit_result_from_body,
            C._status_result_from_body,
            C._submission_list_result_from_body,
            C._batch_result_from_body,
        ):
            checked(lambda: convert(status, body))
        results = body.get("results")
        if isinstance(results, list):
            for item in results:
                if isinstance(item, dict):
                    checked(lambda: C._batch_item_result_from_body(item))
        checked(lambda: submit._failure_reason_from_status_body(body))

    checked(parse)
    body = values.value()
    rejection = submit.SubmissionRejectedError(status, values.scalar(), values.value(), body=body)
    response_error = submit.SignalClientResponseError("bad", status_code=status, url="u", raw_body=raw)
    for convert in (C._submit_result_from_rejection, C._status_result_from_rejection):
        checked(lambda: convert(rejection))
    for convert in (
        C._submit_result_from_response_error,
        C._status_result_from_response_error,
        C._batch_result_from_response_error,
        C._error_body_from_response_error,
    ):
        checked(lambda: convert(response_error))
    transport_error = httpx.ConnectError(values.pick(["", "refused", "é"]))
    for convert in (
        C._submit_result_from_transport_error,
        C._status_result_from_transport_error,
        C._batch_result_from_transport_error,
    ):
        checked(lambda: convert(transport_error))
    checked(lambda: submit._raise_submission_rejected(status, values.mapping()))
    checked(lambda: submit._requires_legacy_signal_pool_id_retry(rejection))


if __name__ == "__main__":
    main(test_one_input)
