"""Picking a signal pool out of an era's configuration.

An era record (a dict, or an object with attributes) lists its signal pools
under ``signal_pools``, in one of two shapes:

* a dict keyed by pool name: the entry under the requested name is chosen;
  when no key equals the name exactly, the first key whose ``str()`` equals
  it is chosen (so a pool keyed by the int 7 answers to ``"7"``);
* a list (or tuple) of pool records (dicts or objects): the first record
  whose ``name``, ``signal_pool_name`` or ``id`` field, compared as text,
  equals the requested name is chosen. Fields are tried in that order on
  each record; missing and None fields never match.

The chosen record itself is returned (not a copy). When the era, its pools,
or the requested pool are missing or malformed, the answer is None: this
function never raises for odd configuration data.
"""

from __future__ import annotations

from typing import Any

__all__ = ["selected_signal_pool_from_era_config"]

_MATCH_FIELDS = ("name", "signal_pool_name", "id")


def _field(record: Any, key: str) -> Any:
    try:
        if isinstance(record, dict):
            return record.get(key)
        return getattr(record, key, None)
    except Exception:
        return None


def _same_name(value: Any, name: str) -> bool:
    if value is None:
        return False
    try:
        return str(value) == name
    except Exception:
        return False


def selected_signal_pool_from_era_config(era: Any, signal_pool_name: Any) -> Any:
    """Return the era's signal pool record named ``signal_pool_name``, or None."""
    if era is None or signal_pool_name is None:
        return None
    try:
        name = str(signal_pool_name)
    except Exception:
        return None
    pools = _field(era, "signal_pools")
    if isinstance(pools, dict):
        try:
            if signal_pool_name in pools:
                return pools[signal_pool_name]
        except TypeError:
            pass
        for key, pool in list(pools.items()):
            if _same_name(key, name):
                return pool
        return None
    if isinstance(pools, (list, tuple)):
        for pool in pools:
            if pool is None:
                continue
            for field_name in _MATCH_FIELDS:
                if _same_name(_field(pool, field_name), name):
                    return pool
    return None
