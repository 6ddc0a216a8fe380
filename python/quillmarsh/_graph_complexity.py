"""Measuring how deep and how large a signal graph is.

A graph is given in one of two forms, and both are read as a tree of nodes:

Expression string, e.g. ``"rank(ts_mean(close, 5))"``:
    A call ``name(arg, ...)`` is one node whose children are its arguments;
    any other argument text (``close``, ``5``, ``-0.5``, ``"sector"``) is
    one leaf node. Whitespace around names and arguments is ignored.
    Commas and parentheses inside single- or double-quoted text are literal.
    A call may have no arguments (``now()`` is one node). Text between
    separators is taken whole, so infix arithmetic such as ``close - open``
    is a single leaf. ``rank(ts_mean(close, 5))`` has depth 3 and node count
    4 (rank, ts_mean, close, 5).

Structure of dicts, lists and tuples (as decoded from JSON):
    A dict is a node whose children are its values (keys are labels, not
    nodes); a list or tuple is a node whose children are its items; a
    str, int, float, bool or None inside the structure is one leaf node (a
    str here is a name, not an expression to parse). An empty container
    inside the structure is a node without children. Sharing one container
    at several places counts it once per place, as if it were copied.

Measure:
    ``depth`` is the number of nodes on the longest path from the root to a
    leaf (a lone leaf has depth 1; a node with children has depth one more
    than its deepest child). ``node_count`` is the number of nodes.

Refused with ``ValueError``: ``None`` and any top-level value that is not a
str, dict, list or tuple (a bare number is not a graph); an empty or blank
string; an empty top-level container; unbalanced parentheses; an empty
argument (``f(,x)``, ``f(x,)``); ``(`` without a call name before it; text
after a closing parenthesis (``f(x)y``); unterminated quotes; values of
unsupported types inside a structure (sets, bytes, arbitrary objects); and
a container that contains itself. Both forms are walked without recursion,
so very deep graphs are measured without exhausting the stack.
"""

from __future__ import annotations

import re
from array import array
from dataclasses import dataclass, fields
from itertools import accumulate
from typing import Any

__all__ = ["GraphComplexity", "measure_graph_complexity"]

_LEAF_TYPES = (str, int, float, bool, type(None))
_CONTAINER_TYPES = (dict, list, tuple)


@dataclass(frozen=True, slots=True)
class GraphComplexity:
    """Depth and node count of a graph (see the module documentation)."""

    depth: int
    node_count: int


# The fast path fills a result through the slot setters, which builds the
# same object as ``GraphComplexity(...)`` without the frozen ``__setattr__``.
_new = object.__new__
_set_depth, _set_node_count = (getattr(GraphComplexity, f.name).__set__ for f in fields(GraphComplexity))


def measure_graph_complexity(graph: Any) -> GraphComplexity:
    """Measure ``graph``; raise ``ValueError`` for a graph that cannot be read."""
    if type(graph) is str:
        measured = _measure_plain_expression(graph)
        if measured is not None:
            result = _new(GraphComplexity)
            _set_depth(result, measured[0])
            _set_node_count(result, measured[1])
            return result
    if isinstance(graph, str):
        depth, count = _measure_expression(graph)
    elif isinstance(graph, _CONTAINER_TYPES):
        if not graph:
            raise ValueError(f"graph must not be an empty {type(graph).__name__}")
        depth, count = _measure_structure(graph)
    elif graph is None:
        raise ValueError("graph is required, got None")
    else:
        raise ValueError(f"graph must be an expression string, dict, list or tuple, got {type(graph).__name__}")
    return GraphComplexity(depth=depth, node_count=count)


# Fast path for the common expression: ASCII text without quotes. The text is
# mapped to a class string (each atom character becomes "a", whitespace is
# dropped, separators stay), which is accepted only when its token sequence is
# well formed:
#   an atom first; after an atom "(", ")", "," or the end; after "(" an atom
#   or ")"; after ")" another ")", "," or the end; after "," an atom.
# Parentheses are then checked for balance and the root call must span the
# text. Anything else (quotes, non-ASCII text, any error) is left to the
# general parser, which produces the error messages.
_WHITESPACE = bytes(code for code in range(128) if chr(code).isspace())
_CLASSES = bytes(code if code in b"()," else ord("a") for code in range(256))
_SHAPE = re.compile(rb"a++(?:\(a++|,a++|\(?\)++,a++)*+(?:\(?\)++)?+")
_STEPS = bytes.maketrans(b"()", b"\x01\xff")  # +1 / -1 as signed bytes


def _measure_plain_expression(text: str) -> tuple[int, int] | None:
    """``(depth, node_count)`` of a well-formed quote-free ASCII expression,
    or None to leave ``text`` to the general parser."""
    if '"' in text or "'" in text or not text.isascii():
        return None
    classes = text.encode("ascii").translate(_CLASSES, _WHITESPACE)
    if _SHAPE.fullmatch(classes) is None:
        return None
    # The shape puts an atom before every "(", so "()" is always an empty
    # call: a single node, measured like a leaf.
    classes = classes.replace(b"()", b"")
    steps = classes.translate(_STEPS, b"a,")
    if not steps:
        # A lone atom; a comma here would be outside any argument list.
        return None if b"," in classes else (1, 1)
    levels = list(accumulate(array("b", steps)))
    last = len(levels) - 1
    # The root call must span the text: it ends with ")" where the level is
    # back at zero for the first time (so no ")" is unmatched), and no comma
    # comes before its "(" (every other comma is inside it).
    if (
        classes[-1] != 0x29  # ")"
        or levels[last] != 0
        or levels.index(0) != last
        or 0 <= classes.find(b",") < classes.find(b"(")
    ):
        return None
    # Every "(" left is followed by an atom, so the deepest atom sits at the
    # highest level; each call adds one node and each comma one more.
    return max(levels) + 1, 1 + (last + 1) // 2 + classes.count(b",")


def _children(node: Any) -> list[Any]:
    return list(node.values()) if isinstance(node, dict) else list(node)


def _measure_structure(root: Any) -> tuple[int, int]:
    # Post-order walk with an explicit stack. ``measured`` memoises each
    # container by identity so that shared sub-structures cost one visit;
    # ``open_ids`` holds the containers on the current path, so a container
    # met again while it is still open is a cycle.
    measured: dict[int, tuple[int, int]] = {}
    open_ids: set[int] = set()
    stack: list[tuple[Any, bool]] = [(root, False)]
    while stack:
        node, finished = stack.pop()
        key = id(node)
        if finished:
            depth, count = 1, 1
            for child in _children(node):
                # Every container child was measured before its parent finishes.
                if isinstance(child, _CONTAINER_TYPES):
                    child_depth, child_count = measured[id(child)]
                else:
                    child_depth, child_count = 1, 1
                depth = max(depth, child_depth + 1)
                count += child_count
            measured[key] = (depth, count)
            open_ids.discard(key)
            continue
        if key in measured:
            continue
        if key in open_ids:
            raise ValueError(f"graph {type(node).__name__} contains itself (reference cycle)")
        open_ids.add(key)
        stack.append((node, True))
        for child in _children(node):
            if isinstance(child, _CONTAINER_TYPES):
                stack.append((child, False))
            elif not isinstance(child, _LEAF_TYPES):
                raise ValueError(
                    f"graph node of unsupported type {type(child).__name__}; "
                    "expected dict, list, tuple, str, int, float, bool or None"
                )
    return measured[id(root)]


def _tokenize(text: str) -> list[tuple[str, int]]:
    """Split into ``(``, ``)``, ``,`` and stripped atom tokens with positions."""
    tokens: list[tuple[str, int]] = []
    start = 0
    i = 0
    n = len(text)

    def flush(end: int) -> None:
        raw = text[start:end]
        if raw.strip():
            tokens.append((raw.strip(), start + len(raw) - len(raw.lstrip())))

    while i < n:
        ch = text[i]
        if ch in "'\"":
            close = text.find(ch, i + 1)
            if close < 0:
                raise ValueError(f"graph expression has an unterminated quote at position {i}")
            i = close + 1
            continue
        if ch in "(),":
            flush(i)
            tokens.append((ch, i))
            start = i + 1
        i += 1
    flush(n)
    return tokens


def _measure_expression(text: str) -> tuple[int, int]:
    if not text.strip():
        raise ValueError("graph expression is empty")
    tokens = _tokenize(text)
    # Each open call keeps the deepest child depth seen so far.
    open_calls: list[list[int]] = []
    count = 0
    last_depth = 0  # depth of the element just completed
    expecting = True  # an element is expected next
    just_opened = False  # the previous token was "(" of a call
    position = 0
    i = 0
    while i < len(tokens):
        token, position = tokens[i]
        if expecting:
            if token == ")" and just_opened:
                open_calls.pop()
                last_depth, expecting, just_opened = 1, False, False
            elif token in ("(", ")", ","):
                if token == "(":
                    raise ValueError(f"graph expression has '(' without a call name at position {position}")
                if not open_calls and token == ")":
                    raise ValueError(f"graph expression has unbalanced parentheses: ')' at position {position}")
                raise ValueError(f"graph expression has an empty argument at position {position}")
            else:
                count += 1
                if i + 1 < len(tokens) and tokens[i + 1][0] == "(":
                    open_calls.append([0])
                    just_opened = True
                    i += 2
                    continue
                last_depth, expecting, just_opened = 1, False, False
        elif token == ",":
            if not open_calls:
                raise ValueError(f"graph expression has ',' outside an argument list at position {position}")
            open_calls[-1][0] = max(open_calls[-1][0], last_depth)
            expecting = True
        elif token == ")":
            if not open_calls:
                raise ValueError(f"graph expression has unbalanced parentheses: ')' at position {position}")
            deepest = max(open_calls.pop()[0], last_depth)
            last_depth = deepest + 1
        else:
            raise ValueError(f"graph expression has unexpected text {token!r} at position {position}")
        i += 1
    if open_calls:
        raise ValueError(f"graph expression has unbalanced parentheses: {len(open_calls)} '(' not closed")
    if expecting:
        raise ValueError("graph expression ends where an argument is expected")
    return last_depth, count
