"""The local service's OpenAPI document as tools read it: it describes exactly the routes the
service dispatches, and openapi-python-client generates a client of every route from it that
works against the service."""

import importlib
import json
import os
import shutil
import subprocess
from importlib import resources

import pytest

from quillmarsh import devservice
from quillmarsh.devservice.app import ROUTES

pytestmark = pytest.mark.python_layers

DOCUMENT = resources.files("quillmarsh.devservice").joinpath("openapi.json")


def test_the_document_describes_the_routes_the_service_dispatches():
    document = json.loads(DOCUMENT.read_text())
    described = {
        (path, method.upper(), operation["operationId"], operation.get("security") == [])
        for path, item in document["paths"].items()
        for method, operation in item.items()
    }
    assert described == {(route.path, route.method, route.operation, route.public) for route in ROUTES}


def snake(name):
    return "".join(f"_{c.lower()}" if c.isupper() else c for c in name).lstrip("_").replace("open_a_p_i", "open_api")


@pytest.mark.whole_system
def test_a_generated_client_submits_lists_and_reads_a_status(tmp_path, monkeypatch):
    # The test command installs the generator into an environment of its own (it pins an older
    # httpx) and names it in QUILLMARSH_OPENAPI_GENERATOR.
    generator = os.environ.get("QUILLMARSH_OPENAPI_GENERATOR") or shutil.which("openapi-python-client")
    if generator is None:
        pytest.skip("openapi-python-client is not installed (scripts/test.sh installs it)")
    bin_dir = os.path.dirname(generator)
    env = {**os.environ, "PATH": bin_dir + os.pathsep + os.environ.get("PATH", "")}  # its ruff formats the code
    done = subprocess.run(
        [
            generator,
            "generate",
            "--path",
            str(DOCUMENT),
            "--meta",
            "none",
            "--output-path",
            str(tmp_path / "generated_devservice_client"),
        ],
        capture_output=True,
        text=True,
        env=env,
        timeout=240,
    )
    assert done.returncode == 0 and "Warning" not in done.stdout + done.stderr, done.stdout + done.stderr
    assert {p.stem for p in (tmp_path / "generated_devservice_client" / "api" / "default").glob("[!_]*.py")} == {
        snake(route.operation) for route in ROUTES
    }
    monkeypatch.syspath_prepend(str(tmp_path))
    generated = importlib.import_module("generated_devservice_client")
    api = importlib.import_module("generated_devservice_client.api.default")
    models = importlib.import_module("generated_devservice_client.models")
    signal = models.Signal.from_dict(
        {
            "graph": "rank(ts_mean(close, 5))",
            "named_universe": "us_top500",
            "signal_pool_name": "momentum",
            "is_stats": {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2},
            "is_pnl_mi": 0.4,
            "expression_elapsed_seconds": 0.5,
            "market_id": 1,
            "era_number": 3,
        }
    )
    with devservice.start(status_after_polls=1) as service:
        with generated.AuthenticatedClient(base_url=service.url, token=service.token) as client:
            made = importlib.import_module(f"{api.__name__}.submit_signal").sync(
                client=client, body=signal, idempotency_key="generated-1"
            )
            listing = importlib.import_module(f"{api.__name__}.list_signal_submissions").sync(client=client)
            status = importlib.import_module(f"{api.__name__}.get_signal_status").sync(
                client=client, submission_id=made.submission_id
            )
    assert isinstance(made, models.Submission) and made.submission_id.startswith("sub_")
    assert [s.submission_id for s in listing.submissions] == [made.submission_id]
    assert isinstance(status, models.Status) and status.status == models.StatusStatus.SIGNAL_OS_PASSED
