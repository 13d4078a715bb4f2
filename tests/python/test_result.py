"""The Result class built from Python."""
import pytest


def test_snapshot_keeps_nul_bytes(bridge):
    r = bridge.Result("u", "lm", "src", b"ab\0cd", 5)
    assert (r.url, r.lastModified, r.src, r.snapshot) == ("u", "lm", "src", b"ab\0cd")


def test_snapshot_size_takes_the_first_bytes(bridge):
    assert bridge.Result("u", "", "", b"abcd", 2).snapshot == b"ab"


def test_keywords_and_text_types(bridge):
    r = bridge.Result(_url=b"u\0cut", _lastModified="x", _src="s\0t", _snapshot="é", _snapshotSize=2)
    assert (r.url, r.src, r.snapshot) == ("u", "s", "é".encode())


def test_none_snapshot_with_size_zero_is_empty(bridge):
    assert bridge.Result("u", "", "", None, 0).snapshot == b""


@pytest.mark.parametrize("args", [
    (None, "", "", b"", 0), ("", None, "", b"", 0), ("", "", None, b"", 0), ("", "", "", None, 1),
], ids=["url", "lastModified", "src", "snapshot-with-size"])
def test_none_for_text_is_a_runtime_error(bridge, args):
    with pytest.raises(RuntimeError):
        bridge.Result(*args)


def test_size_beyond_the_snapshot_is_a_value_error(bridge):
    with pytest.raises(ValueError) as error:
        bridge.Result("", "", "", b"abc", 4)
    assert str(error.value) == "Result: _snapshotSize 4 exceeds the 3 bytes of _snapshot"


def test_attributes_are_read_only(bridge):
    r = bridge.Result("u", "", "", b"", 0)
    with pytest.raises(AttributeError):
        r.url = "other"


def test_module_attributes_in_their_order(bridge):
    names = [n for n in vars(bridge) if not n.startswith("__")]
    assert names == ["Result", "ConfigLogger", "Pop", "Push"]
