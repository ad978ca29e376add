"""The replays of the delta log: commit() into the pending buffers, and the
previews build_pending_from_deltas() and get_shadow_updates(). The writes go
through the nested-update routines, so their rules show here from Python."""
import pytest

from olvex_core import Transaction


def data_buffer(tx):
    """The items of the internal data buffer (the pending_data property is a
    preview): with no shadows, get_shadow_updates lists exactly those."""
    return tx.get_shadow_updates()


def logged(*entries):
    tx = Transaction()
    for path, value in entries:
        tx.log_delta(path, None, value)
    return tx


def test_commit_replays_shortest_path_first_into_the_logged_objects():
    logged_dict = {"x": 1}
    tx = logged(("a.x", 2), ("a", logged_dict))
    assert tx.commit() is None
    assert tx.pending_data == {"a": {"x": 2}}
    assert logged_dict == {"x": 2}  # written into the logged dict itself
    fresh = logged(("a.x", 2), ("a", {"x": 1}))
    assert fresh.build_pending_from_deltas() == {"a": {"x": 1}}  # log order, no sorting


def test_equal_lengths_keep_log_order():
    tx = logged(("k.b", 1), ("k.a", 2), ("k", {}), ("k.b", 3))
    tx.commit()
    assert tx.pending_data == {"k": {"b": 3, "a": 2}}


def test_explicit_updates_and_deltas():
    tx = logged(("a", 2))
    tx.update(data={"a": 1})
    assert tx.pending_data == {"a": 1}  # the preview merges the explicit update last
    tx.commit()
    assert tx.pending_data == {"a": 2}  # the replay wrote over it in the buffer


@pytest.mark.parametrize(
    "path, heavy, data",
    [
        ("heavy.img", {"img": "v"}, {}),
        ("heavy_x.y", {"heavy_x": {"y": "v"}}, {}),
        ("a.heavy_b", {"a": {"heavy_b": "v"}}, {}),
        ("heavy[0]", {"heavy": {"0": "v"}}, {}),
        ("heavy.a.b", {"a": {"b": "v"}}, {}),
        ("heavyish.a", {}, {"heavyish": {"a": "v"}}),
        ("a[hea]vy.x", {"a": {"hea": {"vy": {"x": "v"}}}}, {}),  # the zone rules drop "]"
        ("domain.a", {}, {"domain": {"a": "v"}}),
    ],
)
def test_heavy_paths_go_to_pending_heavy(path, heavy, data):
    tx = logged((path, "v"))
    tx.commit()
    assert tx.pending_heavy == heavy
    assert data_buffer(tx) == data


def test_previews_do_not_split_zones():
    tx = logged(("heavy.img", 1), ("a", 2))
    assert tx.build_pending_from_deltas() == {"heavy": {"img": 1}, "a": 2}
    assert tx.pending_heavy == {}


def test_none_new_values_are_listed_but_never_replayed():
    tx = Transaction()
    tx.log_delta("a", 1, None)
    tx.log_delta("b", old_val=1)
    tx.commit()
    assert tx.get_delta_log() == ["a", "b"]
    assert data_buffer(tx) == {} and tx.pending_data == {}


def test_each_commit_replays_the_whole_log_again():
    tx = logged(("a.n", 1))
    tx.commit()
    tx.update(data={"a": {"n": 5}})
    tx.commit()
    assert tx.pending_data == {"a": {"n": 1}}


class Obj:
    pass


@pytest.mark.parametrize(
    "root, path, expected",
    [
        ({}, "a.b[2]", {"a": {"b": {"2": "v"}}}),
        ({"l": [1]}, "l[3]", {"l": [1, None, None, "v"]}),
        ({"l": [1]}, "l[0]", {"l": ["v"]}),
        ({"l": [[0]]}, "l[0][1]", {"l": [[0, "v"]]}),
        ({}, "a['x.y']", {"a": {"x.y": "v"}}),
        ({}, "a.x.y", {"a": {"x": {"y": "v"}}}),
        ({}, "", {}),
        ({}, "..", {}),
        ({"a": None}, "a", {"a": "v"}),
    ],
)
def test_nested_writes(root, path, expected):
    tx = logged((path, "v"))
    tx.update(data=root)
    tx.commit()
    assert data_buffer(tx) == expected


@pytest.mark.parametrize(
    "root, path, exc, message",
    [
        ({"a": None}, "a.b.c", TypeError, "Cannot navigate key 'b' in non-dict type 'NoneType'"),
        ({"a": None}, "a.b", TypeError, "Cannot set key 'b' on non-dict type 'NoneType'"),
        ({}, "a[0].b", TypeError, "Cannot navigate index [0] in non-list"),
        ({"l": []}, "l[0].x", IndexError, "Index [0] out of range"),
        ({"l": [1]}, "l.0", TypeError, "Cannot set key '0' on non-dict type 'list'"),
        ({"s": 5}, "s[1]", TypeError, "Cannot set index [1] on non-list/dict"),
        ({"l": []}, "l[100000000]", IndexError, "too far beyond the end"),
        ({"l": []}, f"l[{2**64 - 1}]", IndexError, "too far beyond the end"),
    ],
)
def test_nested_write_failures(root, path, exc, message):
    tx = logged((path, "v"))
    tx.update(data=root)
    with pytest.raises(exc, match=message.replace("[", r"\[").replace("]", r"\]")):
        tx.commit()
    if "l" in root:
        assert data_buffer(tx)["l"] == root["l"]  # a refused padding leaves the list as it was


def test_a_failure_stops_the_replay_and_earlier_writes_stay():
    tx = logged(("a", 1), ("bad.x", 2), ("later.deeper", 3))
    tx.update(data={"bad": 5})
    with pytest.raises(TypeError):
        tx.commit()
    assert data_buffer(tx) == {"a": 1, "bad": 5}


def test_replay_through_objects_and_logging_setters():
    class Logging:
        def __setattr__(self, name, value):
            tx.log_delta(f"obj.{name}.seen", None, value)  # reported during the replay
            object.__setattr__(self, name, value)

    tx = Transaction()
    target = Logging()
    plain = Obj()
    tx.update(data={"obj": target, "plain": plain})
    tx.log_delta("obj.x", None, 1)
    tx.log_delta("plain.y", None, 2)
    tx.commit()
    assert target.x == 1 and plain.y == 2
    assert tx.get_delta_log() == ["obj.x", "plain.y", "obj.x.seen"]
    # the entry logged meanwhile replays next time: through an int it fails
    with pytest.raises(TypeError, match="Cannot navigate key 'x' in non-dict type 'Logging'"
                                         "|Cannot set key 'seen' on non-dict type 'int'"):
        tx.commit()


def test_a_lone_surrogate_path_fails_clearly_at_replay():
    tx = logged(("ok", 1), ("bad\ud800", 2))
    with pytest.raises(UnicodeEncodeError):
        tx.commit()
    assert data_buffer(tx) == {"ok": 1}


def test_get_shadow_updates_lists_logged_roots_with_shadows():
    tx = Transaction()
    d, g = {"a": 1}, {"b": 2}
    sd = tx.get_shadow(d, "domain.x")
    sg = tx.get_shadow(g, "global")
    tx.get_shadow({"c": 3}, "other")
    tx.log_delta("global[k]", None, None)  # not replayable, still counted
    tx.log_delta("domain.y", None, 1)
    tx.log_delta("nothing.z", None, 1)  # a root without a shadow
    tx.log_delta("domain", None, 2)
    updates = tx.get_shadow_updates()
    assert list(updates) == ["global", "domain"]
    assert updates["global"] is sg and updates["domain"] is sd
    tx.update(data={"domain": "explicit", "extra": 1})
    assert tx.get_shadow_updates() == {"global": sg, "domain": "explicit", "extra": 1}
