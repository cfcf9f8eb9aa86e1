"""Keys that all share one value of libstdc++'s unkeyed string hash.

`std::hash<std::string>` and `std::hash<std::string_view>` of libstdc++ on a 64-bit target are
`_Hash_bytes(data, len, 0xc70f6907)`, a Murmur-style hash (old_hash below): the state starts
as seed ^ (len * M); each 8-byte little-endian block k enters it as h = (h ^ mix(k)) * M with
mix(k) = shift_mix(k * M) * M and shift_mix(v) = v ^ (v >> 47); the last len % 8 bytes enter
as h = (h ^ bytes) * M; the result is shift_mix(shift_mix(h) * M). mix is a bijection
(shift_mix is its own inverse, M is odd), so from any state s, for any first block a and any
target T, the second block b = unmix(T ^ (s ^ mix(a)) * M) makes the state T * M after a and
b. A block found this way is kept when all its bytes are in the wanted alphabet (about 1 in
256 for 7-bit ASCII, 1 in 75,000 for identifier characters).

Keys of one length are built as prefix + stage_1 + ... + stage_n + suffix, every stage a
choice among r 16-byte pieces that all take the state before the stage to the same state
after it: r**n keys share their whole hash from only n * r pieces to find (a multicollision).
"""
import hashlib
import itertools
import json
import pathlib
import random

MASK = (1 << 64) - 1
M = 0xC6A4A7935BD1E995
M_INV = pow(M, -1, 1 << 64)
SEED = 0xC70F6907
HIGH_BITS = 0x8080808080808080

ASCII = bytes(range(0x80))
IDENTIFIER = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"


def shift_mix(v: int) -> int:
    return v ^ (v >> 47)


def mix(k: int) -> int:
    return (shift_mix((k * M) & MASK) * M) & MASK


def unmix(y: int) -> int:
    return (shift_mix((y * M_INV) & MASK) * M_INV) & MASK


def old_hash(data: bytes) -> int:
    """libstdc++'s std::hash of a string (std::_Hash_bytes with its seed), 64-bit."""
    n = len(data)
    h = (SEED ^ (n * M)) & MASK
    end = n & ~7
    for i in range(0, end, 8):
        h = ((h ^ mix(int.from_bytes(data[i:i + 8], "little"))) * M) & MASK
    if n & 7:
        h = ((h ^ int.from_bytes(data[end:], "little")) * M) & MASK
    h = (shift_mix(h) * M) & MASK
    return shift_mix(h)


def _state(data: bytes, h: int) -> int:
    """The state after whole blocks of `data`, from state h."""
    assert len(data) % 8 == 0
    for i in range(0, len(data), 8):
        h = ((h ^ mix(int.from_bytes(data[i:i + 8], "little"))) * M) & MASK
    return h


def _pieces(state: int, count: int, alphabet: bytes, rng: random.Random):
    """`count` distinct 16-byte pieces over `alphabet`, all taking `state` to one state."""
    allowed = set(alphabet)
    ascii_only = max(alphabet) < 0x80
    # First blocks: all distinct, of random characters (so that the keys have the usual share
    # of each character, escapes included). A block is a high and a low half, each of two
    # 2-character parts drawn without repetition.
    n = len(alphabet)

    def parts():
        return [alphabet[p // n] | alphabet[p % n] << 8
                for p in rng.sample(range(n * n), min(n * n, 256))]

    def halves():
        low, high = parts(), parts()
        return [lo | hi << 16 for hi in high for lo in low]

    lows = halves()
    highs = [h << 32 for h in halves()]
    target = None
    pieces = []
    for hi in highs:
        for lo in lows:
            # y = (state ^ mix(a)) * M and b = unmix(target ^ y), written out: the hot loop.
            a = hi | lo
            v = (a * M) & MASK
            y = ((state ^ ((v ^ (v >> 47)) * M & MASK)) * M) & MASK
            if target is None:
                # The first piece fixes the target: its second block is any allowed block.
                b = int.from_bytes(bytes(rng.choice(alphabet) for _ in range(8)), "little")
                target = y ^ mix(b)
            else:
                v = ((target ^ y) * M_INV) & MASK
                b = ((v ^ (v >> 47)) * M_INV) & MASK
                if ascii_only and b & HIGH_BITS:
                    continue
                if not set(b.to_bytes(8, "little")) <= allowed:
                    continue
            pieces.append(a.to_bytes(8, "little") + b.to_bytes(8, "little"))
            if len(pieces) == count:
                return pieces
    raise RuntimeError("alphabet too small for the pieces asked")


def colliding(count: int, alphabet: bytes = ASCII, prefix: bytes = b"", suffix: bytes = b"",
              per_stage: int = 16, seed: int = 1, cache_dir: pathlib.Path | None = None):
    """`count` distinct byte strings of one length, all with the same old_hash.

    `prefix` must be whole blocks (a multiple of 8 bytes); `suffix` is anything. More pieces
    per stage give shorter keys and a longer search. With `cache_dir`, the pieces found are
    kept there and read back by a later call with the same arguments."""
    if len(prefix) % 8:
        raise ValueError("the prefix must be a multiple of 8 bytes")
    stages = 1
    while per_stage ** stages < count:
        stages += 1
    choices = None
    if cache_dir is not None:
        what = repr((alphabet, prefix, len(suffix), per_stage, stages, seed)).encode()
        cache = pathlib.Path(cache_dir) / f"collide-{hashlib.sha256(what).hexdigest()[:16]}.json"
        if cache.exists():
            choices = [[bytes.fromhex(p) for p in stage] for stage in json.loads(cache.read_text())]
    if choices is None:
        choices = _stages(stages, alphabet, prefix, len(suffix), per_stage, seed)
        if cache_dir is not None:
            cache.parent.mkdir(parents=True, exist_ok=True)
            cache.write_text(json.dumps([[p.hex() for p in stage] for stage in choices]))
    keys = []
    for combo in itertools.product(*choices):
        keys.append(prefix + b"".join(combo) + suffix)
        if len(keys) == count:
            break
    return keys


def _stages(stages, alphabet, prefix, suffix_length, per_stage, seed):
    """Per stage, the pieces that take one state to the same next state."""
    rng = random.Random(seed)
    length = len(prefix) + 16 * stages + suffix_length
    state = _state(prefix, (SEED ^ (length * M)) & MASK)
    choices = []
    for _ in range(stages):
        pieces = _pieces(state, per_stage, alphabet, rng)
        state = _state(pieces[0], state)
        choices.append(pieces)
    return choices


def ordinary(count: int, length: int, alphabet: bytes = ASCII, prefix: bytes = b"",
             suffix: bytes = b"", seed: int = 2):
    """`count` distinct random byte strings like those of colliding(): same length, alphabet,
    prefix and suffix."""
    rng = random.Random(seed)
    n = length - len(prefix) - len(suffix)
    table = bytes(alphabet[i % len(alphabet)] for i in range(256))
    keys = {}
    while len(keys) < count:
        keys[prefix + rng.randbytes(n).translate(table) + suffix] = None
    return list(keys)
