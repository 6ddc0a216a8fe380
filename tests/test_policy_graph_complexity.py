import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from quillmarsh import _graph_complexity as gc
from quillmarsh._graph_complexity import GraphComplexity, measure_graph_complexity

pytestmark = pytest.mark.python_layers


@pytest.mark.parametrize(
    "graph, depth, count",
    [
        ("rank(ts_mean(close, 5))", 3, 4),
        ("now()", 1, 1),
        (" f( g( ) , h(x , y) ) ", 3, 5),
        ('group(close, "a,b(c)")', 2, 3),
        ("rank(close - open)", 2, 2),
        ({"op": "rank", "args": [{"op": "ts_mean", "args": ["close", 5]}]}, 5, 8),
        ([1, [True, [None]], {}], 4, 7),
    ],
)
def test_measures(graph, depth, count):
    measured = measure_graph_complexity(graph)
    assert (measured.depth, measured.node_count) == (depth, count)


@pytest.mark.parametrize(
    "graph, fragment",
    [
        (None, "graph is required"),
        (5, "got int"),
        ({1, 2}, "got set"),
        ("", "empty"),
        ([], "empty list"),
        ("f(,x)", "empty argument at position 2"),
        ("f(x", "1 '(' not closed"),
        ("f(x))", "')' at position 4"),
        ("(x)", "'(' without a call name"),
        ("f(x)y", "unexpected text 'y'"),
        ('f("x)', "unterminated quote"),
        ([b"x"], "unsupported type bytes"),
    ],
)
def test_bad_graphs_raise_value_error(graph, fragment):
    with pytest.raises(ValueError) as info:
        measure_graph_complexity(graph)
    assert fragment in str(info.value)


def test_self_reference_is_refused():
    node = {"op": "rank", "args": []}
    node["args"].append(node)
    with pytest.raises(ValueError, match="contains itself"):
        measure_graph_complexity(node)


def test_deep_and_shared_graphs_do_not_exhaust_stack_or_time():
    nested = inner = []
    for _ in range(100_000):
        inner.append([])
        inner = inner[0]
    assert measure_graph_complexity(nested).depth == 100_001
    assert measure_graph_complexity("f(" * 50_000 + "x" + ")" * 50_000).node_count == 50_001
    shared = ["leaf"]
    for _ in range(100):
        shared = [shared, shared]  # counted once per place
    assert measure_graph_complexity(shared).node_count == 3 * 2**100 - 1


# Expressions built from trees, written with random whitespace, with up to
# three roots side by side and sometimes damaged by one edit, plus raw
# character soup: well-formed and near-miss text.
_SPACE = st.sampled_from(["", "", " ", "  ", "\t", "\n", "\x1c"])
# Mostly plain ASCII (the fast path), sometimes quoted or non-ASCII text.
_ATOM = st.sampled_from(["x", "close", "5", "-0.5", "a b"] * 6 + ["é", "'q'", '"s,(t)"', "\xa0y"])
_NAME = st.sampled_from(["f", "ts_mean", "g h"] * 6 + ["é"])
_TREE = st.recursive(_ATOM, lambda kids: st.tuples(_NAME, st.lists(kids, max_size=3)), max_leaves=12)
_ROOT = _ATOM | _TREE


def _render(tree, draw):
    def pad(text):
        return draw(_SPACE) + text + draw(_SPACE)

    if isinstance(tree, str):
        return pad(tree)
    name, args = tree
    return pad(name) + "(" + ",".join(_render(arg, draw) for arg in args) + pad(")")


@st.composite
def _expressions(draw):
    if draw(st.integers(0, 4)) == 0:
        return draw(st.text(alphabet="fx (),\t'\"é", max_size=14))
    text = _render(draw(_ROOT), draw)
    for _ in range(draw(st.integers(0, 2))):
        text += draw(st.sampled_from(["", ",", ")", "("])) + _render(draw(_ROOT), draw)
    if text and draw(st.booleans()):
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(st.sampled_from(["", "(", ")", ",", "x", "()", "(x)"])) + text[at + 1 :]
    return text


def _outcome(function, *args):
    try:
        return function(*args)
    except Exception as exc:  # the exception itself is compared
        return type(exc), str(exc)


@settings(max_examples=600, deadline=None)
@given(_expressions())
@example("f(x), y")
@example("x, f(y)")
@example("f(x),g(y)")
@example("f(g(x)")
def test_fast_path_matches_the_general_parser(text):
    expected = _outcome(lambda t: GraphComplexity(*gc._measure_expression(t)), text)
    assert _outcome(measure_graph_complexity, text) == expected
    fast = gc._measure_plain_expression(text)
    if text.isascii() and not set("'\"") & set(text):
        # Quote-free ASCII: the fast path decides alone unless the text is bad.
        assert fast == (None if isinstance(expected, tuple) else (expected.depth, expected.node_count))
    else:
        assert fast is None
