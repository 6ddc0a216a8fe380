"""https for the local service: a certificate authority made for one run, with trustme.

trustme is a test dependency, not one of the package's: it is imported only when TLS is
asked for, and its absence is a clear error then.
"""

from __future__ import annotations

import ssl
from collections.abc import Sequence

__all__ = ["TLSUnavailable", "server_context"]


class TLSUnavailable(RuntimeError):
    """TLS was asked for and cannot be set up."""


def server_context(names: Sequence[str]) -> tuple[ssl.SSLContext, bytes]:
    """A server context holding a certificate for ``names`` (host names or IP addresses),
    and the PEM of the certificate authority that issued it."""
    try:
        import trustme
    except ImportError:
        raise TLSUnavailable(
            "serving https needs the trustme package: pip install trustme (it is in quillmarsh's test extra)"
        ) from None
    if not names:
        raise ValueError("a TLS certificate needs at least one name")
    authority = trustme.CA(organization_name="quillmarsh devservice")
    certificate = authority.issue_cert(*names)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    certificate.configure_cert(context)
    return context, authority.cert_pem.bytes()
