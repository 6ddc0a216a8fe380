"""quillmarsh.dask on this machine, in one run, on workload.py's realistic signals as
candidate records (each with its backtest timing):

* pre-screening (``submit_candidates(..., dry_run=True)`` against the catalog given as a dict)
  in candidates per second on one process (Dask's synchronous scheduler), against
  ``quillmarsh.check_signals`` of the same signals in one call (timings recorded beforehand:
  the floor the records, the timings and the partitions are added to);
* the same on a ``LocalCluster`` of two worker processes of one thread each (the candidates
  made on the workers and kept there first, as a research farm's would be);
* submission against the local service (a subprocess serving the same catalog, submissions
  in memory): candidates submitted per second from one process and from the two-worker
  cluster, each run on candidates the service has not seen, with the service's own CPU time.

Each figure comes with the CPU time per candidate (this process's, with a cluster the
workers' too, idle upkeep included): the machine's other load inflates it far less than the
wall time. Figures are printed, never asserted; the machine's cores are shared by the
workers, the scheduler, the service and this process.

    python benchmarks/bench_dask.py [--candidates N] [--submitted N] [--partitions N]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import sys
import tempfile
import time

import dask
import dask.bag
import psutil
import workload
from bench_loopback import start_service
from distributed import Client, LocalCluster, wait

import quillmarsh
from quillmarsh.dask import submit_candidates

HERE = pathlib.Path(__file__).resolve().parent
TIMING = {"row_count": 2520, "elapsed_seconds": 2.0, "max_row_elapsed_seconds": 0.002}


def candidates(part: int, size: int) -> list[dict]:
    """The candidate records of one partition: distinct graphs across partitions."""
    records = workload.signals(size, seed=part)
    for i, record in enumerate(records):
        record["graph"] = f"{record['graph'].rpartition(',')[0]}, {part * size + i})"
        record["backtest_timing"] = dict(TIMING)
    return records


def made_on_workers(count: int, partitions: int, offset: int = 0) -> dask.bag.Bag:
    size = count // partitions
    return dask.bag.from_sequence(range(offset, offset + partitions), npartitions=partitions).map_partitions(
        lambda parts: [record for part in parts for record in candidates(part, size)]
    )


def rate(count: int, seconds: float, cpu: float) -> str:
    return (
        f"{count / seconds:,.0f} candidates/s ({seconds:.2f} s for {count:,}; {cpu / count * 1e6:.0f} us of CPU each)"
    )


def timed(run, client: Client | None = None) -> tuple[float, float]:
    """Wall time of ``run()`` and the CPU time it took: this process's, and the workers' with a
    client (the machine's other load is in the first, not in the second)."""
    workers = client.run(time.process_time) if client is not None else {}
    cpu, start = time.process_time(), time.perf_counter()
    run()
    wall, cpu = time.perf_counter() - start, time.process_time() - cpu
    if client is not None:
        cpu += sum(client.run(time.process_time)[worker] - then for worker, then in workers.items())
    return wall, cpu


def service_cpu(service) -> float:
    times = psutil.Process(service.pid).cpu_times()
    return times.user + times.system


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--candidates", type=int, default=100_000, help="pre-screened in each setting")
    parser.add_argument("--submitted", type=int, default=20_000, help="submitted in each setting")
    parser.add_argument("--partitions", type=int, default=20)
    args = parser.parse_args()
    n, parts = args.candidates, args.partitions
    print(f"load average at the start: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    catalog = workload.CATALOG

    records = [record for part in range(parts) for record in candidates(part, n // parts)]
    signals = [{k: v for k, v in record.items() if k != "backtest_timing"} for record in records]
    for signal in signals:
        quillmarsh.record_backtest_timing(signal["graph"], **TIMING)
    floor = timed(lambda: quillmarsh.check_signals(signals, catalog=catalog))
    for signal in signals:
        quillmarsh.consume_recorded_backtest_timing(signal["graph"])
    bag = dask.bag.from_sequence(records, npartitions=parts)
    with dask.config.set(scheduler="sync"):
        one = timed(lambda: submit_candidates(bag, catalog=catalog, dry_run=True).compute())
    print(f"pre-screening, one process: {rate(n, *one)}")
    print(
        f"  check_signals alone: {rate(n, *floor)}; submit_candidates / check_signals: {one[1] / floor[1]:.2f}x in CPU"
    )

    with tempfile.TemporaryDirectory() as folder:
        catalog_file = pathlib.Path(folder) / "catalog.json"
        catalog_file.write_text(json.dumps(catalog))
        service, url = start_service("bench", "--catalog", str(catalog_file))
        try:
            submitted = args.submitted
            with dask.config.set(scheduler="sync"):
                local = made_on_workers(submitted, parts, offset=10_000).persist()
                results = []
                served = service_cpu(service)
                sent = timed(lambda: results.append(submit_candidates(local, base_url=url, token="bench").compute()))
                served = service_cpu(service) - served
            print(
                f"submission, one process: {rate(submitted, *sent)}; the service's CPU: "
                f"{served / submitted * 1e6:.0f} us each; outcomes {results[0].outcome.value_counts().to_dict()}"
            )

            # the workers find workload.py as this process does
            os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")]))
            with (
                LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
                Client(cluster) as client,
            ):
                farm = made_on_workers(n, parts).persist()
                wait(farm)
                spread = timed(lambda: submit_candidates(farm, catalog=catalog, dry_run=True).compute(), client)
                print(
                    f"pre-screening, two-worker cluster: {rate(n, *spread)}; "
                    f"{one[0] / spread[0]:.2f}x one process's rate"
                )
                fresh = made_on_workers(submitted, parts, offset=20_000).persist()
                wait(fresh)
                outcomes = None

                def cluster_submission() -> None:
                    nonlocal outcomes
                    outcomes = submit_candidates(fresh, base_url=url, token="bench")
                    wait(outcomes)

                served = service_cpu(service)
                sent_cluster = timed(cluster_submission, client)
                served = service_cpu(service) - served
                counts = outcomes.outcome.value_counts().compute().to_dict()
                print(
                    f"submission, two-worker cluster: {rate(submitted, *sent_cluster)}; the service's CPU: "
                    f"{served / submitted * 1e6:.0f} us each; {sent[0] / sent_cluster[0]:.2f}x one process's rate; "
                    f"outcomes {counts}"
                )
        finally:
            service.terminate()
            service.wait(timeout=30)
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    main()
