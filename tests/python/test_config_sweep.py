"""The configuration sweep: every tokenizer.json we accept gives the reference's ids and text.

Each shared real file is varied along the axes the reference accepts: the normalizer, the
pre-tokenizer (its members, their order and every key's values), the decoder, the model's keys
and the root's truncation and padding. Every variant that the reference loads must either be
refused by our loader with a ValueError, or give exactly the reference's `encode` ids
(added_tokens emptied, no special tokens) and `decode` text on a fixed text sample. CI runs a
sample of the variants on the smaller files; QUORVANE_FULL=1 runs them all.
"""

from __future__ import annotations

import copy
import functools
import itertools
import json
import pathlib
import random
import sys
import tempfile
import time
import unicodedata

import pytest

from conftest import ADVERSARIAL_TEXTS, FULL, mail_records, model_path, sample, udhr_records

tokenizers = pytest.importorskip("tokenizers")

META = "\u2581"

# --------------------------------------------------------------------------- axis values

BYTE_LEVEL_PATTERN = r"'(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"
CL100K = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}"
          r"| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+")
O200K = "|".join([
    r"[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+"
    r"(?i:'s|'t|'re|'ve|'m|'ll|'d)?",
    r"[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*"
    r"(?i:'s|'t|'re|'ve|'m|'ll|'d)?",
    r"\p{N}{1,3}", r" ?[^\s\p{L}\p{N}]+[\r\n/]*", r"\s*[\r\n]+", r"\s+(?!\S)", r"\s+"])
SPELLED_OUT = "('s|'S|'t|'T|'re|'rE|'Re|'RE|'ve|'vE|'Ve|'VE|'m|'M|'ll|'lL|'Ll|'LL|'d|'D)"
PATTERNS = {
    "bytelevel": BYTE_LEVEL_PATTERN,
    "cl100k": CL100K,
    "cl100k_n1": CL100K.replace(r"\p{N}{1,3}", r"\p{N}"),
    "cl100k_nplus": CL100K.replace(r"\p{N}{1,3}", r"\p{N}+"),
    "cl100k_marks": CL100K.replace(r"?\p{L}+", r"?[\p{L}\p{M}]+").replace(
        r"[^\s\p{L}\p{N}]", r"[^\s\p{L}\p{M}\p{N}]"),
    "cl100k_spelled": CL100K.replace("(?i:'s|'t|'re|'ve|'m|'ll|'d)", SPELLED_OUT),
    "o200k": O200K,
    "o200k_nplus": O200K.replace(r"\p{N}{1,3}", r"\p{N}+"),
    "o200k_cased": O200K.replace("(?i:'s|'t|'re|'ve|'m|'ll|'d)?", ""),
    "o200k_spelled": O200K.replace("(?i:'s|'t|'re|'ve|'m|'ll|'d)", SPELLED_OUT),
    # Holds the substrings that once picked a scanner, but means something else.
    "lookalike": r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+|\s+",
    "words": r"\w+|[^\w\s]+",
    "anchored": r"\A\s+|\p{L}+",
}
BEHAVIORS = ["Isolated", "Removed", "MergedWithPrevious", "MergedWithNext", "Contiguous"]


def split(pattern, behavior="Isolated", invert=False, kind="Regex"):
    return {"type": "Split", "pattern": {kind: pattern}, "behavior": behavior, "invert": invert}


def byte_level(add_prefix_space=False, use_regex=True, trim_offsets=True):
    return {"type": "ByteLevel", "add_prefix_space": add_prefix_space,
            "trim_offsets": trim_offsets, "use_regex": use_regex}


def digits(individual):
    return {"type": "Digits", "individual_digits": individual}


def seq(*members):
    return {"type": "Sequence", "pretokenizers": list(members)}


def metaspace(scheme="always", split_=True, replacement=META, legacy=None):
    if legacy is not None:
        return {"type": "Metaspace", "replacement": replacement, "add_prefix_space": legacy}
    return {"type": "Metaspace", "replacement": replacement, "prepend_scheme": scheme,
            "split": split_}


def nseq(*stages):
    return {"type": "Sequence", "normalizers": list(stages)}


def form(name):
    return {"type": name}


REPLACE = {"type": "Replace", "pattern": {"String": " "}, "content": META}
PREPEND = {"type": "Prepend", "prepend": META}

CJK_PRESET = [
    split(r"\p{N}{1,3}"),
    split("[\u4e00-\u9fa5\u3040-\u309f\u30a0-\u30ff]+"),
    split("[!\"#$%&'()*+,\\-./:;<=>?@\\[\\\\\\]^_`{|}~][A-Za-z]+|[^\r\n\\p{L}\\p{P}\\p{S}]?"
          "[\\p{L}\\p{M}]+| ?[\\p{P}\\p{S}]+[\r\n]*|\\s*[\r\n]+|\\s+(?!\\S)|\\s+"),
    byte_level(use_regex=False),
]

NORMALIZERS = {
    "none": None,
    **{f: form(f) for f in ["NFC", "NFD", "NFKC", "NFKD"]},
    "nfd_nfkc": nseq(form("NFD"), form("NFKC")),
    "nfkc_nfd": nseq(form("NFKC"), form("NFD")),
    "nfc_nfkd_nfc": nseq(form("NFC"), form("NFKD"), form("NFC")),
    "empty_seq": nseq(),
    "replace": REPLACE,
    "prepend": PREPEND,
    "prepend_replace": nseq(PREPEND, REPLACE),
    "replace_prepend": nseq(REPLACE, PREPEND),
    "nfkc_prepend_replace": nseq(form("NFKC"), PREPEND, REPLACE),
    "prepend_replace_nfkc": nseq(PREPEND, REPLACE, form("NFKC")),
    "replace_nfd": nseq(REPLACE, form("NFD")),
    "prepend_nfkc": nseq(PREPEND, form("NFKC")),
    "replace_regex": {"type": "Replace", "pattern": {"Regex": " "}, "content": META},
    "replace_other": {"type": "Replace", "pattern": {"String": "a"}, "content": "b"},
    "prepend_other": {"type": "Prepend", "prepend": "x"},
    "lowercase": form("Lowercase"),
    "strip": {"type": "Strip", "strip_left": True, "strip_right": True},
    "nested": nseq(nseq(form("NFC"))),
}

BYTE_LEVEL_PRE = {
    "bl": byte_level(),
    "bl_prefix": byte_level(add_prefix_space=True),
    "bl_noregex": byte_level(use_regex=False),
    "bl_notrim": byte_level(trim_offsets=False),
    "seq_bl": seq(byte_level()),
    "seq_bl_prefix_twice": seq(byte_level(use_regex=False), byte_level(use_regex=False)),
    "digits_bl": seq(digits(True), byte_level()),
    "digits_bl_prefix": seq(digits(True), byte_level(add_prefix_space=True)),
    "digits0_bl": seq(digits(False), byte_level()),
    "bl_digits": seq(byte_level(), digits(True)),
    "bl_noregex_digits": seq(byte_level(use_regex=False), digits(True)),
    "cjk_preset": seq(*CJK_PRESET),
    "cjk_reordered": seq(CJK_PRESET[1], CJK_PRESET[0], CJK_PRESET[2], CJK_PRESET[3]),
    "two_splits": seq(split(PATTERNS["cl100k"]), split(r"\p{N}"), byte_level(use_regex=False)),
    "split_digits_bl": seq(split(PATTERNS["cl100k"]), digits(True), byte_level(use_regex=False)),
    "bl_split": seq(byte_level(use_regex=False), split(PATTERNS["cl100k"])),
    "string_split": seq(split(" ", kind="String"), byte_level(use_regex=False)),
    "metaspace": metaspace(),
    "whitespace": {"type": "Whitespace"},
    "none": None,
}
for _name, _pattern in PATTERNS.items():
    for _behavior, _invert in itertools.product(BEHAVIORS, [False, True]):
        if _name not in ("cl100k", "o200k", "bytelevel") and (_behavior, _invert) not in [
                ("Isolated", False), ("Removed", True), ("Contiguous", False)]:
            continue
        BYTE_LEVEL_PRE[f"split_{_name}_{_behavior}_{int(_invert)}"] = seq(
            split(_pattern, _behavior, _invert), byte_level(use_regex=False))
    BYTE_LEVEL_PRE[f"split_{_name}_bl_prefix"] = seq(
        split(_pattern), byte_level(add_prefix_space=True, use_regex=False))

METASPACE_PRE = {
    "none": None,
    **{f"ms_{s}_{int(sp)}": metaspace(s, sp) for s in ["always", "first", "never"]
       for sp in [True, False]},
    "ms_legacy_1": metaspace(legacy=True),
    "ms_legacy_0": metaspace(legacy=False),
    "ms_underscore": metaspace(replacement="_"),
    "seq_ms": seq(metaspace()),
    "ms_digits": seq(metaspace(), digits(True)),
    "digits_ms": seq(digits(True), metaspace()),
    "split_space_prev": split(" ", "MergedWithPrevious", kind="String"),
    "split_space_isolated": split(" ", "Isolated", kind="String"),
    "split_meta_next": split(META, "MergedWithNext", kind="String"),
    "digits": digits(True),
    "seq_digits": seq(digits(True)),
    "seq_split_digits": seq(split(r"\p{N}"), digits(False)),
    "byte_level": byte_level(),
    "seq_split_bl": seq(split(PATTERNS["cl100k"]), byte_level(use_regex=False)),
    "whitespace_split": {"type": "WhitespaceSplit"},
}

BL_DECODER = byte_level(add_prefix_space=True)
LLAMA_DECODERS = [{"type": "Replace", "pattern": {"String": META}, "content": " "},
                  {"type": "ByteFallback"}, {"type": "Fuse"},
                  {"type": "Strip", "content": " ", "start": 1, "stop": 0}]


def dseq(*stages):
    return {"type": "Sequence", "decoders": list(stages)}


def strip(content=" ", start=1, stop=0):
    return {"type": "Strip", "content": content, "start": start, "stop": stop}


COMMON_DECODERS = {
    "none": None,
    "bytelevel": BL_DECODER,
    "bytelevel_plain": byte_level(trim_offsets=False, use_regex=False),
    "bytelevel_strip": dseq(BL_DECODER, strip()),
    "strip_bytelevel": dseq(strip(), BL_DECODER),
    "bytelevel_strip_end": dseq(BL_DECODER, strip(" ", 0, 2)),
    "llama": dseq(*LLAMA_DECODERS),
    "llama_nostrip": dseq(*LLAMA_DECODERS[:3]),
    "llama_nofuse": dseq(LLAMA_DECODERS[0], LLAMA_DECODERS[1], LLAMA_DECODERS[3]),
    "llama_strip2": dseq(*LLAMA_DECODERS[:3], strip(" ", 2, 1)),
    "llama_strip_meta": dseq(strip(META, 1, 0), *LLAMA_DECODERS[:3]),
    "bf_first": dseq(LLAMA_DECODERS[1], LLAMA_DECODERS[0], LLAMA_DECODERS[2]),
    "ms_first": metaspace("first", False),
    "ms_always": metaspace("always", True),
    "ms_never": metaspace("never", True),
    "ms_legacy": metaspace(legacy=True),
    "ms_bf_fuse": dseq(metaspace("first", False), {"type": "ByteFallback"}, {"type": "Fuse"}),
    "bf_ms": dseq({"type": "ByteFallback"}, metaspace("first", False)),
    "byte_fallback": {"type": "ByteFallback"},
    "fuse": {"type": "Fuse"},
    "strip": strip(),
    "replace_regex": {"type": "Replace", "pattern": {"Regex": "\u2581+"}, "content": " "},
    "replace_word": {"type": "Replace", "pattern": {"String": "ing"}, "content": "ING"},
    "fuse_replace": dseq({"type": "Fuse"}, {"type": "Replace", "pattern": {"String": "ab"},
                                            "content": "x"}),
    "wordpiece": {"type": "WordPiece", "prefix": "##", "cleanup": True},
    "bpe_suffix": {"type": "BPEDecoder", "suffix": "</w>"},
    "ctc": {"type": "CTC", "pad_token": "<pad>", "word_delimiter_token": "|", "cleanup": True},
    "nested": dseq(dseq(*LLAMA_DECODERS)),
}


def model_axes(base_model: dict) -> dict:
    """Variants of the model's own keys, as functions of the model object."""
    vocab_items = list(base_model["vocab"].items())

    def with_keys(**keys):
        return lambda m: {**m, **keys}

    def duplicate_merges(m):
        merges = list(m["merges"])
        return {**m, "merges": merges[:200] + merges[:50] + merges[200:]}

    def lower_byte_tokens(m):
        vocab = {(t.lower() if t.startswith("<0x") and len(t) == 6 else t): i
                 for t, i in m["vocab"].items()}
        return {**m, "vocab": vocab}

    def drop_byte_tokens(m):
        vocab = {t: i for t, i in m["vocab"].items() if not (t.startswith("<0xE") and len(t) == 6)}
        return {**m, "vocab": vocab}

    axes = {
        "ignore_merges_1": with_keys(ignore_merges=True),
        "ignore_merges_0": with_keys(ignore_merges=False),
        "byte_fallback_flip": lambda m: {**m, "byte_fallback": not m.get("byte_fallback", False)},
        "dropout": with_keys(dropout=0.1),
        "dropout_0": with_keys(dropout=0.0),
        "suffix": with_keys(end_of_word_suffix="</w>"),
        "prefix": with_keys(continuing_subword_prefix="##"),
        "empty_affixes": with_keys(end_of_word_suffix="", continuing_subword_prefix=""),
        "fuse_unk_flip": lambda m: {**m, "fuse_unk": not m.get("fuse_unk", False)},
        "unk_token_first": with_keys(unk_token=vocab_items[0][0]),
        "unk_token_none": with_keys(unk_token=None),
        "wordpiece": with_keys(type="WordPiece"),
        "duplicate_merges": duplicate_merges,
        "lower_byte_tokens": lower_byte_tokens,
        "missing_byte_tokens": drop_byte_tokens,
    }
    return axes


ROOT_AXES = {
    "truncation": {"truncation": {"direction": "Right", "max_length": 7, "strategy": "LongestFirst",
                                  "stride": 0}},
    "padding_longest": {"padding": {"strategy": "BatchLongest", "direction": "Right",
                                    "pad_to_multiple_of": None, "pad_id": 0, "pad_type_id": 0,
                                    "pad_token": "<pad>"}},
    "padding_fixed": {"padding": {"strategy": {"Fixed": 64}, "direction": "Right",
                                  "pad_to_multiple_of": None, "pad_id": 0, "pad_type_id": 0,
                                  "pad_token": "<pad>"}},
    "post_template": {"post_processor": {
        "type": "TemplateProcessing", "single": [{"Sequence": {"id": "A", "type_id": 0}}],
        "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}],
        "special_tokens": {}}},
    "post_bytelevel": {"post_processor": byte_level(add_prefix_space=True, trim_offsets=False)},
}

METASPACE_BASES = {"llama2", "gemma3"}
BASES = ("gpt2", "claude", "gpt35turbo", "gpt4o", "llama3", "qwen3", "deepseek_v3", "llama2",
         "gemma3")


# The bases that take every axis value; the others take the values whose outcome can depend
# on their own vocabulary, merges and pattern.
FULL_AXES_BASES = {"gpt2", "llama2"}
SOME_PRE = ["bl", "bl_prefix", "digits_bl", "digits0_bl", "cjk_preset", "cjk_reordered",
            "two_splits", "split_lookalike_Isolated_0", "none", "metaspace"] + [
    k for k in METASPACE_PRE if k.startswith("ms_") or k.startswith("split_space")] + [
    "digits", "seq_split_digits"]
SOME_DECODERS = ["none", "bytelevel", "bytelevel_strip", "llama", "llama_nostrip", "ms_first",
                 "ms_never", "byte_fallback", "strip"]


def own_pattern_variants(base: dict):
    """The base's own Split pattern under every behavior, and with ByteLevel's prefix space."""
    members = (base.get("pre_tokenizer") or {}).get("pretokenizers") or []
    patterns = [m["pattern"]["Regex"] for m in members
                if m.get("type") == "Split" and "Regex" in m.get("pattern", {})]
    if len(patterns) != 1:
        return []
    out = []
    for behavior, invert in itertools.product(BEHAVIORS, [False, True]):
        out.append((f"pre_tokenizer=own_{behavior}_{int(invert)}", {"pre_tokenizer": seq(
            split(patterns[0], behavior, invert), byte_level(use_regex=False))}, None))
    out.append(("pre_tokenizer=own_bl_prefix", {"pre_tokenizer": seq(
        split(patterns[0]), byte_level(add_prefix_space=True, use_regex=False))}, None))
    return out


def variants(name: str, base: dict):
    """(label, root-key overrides, model transform or None) for every variant of a base file."""
    out = [("base", {}, None)]
    metaspace_base = name in METASPACE_BASES
    every = name in FULL_AXES_BASES
    pres = METASPACE_PRE if metaspace_base else BYTE_LEVEL_PRE
    for key, value in NORMALIZERS.items():
        out.append((f"normalizer={key}", {"normalizer": value}, None))
    for key, value in pres.items():
        if every or key in SOME_PRE:
            out.append((f"pre_tokenizer={key}", {"pre_tokenizer": value}, None))
    out += own_pattern_variants(base)
    for key, value in COMMON_DECODERS.items():
        if every or key in SOME_DECODERS:
            out.append((f"decoder={key}", {"decoder": value}, None))
    for key, value in ROOT_AXES.items():
        if every or key == "truncation":
            out.append((f"root={key}", value, None))
    for key, transform in model_axes(base["model"]).items():
        out.append((f"model={key}", {}, transform))
    if metaspace_base:  # normalizer and pre-tokenizer meet in the metaspace rewrite
        for (nk, nv), (pk, pv) in itertools.product(
                [(k, NORMALIZERS[k]) for k in ["none", "replace", "prepend", "prepend_replace",
                                               "nfkc_prepend_replace", "prepend_replace_nfkc",
                                               "NFKC", "replace_nfd"]],
                [(k, METASPACE_PRE[k]) for k in ["none", "ms_always_1", "ms_first_0",
                                                 "ms_never_1", "ms_never_0", "split_space_prev",
                                                 "digits"]]):
            out.append((f"normalizer={nk} pre_tokenizer={pk}", {"normalizer": nv,
                                                                "pre_tokenizer": pv}, None))
        for dk in ["ms_first", "llama", "ms_never"]:
            out.append((f"pre_tokenizer=ms_first_0 normalizer=none decoder={dk}",
                        {"pre_tokenizer": metaspace("first", False), "normalizer": None,
                         "decoder": COMMON_DECODERS[dk]}, None))
    else:
        for nk, pk in itertools.product(["NFKC", "replace", "nfd_nfkc"],
                                        ["bl_prefix", "split_cl100k_Isolated_0", "digits_bl"]):
            out.append((f"normalizer={nk} pre_tokenizer={pk}",
                        {"normalizer": NORMALIZERS[nk], "pre_tokenizer": BYTE_LEVEL_PRE[pk]}, None))
    return out


# --------------------------------------------------------------------------- text sample

# Characters assigned after Unicode 15.0 that this Python's tables already know.
_AFTER_15_0 = [(0x2EBF0, 0x2EE5D), (0x2FFC, 0x2FFF), (0x31EF, 0x31EF)]


@functools.cache
def unicode_15_texts() -> tuple[str, ...]:
    chars = []
    for cp in range(0x110000):
        if any(a <= cp <= b for a, b in _AFTER_15_0):
            continue
        cat = unicodedata.category(chr(cp))
        if cat in ("Cn", "Cs") or (cat == "Co" and cp > 0xE0FF):
            continue
        chars.append(chr(cp))
    texts = []
    for i in range(0, len(chars), 96):
        chunk = chars[i:i + 96]
        texts.append(" ".join("".join(chunk[j:j + 6]) for j in range(0, len(chunk), 6)))
    return tuple(texts)


@functools.cache
def text_sample(full: bool) -> tuple[str, ...]:
    texts = [
        "Hello world", " Hello", "  Hello  world ", "\u2581x y", "x\u2581 y \u2581\u2581", "a  b",
        " ", "   ", "\u00a0x \u3000y\u2003z", "\u00a8 \ufb01 \u2460", "I'M don't we'Ll", "123 4567 \u0661\u0662",
        "\n\nHi\r\n", "\u00e9\u0301 e\u0301", "tab\tand\nnewline", "\u2581", " \u2581 ",
    ]
    texts += [t[:3000] for t in ADVERSARIAL_TEXTS]
    texts += [r["text"][:2500] for r in sample(mail_records(), 12 if full else 3, 7)]
    texts += [r["text"][:800] for r in sample(udhr_records(), 60 if full else 12, 8)]
    uni = unicode_15_texts()
    texts += list(uni if full else uni[::29])
    return tuple(texts)


# --------------------------------------------------------------------------- the sweep


@functools.lru_cache(maxsize=1)  # a parsed large file takes gigabytes: keep one at a time
def base_document(name: str) -> dict:
    with open(model_path(name), encoding="utf-8") as f:
        doc = json.load(f)
    doc["added_tokens"] = []
    return doc


def normalize_like_stages(normalizer, text):
    """What the normalizer gives by current Unicode; None when a stage is not modeled here."""
    stages = normalizer.get("normalizers", []) if normalizer and normalizer.get(
        "type") == "Sequence" else ([normalizer] if normalizer else [])
    for st in stages:
        t = st.get("type")
        if t in ("NFC", "NFD", "NFKC", "NFKD"):
            text = unicodedata.normalize(t, text)
        elif t == "Prepend":
            text = st["prepend"] + text if text else text
        elif t == "Replace" and "String" in st["pattern"]:
            text = text.replace(st["pattern"]["String"], st["content"])
        else:
            return None
    return text


def id_probes(ref, n_vocab: int, rng: random.Random) -> list[list[int]]:
    """Id sequences that decoders treat specially: byte tokens alone and in runs, lone
    metaspace tokens first, and random ids."""
    probes = []
    byte_ids = [ref.token_to_id(f"<0x{b:02X}>") for b in (0x20, 0xE2, 0x96, 0x81, 0x41, 0xC3, 0xA9)]
    byte_ids = [i for i in byte_ids if i is not None]
    if byte_ids:
        probes += [byte_ids, byte_ids[1:3], byte_ids[1:4], byte_ids[::-1]]
    for tok in [META, META + META, "\u0120", " ", "\u2581a"]:
        i = ref.token_to_id(tok)
        if i is not None:
            probes += [[i], [i, i], [i] + byte_ids[:2]]
    for _ in range(6):
        probes.append([rng.randrange(n_vocab) for _ in range(rng.randrange(1, 30))])
    return probes


class Tally:
    def __init__(self):
        self.tried = self.exact = self.refused = self.reference_refused = 0
        self.diverged: list[str] = []


def serialize(doc: dict, model_text: str | None = None) -> str:
    """The document as JSON; `model_text`, when given, is the model already serialized."""
    if model_text is None:
        return json.dumps(doc, ensure_ascii=False)
    rest = json.dumps({k: v for k, v in doc.items() if k != "model"}, ensure_ascii=False)
    return '{"model": ' + model_text + ", " + rest[1:]


def check_variant(tmp_path, label: str, doc: dict, texts, tally: Tally, model_text=None):
    import quorvane

    text = serialize(doc, model_text)
    try:
        ref = tokenizers.Tokenizer.from_str(text)
        encs = ref.encode_batch(list(texts), add_special_tokens=False)
    except BaseException as exc:  # the reference does not take this configuration (or panics)
        if not isinstance(exc, Exception) and type(exc).__name__ != "PanicException":
            raise
        tally.reference_refused += 1
        return
    tally.tried += 1
    path = tmp_path / "variant.json"
    path.write_text(text, encoding="utf-8")
    try:
        ours = quorvane.Tokenizer(str(path))
    except ValueError:
        tally.refused += 1
        return
    normalizer = doc.get("normalizer")
    if normalizer is not None:
        ref_norm = ref.normalizer
        kept = []
        for t in texts:
            want = normalize_like_stages(normalizer, t)
            if want is None or ref_norm.normalize_str(t) == want:
                kept.append(t)
        encs = [e for t, e in zip(texts, encs) if t in set(kept)]
        texts = kept
    got = ours.encode_ordinary_batch(list(texts))
    problems = []
    for t, enc, ids in zip(texts, encs, got):
        if ids != enc.ids:
            problems.append(f"ids differ on {shrink(ours, ref, t)!r}")
            break
    for t, enc in zip(texts, encs):
        want = ref_decode(ref, enc.ids)
        if want is not None and ours.decode(enc.ids) != want:
            problems.append(f"decode differs for the ids of {t[:60]!r}: "
                            f"{ours.decode(enc.ids)[:60]!r} vs {want[:60]!r}")
            break
    rng = random.Random(label)
    for ids in id_probes(ref, min(ref.get_vocab_size(), ours.n_vocab), rng):
        want = ref_decode(ref, ids)
        if want is not None and ours.decode(ids) != want:
            problems.append(f"decode differs for ids {ids}: {ours.decode(ids)!r} vs {want!r}")
            break
    if problems:
        tally.diverged.append(f"{label}: " + "; ".join(problems))
    else:
        tally.exact += 1


def ref_decode(ref, ids):
    """The reference's text, or None where it panics (a Strip longer than the token)."""
    try:
        return ref.decode(ids, skip_special_tokens=False)
    except BaseException as exc:  # pyo3's PanicException derives from BaseException
        if type(exc).__name__ != "PanicException":
            raise
        return None


def shrink(ours, ref, text: str) -> str:
    def differs(t):
        return ours.encode_ordinary(t) != ref.encode(t, add_special_tokens=False).ids

    best = text
    step = max(1, len(best) // 2)
    while step >= 1:
        for cand in (best[step:], best[:-step]):
            if cand and differs(cand):
                best = cand
                break
        else:
            step //= 2
    return best


def run_sweep(names, full: bool, per_base: int | None):
    if not full:
        tally = sweep_files(names, full, per_base)
    else:
        # One process per file: the reference library keeps tens of megabytes per load of a
        # large file, which thousands of loads would not fit.
        import concurrent.futures
        import multiprocessing

        tally = Tally()
        for name in names:
            with concurrent.futures.ProcessPoolExecutor(
                    1, mp_context=multiprocessing.get_context("spawn")) as pool:
                part = pool.submit(sweep_files, [name], full, per_base).result()
            for key in ("tried", "exact", "refused", "reference_refused"):
                setattr(tally, key, getattr(tally, key) + getattr(part, key))
            tally.diverged += part.diverged
            print(f"{name}: so far {tally.tried} tried, {tally.exact} exact, {tally.refused} "
                  f"refused, {len(tally.diverged)} diverged", file=sys.stderr)
    print(f"\nconfiguration sweep: {tally.tried} variants tried, {tally.exact} exact, "
          f"{tally.refused} refused, {len(tally.diverged)} diverged "
          f"({tally.reference_refused} not loadable by the reference)", file=sys.stderr)
    assert not tally.diverged, "\n".join(tally.diverged)


def sweep_files(names, full: bool, per_base: int | None) -> Tally:
    # A directory of its own: pytest's shared base directory may be pruned by other runs
    # during a long sweep.
    with tempfile.TemporaryDirectory() as tmp:
        return sweep(pathlib.Path(tmp), names, full, per_base)


def sweep(tmp_path, names, full: bool, per_base: int | None) -> Tally:
    tally = Tally()
    texts = text_sample(full)
    started = time.perf_counter()
    for name in names:
        base = base_document(name)
        model_text = json.dumps(base["model"], ensure_ascii=False)
        chosen = variants(name, base)
        if per_base is not None:
            chosen = [chosen[0]] + sample(chosen[1:], per_base, seed=sum(map(ord, name)))
        diverged_before = len(tally.diverged)
        for label, overrides, transform in chosen:
            doc = copy.copy(base)
            doc.update(copy.deepcopy(overrides))
            if transform is not None:
                doc["model"] = transform(base["model"])
            check_variant(tmp_path, f"{name} {label}", doc, texts, tally,
                          None if transform is not None else model_text)
        if full:
            print(f"{name}: {len(chosen)} variants, {len(tally.diverged) - diverged_before} "
                  f"diverged; so far {tally.tried} tried, {tally.exact} exact, {tally.refused} "
                  f"refused in {time.perf_counter() - started:.0f} s", file=sys.stderr)
            for line in tally.diverged[diverged_before:]:
                print("  " + line[:300], file=sys.stderr)
    return tally


@pytest.fixture(scope="module", autouse=True)
def _needs_module(quorvane_module):
    return quorvane_module


def test_config_sweep_sample():
    run_sweep(["gpt2", "llama2"], full=False, per_base=12)


@pytest.mark.slow
def test_config_sweep_full():
    run_sweep(BASES, full=True, per_base=None)
