"""Transaction.infer_shadow_deltas: changed shadows become deltas, once."""
import pytest

from olvex_core import Transaction


@pytest.fixture
def tx():
    return Transaction()


def test_a_changed_shadow_becomes_one_delta(tx):
    d = {"count": 0}
    s = tx.get_shadow(d, "domain")
    s["count"] = 1
    assert tx.infer_shadow_deltas() is None
    assert tx.get_delta_log() == ["domain"]
    tx.commit()
    assert tx.pending_data == {"domain": {"count": 1}}
    assert tx.pending_data["domain"] is s  # the shadow itself is the new value


def test_an_unchanged_shadow_gives_nothing(tx):
    tx.get_shadow({"count": 0}, "domain")
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == []


def test_inference_runs_once(tx):
    s = tx.get_shadow({"a": 1}, "domain")
    tx.infer_shadow_deltas()
    s["a"] = 2
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == []


@pytest.mark.parametrize(
    "first",
    [
        lambda tx: tx.infer_shadow_deltas(),
        lambda tx: tx.build_pending_from_deltas(),
        lambda tx: tx.pending_data,
    ],
    ids=["infer", "build_pending", "pending_data"],
)
def test_the_first_preview_ends_inference(tx, first):
    d = {"a": 1}
    s = tx.get_shadow(d, "domain")
    first(tx)
    s["a"] = 2  # changed after the inference: never inferred
    tx.commit()
    assert tx.pending_data == {}
    assert tx.get_delta_log() == []


def test_pairs_are_visited_in_the_order_paths_were_first_tracked(tx):
    originals = [{"n": i} for i in range(5)]
    for path, d in zip(["p3", "p1", "p4", "p0", "p2"], originals):
        tx.get_shadow(d, path)["n"] = -1
    replacement = {"n": 9}
    tx.get_shadow(replacement, "p1")["n"] = 10  # a replaced original keeps its place
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == ["p3", "p1", "p4", "p0", "p2"]
    assert tx.pending_data["p1"] == {"n": 10}


class Eq:
    """A value whose comparison the table below scripts."""

    def __init__(self, outcome, tag=0):
        self.outcome = outcome
        self.tag = tag

    def __deepcopy__(self, memo):
        return Eq(self.outcome, self.tag + 1)

    def __eq__(self, other):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


class Truth:
    """A comparison result with a scripted truth value and all()."""

    def __init__(self, truth, all_result="missing"):
        self.truth = truth
        self.all_result = all_result

    def __bool__(self):
        if isinstance(self.truth, BaseException):
            raise self.truth
        return self.truth

    def all(self):
        if self.all_result == "missing":
            raise AttributeError("all")
        if isinstance(self.all_result, BaseException):
            raise self.all_result
        return self.all_result


@pytest.mark.parametrize(
    "outcome, delta",
    [
        (True, False),
        (False, True),
        (1, False),
        ([], True),
        (ValueError("no comparing"), True),
        (Truth(True), False),
        (Truth(False), True),
        (Truth(ValueError("ambiguous"), True), False),
        (Truth(ValueError("ambiguous"), False), True),
        (Truth(ValueError("ambiguous"), Truth(True)), False),
        (Truth(ValueError("ambiguous"), Truth(ValueError("again"))), True),
        (Truth(ValueError("ambiguous"), ValueError("no all")), True),
        (Truth(ValueError("ambiguous")), True),
    ],
    ids=["true", "false", "one", "empty-list", "eq-raises", "truth-true", "truth-false", "all-true",
         "all-false", "all-truthy-object", "all-truth-raises", "all-raises", "no-all"],
)
def test_comparison_outcomes(tx, outcome, delta):
    tx.get_shadow(Eq(outcome), "domain.v")
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == (["domain.v"] if delta else [])


@pytest.mark.parametrize(
    "outcome",
    [KeyboardInterrupt("in __eq__"), SystemExit(1), Truth(KeyboardInterrupt("in __bool__")),
     Truth(ValueError("ambiguous"), KeyboardInterrupt("in all()"))],
    ids=["eq", "eq-exit", "bool", "all"],
)
def test_an_interrupt_keeps_every_pair_not_yet_compared(tx, outcome):
    a = {"n": 1}
    tx.get_shadow(a, "a")  # unchanged, compared before the interrupt
    tx.get_shadow(Eq(outcome), "b")
    tx.get_shadow({"n": 1}, "c")  # unchanged, but never compared
    tx.get_shadow(7, "d")  # its own shadow: never a delta
    with pytest.raises((KeyboardInterrupt, SystemExit)):
        tx.infer_shadow_deltas()
    assert tx.get_delta_log() == ["b", "c"]
    tx.infer_shadow_deltas()  # done already
    assert tx.get_delta_log() == ["b", "c"]


def test_comparisons_may_use_the_transaction(tx):
    class Chatty(Eq):
        def __eq__(self, other):
            tx.log_delta("during", None, 1)
            tx.get_shadow({"new": 1}, "late")  # tracked after the snapshot
            return False

    tx.get_shadow(Chatty(False), "domain.c")
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == ["during", "domain.c"]
