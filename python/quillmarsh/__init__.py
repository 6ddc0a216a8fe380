"""quillmarsh: client-side submission of research signals and strategies.

The native extension ``quillmarsh.submit`` holds the client
(``SignalServiceClient``). The plain-Python modules beside it carry the
record types it returns (``quillmarsh.signal_types``) and the small policies
it enforces: which URLs may carry a bearer token, how a graph's complexity is
measured, how in-sample metrics are gated against era thresholds, how
backtest timings are recorded and budgeted, how a signal pool is picked from
an era's configuration, how library events are logged, and where an agent's
onboarding defaults come from.

Importing this package imports nothing else: ``quillmarsh.submit`` is loaded
only when it is imported explicitly.
"""
