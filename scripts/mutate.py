#!/usr/bin/env python3
"""Mutation testing for the native sources, with no dependency beyond the standard library.

Finds mutation sites in the C++ sources (comparison flips, boundary constants, logical flips,
dropped statements and replaced return values), samples them reproducibly in proportion to
each file's size, and runs them one at a time: the mutant is written over the source file,
the developer build (scripts/dev-build.sh) rebuilds incrementally, the test selection runs
with -x under a time limit, and the file is restored byte for byte (checked by SHA-256, also
on Ctrl-C, SIGTERM or any error; a journal restores it after a hard kill on the next start).

    nice .venv/bin/python scripts/mutate.py --count 170 --seed 1
    nice .venv/bin/python scripts/mutate.py --survivors build/mutation/report.json
    .venv/bin/python scripts/mutate.py --list --files 'operations/*.cpp'

Outcomes: killed (by the first failing test), timeout (the tests ran past the limit),
survived, not viable (the mutant does not compile). Kill rate = (killed + timeout) / viable.
Reports: <report>.json and <report>.txt (build/mutation/report by default), rewritten after
every mutant so that a long run can be followed.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import fcntl
import fnmatch
import hashlib
import json
import os
import random
import re
import shlex
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "native_sources" / "src" / "quillmarsh" / "submit"
OUT = ROOT / "build" / "mutation"
JOURNAL = OUT / "restore-journal.json"
DEFAULT_PYTEST = ["-m", "not whole_system", "-q", "-x", "-p", "no:cacheprovider"]

# ---------------------------------------------------------------------------------------------
# Reading C++: comments, literals and preprocessor lines blanked, then tokens with positions.


def code_view(text: str) -> str:
    """`text` with comments, string and character literals and preprocessor lines replaced by
    filler of the same length (literals by `_`, an operand; the rest by spaces), newlines kept,
    so that every column still points into the original."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a: int, b: int, fill: str) -> None:
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = fill

    at_line_start = True
    while i < n:
        c = text[i]
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if at_line_start and c in " \t":
            i += 1
            continue
        if at_line_start and c == "#":  # a directive, with its continuation lines
            j = i
            while j < n:
                e = text.find("\n", j)
                e = n if e < 0 else e
                if text[j:e].rstrip().endswith("\\"):
                    j = e + 1
                    continue
                j = e
                break
            blank(i, j, " ")
            i = j
            continue
        at_line_start = False
        if text.startswith("//", i):
            e = text.find("\n", i)
            e = n if e < 0 else e
            blank(i, e, " ")
            i = e
        elif text.startswith("/*", i):
            e = text.find("*/", i + 2)
            e = n if e < 0 else e + 2
            blank(i, e, " ")
            i = e
        elif c == '"' and re.search(r"(?:^|[^\w])(?:u8|u|U|L)?R$", text[max(0, i - 3) : i]):
            m = re.match(r'"([^()\\\s]{0,16})\(', text[i:])
            end = text.find(")" + (m.group(1) if m else "") + '"', i)
            e = n if end < 0 or not m else end + len(m.group(1)) + 2
            blank(i - 1, e, "_")
            i = e
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():  # a digit separator: 1'000
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i, min(j + 1, n), "_")
            i = j + 1
        else:
            i += 1
    return "".join(out)


TOKEN = re.compile(
    r"""
   (?P<num>0[xX][0-9a-fA-F']+[uUlL]*|(?:\d[\d']*\.?\d*|\.\d+)(?:[eE][+-]?\d+)?[uUlLfF]*)
  |(?P<id>[A-Za-z_]\w*)
  |(?P<op><<=|>>=|<=>|->\*|\.\.\.|->|<<|>>|<=|>=|==|!=|&&|\|\||\+\+|--|::|[-+*/%&|^]=|[-+*/%<>=!&|^~?:;,.(){}\[\]])
""",
    re.VERBOSE,
)


@dataclasses.dataclass
class Tok:
    kind: str  # "num", "id" or "op"
    text: str
    line: int  # 0-based
    col: int
    first: bool = False  # the first token of its line
    last: bool = False  # the last token of its line


def tokenize(view: str) -> list[Tok]:
    toks: list[Tok] = []
    for ln, line in enumerate(view.split("\n")):
        row = [Tok(m.lastgroup, m.group(), ln, m.start()) for m in TOKEN.finditer(line)]
        if row:
            row[0].first = True
            row[-1].last = True
        toks += row
    return toks


KNOWN_TEMPLATES = {
    "static_cast",
    "reinterpret_cast",
    "const_cast",
    "dynamic_cast",
    "bit_cast",
    "vector",
    "array",
    "pair",
    "tuple",
    "initializer_list",
    "numeric_limits",
    "unique_ptr",
    "shared_ptr",
    "optional",
    "variant",
    "span",
    "map",
    "unordered_map",
    "set",
    "unordered_set",
    "function",
    "basic_string",
    "is_same_v",
    "enable_if_t",
    "conditional_t",
    "decay_t",
    "remove_cvref_t",
    "get",
    "make_unique",
}
TYPE_TOKENS = {"::", "*", "&", ",", "<", ">", ">>", "(", ")", "...", "const", "&&"}


def template_brackets(toks: list[Tok]) -> set[int]:
    """Indices of `<` and `>` tokens that are template brackets (never comparisons)."""
    marked: set[int] = set()
    for i, t in enumerate(toks):
        if t.text != "<" or i in marked:
            continue
        prev = toks[i - 1].text if i else ""
        known = prev in KNOWN_TEMPLATES or prev in ("template", "operator") or prev.endswith("_cast")
        # Look for a matching `>` over type-like tokens only; an operator such as `&&`, `==`
        # or `;` on the way means a comparison.
        depth, parens, j, close = 0, 0, i, None
        while j < len(toks) and j - i < 64:
            x = toks[j]
            if x.text == "<":
                depth += 1
            elif x.text in (">", ">>"):
                depth -= 1 if x.text == ">" else 2
                if depth <= 0:
                    close = j
                    break
            elif x.text == "(":
                parens += 1
            elif x.text == ")":
                parens -= 1
                if parens < 0:
                    break
            elif x.kind == "op" and x.text not in TYPE_TOKENS:
                break
            elif x.kind == "op" and x.text == "&&" and not known:
                break
            j += 1
        after = toks[close + 1].text if close is not None and close + 1 < len(toks) else ""
        typelike = close is not None and (
            after in ("(", "{", "::", ">", "*", "&", "&&", ")", ",", ";", ">>") or re.match(r"[A-Za-z_]", after or "-")
        )
        if known or (typelike and toks[i - 1].kind == "id"):
            marked.add(i)
            if close is not None:
                marked.add(close)
                for k in range(i + 1, close):  # nested brackets
                    if toks[k].text in ("<", ">"):
                        marked.add(k)
    return marked


# ---------------------------------------------------------------------------------------------
# Mutation sites


@dataclasses.dataclass
class Mutant:
    file: str  # relative to the repository
    line: int  # 1-based, the first line the mutant changes
    kind: str
    description: str
    before: list[str]  # the original lines from `line`
    after: list[str]  # the same number of lines, mutated
    id: str = ""
    outcome: str = "pending"
    killed_by: str = ""
    detail: str = ""
    build_seconds: float = 0.0
    test_seconds: float = 0.0

    def key(self) -> str:
        raw = f"{self.file}:{self.line}:{self.description}:{''.join(self.before)}:{''.join(self.after)}"
        return hashlib.sha1(raw.encode()).hexdigest()[:10]


COMPARISON_FLIPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
RICH_COMPARE_FLIPS = {
    "Py_LT": "Py_LE",
    "Py_LE": "Py_LT",
    "Py_GT": "Py_GE",
    "Py_GE": "Py_GT",
    "Py_EQ": "Py_NE",
    "Py_NE": "Py_EQ",
}
REFCOUNT_ONLY = re.compile(r"^\s*(Py_X?(INC|DEC)REF|Py_CLEAR|Py_VISIT|assert|\(void\))\b")
OPERAND_END = {"id", "num"}
NOT_STATEMENTS = {
    "return",
    "const",
    "constexpr",
    "static",
    "auto",
    "using",
    "case",
    "default",
    "break",
    "continue",
    "goto",
    "delete",
    "throw",
    "for",
    "while",
    "switch",
    "do",
    "else",
    "new",
    "namespace",
    "template",
    "typedef",
    "struct",
    "class",
    "enum",
    "union",
    "static_assert",
    "extern",
    "inline",
    "typename",
    "sizeof",
    "try",
    "catch",
}


def operand_before(toks: list[Tok], i: int) -> bool:
    return i > 0 and (toks[i - 1].kind in OPERAND_END or toks[i - 1].text in (")", "]"))


def spaced(lines: list[str], t: Tok) -> bool:
    """A binary operator as formatted here: whitespace (or a line end) on both sides."""
    row = lines[t.line]
    left = t.col == 0 or row[t.col - 1].isspace()
    right = t.col + len(t.text) >= len(row) or row[t.col + len(t.text)].isspace()
    return left and right


def find_sites(rel: str, text: str) -> list[Mutant]:
    lines = text.split("\n")
    view = code_view(text)
    toks = tokenize(view)
    templates = template_brackets(toks)
    skip_lines = {k for k, row in enumerate(lines) if "static_assert" in row}
    sites: list[Mutant] = []

    def replace(t: Tok, new: str, kind: str, desc: str, start: int | None = None, end: int | None = None):
        row = lines[t.line]
        a = t.col if start is None else start
        b = t.col + len(t.text) if end is None else end
        sites.append(Mutant(rel, t.line + 1, kind, desc, [row], [row[:a] + new + row[b:]]))

    for i, t in enumerate(toks):
        if t.line in skip_lines:
            continue
        prev = toks[i - 1] if i else None
        nxt = toks[i + 1] if i + 1 < len(toks) else None
        after_operator = prev is not None and prev.text == "operator"
        # Comparison flips, and the rich-comparison constants of the C API.
        if t.text in COMPARISON_FLIPS and i not in templates and not after_operator:
            new = COMPARISON_FLIPS[t.text]
            replace(t, new, "comparison", f"`{t.text}` -> `{new}`")
        if t.kind == "id" and t.text in RICH_COMPARE_FLIPS:
            new = RICH_COMPARE_FLIPS[t.text]
            replace(t, new, "comparison", f"`{t.text}` -> `{new}`")
        # Boundary constants: `x + 1` / `x - 1` dropped or flipped; 0 <-> 1 beside a comparison.
        if (
            t.text in ("+", "-")
            and operand_before(toks, i)
            and nxt is not None
            and nxt.text == "1"
            and nxt.line == t.line
            and (i + 2 >= len(toks) or toks[i + 2].text not in ("*", "/", "%", "."))
        ):
            row = lines[t.line]
            start = t.col
            while start > 0 and row[start - 1] == " ":
                start -= 1
            other = "-" if t.text == "+" else "+"
            replace(t, "", "boundary", f"`{t.text} 1` dropped", start, nxt.col + 1)
            replace(t, other, "boundary", f"`{t.text} 1` -> `{other} 1`")
        if t.kind == "num" and t.text in ("0", "1"):
            beside = [(x, k) for x, k in ((prev, i - 1), (nxt, i + 1)) if x is not None]
            if any(x.text in COMPARISON_FLIPS and k not in templates for x, k in beside):
                new = "1" if t.text == "0" else "0"
                replace(t, new, "boundary", f"`{t.text}` -> `{new}` in a comparison")
        # Logical flips.
        if t.text in ("&&", "||") and spaced(lines, t):
            new = "||" if t.text == "&&" else "&&"
            replace(t, new, "logical", f"`{t.text}` -> `{new}`")
        if t.text == "!" and nxt is not None and (nxt.kind == "id" or nxt.text in ("(", "!")):
            replace(t, "", "logical", "`!` dropped")
    sites += statement_sites(rel, lines, toks)
    return [m for m in sites if m.before != m.after]


def matching(toks: list[Tok], i: int) -> int:
    """Index of the bracket closing the one at `i`, or -1."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    open_, close, depth = toks[i].text, pairs[toks[i].text], 0
    for j in range(i, len(toks)):
        if toks[j].text == open_:
            depth += 1
        elif toks[j].text == close:
            depth -= 1
            if depth == 0:
                return j
    return -1


def statement_end(toks: list[Tok], i: int) -> int:
    """Index of the `;` ending the statement that starts at `i` (brackets balanced), or -1
    when a block opens first."""
    depth = 0
    for j in range(i, len(toks)):
        x = toks[j].text
        if x in ("(", "["):
            depth += 1
        elif x in (")", "]"):
            depth -= 1
        elif x == "{" and depth == 0 and j > i and toks[j - 1].text not in ("=", ",", "(", "{", "return"):
            if toks[j - 1].kind != "id":  # `Ref x{...}` is an initialiser, `) {` a block
                return -1
        elif x == ";" and depth == 0:
            return j
    return -1


def is_block_brace(toks: list[Tok], j: int) -> bool:
    prev = toks[j - 1] if j else None
    if prev is None:
        return True
    if prev.text in (")", "]", "else", "do", "try", "const", "noexcept", "override", "mutable"):
        return True
    return toks[j].last and prev.text not in ("=", ",", "(", "{", "return")


def statement_sites(rel: str, lines: list[str], toks: list[Tok]) -> list[Mutant]:
    sites: list[Mutant] = []
    parens = [0]  # open brackets in each open brace
    starts: list[int] = []
    for i, t in enumerate(toks):
        if i and parens[-1] == 0 and t.first:
            p = toks[i - 1]
            label = p.text == ":" and any(
                toks[k].text in ("case", "default", "public", "private", "protected")
                for k in range(max(0, i - 8), i)
                if toks[k].line == p.line
            )
            if p.text == ";" or p.text == "}" or (p.text == "{" and is_block_brace(toks, i - 1)) or label:
                starts.append(i)
        if t.text in ("(", "["):
            parens[-1] += 1
        elif t.text in (")", "]"):
            parens[-1] -= 1
        elif t.text == "{":
            parens.append(0)
        elif t.text == "}" and len(parens) > 1:
            parens.pop()

    def whole(i: int, j: int, kind: str, desc: str):
        a, b = toks[i].line, toks[j].line
        before = lines[a : b + 1]
        sites.append(Mutant(rel, a + 1, kind, desc, before, [""] * len(before)))

    def brief(i: int, j: int) -> str:
        text = " ".join(
            lines[toks[i].line : toks[j].line + 1][k].strip() for k in range(toks[j].line - toks[i].line + 1)
        )
        return text if len(text) <= 70 else text[:67] + "..."

    def return_value(r: int, j: int):
        """`return <expr>;` with the value replaced by another of its type."""
        expr = toks[r + 1 : j]
        code = "".join(x.text for x in expr)
        a, b = toks[r].line, toks[j].line
        text = " ".join(row.strip() for row in lines[a : b + 1])
        text = text[text.find("return ") + 7 : text.rfind(";")].strip()
        if not expr or code in ("nullptr", "Ref()", "{}", "NULL"):
            return
        swap = {"true": "false", "false": "true", "0": "1", "1": "0", "-1": "0"}.get(code, "{}")
        before = lines[a : b + 1]
        first = before[0][: toks[r].col + len("return")] + " " + swap + ";"
        tail = lines[b][toks[j].col + 1 :]
        after = [first + tail if a == b else first] + [""] * (b - a)
        if a != b:
            after[-1] = " " * toks[j].col + tail if tail.strip() else ""
        sites.append(Mutant(rel, a + 1, "return", f"return `{swap}` instead of `{text[:40]}`", before, after))

    for i in starts:
        t = toks[i]
        j = statement_end(toks, i)
        if j < 0 or not toks[j].last or toks[j].line - t.line > 5:
            continue
        if any(toks[k].text == "{" and is_block_brace(toks, k) for k in range(i + 1, j)):
            continue  # a lambda's body: its own statements are the sites
        if REFCOUNT_ONLY.match(lines[t.line]):
            continue
        following = toks[j + 1].text if j + 1 < len(toks) else ""
        if t.text == "if" and toks[i + 1].text == "(":
            close = matching(toks, i + 1)
            if close < 0 or close >= j or following == "else":
                continue
            body = toks[close + 1]
            if body.text in ("return", "continue", "break") or body.kind == "id":
                whole(i, j, "statement", f"dropped `{brief(i, j)}`")
            if body.text == "return":
                return_value(close + 1, j)
            continue
        if t.text == "return":
            return_value(i, j)
            continue
        if t.text in ("++", "--") or (j - i == 2 and toks[i + 1].text in ("++", "--")):
            whole(i, j, "statement", f"dropped `{brief(i, j)}`")
            continue
        # A call or an assignment: a chain of names (`a.b->c::d`, subscripts) then `(` or `=`.
        k = i + 1 if t.text == "*" else i
        if toks[k].kind != "id" or toks[k].text in NOT_STATEMENTS:
            continue
        k += 1
        while k < j:
            x = toks[k]
            if x.text in ("::", ".", "->") and toks[k + 1].kind == "id":
                k += 2
            elif x.text == "[":
                k = matching(toks, k) + 1
            else:
                break
        op = toks[k].text
        if op == "(":
            whole(i, j, "statement", f"dropped call `{brief(i, j)}`")
        elif op == "=" or (op.endswith("=") and op not in ("==", "!=", "<=", ">=") and len(op) == 2):
            whole(i, j, "statement", f"dropped assignment `{brief(i, j)}`")
    return sites


# ---------------------------------------------------------------------------------------------
# Sampling


def source_files(patterns: list[str]) -> list[Path]:
    files = sorted(p for p in SOURCES.rglob("*") if p.suffix in (".cpp", ".hpp"))
    chosen = [p for p in files if any(fnmatch.fnmatch(str(p.relative_to(SOURCES)), g) for g in patterns)]
    return chosen


def code_lines(text: str) -> int:
    return sum(1 for row in code_view(text).split("\n") if row.strip())


def sample(sites_by_file: dict[str, list[Mutant]], sizes: dict[str, int], count: int, seed: int) -> list[Mutant]:
    """`count` mutants spread over the files in proportion to their code lines (largest
    remainders; a file with fewer sites than its share gives the rest to the others), in an
    interleaved order so that any prefix of the run is spread the same way."""
    rng = random.Random(seed)
    files = sorted(f for f in sites_by_file if sites_by_file[f])
    count = min(count, sum(len(sites_by_file[f]) for f in files))
    share = {f: 0 for f in files}
    open_files = list(files)
    left = count
    while left > 0 and open_files:
        total = sum(sizes[f] for f in open_files)
        exact = {f: left * sizes[f] / total for f in open_files}
        add = {f: min(int(exact[f]), len(sites_by_file[f]) - share[f]) for f in open_files}
        rest = left - sum(add.values())
        for f in sorted(open_files, key=lambda f: (-(exact[f] - int(exact[f])), f)):
            if rest <= 0:
                break
            if share[f] + add[f] < len(sites_by_file[f]):
                add[f] += 1
                rest -= 1
        for f in open_files:
            share[f] += add[f]
        left = count - sum(share.values())
        if not any(add.values()):
            break
        open_files = [f for f in open_files if share[f] < len(sites_by_file[f])]
    chosen: list[tuple[float, Mutant]] = []
    for f in files:
        picked = rng.sample(sites_by_file[f], share[f])
        for k, m in enumerate(picked):
            chosen.append(((k + rng.random()) / max(share[f], 1), m))
    chosen.sort(key=lambda pair: (pair[0], pair[1].file, pair[1].line))
    return [m for _, m in chosen]


# ---------------------------------------------------------------------------------------------
# Running


class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    raise Interrupted(signal.Signals(signum).name)


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def recover_journal() -> None:
    """Puts back a file that a killed run left mutated."""
    if not JOURNAL.exists():
        return
    entry = json.loads(JOURNAL.read_text())
    path = ROOT / entry["file"]
    original = bytes.fromhex(entry["original"])
    if path.read_bytes() != original:
        path.write_bytes(original)
        print(f"restored {entry['file']} left mutated by an interrupted run", file=sys.stderr)
    assert sha(path.read_bytes()) == entry["sha256"]
    JOURNAL.unlink()


def git_changes() -> str:
    out = subprocess.run(
        ["git", "status", "--porcelain", "--", "native_sources"], cwd=ROOT, capture_output=True, text=True, check=True
    )
    return out.stdout.strip()


def run_group(cmd: list[str], env: dict, timeout: float | None) -> tuple[int | None, str, float]:
    """Runs `cmd` in its own process group; (returncode or None on timeout, output, seconds).
    The whole group is ended on a timeout or an interruption."""
    started = time.monotonic()
    proc = subprocess.Popen(
        cmd,
        cwd=ROOT,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        errors="replace",
        start_new_session=True,
    )
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out, time.monotonic() - started
    except subprocess.TimeoutExpired:
        end_group(proc)
        out, _ = proc.communicate()
        return None, out, time.monotonic() - started
    except BaseException:
        end_group(proc)
        proc.communicate()
        raise


def end_group(proc: subprocess.Popen) -> None:
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=5)
            return
        except subprocess.TimeoutExpired:
            continue


class Runner:
    def __init__(self, args):
        self.python = args.python
        self.env = dict(
            os.environ,
            PYTHON=self.python,
            PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT / "python"), os.environ.get("PYTHONPATH")])),
        )
        self.pytest_args = shlex.split(args.pytest_args) if args.pytest_args else list(DEFAULT_PYTEST)
        self.reorder = args.order == "related" and not args.pytest_args
        self.timeout = args.timeout
        self.kills_by_file: dict[str, int] = {}

    def build(self) -> tuple[bool, str, float]:
        rc, out, seconds = run_group(["bash", str(ROOT / "scripts" / "dev-build.sh")], self.env, 1200)
        return rc == 0, out, seconds

    def test_files(self, source: str) -> list[str]:
        """Every test file, those whose names share words with the mutated source first (and
        those that killed most mutants so far): the same selection, sooner to a failure."""
        words = set(re.split(r"[/_.]", source.removeprefix(str(SOURCES.relative_to(ROOT)) + "/"))) - {"cpp", "hpp"}
        words |= {w.rstrip("s") for w in words}

        def score(p: Path) -> tuple:
            name = set(p.stem.split("_")[1:])
            name |= {w.rstrip("s") for w in name}
            return (-len(words & name), -self.kills_by_file.get(p.name, 0), p.name)

        return [str(p.relative_to(ROOT)) for p in sorted((ROOT / "tests").glob("test_*.py"), key=score)]

    def pytest(self, source: str | None, timeout: float | None) -> tuple[int | None, str, float]:
        cmd = [self.python, "-m", "pytest", *self.pytest_args]
        if self.reorder and source:
            cmd += self.test_files(source)
        return run_group(cmd, self.env, timeout)

    def run(self, m: Mutant) -> None:
        path = ROOT / m.file
        original = path.read_bytes()
        digest = sha(original)
        text = original.decode()
        lines = text.split("\n")
        at = m.line - 1
        if lines[at : at + len(m.before)] != m.before:  # the file changed since: find the lines again
            hits = [k for k in range(len(lines)) if lines[k : k + len(m.before)] == m.before]
            if len(hits) != 1:
                m.outcome, m.detail = "stale", "the mutated lines are no longer in the file (or not once)"
                return
            at, m.line = hits[0], hits[0] + 1
        mutated = lines[:at] + m.after + lines[at + len(m.before) :]
        JOURNAL.write_text(json.dumps({"file": m.file, "sha256": digest, "original": original.hex()}))
        try:
            path.write_bytes("\n".join(mutated).encode())
            ok, out, m.build_seconds = self.build()
            if not ok:
                m.outcome = "not_viable"
                errors = [row.strip() for row in out.splitlines() if "error" in row]
                m.detail = (errors[0] if errors else out.strip().splitlines()[-1:] or [""])[0][:200]
                return
            rc, out, m.test_seconds = self.pytest(m.file, self.timeout)
            classify(m, rc, out)
            if m.outcome == "killed" and "::" in m.killed_by:
                name = Path(m.killed_by.split("::")[0]).name
                self.kills_by_file[name] = self.kills_by_file.get(name, 0) + 1
        finally:
            path.write_bytes(original)
            if sha(path.read_bytes()) != digest:
                raise SystemExit(f"could not restore {m.file}: its checksum differs")
            JOURNAL.unlink()


FAILED = re.compile(r"^(FAILED|ERROR) (\S+)")
CRASH_FRAME = re.compile(r'File "[^"]*/(tests/test_\w+\.py)", line \d+ in (\w+)')


def classify(m: Mutant, rc: int | None, out: str) -> None:
    tail = "\n".join(out.strip().splitlines()[-3:])
    if rc is None:
        m.outcome, m.detail = "timeout", tail[-200:]
    elif rc == 0:
        m.outcome = "survived"
    elif rc < 0 or rc > 4:
        frames = CRASH_FRAME.findall(out)
        name = signal.Signals(-rc).name if rc < 0 and -rc in signal.valid_signals() else f"exit {rc}"
        m.outcome = "killed"
        m.killed_by = f"{frames[-1][0]}::{frames[-1][1]}" if frames else "(interpreter crash)"
        m.detail = f"crash: {name}"
    else:
        failed = [mt.group(2) for row in out.splitlines() if (mt := FAILED.match(row))]
        m.outcome = "killed"
        m.killed_by = failed[0] if failed else f"(pytest exit {rc})"
        m.detail = tail[-200:] if not failed else ""


# ---------------------------------------------------------------------------------------------
# Reports

OUTCOMES = ("killed", "timeout", "survived", "not_viable", "stale", "pending")


def totals(mutants: list[Mutant]) -> dict:
    count = {o: sum(m.outcome == o for m in mutants) for o in OUTCOMES}
    viable = count["killed"] + count["timeout"] + count["survived"]
    rate = (count["killed"] + count["timeout"]) / viable if viable else None
    return {"sampled": len(mutants), "viable": viable, **count, "kill_rate": rate}


def write_reports(stem: Path, meta: dict, mutants: list[Mutant]) -> None:
    stem.parent.mkdir(parents=True, exist_ok=True)
    data = {"meta": meta, "totals": totals(mutants), "mutants": [dataclasses.asdict(m) for m in mutants]}
    tmp = stem.with_suffix(".json.tmp")
    tmp.write_text(json.dumps(data, indent=1))
    tmp.replace(stem.with_suffix(".json"))
    stem.with_suffix(".txt").write_text(text_report(meta, mutants))


def rate_text(t: dict) -> str:
    return "-" if t["kill_rate"] is None else f"{100 * t['kill_rate']:.1f}%"


def text_report(meta: dict, mutants: list[Mutant]) -> str:
    short = str(SOURCES.relative_to(ROOT)) + "/"
    rows = [
        f"Mutation run {meta.get('started', '')}: seed {meta.get('seed')}, {meta.get('source')}",
        f"tests: pytest {' '.join(meta.get('pytest_args', []))}; time limit {meta.get('timeout') or 0:.0f}s per mutant",
        "",
    ]
    header = (
        f"{'file':34} {'sampled':>7} {'viable':>6} {'killed':>6} {'timeout':>7} {'survived':>8} {'n/viable':>8}"
        f" {'rate':>6}"
    )
    rows += [header, "-" * len(header)]
    for f in sorted({m.file for m in mutants}):
        t = totals([m for m in mutants if m.file == f])
        rows.append(
            f"{f.removeprefix(short):34} {t['sampled']:7} {t['viable']:6} {t['killed']:6} {t['timeout']:7} "
            f"{t['survived']:8} {t['not_viable']:8} {rate_text(t):>6}"
        )
    t = totals(mutants)
    rows += [
        "-" * len(header),
        f"{'total':34} {t['sampled']:7} {t['viable']:6} {t['killed']:6} {t['timeout']:7} "
        f"{t['survived']:8} {t['not_viable']:8} {rate_text(t):>6}",
        "",
    ]
    if t["pending"] or t["stale"]:
        rows.append(f"pending: {t['pending']}, stale: {t['stale']}")
    rows.append(f"kill rate (killed + timeout) / viable = {rate_text(t)}")
    by_kind = {}
    for m in mutants:
        by_kind.setdefault(m.kind, []).append(m)
    rows.append(
        "by kind: "
        + ", ".join(f"{k} {rate_text(totals(v))} of {totals(v)['viable']}" for k, v in sorted(by_kind.items()))
    )
    for title, outcome in (
        ("Survivors", "survived"),
        ("Timeouts", "timeout"),
        ("Not viable", "not_viable"),
        ("Killed", "killed"),
    ):
        chosen = [m for m in mutants if m.outcome == outcome]
        if not chosen:
            continue
        rows += ["", f"{title} ({len(chosen)}):"]
        for m in chosen:
            where = f"{m.file.removeprefix(short)}:{m.line}"
            extra = (
                f"  <- {m.killed_by}" if m.killed_by else (f"  [{m.detail[:90]}]" if outcome == "not_viable" else "")
            )
            rows.append(f"  {m.id} {where:30} {m.kind:10} {m.description}{extra}")
    return "\n".join(rows) + "\n"


# ---------------------------------------------------------------------------------------------


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=150, help="mutants to sample (default 150)")
    ap.add_argument("--files", action="append", help="glob under the module's source folder (default *.cpp)")
    ap.add_argument("--survivors", type=Path, help="re-run the survivors of this report.json")
    ap.add_argument(
        "--report",
        type=Path,
        help="report stem (default build/mutation/report, build/mutation/recheck with --survivors)",
    )
    ap.add_argument("--timeout", type=float, help="seconds per mutant's tests (default: 2.5 x the clean run)")
    ap.add_argument("--pytest-args", help=f"instead of: {' '.join(DEFAULT_PYTEST)}")
    ap.add_argument(
        "--order",
        choices=("related", "fixed"),
        default="related",
        help="run test files related to the mutated file first (same selection)",
    )
    ap.add_argument(
        "--python", default=str(ROOT / ".venv" / "bin" / "python") if (ROOT / ".venv").exists() else sys.executable
    )
    ap.add_argument("--list", action="store_true", help="print the sampled mutants (or every site with --all)")
    ap.add_argument("--all", action="store_true")
    ap.add_argument("--ids", help="run these mutants (ids from --list, comma-separated) instead of a sample")
    ap.add_argument("--allow-dirty", action="store_true", help="run although native_sources has changes")
    args = ap.parse_args()

    if args.survivors:
        previous = json.loads(args.survivors.read_text())
        mutants = [
            Mutant(**{k: v for k, v in d.items() if k in Mutant.__dataclass_fields__})
            for d in previous["mutants"]
            if d["outcome"] == "survived"
        ]
        for m in mutants:
            m.outcome, m.killed_by, m.detail, m.build_seconds, m.test_seconds = "pending", "", "", 0.0, 0.0
        source = f"survivors of {args.survivors}"
        seed = previous["meta"].get("seed")
    else:
        files = source_files(args.files or ["*.cpp", "*/*.cpp"])
        sites, sizes = {}, {}
        for p in files:
            rel = str(p.relative_to(ROOT))
            text = p.read_text()
            sites[rel], sizes[rel] = find_sites(rel, text), code_lines(text)
            for m in sites[rel]:
                m.id = m.key()
        if args.ids:
            wanted = args.ids.split(",")
            found = {m.id: m for f in sites for m in sites[f]}
            missing = [i for i in wanted if i not in found]
            if missing:
                print(f"no such mutant: {', '.join(missing)}", file=sys.stderr)
                return 2
            mutants = [found[i] for i in wanted]
        elif args.all:
            mutants = [m for f in sorted(sites) for m in sites[f]]
        else:
            mutants = sample(sites, sizes, args.count, args.seed)
        source = f"{len(mutants)} of {sum(map(len, sites.values()))} sites in {len(files)} files"
        seed = args.seed
    if args.list:
        for m in mutants:
            print(f"{m.id} {m.file}:{m.line} {m.kind}: {m.description}")
            for a, b in zip(m.before, m.after):
                print(f"    - {a.strip()}\n    + {b.strip()}")
        print(source)
        return 0
    # One run at a time: the lock is held until this process ends, however it ends; only its
    # holder may put back a file that a killed run left mutated.
    OUT.mkdir(parents=True, exist_ok=True)
    lock = open(OUT / "run.lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print("another mutation run is in progress in this tree", file=sys.stderr)
        return 2
    recover_journal()
    if git_changes() and not args.allow_dirty:
        print("native_sources has uncommitted changes; commit them or pass --allow-dirty", file=sys.stderr)
        return 2

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    runner = Runner(args)
    stem = args.report or OUT / ("recheck" if args.survivors else "report")
    meta = {
        "started": datetime.datetime.now().isoformat(timespec="seconds"),
        "seed": seed,
        "source": source,
        "pytest_args": runner.pytest_args,
        "order": args.order if runner.reorder else "fixed",
        "commit": subprocess.run(["git", "rev-parse", "HEAD"], cwd=ROOT, capture_output=True, text=True).stdout.strip(),
    }
    try:
        ok, out, seconds = runner.build()
        if not ok:
            print(out, file=sys.stderr)
            print("the unmutated sources do not build", file=sys.stderr)
            return 2
        if runner.timeout is None:
            rc, out, seconds = runner.pytest(None, None)
            if rc != 0:
                print(out[-3000:], file=sys.stderr)
                print("the tests fail on the unmutated sources", file=sys.stderr)
                return 2
            runner.timeout = max(60.0, 2.5 * seconds)
            meta["clean_run_seconds"] = round(seconds, 1)
        meta["timeout"] = runner.timeout
        print(f"{source}; time limit {runner.timeout:.0f}s per mutant", flush=True)
        write_reports(stem, meta, mutants)
        for n, m in enumerate(mutants, 1):
            runner.run(m)
            shown = f" <- {m.killed_by}" if m.killed_by else (f" [{m.detail[:80]}]" if m.detail else "")
            print(
                f"[{n}/{len(mutants)}] {m.file}:{m.line} {m.description[:60]}: {m.outcome}{shown} "
                f"({m.build_seconds:.0f}s + {m.test_seconds:.0f}s)",
                flush=True,
            )
            write_reports(stem, meta, mutants)
    except (KeyboardInterrupt, Interrupted) as stop:
        meta["interrupted"] = str(stop) or "KeyboardInterrupt"
        print(f"interrupted ({meta['interrupted']}); the sources are restored", file=sys.stderr)
    finally:
        meta["finished"] = datetime.datetime.now().isoformat(timespec="seconds")
        write_reports(stem, meta, mutants)
    if "interrupted" not in meta:
        runner.build()  # the module in python/ built from the restored sources again
    if git_changes() and not args.allow_dirty:
        print("native_sources is not clean after the run:\n" + git_changes(), file=sys.stderr)
        return 2
    t = totals(mutants)
    print(
        f"{stem.with_suffix('.txt')}: {t['viable']} viable, {t['killed']} killed, {t['timeout']} timeout, "
        f"{t['survived']} survived, {t['not_viable']} not viable; kill rate {rate_text(t)}"
    )
    return 1 if "interrupted" in meta else 0


if __name__ == "__main__":
    sys.exit(main())
