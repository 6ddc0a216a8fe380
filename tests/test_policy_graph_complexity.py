import pytest

from quillmarsh._graph_complexity import measure_graph_complexity


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
