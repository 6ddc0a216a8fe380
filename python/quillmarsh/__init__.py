"""quillmarsh: client-side submission of research signals and strategies.

The native extension ``quillmarsh.submit`` holds the client
(``SignalServiceClient``). The plain-Python modules beside it carry the
record types it returns (``quillmarsh.signal_types``) and the small policies
it enforces: which URLs may carry a bearer token, how a graph's complexity is
measured, how in-sample metrics are gated against era thresholds, how
backtest timings are recorded and budgeted, how a signal pool is picked from
an era's configuration, how library events are logged, and where an agent's
onboarding defaults come from.

What a research script needs is here, loaded on first use (importing this package imports
nothing else):

- ``record_backtest_timing(graph, *, row_count, elapsed_seconds, max_row_elapsed_seconds)``:
  what the simulation side records once a graph's backtest has run; a submission of the
  graph needs it.
- ``SignalClient``: ``quillmarsh.submit.SignalServiceClient`` that is also a context manager
  (``with SignalClient(url, token) as client: ...`` closes its transport) and whose repr
  names its base URL.
- ``AsyncSignalServiceClient``: the same operations as coroutines, for an event loop
  (``async with AsyncSignalServiceClient(url, token) as client: await client.submit_signal(...)``).

The package's loggers (``quillmarsh.*``) have a ``NullHandler``: a library records, the
application decides what is shown.
"""

from __future__ import annotations

import logging
from typing import Any

logging.getLogger(__name__).addHandler(logging.NullHandler())

__all__ = ["AsyncSignalServiceClient", "SignalClient", "record_backtest_timing"]


def __getattr__(name: str) -> Any:
    if name == "record_backtest_timing":
        from quillmarsh._backtest_timing import record_backtest_timing

        return record_backtest_timing
    if name == "SignalClient":
        from quillmarsh.client import SignalClient

        return SignalClient
    if name == "AsyncSignalServiceClient":
        from quillmarsh.async_client import AsyncSignalServiceClient

        return AsyncSignalServiceClient
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
