"""The local service against its OpenAPI document, with schemathesis generating the
requests: no 5xx, every answer JSON and as the document describes it."""

import json
from importlib import resources

import httpx
import pytest

from quillmarsh import devservice

schemathesis = pytest.importorskip("schemathesis")

# The service alone (no native code on its side): not repeated under the sanitizer build.
pytestmark = pytest.mark.whole_system

DOCUMENT = resources.files("quillmarsh.devservice").joinpath("openapi.json")
EXAMPLES = 40  # per operation and phase; the whole run stays well under a minute
TOKEN = "openapi-test-token"  # known before the service starts: schemathesis sends it, and leaves it out on purpose

schema = schemathesis.openapi.from_dict(
    json.loads(DOCUMENT.read_text()),
    config=schemathesis.Config.from_dict(
        {
            "seed": 20240701,
            "auth": {"openapi": {"bearer": {"bearer": TOKEN}}},
            "generation": {"max-examples": EXAMPLES, "mode": "all"},
            "phases": {"stateful": {"enabled": False}},
            "checks": {
                # Data that fits the document can still name an era or a pool the catalog does not hold (422).
                "positive_data_acceptance": {"enabled": False},
                # A batch over 100 signals is refused with 413 (batch_too_large), not 400.
                "negative_data_rejection": {"expected-statuses": [400, 401, 404, 405, 409, 413, 422]},
            },
        }
    ),
)


@pytest.fixture(scope="module")
def service():
    with devservice.start(token=TOKEN, status_after_polls=0) as running:  # listings show verdicts
        yield running


def test_the_service_serves_the_packaged_document_without_a_token(service):
    answer = httpx.get(f"{service.url}/openapi.json")
    assert (answer.status_code, answer.headers["content-type"]) == (200, "application/json")
    assert answer.json() == json.loads(DOCUMENT.read_text())


@schema.parametrize()
def test_every_answer_fits_the_document(case, service):
    response = case.call_and_validate(base_url=service.url)
    assert response.status_code < 500
    assert response.headers["content-type"] == ["application/json"] and isinstance(json.loads(response.content), dict)
