"""Where a command finds the service: its options over the library's own settings
(``quillmarsh.config``: profiles, the environment), with the same precedence and checks."""

from __future__ import annotations

import argparse

from quillmarsh.config import ConfigError, Settings, resolve_settings, resolve_token

from .errors import UsageError

__all__ = ["connection", "token_for_service"]


def connection(args: argparse.Namespace) -> Settings:
    """The URL, token, request timeout and retries a command uses."""
    try:
        return resolve_settings(
            getattr(args, "base_url", None),
            getattr(args, "token", None),
            token_file=getattr(args, "token_file", None),
            profile=getattr(args, "profile", None),
            timeout=getattr(args, "request_timeout", None),
            max_retries=getattr(args, "retries", None),
        )
    except ConfigError as exc:
        raise UsageError(str(exc)) from None


def token_for_service(args: argparse.Namespace) -> str:
    """The token ``quillmarsh serve`` hands to the local service, "" when none is configured."""
    try:
        return resolve_token(
            getattr(args, "token", None),
            token_file=getattr(args, "token_file", None),
            profile=getattr(args, "profile", None),
        )
    except ConfigError as exc:
        raise UsageError(str(exc)) from None
