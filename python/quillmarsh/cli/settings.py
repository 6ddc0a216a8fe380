"""Where a command finds the service: options, the environment, and named profiles in a
config file.

The config file is TOML, at ``$QUILLMARSH_CONFIG`` or ``config.toml`` in the platform's
config directory for quillmarsh (``~/.config/quillmarsh/`` on Linux)::

    [profiles.default]                       # used when no profile is named
    base_url = "http://127.0.0.1:8765"
    token_file = "~/.config/quillmarsh/local-token"

    [profiles.research]
    base_url = "https://signals.example.com"
    token_file = "~/.secrets/signals-token"

Precedence, for the URL and for the token: the command's options (``--base-url``;
``--token``, then ``--token-file``), then a profile named with ``--profile`` or
``$QUILLMARSH_PROFILE``, then the environment (``QUILLMARSH_BASE_URL``, ``QUILLMARSH_TOKEN``),
then the ``default`` profile. A profile named on purpose wins over the environment, so a
token meant for a local service never travels to the service a profile names.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import tomllib
from pathlib import Path
from typing import Any

from .errors import UsageError

PROFILE_KEYS = {"base_url", "token_file", "request_timeout", "retries"}


@dataclasses.dataclass
class Connection:
    base_url: str
    token: str
    request_timeout: float
    retries: int


def config_path() -> Path:
    explicit = os.environ.get("QUILLMARSH_CONFIG")
    if explicit:
        return Path(explicit).expanduser()
    import platformdirs

    return Path(platformdirs.user_config_dir("quillmarsh", appauthor=False)) / "config.toml"


def load_profile(name: str | None) -> tuple[dict[str, Any], bool]:
    """The settings of profile ``name`` (else ``default``) and whether it was named on purpose."""
    chosen = name or os.environ.get("QUILLMARSH_PROFILE")
    path = config_path()
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        if chosen:
            raise UsageError(f"no profile {chosen!r}: there is no config file {path}") from None
        return {}, False
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read the config file {path}: {getattr(exc, 'strerror', None) or exc}") from None
    try:
        profiles = tomllib.loads(text).get("profiles", {})
    except tomllib.TOMLDecodeError as exc:
        raise UsageError(f"{path}: invalid TOML: {exc}") from None
    if not isinstance(profiles, dict):
        raise UsageError(f"{path}: [profiles] must be a table of profiles")
    profile = profiles.get(chosen or "default")
    if profile is None:
        if chosen:
            known = ", ".join(sorted(profiles)) or "none"
            raise UsageError(f"no profile {chosen!r} in {path} (profiles: {known})")
        return {}, False
    if not isinstance(profile, dict) or not set(profile) <= PROFILE_KEYS:
        unknown = sorted(set(profile) - PROFILE_KEYS) if isinstance(profile, dict) else profile
        raise UsageError(f"{path}: profile {chosen or 'default'!r}: unknown settings {unknown} "
                         f"(known: {', '.join(sorted(PROFILE_KEYS))})")
    return profile, bool(chosen)


def _read_token_file(path: str) -> str:
    if path == "-":
        token = sys.stdin.readline()
    else:
        try:
            token = Path(path).expanduser().read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as exc:
            reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else "not UTF-8 text"
            raise UsageError(f"cannot read the token file {path}: {reason}") from None
    if not token.strip():
        raise UsageError(f"the token file {'standard input' if path == '-' else path} is empty")
    return token


def _token(args: argparse.Namespace, profile: dict[str, Any], named: bool) -> str:
    """The token by precedence, without the blanks and line break around it; "" when none."""
    token = getattr(args, "token", None)
    if token is None and getattr(args, "token_file", None) is not None:
        token = _read_token_file(args.token_file)
    if token is None:
        from_profile = _read_token_file(profile["token_file"]) if "token_file" in profile else None
        token = (from_profile if named else None) or os.environ.get("QUILLMARSH_TOKEN") or from_profile
    token = token.strip() if token else ""
    if token and not token.isascii():  # HTTP headers carry ASCII text; the token is never repeated
        raise UsageError("token refused: it holds characters other than ASCII")
    return token


def connection(args: argparse.Namespace) -> Connection:
    """The URL, token, request timeout and retries a command uses."""
    profile, named = load_profile(getattr(args, "profile", None))
    profile_url = profile.get("base_url")
    base_url = (getattr(args, "base_url", None) or (profile_url if named else None)
                or os.environ.get("QUILLMARSH_BASE_URL") or profile_url)
    if not base_url:
        raise UsageError("no service URL: pass --base-url, set QUILLMARSH_BASE_URL or use a profile")
    token = _token(args, profile, named)
    if not token:
        raise UsageError("no token: pass --token or --token-file, set QUILLMARSH_TOKEN or use a profile")
    timeout = getattr(args, "request_timeout", None)
    retries = getattr(args, "retries", None)
    return Connection(base_url=base_url, token=token,
                      request_timeout=float(timeout if timeout is not None else profile.get("request_timeout", 30.0)),
                      retries=int(retries if retries is not None else profile.get("retries", 4)))


def token_for_service(args: argparse.Namespace) -> str:
    """The token ``quillmarsh serve`` hands to the local service, "" when none is configured."""
    profile, named = load_profile(getattr(args, "profile", None))
    return _token(args, profile, named)
