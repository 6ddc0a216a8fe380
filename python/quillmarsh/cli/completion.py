"""``quillmarsh completion bash|zsh|fish``: a completion script for the shell, written from the
command line's own parser. The words are in the script: completing costs no run of
``quillmarsh``.

    eval "$(quillmarsh completion bash)"              # in ~/.bashrc
    eval "$(quillmarsh completion zsh)"               # in ~/.zshrc
    quillmarsh completion fish > ~/.config/fish/completions/quillmarsh.fish
"""

from __future__ import annotations

import argparse
import shlex

SHELLS = ("bash", "zsh", "fish")


def commands_of(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:  # noqa: SLF001 - argparse offers no other way to list sub-parsers
        if isinstance(action, argparse._SubParsersAction):  # noqa: SLF001
            return dict(action.choices)
    return {}


def _options(parser: argparse.ArgumentParser) -> list[tuple[str, str, tuple[str, ...]]]:
    """(option, help, choices) of every long option of a parser."""
    found = []
    for action in parser._actions:  # noqa: SLF001
        for option in action.option_strings:
            if option.startswith("--"):
                found.append((option, action.help or "", tuple(action.choices or ())))
    return found


def _summaries(parser: argparse.ArgumentParser) -> dict[str, str]:
    for action in parser._actions:  # noqa: SLF001
        if isinstance(action, argparse._SubParsersAction):  # noqa: SLF001
            return {choice.dest: choice.help or "" for choice in action._choices_actions}  # noqa: SLF001
    return {}


def _bash(parser: argparse.ArgumentParser) -> str:
    commands = commands_of(parser)
    cases = []
    for name, sub in commands.items():
        words = " ".join(option for option, _, _ in _options(sub)) if name != "serve" else ""
        cases.append(f"    {name}) opts={shlex.quote(words)} ;;")
    choices = [
        f'    {option}) COMPREPLY=($(compgen -W {shlex.quote(" ".join(values))} -- "$cur")); return ;;'
        for option, _, values in _options(parser)
        if values
    ]
    return "\n".join(
        [
            "_quillmarsh() {",
            '  local cur="${COMP_WORDS[COMP_CWORD]}" prev="${COMP_WORDS[COMP_CWORD-1]}" command="" opts word',
            f"  local commands={shlex.quote(' '.join(commands))}",
            '  case "$prev" in',
            *choices,
            "  esac",
            '  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do',
            '    case " $commands " in *" $word "*) command="$word"; break ;; esac',
            "  done",
            '  case "$command" in',
            f"    '') opts={shlex.quote(' '.join(option for option, _, _ in _options(parser)))} ;;",
            *cases,
            "  esac",
            '  if [[ -z "$command" && "$cur" != -* ]]; then',
            '    COMPREPLY=($(compgen -W "$commands" -- "$cur"))',
            '  elif [[ "$cur" == -* ]]; then',
            '    COMPREPLY=($(compgen -W "$opts" -- "$cur"))',
            "  fi",
            "}",
            "complete -o default -F _quillmarsh quillmarsh",
            "",
        ]
    )


def _zsh(parser: argparse.ArgumentParser) -> str:
    return "autoload -U +X bashcompinit && bashcompinit\n" + _bash(parser)


def _fish(parser: argparse.ArgumentParser) -> str:
    commands = commands_of(parser)
    summaries = _summaries(parser)
    names = " ".join(commands)
    lines = ["complete -c quillmarsh -f"]
    for name in commands:
        lines.append(
            f"complete -c quillmarsh -n 'not __fish_seen_subcommand_from {names}' -a {name} "
            f"-d {shlex.quote(summaries.get(name, ''))}"
        )
    for option, text, values in _options(parser):
        choice = f" -xa {shlex.quote(' '.join(values))}" if values else ""
        lines.append(f"complete -c quillmarsh -l {option[2:]} -d {shlex.quote(text.split('(')[0].strip())}{choice}")
    for name, sub in commands.items():
        if name == "serve":
            continue
        for option, text, values in _options(sub):
            choice = f" -xa {shlex.quote(' '.join(values))}" if values else ""
            lines.append(
                f"complete -c quillmarsh -n '__fish_seen_subcommand_from {name}' -l {option[2:]} "
                f"-d {shlex.quote(text.split('(')[0].strip())}{choice}"
            )
    return "\n".join(lines) + "\n"


def script(shell: str, parser: argparse.ArgumentParser) -> str:
    return {"bash": _bash, "zsh": _zsh, "fish": _fish}[shell](parser)
