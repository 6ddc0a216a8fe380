"""Which URLs may carry a bearer token.

Policy: a bearer token travels only where it cannot be read on the way.

* ``https`` URLs may go to any host.
* ``http`` URLs may go only to a loopback host: ``localhost``, an IPv4
  address in ``127.0.0.0/8``, or the IPv6 address ``::1`` (written
  ``[::1]`` in a URL). Host names are compared case-insensitively; other
  spellings (``127.1``, ``::ffff:127.0.0.1``, names that merely resolve to a
  loopback address) are not recognised and are refused.
* Every other scheme is refused, and so is a URL without a host, a URL that
  embeds credentials (``user:password@``), a URL with an invalid port, a
  URL holding whitespace or control characters, and anything that is not a
  ``str``.

Scheme comparison is case-insensitive. A refused URL raises ``ValueError``;
the message names the problem and never repeats the URL itself, so that
credentials embedded in it do not end up in logs.
"""

from __future__ import annotations

import functools
import ipaddress
from urllib.parse import urlsplit

__all__ = ["validate_bearer_transport_url"]

_LOOPBACK_NAMES = frozenset({"localhost"})


def _is_loopback_host(host: str) -> bool:
    if host in _LOOPBACK_NAMES:
        return True
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        return False
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        return False
    return address.is_loopback


def validate_bearer_transport_url(url: object) -> None:
    """Return None when ``url`` may carry a bearer token; raise otherwise.

    Raises ``ValueError`` naming the reason: wrong type, unsafe characters,
    malformed URL, embedded credentials, missing host, invalid port, plain
    ``http`` to a non-loopback host, or an unsupported scheme.
    """
    if not isinstance(url, str):
        raise ValueError(f"bearer transport URL must be a str, got {type(url).__name__}")
    # The verdict depends on the text alone, and a client asks about the same few URLs
    # over and over; accepted ones are remembered (refusals raise and are not).
    _check_url(str(url))


@functools.lru_cache(maxsize=1024)
def _check_url(url: str) -> None:
    if any(ch.isspace() or ord(ch) < 32 or ord(ch) == 127 for ch in url):
        raise ValueError("bearer transport URL must not contain whitespace or control characters")
    try:
        parts = urlsplit(url)
    except ValueError:
        raise ValueError("bearer transport URL is malformed") from None
    if "@" in parts.netloc:
        raise ValueError("bearer transport URL must not embed credentials (user info before '@')")
    scheme = parts.scheme.lower()
    if scheme not in ("https", "http"):
        shown = f"{scheme!r}" if scheme else "none"
        raise ValueError(f"bearer transport URL scheme must be https (or http to a loopback host), got {shown}")
    host = parts.hostname
    if not host:
        raise ValueError("bearer transport URL has no host")
    try:
        _ = parts.port  # reading it checks it
    except ValueError:
        raise ValueError(f"bearer transport URL has an invalid port for host {host!r}") from None
    if scheme == "http" and not _is_loopback_host(host):
        raise ValueError(
            f"bearer token may travel over plain http only to a loopback host, got host {host!r}; use https"
        )
    return None
