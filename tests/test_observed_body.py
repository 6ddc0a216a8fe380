import inspect

import pytest

from quillmarsh.submit import _TransmissionObservedBody as ObservedBody

BODY = b"0123456789"
HEADERS = {"Authorization": "Bearer t", "Content-Type": "application/json"}


class Observer:
    def __init__(self, error=None):
        self.calls, self.error, self.body = [], error, None

    def __call__(self, *args):
        self.calls.append(args + (self.body.tell(), self.body.consumed))
        if self.error:
            raise self.error


def observed(body=BODY, observer=None):
    observer = observer or Observer()
    instance = ObservedBody(body, observer, "POST", "http://127.0.0.1/x", HEADERS)
    observer.body = instance
    return instance, observer


# Each step: (method, args, result or exception text, calls so far, consumed after).
SCRIPTS = {
    "chunks": [
        ("read", (4,), b"0123", 1, True),
        ("read", (4,), b"4567", 1, True),
        ("read", (4,), b"89", 1, True),
        ("read", (4,), b"", 1, True),
        ("tell", (), 10, 1, True),
    ],
    "read_zero": [("read", (0,), b"", 0, False), ("tell", (), 0, 0, False), ("read", (), BODY, 1, True)],
    "seek_end": [
        ("seek", (0, 2), 10, 0, False),
        ("read", (), b"", 0, False),
        ("seek", (-3, 2), 7, 0, False),
        ("read", (), b"789", 1, True),
    ],
    "negative": [
        ("seek", (5,), 5, 0, False),
        ("tell", (), 5, 0, False),
        ("seek", (-1,), "negative seek position", 0, False),
        ("seek", (-6, 1), "negative seek position", 0, False),
        ("tell", (), 5, 0, False),
        ("seek", (2, 1), 7, 0, False),
        ("read", (None,), b"789", 1, True),
    ],
    "whence": [
        ("seek", (0, 3), "unsupported whence: 3", 0, False),
        ("seek", (0, -1), "unsupported whence: -1", 0, False),
        ("seek", (0, None), "unsupported whence: None", 0, False),
        ("tell", (), 0, 0, False),
    ],
    "past_end": [
        ("seek", (100,), 100, 0, False),
        ("read", (1,), b"", 0, False),
        ("seek", (-100, 1), 0, 0, False),
        ("read", (-5,), BODY, 1, True),
    ],
    "reread": [
        ("read", (), BODY, 1, True),
        ("seek", (0,), 0, 1, True),
        ("read", (), BODY, 1, True),
        ("seek", (1,), 1, 1, True),
        ("read", (2,), b"12", 1, True),
    ],
    "iterate": [
        ("__next__", (), BODY, 1, True),
        ("__next__", (), "StopIteration", 1, True),
        ("seek", (8,), 8, 1, True),
        ("__next__", (), b"89", 1, True),
    ],
}


@pytest.mark.parametrize("script", SCRIPTS.values(), ids=SCRIPTS.keys())
def test_read_seek_tell_scripts(script):
    body, observer = observed()
    for name, args, expected, calls, consumed in script:
        if isinstance(expected, str):
            with pytest.raises((ValueError, StopIteration)) as caught:
                getattr(body, name)(*args)
            assert str(caught.value) == ("" if expected == "StopIteration" else expected)
            assert type(caught.value) is (StopIteration if expected == "StopIteration" else ValueError)
        else:
            assert getattr(body, name)(*args) == expected
        assert (len(observer.calls), body.consumed) == (calls, consumed), (name, args)


def test_observer_runs_once_before_bytes_are_handed_over():
    body, observer = observed()
    assert body.read(4) == b"0123"
    body.read()
    [(method, url, headers, body_bytes, position, consumed)] = observer.calls
    assert (method, url, headers, body_bytes, position, consumed) == (
        "POST",
        "http://127.0.0.1/x",
        HEADERS,
        BODY,
        0,
        True,
    )


def test_iteration_and_empty_body():
    body, observer = observed()
    assert iter(body) is body and list(body) == [BODY] and len(observer.calls) == 1 and list(body) == []
    body, observer = observed(b"")
    assert (body.read(), list(body), body.consumed, observer.calls) == (b"", [], False, [])


def test_raising_observer_leaves_body_consumed_and_position_unchanged():
    error = ConnectionResetError("observer failed")
    body, observer = observed(observer=Observer(error))
    with pytest.raises(ConnectionResetError) as caught:
        body.read(3)
    assert caught.value is error and body.consumed and body.tell() == 0
    assert body.read(3) == b"012" and len(observer.calls) == 1
    body2, observer2 = observed(observer=Observer(KeyError("k")))
    with pytest.raises(KeyError):
        next(body2)
    assert body2.consumed and body2.tell() == 0 and list(body2) == [BODY] and len(observer2.calls) == 1


def test_headers_are_copied_at_construction_and_for_the_observer():
    headers = dict(HEADERS)
    seen = []
    body = ObservedBody(BODY, lambda *args: seen.append(args[2]), "GET", "u", headers)
    headers["X-Later"] = "1"
    body.read()
    assert seen == [HEADERS] and seen[0] is not body._headers and body._headers is not headers
    seen[0]["X-Observer"] = "2"
    assert body._headers == HEADERS


def test_initial_state_and_class_layout():
    observer = Observer()
    body = ObservedBody(body_bytes=BODY, observer=observer, method="PATCH", url="u", headers=[("k", "v")])
    assert vars(body) == {
        "_body_bytes": BODY,
        "_observer": observer,
        "_method": "PATCH",
        "_url": "u",
        "_headers": {"k": "v"},
        "_offset": 0,
        "_observed": False,
    }
    assert ObservedBody.__bases__ == (object,)
    assert [n for n in vars(ObservedBody) if not n.startswith("__") or n in ("__init__", "__iter__", "__next__")] == [
        "__init__",
        "consumed",
        "_observe_once",
        "read",
        "seek",
        "tell",
        "__iter__",
        "__next__",
    ]
    assert isinstance(inspect.getattr_static(ObservedBody, "consumed"), property)
    with pytest.raises(AttributeError):
        body.consumed = True


def test_signatures():
    signatures = {
        name: str(inspect.signature(getattr(ObservedBody, name)))
        for name in ["__init__", "_observe_once", "read", "seek", "tell", "__iter__", "__next__"]
    }
    signatures["consumed"] = str(inspect.signature(ObservedBody.consumed.fget))
    assert signatures == {
        "__init__": "(self, /, body_bytes, observer, method, url, headers)",
        "_observe_once": "(self, /)",
        "read": "(self, /, size=-1)",
        "seek": "(self, /, offset, whence=0)",
        "tell": "(self, /)",
        "__iter__": "(self, /)",
        "__next__": "(self, /)",
        "consumed": "(self, /)",
    }
    assert str(inspect.signature(ObservedBody)) == "(body_bytes, observer, method, url, headers)"


@pytest.mark.parametrize("name", ["__init__", "read", "seek", "tell", "_observe_once"])
def test_argument_errors(argument_errors, name):
    body, _ = observed()
    argument_errors(getattr(ObservedBody, name), f"_TransmissionObservedBody.{name}", body)


def test_subclass_overrides_are_used():
    class Counting(ObservedBody):
        def _observe_once(self):
            self.hits = getattr(self, "hits", 0) + 1

        def read(self, size=-1):
            return super().read(size).upper()

    body = Counting(b"abc", pytest.fail, "POST", "u", {})
    assert body.read(1) == b"A" and next(body) == b"BC" and body.hits == 2 and not body.consumed
