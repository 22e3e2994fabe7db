"""The four normal forms against Python's unicodedata.normalize.

Normalization is observed through a ByteLevel model without merges: decoding its ids gives
back the normalized text byte for byte. Every code point is checked with QUORVANE_FULL=1, a
fixed sample otherwise; random runs of starters and combining marks check reordering and
composition across characters.

unicodedata is 15.1 on Python 3.13. Unicode 15.1 added characters but changed no
decomposition, combining class or composition, so its normal forms equal 15.0's, which
the tables are built from.
"""

from __future__ import annotations

import bz2
import pathlib
import random
import unicodedata

import pytest

from conftest import FULL
from tokfiles import byte_level_doc, write

FORMS = ("NFC", "NFD", "NFKC", "NFKD")
SURROGATES = range(0xD800, 0xE000)

if unicodedata.unidata_version not in ("15.0.0", "15.1.0"):
    pytest.skip(f"unicodedata {unicodedata.unidata_version} is not a reference for Unicode 15.0",
                allow_module_level=True)


@pytest.fixture(scope="module")
def normalizers(quorvane_module, tmp_path_factory):
    folder = tmp_path_factory.mktemp("normalizers")
    return {
        form: quorvane_module.Tokenizer(write(folder, byte_level_doc(normalizer={"type": form}),
                                              f"{form}.json"))
        for form in FORMS
    }


def normalized(tokenizer, text: str) -> str:
    return tokenizer.decode(tokenizer.encode_ordinary(text))


def code_points() -> list[int]:
    # The sample keeps every code point below U+3400 (where most mappings and marks are)
    # and every eleventh one above, Hangul syllables and astral marks among them.
    every = range(0x110000) if FULL else [*range(0x3400), *range(0x3400, 0x110000, 11)]
    return [cp for cp in every if cp not in SURROGATES and cp != 0x0A]


@pytest.mark.parametrize("form", FORMS)
def test_every_code_point(normalizers, form):
    cps = code_points()
    # A line feed is a boundary for every form: each line normalizes on its own.
    got = normalized(normalizers[form], "\n".join(map(chr, cps))).split("\n")
    assert len(got) == len(cps)
    wrong = [(f"U+{cp:04X}", g, unicodedata.normalize(form, chr(cp)))
             for cp, g in zip(cps, got) if g != unicodedata.normalize(form, chr(cp))]
    assert not wrong, wrong[:10]


def pieces() -> tuple[list[str], list[str], list[str]]:
    """Canonical decompositions (a starter and the marks that compose with it), the marks
    found in them, and every other character that reorders or composes."""
    decompositions, composing_marks, others = set(), set(), set()
    for cp in range(0x30000):
        if cp in SURROGATES:
            continue
        c = chr(cp)
        mapping = unicodedata.decomposition(c)
        if mapping and not mapping.startswith("<"):
            nfd = unicodedata.normalize("NFD", c)
            decompositions.add(nfd)
            composing_marks.update(m for m in nfd if unicodedata.combining(m))
        elif unicodedata.combining(c) or mapping:
            others.add(c)
    # Hangul syllables decompose by rule, not by mapping.
    decompositions.update(unicodedata.normalize("NFD", chr(cp)) for cp in range(0xAC00, 0xD7A4, 97))
    others.update(map(chr, range(0x1100, 0x1113)))  # Hangul leading consonants,
    others.update(map(chr, range(0x1161, 0x1176)))  # vowels,
    others.update(map(chr, range(0x11A7, 0x11C3)))  # trailing consonants (and the one before)
    others.update("aeiouAEIOU\uac00\uac01\uac1c\ud7a3")
    return sorted(decompositions), sorted(composing_marks), sorted(others)


def random_text(rng: random.Random, parts, length: int) -> str:
    # Decomposed characters among loose marks: the marks land next to starters they
    # compose with, or block, or need reordering around.
    decompositions, marks, others = parts
    out = []
    for _ in range(length):
        r = rng.random()
        out.append(rng.choice(decompositions if r < 0.35 else marks if r < 0.8 else others))
    return "".join(out)


def test_random_runs_of_starters_and_marks(normalizers):
    rng = random.Random(15)
    parts = pieces()
    texts = [random_text(rng, parts, rng.randint(1, 30)) for _ in range(5000 if FULL else 500)]
    texts.append("a" + "\u0301\u0316" * 200)  # one long run of marks
    for form in FORMS:
        for text in texts:
            assert normalized(normalizers[form], text) == unicodedata.normalize(form, text), (
                form, text.encode("unicode_escape"))


CONFORMANCE = pathlib.Path("/usr/share/unicode/NormalizationTest.txt.bz2")  # Debian unicode-data


def test_unicode_conformance_file(normalizers):
    # The Unicode 15.0 conformance test: for columns c1..c5, NFC(c1..c3) = c2, NFC(c4..c5) = c4,
    # NFD(c1..c3) = c3, NFD(c4..c5) = c5, NFKC(any) = c4, NFKD(any) = c5.
    if not CONFORMANCE.is_file():
        pytest.skip(f"{CONFORMANCE} absent (Debian package unicode-data)")
    lines = bz2.decompress(CONFORMANCE.read_bytes()).decode("utf-8").splitlines()
    if "15.0.0" not in lines[0]:
        pytest.skip(f"{CONFORMANCE} is not the Unicode 15.0.0 file")
    rows = [[("".join(chr(int(h, 16)) for h in col.split())) for col in line.split(";")[:5]]
            for line in lines if line and line[0] not in "#@"]
    expected = {"NFC": (1, 1, 1, 3, 3), "NFD": (2, 2, 2, 4, 4), "NFKC": (3,) * 5, "NFKD": (4,) * 5}
    for form, targets in expected.items():
        for column in range(5):
            got = normalized(normalizers[form], "\n".join(row[column] for row in rows)).split("\n")
            wrong = [(row, g) for row, g in zip(rows, got) if g != row[targets[column]]]
            assert len(got) == len(rows) and not wrong, (form, column, wrong[:5])
