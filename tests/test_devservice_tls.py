"""https: the local service with a certificate from a certificate authority made for the
run, reached through the client's default transport, which trusts that authority only
because SSL_CERT_FILE names it."""

import socket
import ssl
import sys

import httpx
import pytest
from fakes import SERVICE_STATS, SIGNAL_GRAPH
from helpers import start_devservice, stop_devservice

from quillmarsh import devservice, submit
from quillmarsh.devservice.tls import TLSUnavailable

pytestmark = pytest.mark.python_layers

pytest.importorskip("trustme")


def _loopback_host_name():
    """This machine's name when its hosts file maps it to 127.0.0.1, else None."""
    name = socket.gethostname()
    try:
        resolved = {info[4][0] for info in socket.getaddrinfo(name, None, socket.AF_INET)}
    except OSError:
        return None
    return name if resolved == {"127.0.0.1"} and name.lower() != "localhost" else None


# Names the bearer policy does not take for loopback, though they reach 127.0.0.1 without DNS:
# "127.1" (the shorthand the C library reads as 127.0.0.1) and, where the hosts file says so,
# the machine's own name.
NON_LOOPBACK_NAMES = [
    "127.1",
    pytest.param(
        _loopback_host_name(),
        marks=pytest.mark.skipif(
            _loopback_host_name() is None, reason="the machine's name does not resolve to 127.0.0.1 here"
        ),
    ),
]


@pytest.fixture
def service():
    names = ["localhost", "127.0.0.1", "127.1", *filter(None, [_loopback_host_name()])]
    with devservice.start(tls=True, tls_names=names) as running:
        yield running


def work(client, record_timing):
    """Submit a signal and a batch, read a status and a listing; the status codes."""
    record_timing(SIGNAL_GRAPH)
    one = client.submit_signal(
        SIGNAL_GRAPH,
        "us_top500",
        signal_pool_name="momentum",
        is_stats=SERVICE_STATS,
        is_pnl_mi=0.4,
        expression_elapsed_seconds=0.5,
    )
    graphs = [f"rank(ts_mean(close, {n}))" for n in range(2, 5)]
    for graph in graphs:
        record_timing(graph)
    batch = client.submit_signals_batch(
        [
            {
                "graph": g,
                "named_universe": "us_top500",
                "signal_pool_name": "momentum",
                "is_stats": SERVICE_STATS,
                "is_pnl_mi": 0.4,
                "expression_elapsed_seconds": 0.5,
            }
            for g in graphs
        ]
    )
    status = client.get_signal_status(one.submission_id) if one.submission_id else None
    listing = client.list_signal_submissions()
    return (
        one.status_code,
        batch.status_code,
        status and status.status_code,
        listing.status_code,
        len(listing.submissions),
    )


@pytest.mark.parametrize("trusted", [True, False])
def test_the_default_transport_over_https_trusts_the_ca_named_by_ssl_cert_file(
    service, monkeypatch, record_timing, trusted
):
    assert service.url.startswith("https://") and service.ca_pem_path.read_bytes().startswith(b"-----BEGIN")
    if trusted:
        monkeypatch.setenv("SSL_CERT_FILE", str(service.ca_pem_path))
    client = submit.SignalServiceClient(f"https://localhost:{service.port}", service.token)
    try:
        if trusted:
            assert work(client, record_timing) == (202, 202, 200, 200, 4)
            assert service.store.count() == 4
        else:  # verification is on: without the CA no request reaches the service
            result = client.get_signal_status("sub_x")
            assert result.status_code == 0 and "CERTIFICATE_VERIFY_FAILED" in result.error
            assert service.requests == []
    finally:
        client.close()


@pytest.mark.parametrize("name", NON_LOOPBACK_NAMES)
def test_bearer_policy_refuses_plain_http_to_the_name_and_takes_https(service, monkeypatch, record_timing, name):
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.setblocking(False)
        with pytest.raises(ValueError, match="plain http only to a loopback host"):
            submit.SignalServiceClient(f"http://{name}:{listener.getsockname()[1]}", service.token)
        with pytest.raises(BlockingIOError):
            listener.accept()  # nobody connected: nothing was sent
    monkeypatch.setenv("SSL_CERT_FILE", str(service.ca_pem_path))
    client = submit.SignalServiceClient(f"https://{name}:{service.port}", service.token)
    try:
        assert work(client, record_timing) == (202, 202, 200, 200, 4)
    finally:
        client.close()


def test_the_command_line_writes_the_ca_where_asked_and_prints_it(tmp_path):
    ca_path = tmp_path / "ca.pem"
    process, printed = start_devservice("--token=t", "--tls", "--tls-ca-out", str(ca_path))
    try:
        assert printed["SSL_CERT_FILE"] == str(ca_path)
        trusting = ssl.create_default_context(cafile=printed["SSL_CERT_FILE"])
        answer = httpx.get(
            f"{printed['QUILLMARSH_BASE_URL']}/eras", headers={"Authorization": "Bearer t"}, verify=trusting
        )
        assert answer.status_code == 200 and answer.json()["active_era_number"] == 3
    finally:
        stop_devservice(process)
    assert ca_path.exists()  # a file the caller named outlives the service


def test_tls_without_trustme_is_a_clear_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "trustme", None)
    with pytest.raises(TLSUnavailable, match="needs the trustme package"):
        devservice.start(tls=True)
