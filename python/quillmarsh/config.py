"""Where a client finds the service: its arguments, the environment, and named profiles in
a config file. ``SignalClient``, ``AsyncSignalClient`` and the command line all resolve
their settings here.

The config file is TOML, at ``$QUILLMARSH_CONFIG`` or ``config.toml`` in the platform's
config directory for quillmarsh (``~/.config/quillmarsh/`` on Linux)::

    [profiles.default]                       # used when no profile is named
    base_url = "http://127.0.0.1:8765"
    token_file = "~/.config/quillmarsh/local-token"

    [profiles.research]
    base_url = "https://signals.example.com"
    token_file = "~/.secrets/signals-token"
    request_timeout = 60
    retries = 6

Precedence, for the URL and for the token: what the caller gives (``base_url``; ``token``,
then ``token_file``), then a profile named with ``profile=`` or ``$QUILLMARSH_PROFILE``,
then the environment (``QUILLMARSH_BASE_URL``, ``QUILLMARSH_TOKEN``), then the ``default``
profile. A profile named on purpose wins over the environment, so a token meant for a local
service never travels to the service a profile names. The config file is read only when it
is needed: when the URL or the token is not given, or a profile is named.

Every value is checked by the converters the command line's options use (``seconds``,
``retry_count``); a bad one raises ``ConfigError`` naming the file and the key, never the
value (a token written in the wrong place must not be shown).
"""

from __future__ import annotations

import dataclasses
import math
import os
import stat
import sys
from pathlib import Path
from typing import Any

__all__ = [
    "DEFAULT_RETRIES",
    "DEFAULT_TIMEOUT",
    "MAX_TOKEN_BYTES",
    "ConfigError",
    "Settings",
    "config_path",
    "read_token_file",
    "resolve_settings",
    "resolve_token",
    "retry_count",
    "seconds",
]

DEFAULT_TIMEOUT = 30.0
DEFAULT_RETRIES = 4
MAX_TOKEN_BYTES = 64 * 1024  # a bearer token is a few hundred bytes; a file past this is not one
PROFILE_KEYS = frozenset({"base_url", "token_file", "request_timeout", "retries"})


class ConfigError(ValueError):
    """A setting that cannot be used. The message says where it came from and never repeats
    a token."""


@dataclasses.dataclass(frozen=True)
class Settings:
    """What a client needs to reach the service."""

    base_url: str
    token: str = dataclasses.field(repr=False)
    timeout: float = DEFAULT_TIMEOUT
    max_retries: int = DEFAULT_RETRIES
    profile: str | None = None  # the profile the settings came from, if any


def _kind(value: Any) -> str:
    """What a value is, said without showing it."""
    return {
        bool: "a boolean",
        str: "a string",
        int: "an integer",
        float: "a number",
        list: "an array",
        dict: "a table",
    }.get(type(value), type(value).__name__)


def seconds(value: Any, what: str = "timeout") -> float:
    """A number of seconds above 0 and finite, from a number or its text."""
    number: Any = value
    if isinstance(value, str):
        try:
            number = float(value)
        except ValueError:
            raise ConfigError(f"{what} must be a number of seconds above 0, not {value!r}") from None
    if isinstance(number, bool) or not isinstance(number, (int, float)):
        raise ConfigError(f"{what} must be a number of seconds above 0 (got {_kind(value)})")
    try:
        result = float(number)
    except OverflowError:
        result = math.inf
    if not (math.isfinite(result) and result > 0):
        shown = repr(value) if isinstance(value, str) else format(result, "g")
        raise ConfigError(f"{what} must be a finite number of seconds above 0, not {shown}")
    return result


def retry_count(value: Any, what: str = "max_retries") -> int:
    """A whole number of retries, 0 or more, from an int or its text."""
    number: Any = value
    if isinstance(value, str):
        try:
            number = int(value.strip())
        except ValueError:
            raise ConfigError(f"{what} must be a whole number, 0 or more, not {value!r}") from None
    if isinstance(number, bool) or not isinstance(number, int):
        raise ConfigError(f"{what} must be a whole number, 0 or more (got {_kind(value)})")
    if number < 0:
        raise ConfigError(f"{what} must be a whole number, 0 or more, not {number}")
    return number


def config_path() -> Path:
    """The config file: ``$QUILLMARSH_CONFIG``, else ``config.toml`` in the platform's config
    directory for quillmarsh."""
    explicit = os.environ.get("QUILLMARSH_CONFIG")
    if explicit:
        return Path(explicit).expanduser()
    import platformdirs

    return Path(platformdirs.user_config_dir("quillmarsh", appauthor=False)) / "config.toml"


@dataclasses.dataclass(frozen=True)
class _Profile:
    name: str | None  # None: no profile applies
    values: dict[str, Any]
    named: bool  # chosen on purpose (argument or QUILLMARSH_PROFILE), not the default one
    where: str  # "<file>: profile '<name>'", for messages


def _load_profile(name: str | None) -> _Profile:
    chosen = name or os.environ.get("QUILLMARSH_PROFILE") or None
    path = config_path()
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        if chosen:
            raise ConfigError(f"no profile {chosen!r}: there is no config file {path}") from None
        return _Profile(None, {}, False, str(path))
    except (OSError, UnicodeDecodeError) as exc:
        raise ConfigError(f"cannot read the config file {path}: {getattr(exc, 'strerror', None) or exc}") from None
    import tomllib

    try:
        profiles = tomllib.loads(text).get("profiles", {})
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(f"{path}: invalid TOML: {exc}") from None
    if not isinstance(profiles, dict):
        raise ConfigError(f"{path}: [profiles] must be a table of profiles (got {_kind(profiles)})")
    wanted = chosen or "default"
    where = f"{path}: profile {wanted!r}"
    if wanted not in profiles:
        if chosen:
            known = ", ".join(sorted(profiles)) or "none"
            raise ConfigError(f"no profile {chosen!r} in {path} (profiles: {known})")
        return _Profile(None, {}, False, str(path))
    profile = profiles[wanted]
    if not isinstance(profile, dict):  # e.g. `default = "<token>"` under [profiles]: never shown
        raise ConfigError(f"{where} must be a table such as [profiles.{wanted}] (got {_kind(profile)})")
    unknown = sorted(set(profile) - PROFILE_KEYS)
    if unknown:
        raise ConfigError(f"{where}: unknown settings {unknown} (known: {', '.join(sorted(PROFILE_KEYS))})")
    for key in ("base_url", "token_file"):
        if key in profile and not isinstance(profile[key], str):
            raise ConfigError(f"{where}: {key} must be a string (got {_kind(profile[key])})")
    checked = dict(profile)
    if "request_timeout" in checked:
        checked["request_timeout"] = seconds(checked["request_timeout"], f"{where}: request_timeout")
    if "retries" in checked:
        checked["retries"] = retry_count(checked["retries"], f"{where}: retries")
    return _Profile(wanted, checked, bool(chosen), where)


def read_token_file(path: str | os.PathLike[str]) -> str:
    """The token held by a file (``"-"``: standard input), without the blanks around it.

    Only a regular file is read, and only up to ``MAX_TOKEN_BYTES``: a device, a pipe or a
    file past the bound is refused, so a mistyped path cannot make the reader hang or fill
    memory."""
    text = os.fspath(path)
    if text == "-":
        stream = getattr(sys.stdin, "buffer", None)
        data = (
            stream.readline(MAX_TOKEN_BYTES + 1)
            if stream is not None
            else sys.stdin.readline(MAX_TOKEN_BYTES + 1).encode("utf-8")
        )
        where = "standard input"
    else:
        where = f"the token file {text}"
        full = Path(text).expanduser()
        try:
            with open(full, "rb", opener=_nonblocking) as handle:
                if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):
                    raise ConfigError(f"cannot read {where}: not a regular file")
                data = handle.read(MAX_TOKEN_BYTES + 1)
        except OSError as exc:
            raise ConfigError(f"cannot read {where}: {exc.strerror or type(exc).__name__}") from None
    if len(data) > MAX_TOKEN_BYTES:
        raise ConfigError(f"cannot read {where}: more than {MAX_TOKEN_BYTES // 1024} KiB, which no token is")
    try:
        token = data.decode("utf-8").strip()
    except UnicodeDecodeError:
        raise ConfigError(f"cannot read {where}: not UTF-8 text") from None
    if not token:
        raise ConfigError(f"{where} is empty")
    return token


def _nonblocking(path: str, flags: int) -> int:
    # Opening a named pipe for reading waits for a writer; without one it must not block.
    return os.open(path, flags | getattr(os, "O_NONBLOCK", 0))


def _checked_token(given: Any, where: str) -> str:
    if not isinstance(given, str):
        raise TypeError(f"the token must be a str, not {type(given).__name__}")
    token = given.strip()
    if token and not token.isascii():  # HTTP headers carry ASCII text; the token is never repeated
        raise ConfigError(f"token refused: it holds characters other than ASCII{where}")
    return token


def _token(token: Any, token_file: Any, profile: _Profile) -> str:
    """The token by precedence, checked; "" when none is configured."""
    if token is not None:
        return _checked_token(token, "")
    if token_file is not None:
        return _checked_token(read_token_file(token_file), f" (the token file {token_file})")
    environment = os.environ.get("QUILLMARSH_TOKEN") or None
    if "token_file" in profile.values and (profile.named or not environment):
        try:
            from_file = read_token_file(profile.values["token_file"])
        except ConfigError as exc:
            raise ConfigError(f"{exc} ({profile.where})") from None
        return _checked_token(from_file, f" ({profile.where})")
    return _checked_token(environment or "", " (QUILLMARSH_TOKEN)")


def resolve_token(
    token: str | None = None, *, token_file: str | os.PathLike[str] | None = None, profile: str | None = None
) -> str:
    """The token the settings would use, "" when none is configured (the URL is not needed)."""
    needs_file = token is None and token_file is None
    return _token(token, token_file, _load_profile(profile) if needs_file or profile else _NO_PROFILE)


_NO_PROFILE = _Profile(None, {}, False, "arguments")


def resolve_settings(
    base_url: str | None = None,
    token: str | None = None,
    *,
    token_file: str | os.PathLike[str] | None = None,
    profile: str | None = None,
    timeout: Any = None,
    max_retries: Any = None,
) -> Settings:
    """The settings a client uses, by the precedence above. Raises ``ConfigError`` when no URL
    or token is found or a setting is unusable, and ``TypeError`` for a token that is not a str."""
    if base_url is not None and not isinstance(base_url, str):
        raise TypeError(f"base_url must be a str, not {type(base_url).__name__}")
    given = base_url is not None and (token is not None or token_file is not None)
    found = _NO_PROFILE if given and profile is None else _load_profile(profile)
    profile_url = found.values.get("base_url")
    url = base_url or (profile_url if found.named else None) or os.environ.get("QUILLMARSH_BASE_URL") or profile_url
    if not url:
        raise ConfigError("no service URL: pass base_url (--base-url), set QUILLMARSH_BASE_URL or use a profile")
    resolved_token = _token(token, token_file, found)
    if not resolved_token:
        raise ConfigError("no token: pass a token (--token or --token-file), set QUILLMARSH_TOKEN or use a profile")
    return Settings(
        base_url=url,
        token=resolved_token,
        timeout=found.values.get("request_timeout", DEFAULT_TIMEOUT) if timeout is None else timeout,
        max_retries=retry_count(found.values.get("retries", DEFAULT_RETRIES) if max_retries is None else max_retries),
        profile=found.name,
    )
