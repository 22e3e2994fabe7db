"""Configurations that once loaded and gave other ids or text than the reference, each with
the smallest text that showed it: every one is now reproduced exactly, or refused."""

from __future__ import annotations

import pytest

from test_config_sweep import (
    CL100K,
    NORMALIZERS,
    PREPEND,
    REPLACE,
    Tally,
    base_document,
    byte_level,
    check_variant,
    digits,
    dseq,
    metaspace,
    nseq,
    seq,
    split,
    strip,
)

LOOKALIKE = r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+|\s+"

# (base file, overrides of the root's keys, smallest texts, expected outcome)
MENDS = [
    # Metaspace keys.
    ("llama2", {"normalizer": None, "pre_tokenizer": metaspace("never")}, ["Hello world"], "exact"),
    ("llama2", {"normalizer": PREPEND, "pre_tokenizer": metaspace("always")}, [" x"], "exact"),
    ("llama2", {"normalizer": None, "pre_tokenizer": metaspace(replacement="_")}, ["a b"],
     "refused"),
    ("llama2", {"normalizer": None, "pre_tokenizer": metaspace("first", False),
                "decoder": metaspace("first", False)}, ["Hello world", "\n x"], "exact"),
    # ByteLevel add_prefix_space, alone and after a Split.
    ("gpt2", {"pre_tokenizer": byte_level(add_prefix_space=True)}, ["H", "\nH"], "exact"),
    ("gpt2", {"pre_tokenizer": seq(split(CL100K), byte_level(True, use_regex=False))},
     ["H", "a 12\nb"], "exact"),
    # Scanner choice by exact pattern text; behaviors.
    ("gpt2", {"pre_tokenizer": seq(split(LOOKALIKE), byte_level(use_regex=False))}, [" w"],
     "exact"),
    ("gpt2", {"pre_tokenizer": seq(split(CL100K, "Removed"), byte_level(use_regex=False))}, ["d"],
     "refused"),
    ("gpt2", {"pre_tokenizer": seq(split(CL100K, "Contiguous"), byte_level(use_regex=False))},
     [" \u2460"], "refused"),
    # Pre-tokenizer order.
    ("gpt2", {"pre_tokenizer": seq(byte_level(), digits(True))}, [" \u2460"], "refused"),
    ("gpt2", {"pre_tokenizer": seq(split(CL100K), digits(True), byte_level(use_regex=False))},
     ["56"], "exact"),
    ("llama2", {"normalizer": None, "pre_tokenizer": byte_level()}, ["a b"], "refused"),
    # Normalizer sequences.
    ("gpt2", {"normalizer": nseq(PREPEND, REPLACE)}, ["\n\nH"], "exact"),
    ("gpt2", {"normalizer": nseq(PREPEND, {"type": "NFKC"})}, ["d"], "exact"),
    ("gpt2", {"normalizer": nseq(PREPEND, REPLACE, {"type": "NFKC"})}, ["\u3000"], "exact"),
    ("llama2", {"normalizer": nseq(PREPEND, REPLACE, {"type": "NFKC"})}, ["a\u3000b"], "exact"),
    ("gpt2", {"normalizer": NORMALIZERS["nfd_nfkc"]}, ["\ufb01 \u00e9"], "exact"),
    # Decoders.
    ("gpt2", {"decoder": None}, ["Hello world"], "exact"),
    ("gpt2", {"decoder": dseq(strip(), byte_level())}, [" Hello"], "exact"),
    ("gpt2", {"decoder": {"type": "WordPiece", "prefix": "##", "cleanup": True}}, ["a"],
     "refused"),
    # Settings of the root that change the reference's ids.
    ("gpt2", {"truncation": {"direction": "Right", "max_length": 7, "strategy": "LongestFirst",
                             "stride": 0}}, ["x\u2581 y \u2581\u2581"], "refused"),
]


@pytest.fixture(scope="module", autouse=True)
def _needs_module(quorvane_module):
    return quorvane_module


@pytest.mark.parametrize("base,overrides,texts,outcome", MENDS,
                         ids=[f"{m[0]}-{i}" for i, m in enumerate(MENDS)])
def test_mended_configuration(tmp_path, base, overrides, texts, outcome):
    tally = Tally()
    check_variant(tmp_path, str(overrides)[:80], {**base_document(base), **overrides},
                  texts, tally)
    assert not tally.diverged, tally.diverged
    assert (tally.exact, tally.refused) == ((1, 0) if outcome == "exact" else (0, 1))
