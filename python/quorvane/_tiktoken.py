"""tiktoken encodings as tokenizer.json files, built once and cached on disk.

`get_cached_tokenizer_path(name)` returns the path of a ByteLevel BPE tokenizer.json that gives
the same ids as the named tiktoken encoding. The ranks come from NAME.tiktoken in the cache
directory when it is there (the standard format: base64 of the token bytes, a space, the rank),
else from an installed `tiktoken` package.
"""

from __future__ import annotations

import binascii
import codecs
import json
import os
import pathlib
import tempfile

__all__ = ["get_cached_tokenizer_path", "cache_dir", "KNOWN_ENCODINGS"]

# Bumped whenever the generated file changes shape, so stale caches are rebuilt.
_FORMAT_VERSION = 1
_MARKER_KEY = "quorvane_tiktoken"

# The ByteLevel pattern, byte for byte: the loader recognises it and uses its fast scanner.
_GPT2_PATTERN = r"'(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"
# Case-insensitive contractions kept as "(?i:...)" so that the loader picks its fast scanners.
_CL100K_PATTERN = (
    r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}"
    r"| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+"
)
_O200K_PATTERN = "|".join(
    [
        r"[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+"
        r"(?i:'s|'t|'re|'ve|'m|'ll|'d)?",
        r"[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*"
        r"(?i:'s|'t|'re|'ve|'m|'ll|'d)?",
        r"\p{N}{1,3}",
        r" ?[^\s\p{L}\p{N}]+[\r\n/]*",
        r"\s*[\r\n]+",
        r"\s+(?!\S)",
        r"\s+",
    ]
)

# name -> (rank file stem, split pattern, special tokens)
_ENCODINGS = {
    "r50k_base": ("r50k_base", _GPT2_PATTERN, {"<|endoftext|>": 50256}),
    "p50k_base": ("p50k_base", _GPT2_PATTERN, {"<|endoftext|>": 50256}),
    "p50k_edit": (
        "p50k_base",
        _GPT2_PATTERN,
        {
            "<|endoftext|>": 50256,
            "<|fim_prefix|>": 50281,
            "<|fim_middle|>": 50282,
            "<|fim_suffix|>": 50283,
        },
    ),
    "cl100k_base": (
        "cl100k_base",
        _CL100K_PATTERN,
        {
            "<|endoftext|>": 100257,
            "<|fim_prefix|>": 100258,
            "<|fim_middle|>": 100259,
            "<|fim_suffix|>": 100260,
            "<|endofprompt|>": 100276,
        },
    ),
    "o200k_base": (
        "o200k_base",
        _O200K_PATTERN,
        {"<|endoftext|>": 199999, "<|endofprompt|>": 200018},
    ),
}
_ALIASES = {"gpt2": "r50k_base"}
KNOWN_ENCODINGS = tuple(sorted(_ENCODINGS)) + tuple(sorted(_ALIASES))


def cache_dir() -> pathlib.Path:
    """$QUORVANE_CACHE_DIR, else the user's cache directory plus "quorvane"."""
    explicit = os.environ.get("QUORVANE_CACHE_DIR")
    if explicit:
        return pathlib.Path(explicit)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return pathlib.Path(base) / "quorvane"


def _canonical_name(name: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"tiktoken encoding name must be a str, not {type(name).__name__}")
    name = _ALIASES.get(name, name)
    if name not in _ENCODINGS:
        raise ValueError(
            f"unknown tiktoken encoding {name!r} (known: {', '.join(KNOWN_ENCODINGS)})"
        )
    return name


def get_cached_tokenizer_path(name: str) -> str:
    """Path of a tokenizer.json for the tiktoken encoding `name`, built on first use."""
    name = _canonical_name(name)
    directory = cache_dir()
    path = directory / f"{name}.tokenizer.json"
    if _is_valid_cache(path, name):
        return str(path)
    stem, pattern, specials = _ENCODINGS[name]
    ranks = _load_ranks(stem, directory)
    document = build_tokenizer_json(ranks, pattern, specials)
    # The marker sits inside "model", where both loaders ignore keys they do not read.
    document["model"][_MARKER_KEY] = _marker(name, document)
    directory.mkdir(parents=True, exist_ok=True)
    _write_atomically(path, json.dumps(document, ensure_ascii=False, separators=(",", ":")))
    return str(path)


def _marker(name: str, document: dict) -> dict:
    return {
        "format": _FORMAT_VERSION,
        "encoding": name,
        "vocab": len(document["model"]["vocab"]),
        "merges": len(document["model"]["merges"]),
        "added_tokens": len(document["added_tokens"]),
    }


def _is_valid_cache(path: pathlib.Path, name: str) -> bool:
    """A cached file counts only when it parses and its marker matches its own contents."""
    try:
        with open(path, encoding="utf-8") as f:
            document = json.load(f)
        return document["model"].get(_MARKER_KEY) == _marker(name, document)
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return False


def _write_atomically(path: pathlib.Path, text: str) -> None:
    # A reader never sees a partial file: write beside the target, then rename over it.
    fd, tmp = tempfile.mkstemp(prefix=path.name + ".", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _load_ranks(stem: str, directory: pathlib.Path) -> dict[bytes, int]:
    rank_file = directory / f"{stem}.tiktoken"
    if rank_file.is_file():
        return parse_tiktoken_ranks(rank_file.read_bytes(), str(rank_file))
    try:
        import tiktoken  # optional; may download the ranks

        return dict(tiktoken.get_encoding(stem)._mergeable_ranks)
    except Exception as exc:  # noqa: BLE001 - any failure means "no rank source"
        reason = f"{type(exc).__name__}: {exc}"
    raise ValueError(
        f"cannot load tiktoken encoding {stem!r}: no rank file at {rank_file} and the tiktoken "
        f"package could not provide it ({reason}) (place {stem}.tiktoken in {directory}, "
        f"or pip install tiktoken with network access)"
    )


def parse_tiktoken_ranks(data: bytes, origin: str = "<ranks>") -> dict[bytes, int]:
    ranks: dict[bytes, int] = {}
    for number, line in enumerate(data.splitlines(), 1):
        if not line.strip():
            continue
        try:
            token, rank = line.split()
            ranks[binascii.a2b_base64(token, strict_mode=True)] = int(rank)
        except (ValueError, binascii.Error) as exc:
            raise ValueError(f"bad tiktoken rank file {origin} at line {number}: {exc}") from None
    return ranks


def _byte_level_alphabet() -> list[str]:
    """The ByteLevel character of each byte value."""
    printable = set(range(0x21, 0x7F)) | set(range(0xA1, 0xAD)) | set(range(0xAE, 0x100))
    chars = [""] * 256
    shifted = 0
    for b in range(256):
        if b in printable:
            chars[b] = chr(b)
        else:
            chars[b] = chr(0x100 + shifted)
            shifted += 1
    return chars


def _last_merge(ranks: dict[bytes, int], token: bytes, limit: int) -> int:
    """Where BPE over `token`, using only ranks below `limit`, leaves its last two parts.

    Returns the byte offset of the boundary between them, or 0 when BPE stops earlier.
    """
    n = len(token)
    if n == 2:
        return 1
    get = ranks.get
    if n == 3:
        left, right = get(token[:2], limit), get(token[1:], limit)
        if left >= limit and right >= limit:
            return 0
        return 2 if left <= right else 1  # equal ranks ("aaa"): the leftmost pair merges first
    # bounds[i] is where part i starts; pair[i] the rank of parts i and i+1 joined (limit: none).
    bounds = list(range(n + 1))
    pair = [get(token[i : i + 2], limit) for i in range(n - 1)]
    while len(pair) > 1:
        best = min(pair)
        if best >= limit:
            return 0
        i = pair.index(best)
        del bounds[i + 1]
        del pair[i]
        if i > 0:
            pair[i - 1] = get(token[bounds[i - 1] : bounds[i + 1]], limit)
        if i < len(pair):
            pair[i] = get(token[bounds[i] : bounds[i + 2]], limit)
    return bounds[1]


def build_tokenizer_json(ranks: dict[bytes, int], pattern: str, specials: dict[str, int]) -> dict:
    """A HuggingFace-format ByteLevel BPE tokenizer.json equivalent to the given ranks."""
    # A charmap codec maps each byte to its ByteLevel character in one C call.
    alphabet = "".join(_byte_level_alphabet())

    def to_chars(token: bytes) -> str:
        return codecs.charmap_decode(token, "strict", alphabet)[0]

    ordered = sorted(ranks.items(), key=lambda item: item[1])
    vocab = {to_chars(token): rank for token, rank in ordered}
    merges = []
    for token, rank in ordered:
        if len(token) < 2:
            continue
        cut = _last_merge(ranks, token, rank)
        if cut:
            merges.append(to_chars(token[:cut]) + " " + to_chars(token[cut:]))
    added = [
        {
            "id": token_id,
            "content": content,
            "single_word": False,
            "lstrip": False,
            "rstrip": False,
            "normalized": False,
            "special": True,
        }
        for content, token_id in sorted(specials.items(), key=lambda item: item[1])
    ]
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": added,
        "normalizer": None,
        "pre_tokenizer": {
            "type": "Sequence",
            "pretokenizers": [
                {
                    "type": "Split",
                    "pattern": {"Regex": pattern},
                    "behavior": "Isolated",
                    "invert": False,
                },
                {
                    "type": "ByteLevel",
                    "add_prefix_space": False,
                    "trim_offsets": True,
                    "use_regex": False,
                },
            ],
        },
        "post_processor": None,
        "decoder": {
            "type": "ByteLevel",
            "add_prefix_space": True,
            "trim_offsets": True,
            "use_regex": True,
        },
        "model": {
            "type": "BPE",
            "dropout": None,
            "unk_token": None,
            "continuing_subword_prefix": None,
            "end_of_word_suffix": None,
            "fuse_unk": False,
            "byte_fallback": False,
            "ignore_merges": False,
            "vocab": vocab,
            "merges": merges,
        },
    }
