"""The command line against the real local signal service: a batch of 1,000 signals is
accepted, and running the same file again creates no new submission."""

import json
import subprocess
import sys

import pytest
from fakes import SERVICE_STATS

from quillmarsh import cli, devservice

pytestmark = pytest.mark.python_layers


@pytest.mark.whole_system
def test_batch_of_1000_twice_creates_each_submission_once(tmp_path, capsys):
    lines = [
        json.dumps(
            {
                "graph": f"rank(ts_mean(close, {i + 2}))",
                "named_universe": "us_top500",
                "signal_pool_name": "momentum",
                "is_stats": SERVICE_STATS,
                "is_pnl_mi": 0.4,
                "expression_elapsed_seconds": 1.0,
                "backtest_timing": {"row_count": 2520, "elapsed_seconds": 1.0, "max_row_elapsed_seconds": 0.004},
            }
        )
        for i in range(1000)
    ]
    batch_file = tmp_path / "signals.jsonl"
    batch_file.write_text("\n".join(lines) + "\n")
    with devservice.start() as service:
        argv = ["--base-url", service.url, f"--token={service.token}", "--format", "json", "batch", str(batch_file)]
        for _ in range(2):
            assert cli.main(argv) == 0
            report = json.loads(capsys.readouterr().out)
            assert (report["accepted"], report["failed"]) == (1000, 0)
            assert service.store.count() == 1000


def test_demo_runs_the_main_job_end_to_end():
    done = subprocess.run([sys.executable, "-m", "quillmarsh.demo"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "250 accepted, 0 failed of 250" in done.stdout
    assert "signal_os_passed" in done.stdout
