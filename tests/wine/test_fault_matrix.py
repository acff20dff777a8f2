"""A slice of the fault matrix (tools/fault_matrix.py): a few fixed seeds, run
with the matrix's own code; and the endings its rules (tools/fault_rules.py)
predict for the faults whose outcome is easy to get wrong.
"""
import sys

import pytest

from wineenv import ROOT

sys.path.insert(0, str(ROOT / "tools"))
import fault_matrix  # noqa: E402
import fault_rules as fm  # noqa: E402

# seed: the fault it draws. Short runs, each a different kind of fault.
SLICE = {
    6: "second-identity",  # the second identity reaches the upload: failure, nothing written
    473: "split-reply",     # the final reply of block 28 in two chunks: failure, no PUSK
    738: "close",           # closed 3 s after "Записать", during the success pause
    42: "vanish",           # the device gone after block 13: failure by timeout
}


@pytest.mark.parametrize("seed", SLICE)
def test_a_slice_of_the_fault_matrix(wine_template, xvfb, seed):
    case = fm.draw_case(seed)
    assert case.kind == SLICE[seed], "the fault table changed: choose the slice's seeds again"
    result = fault_matrix.run_case(case, wine_template, xvfb.display)
    assert result.passed, result.line()


def image_through(blocks):
    return b"VERS" + fm.IMAGE[:blocks * fm.BLOCK]


@pytest.mark.parametrize("case, ending, sent", [
    # A swapped reply whose two bytes are equal is the right reply.
    (fm.Case(0, "swap-crc", block=fm.EQUAL_BYTE_BLOCKS[0]), "success", image_through(508) + b"PUSK"),
    (fm.Case(0, "swap-crc", block=1), "failure", image_through(1)),
    (fm.Case(0, "wrong-crc", block=508), "failure", image_through(508)),
    (fm.Case(0, "extra-byte", block=7, last=7), "failure", image_through(7)),
    (fm.Case(0, "lowercase-fz", last=3), "failure", image_through(3)),
    (fm.Case(0, "silent", block=1), "failure", image_through(1)),
    (fm.Case(0, "early-final", last=3), "success", image_through(3) + b"PUSK"),
    # The device would take a 509th block: the image is never sent past its end.
    (fm.Case(0, "past-end", last=509), "failure", image_through(508)),
    (fm.Case(0, "second-identity"), "failure", b"VERS"),
], ids=lambda v: v.describe() if isinstance(v, fm.Case) else fm.describe_bytes(v) if isinstance(v, bytes) else v)
def test_the_rules_give_these_endings(case, ending, sent):
    expected = fm.expected_ending(case)
    assert (expected.ending, expected.sent) == (ending, sent)


CLOSE = fm.Case(0, "close", last=3, close_s=1.0)
EARLY_CLOSE = fm.Case(0, "close", last=3, close_s=1.0, close_before_write=True)


@pytest.mark.parametrize("case, sent, final_replied, passes", [
    (CLOSE, image_through(1), False, True),
    (CLOSE, image_through(2)[:-100], False, True),  # closed in the middle of a block
    (CLOSE, image_through(3) + b"PUSK", True, True),
    (CLOSE, image_through(3) + b"PUSK", False, False),
    (CLOSE, image_through(1)[:-1], False, False),    # block 1 goes out before the close is handled
    (CLOSE, image_through(4), False, False),          # past the device's last block
    (CLOSE, b"VERS" + bytes(255) + b"\x01", False, False),
    (EARLY_CLOSE, b"VERS", False, True),
    (EARLY_CLOSE, image_through(1), False, False),
], ids=lambda v: v.describe() if isinstance(v, fm.Case) else fm.describe_bytes(v) if isinstance(v, bytes) else str(v))
def test_a_close_may_leave_these_bytes(case, sent, final_replied, passes):
    problems = fm.check_closed_bytes(case, sent, final_replied)
    assert (problems == []) == passes, problems
