"""The fault matrix's rules (tools/fault_matrix.py runs them): the table of
faults, how a seed draws one, what the simulated device then sends, and the
ending and the bytes at the device that the program's rules predict.

The prediction is worked out from the rules themselves, not from the
program: every reply chunk is judged by itself against the expectations of
the whole block just written, the image is never sent past its end, silence
is a failure on the reply timer, and a success screen replaces a failure
screen.
"""
import random
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

ROOT = Path(__file__).resolve().parents[1]
IMAGE = (ROOT / "resources" / "test-firmware.bin").read_bytes()
BLOCK = 256
BLOCKS = len(IMAGE) // BLOCK  # 508
SUCCESS_PAUSE_S = 15
BLOCK_ESTIMATE_S = 0.02  # one block's round trip unpaced, to spread the close moments


def crc16_modbus_steps(data):
    """The running CRC after each whole block: steps[k] covers blocks 1..k."""
    crc, steps = 0xFFFF, [0xFFFF]
    for i, byte in enumerate(data):
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        if (i + 1) % BLOCK == 0:
            steps.append(crc)
    return steps


CRC = crc16_modbus_steps(IMAGE)
# Blocks whose CRC has two equal bytes: a swapped reply to them is no fault.
EQUAL_BYTE_BLOCKS = [k for k in range(1, BLOCKS + 1) if CRC[k] >> 8 == CRC[k] & 0xFF]


# ---- The table of faults --------------------------------------------------------

@dataclass
class Case:
    seed: int
    kind: str
    block: int = 0            # the block the fault hits (0: none)
    last: int = BLOCKS        # the device's last block: its reply ends in "FZ"
    close_s: Optional[float] = None  # close this long after "Записать" (or after identification)
    close_before_write: bool = False

    def device_args(self):
        flag = REPLY_FAULTS.get(self.kind)
        args = [flag, self.block] if flag else []
        args += {"silent": ["--silent-from", self.block], "vanish": ["--vanish-at", self.block],
                 "second-identity": ["--second-identity"], "lowercase-fz": ["--lowercase-fz"]}.get(self.kind, [])
        return [str(a) for a in args + (["--final-at", self.last] if self.last != BLOCKS else [])]

    def describe(self):
        if self.kind == "close":
            moment = "before write" if self.close_before_write else "after write"
            return f"close {self.close_s:.1f} s {moment}, last {self.last}"
        where = f" {'from' if self.kind == 'silent' else 'at'} {self.block}" if self.block else ""
        return f"{self.kind}{where}" + (f", last {self.last}" if self.last != BLOCKS else "")


REPLY_FAULTS = {"wrong-crc": "--wrong-crc-at", "swap-crc": "--swap-crc-at",
                "split-reply": "--split-reply-at", "extra-byte": "--extra-byte-at"}
FINAL_HIT = 0.25  # how often a reply fault hits the final reply (the device ends there)


def _reply_fault(case, rng):
    case.block = rng.randint(1, BLOCKS)
    if case.kind == "swap-crc" and rng.random() < 0.15:
        case.block = rng.choice(EQUAL_BYTE_BLOCKS)
    if rng.random() < FINAL_HIT:
        case.last = case.block


def _any_block(case, rng):
    case.block = rng.randint(1, BLOCKS)


def _lowercase(case, rng):
    case.last = rng.randint(1, BLOCKS)


def _early_final(case, rng):
    case.last = rng.randint(1, BLOCKS - 1)


def _past_end(case, rng):
    case.last = BLOCKS + 1  # the device would take one block more than the image has


def _close(case, rng):
    case.last = rng.randint(1, BLOCKS)
    case.close_before_write = rng.random() < 0.15
    if case.close_before_write:
        case.close_s = rng.uniform(0, 2)
    else:  # during the transfer, the success pause, or on the success screen
        case.close_s = rng.uniform(0, case.last * BLOCK_ESTIMATE_S + SUCCESS_PAUSE_S + 3)


# kind: (weight, how its parameters are drawn). Whole-image runs are kept few.
FAULTS = {
    "wrong-crc": (6, _reply_fault), "swap-crc": (6, _reply_fault), "split-reply": (5, _reply_fault),
    "extra-byte": (5, _reply_fault), "lowercase-fz": (4, _lowercase), "silent": (5, _any_block),
    "vanish": (4, _any_block), "second-identity": (4, lambda case, rng: None), "close": (6, _close),
    "early-final": (2, _early_final), "past-end": (1, _past_end), "none": (1, lambda case, rng: None),
}


def draw_case(seed):
    """The run a seed stands for: its fault kind and parameters."""
    rng = random.Random(seed)
    kinds = list(FAULTS)
    case = Case(seed, rng.choices(kinds, weights=[FAULTS[k][0] for k in kinds])[0])
    FAULTS[case.kind][1](case, rng)
    return case


def run_seeds(master, runs):
    """Seeds for a matrix: every kind once (in a shuffled order), then drawn by weight."""
    rng = random.Random(master)
    wanted = list(FAULTS)
    rng.shuffle(wanted)
    seeds = []
    while len(seeds) < runs:
        seed = rng.getrandbits(32)
        if not wanted or draw_case(seed).kind == wanted[0]:
            seeds.append(seed)
            wanted = wanted[1:]
    return seeds


# ---- What the rules predict ---------------------------------------------------------

def device_reply(case, k):
    """The chunks the device sends for block k: [] for none."""
    if (case.kind == "vanish" and k == case.block) or (case.kind == "silent" and k >= case.block):
        return []
    if k > case.last:
        return []  # it waits for "PUSK"
    crc = CRC[k] ^ (1 if case.kind == "wrong-crc" and k == case.block else 0)
    high, low = bytes([crc >> 8]), bytes([crc & 0xFF])
    reply = low + high if case.kind == "swap-crc" and k == case.block else high + low
    if k == case.last:
        reply += b"fz" if case.kind == "lowercase-fz" else b"FZ"
    if case.kind == "extra-byte" and k == case.block:
        reply += b"\r"
    if case.kind == "split-reply" and k == case.block:
        return [reply[:1], reply[1:]]  # the device makes these two chunks
    return [reply]


@dataclass
class Expected:
    ending: str          # success, failure or ended
    sent: bytes = b""    # exact bytes at the device (not for "ended")
    click: bool = True   # whether "Записать" can be pressed
    blocks: int = 0      # blocks written, for the bounds
    allowed: str = ""    # the bytes a close may leave, in words

    def describe(self):
        if self.ending == "ended":
            return f"ended, {self.allowed}"
        return f"{self.ending}, {describe_bytes(self.sent)}"


def expected_ending(case):
    """The ending the rules give: every reply chunk is judged by itself against
    the block and final expectations of the block just written; a chunk equal
    to neither is a failure, silence is a failure on the timer; the image is
    never sent past its end; a success screen replaces a failure screen."""
    if case.kind == "close":
        allowed = "VERS" if case.close_before_write else f"VERS+{BLOCK}..{case.last * BLOCK}(+PUSK)"
        return Expected("ended", blocks=case.last, allowed=allowed)
    if case.kind == "second-identity":
        # Route is 1 once the first identity is judged: the second reaches the
        # upload before any block, and no hex text equals "SZ" or "FZ".
        return Expected("failure", b"VERS", click=False)
    written = 1
    while True:
        block_mask = f"{CRC[written]:04X}"
        advanced = False
        for chunk in device_reply(case, written):
            text = chunk.hex().upper()
            if text == block_mask + "465A":
                return Expected("success", b"VERS" + IMAGE[:written * BLOCK] + b"PUSK", blocks=written)
            if text == block_mask and written < BLOCKS:
                advanced = True
                break
        if not advanced:
            break  # stalled: a failure, at once or by timeout
        written += 1
    return Expected("failure", b"VERS" + IMAGE[:written * BLOCK], blocks=written)


def describe_bytes(sent):
    if not sent.startswith(b"VERS"):
        return f"{len(sent)} B not starting with VERS"
    rest = sent[4:]
    if not rest:
        return "VERS"
    if IMAGE.startswith(rest):
        return f"VERS+{len(rest)}"
    if rest.endswith(b"PUSK") and IMAGE.startswith(rest[:-4]):
        return f"VERS+{len(rest) - 4}+PUSK"
    return f"VERS+{len(rest)} B, not the image"


def check_closed_bytes(case, sent, final_replied):
    """A close leaves "VERS", a prefix of the image (block 1 whole once
    "Записать" was pressed, nothing past the device's last block) and "PUSK"
    only after the final reply."""
    if case.close_before_write:
        return [] if sent == b"VERS" else [f"sent {describe_bytes(sent)}, expected VERS only"]
    rest = sent[4:] if sent.startswith(b"VERS") else None
    pusk = rest is not None and rest.endswith(b"PUSK") and not IMAGE.startswith(rest)
    image_part = rest[:-4] if pusk else rest
    if image_part is None or not IMAGE.startswith(image_part):
        return [f"sent {describe_bytes(sent)}: not VERS and an image prefix"]
    problems = []
    if not BLOCK <= len(image_part) <= case.last * BLOCK:
        problems.append(f"image prefix of {len(image_part)} B, expected {BLOCK}..{case.last * BLOCK}")
    if pusk and not (final_replied and len(image_part) == case.last * BLOCK):
        problems.append("PUSK without the final reply")
    return problems
