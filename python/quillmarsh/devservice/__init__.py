"""A local signal service to develop and test against.

It serves the routes that ``quillmarsh.submit.SignalServiceClient`` uses, at the root of
its base URL, over real HTTP/1.1 on loopback, with a realistic era catalog, idempotent
submissions, status progression to a terminal status, listings and fault injection. The
application (``app``: authentication, the routes, faults; ``operations`` and ``store``) runs
on aiohttp's asyncio HTTP server (``server``), which holds thousands of connections on one
event loop; ``journal`` logs every request, those refused, timed out or dropped included.

From the command line::

    python -m quillmarsh.devservice --port 8765

In a test or a script::

    from quillmarsh import devservice
    with devservice.start() as service:
        client = SignalServiceClient(service.url, service.token)
        ...

See ``python -m quillmarsh.devservice --help`` for the options; ``start()`` takes the
same options as keywords.
"""

from .catalog import default_catalog, load_catalog
from .lifecycle import TERMINAL_STATUSES
from .server import Service, start

__all__ = ["Service", "TERMINAL_STATUSES", "default_catalog", "load_catalog", "start"]
