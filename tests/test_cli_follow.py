"""`quillmarsh status`, `poll` and `list`: outputs, polling that backs off and stops when the
service refuses, listings that page."""

import json

import pytest
from cli_support import one_line

pytestmark = pytest.mark.python_layers


@pytest.mark.parametrize(
    "argv, answer, exit_status, message",
    [
        (("status", "a b"), (200, {"status": "signal_os_passed", "is_pnl_mi": "Infinity"}), 0, None),
        (("status", "a b"), (404, {"error": "not_found"}), 1, "rejected by the service (HTTP 404 not_found)"),
        (("poll", "a b", "--timeout", "0"), (200, {"status": "signal_found"}), 0, None),
        (("poll", "a b", "--timeout", "0"), (200, {"status": "queued"}), 1, "no terminal status within 0s"),
        (("poll", "a b", "--exit-status"), (200, {"status": "signal_os_failed"}), 1, "failing status signal_os_failed"),
        (("poll", "a b"), (200, {"status": "signal_os_failed"}), 0, None),
    ],
)
def test_status_and_poll(run, http_server, argv, answer, exit_status, message):
    http_server.respond(*answer, path="/signals/status/a%20b", times=None)
    status, out, err = run(*argv, "--format", "json")
    document = json.loads(out, parse_constant=pytest.fail)  # strict JSON: an infinity travels as its text
    assert (status, document["status"], document["is_pnl_mi"]) == (
        exit_status,
        answer[1].get("status"),
        answer[1].get("is_pnl_mi"),
    )
    assert (message in one_line(err)) if message else err == ""


@pytest.mark.parametrize(
    "answer, message",
    [
        (
            (404, {"error": "not_found", "details": {"message": "no submission with id 'sub-x'"}}),
            "rejected by the service (HTTP 404 not_found): no submission with id 'sub-x'",
        ),
        ((401, {"error": "unauthorized"}), "the service refused the token (HTTP 401 Unauthorized): check the token"),
    ],
)
def test_poll_stops_at_once_when_the_service_refuses(run, http_server, answer, message):
    http_server.respond(*answer, path="/signals/status/sub-x", times=None)
    status, out, err = run("poll", "sub-x", "--retries", "0")
    assert status == 1 and message in one_line(err) and len(http_server.requests) == 1


def listing(count, start=0, next_since=None):
    return {
        "submissions": [
            {
                "submission_id": f"sub-{start + i:020d}",
                "status": "queued",
                "signal_pool_name": "p",
                "idempotency_key": f"sigsubmit-{start + i:064x}",
                "created_at": f"T{start + i}",
            }
            for i in range(count)
        ],
        "next_since": next_since,
    }


def test_list_pages_and_plain_rows_when_piped(run, http_server):
    http_server.respond(200, listing(2, next_since="T1"), path="/signals/submissions")
    status, out, err = run("list", "--status", "queued", "--since", "2024-01-01T00:00:00Z", "--limit", "2")
    assert status == 0 and out.splitlines() == [
        "submission_id\tstatus\tsignal_pool_name\tcreated_at",
        "sub-00000000000000000000\tqueued\tp\tT0",
        "sub-00000000000000000001\tqueued\tp\tT1",
    ]
    assert "more submissions: quillmarsh list --status queued --limit 2 --since T1 (or --all)" in one_line(err)
    assert http_server.requests[-1].path == "/signals/submissions?status=queued&since=2024-01-01T00%3A00%3A00Z&limit=2"


def test_the_next_page_command_repeats_the_options_that_made_the_listing_but_the_token(run, http_server):
    http_server.respond(200, listing(2, next_since="T1"), path="/signals/submissions")
    status, out, err = run(
        "--base-url", http_server.url, "list", "--token", "tok-cli", "--wide", "--format", "json", "--limit", "2"
    )
    assert f"quillmarsh list --base-url {http_server.url} --limit 2 --format json --wide --since T1" in one_line(err)
    assert "tok-cli" not in err


def test_list_all_follows_every_page(run, http_server):
    http_server.respond(200, listing(2, next_since="T1"), path="/signals/submissions")
    http_server.respond(200, listing(1, start=2), path="/signals/submissions")
    status, out, err = run("list", "--all", "--limit", "2", "--format", "json")
    assert (status, err) == (0, "") and len(json.loads(out)["submissions"]) == 3
    assert http_server.requests[-1].path == "/signals/submissions?since=T1&limit=2"


@pytest.mark.parametrize(
    "argv, columns, shown, hidden",
    [
        ((), "50", ["sub-00000000000000000000", "1 submission"], ["sigsubmit-"]),
        (("--wide",), "200", ["sigsubmit-" + "0" * 64], []),
    ],
)
def test_list_table_on_a_terminal_never_wraps_ids_and_shows_keys_only_when_wide(
    run, http_server, monkeypatch, argv, columns, shown, hidden
):
    monkeypatch.setenv("FORCE_COLOR", "1")
    monkeypatch.setenv("COLUMNS", columns)
    http_server.respond(200, listing(1), path="/signals/submissions")
    status, out, _ = run("list", *argv)
    text = out.replace("\x1b", "")
    assert status == 0 and all(s in text for s in shown) and not any(h in text for h in hidden)


def test_an_empty_listing_says_so(run, http_server, monkeypatch):
    monkeypatch.setenv("FORCE_COLOR", "1")
    http_server.respond(200, {"submissions": []}, path="/signals/submissions")
    assert run("list")[:2] == (0, "No submissions match.\n")
