"""Scenarios of the leak check, one module per subsystem.

Each module offers `scenarios()`, a dict from a scenario's name to a `Scenario`: one call
to repeat, the objects whose reference counts must not move and, optionally, how many times
to call it; and `CALLS`, how many times its calls run otherwise.
"""

from . import asynchronous, batch, eras, operations, transport, validation

MODULES = (transport, validation, eras, operations, batch, asynchronous)
