#!/usr/bin/env python3
"""Writes normalization_tables.cc: the Unicode 15.0 data behind NFC, NFD, NFKC and NFKD.

Reads the Unicode Character Database files that Debian's unicode-data package (15.0.0)
installs under /usr/share/unicode, or under the directory given as the only argument:
    python3 src/unicode/gen_normalization_tables.py [UCD_DIR]
UnicodeData.txt gives combining classes and decomposition mappings,
DerivedNormalizationProps.txt the quick-check values and Full_Composition_Exclusion.
Hangul syllables are left to the algorithm (no entries here). The layout is described
in normalization_tables.h.
"""
import os
import sys

UNICODE_VERSION = "15.0.0"
MAX_CP = 0x110000
BLOCK_SHIFT = 7
BLOCK = 1 << BLOCK_SHIFT

S_BASE, L_BASE, V_BASE, T_BASE = 0xAC00, 0x1100, 0x1161, 0x11A7
L_COUNT, V_COUNT, T_COUNT = 19, 21, 28
S_COUNT = L_COUNT * V_COUNT * T_COUNT

# Flag bits of an info word (bits 8..15); must match normalization_tables.h.
NFC_NO, NFC_MAYBE, NFD_NO, NFKC_NO, NFKC_MAYBE, NFKD_NO, COMBINES_BACK, HAS_EXTRA = (
    1 << (8 + i) for i in range(8))


def check_version(path):
    with open(path, encoding="utf-8") as f:
        first = f.readline()
    if UNICODE_VERSION not in first:
        sys.exit(f"{path}: need Unicode {UNICODE_VERSION}, file says {first.strip()!r}")


def parse_range(field):
    if ".." in field:
        a, b = field.split("..")
        return range(int(a, 16), int(b, 16) + 1)
    return range(int(field, 16), int(field, 16) + 1)


def read_unicode_data(ucd):
    ccc = {}
    decomp = {}  # cp -> (is_compat, [cps])
    with open(os.path.join(ucd, "UnicodeData.txt"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            cp = int(fields[0], 16)
            if int(fields[3]):
                ccc[cp] = int(fields[3])
            if fields[5]:
                parts = fields[5].split()
                compat = parts[0].startswith("<")
                if compat:
                    parts = parts[1:]
                decomp[cp] = (compat, [int(p, 16) for p in parts])
    return ccc, decomp


def read_derived(ucd):
    path = os.path.join(ucd, "DerivedNormalizationProps.txt")
    check_version(path)
    props = {}  # (property, value) -> set of cps
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = [x.strip() for x in line.split(";")]
            key = (fields[1], fields[2] if len(fields) > 2 else "")
            props.setdefault(key, set()).update(parse_range(fields[0]))
    return props


def hangul_decomposition(cp):
    s = cp - S_BASE
    out = [L_BASE + s // (V_COUNT * T_COUNT), V_BASE + (s % (V_COUNT * T_COUNT)) // T_COUNT]
    if s % T_COUNT:
        out.append(T_BASE + s % T_COUNT)
    return out


def full_decomposition(cp, decomp, compat):
    if S_BASE <= cp < S_BASE + S_COUNT:
        return hangul_decomposition(cp)
    entry = decomp.get(cp)
    if entry is None or (entry[0] and not compat):
        return [cp]
    out = []
    for c in entry[1]:
        out.extend(full_decomposition(c, decomp, compat))
    return out


def canonical_order(cps, ccc):
    # Stable sort of each run of non-starters by combining class.
    out = list(cps)
    i = 0
    while i < len(out):
        if ccc.get(out[i], 0) == 0:
            i += 1
            continue
        j = i
        while j < len(out) and ccc.get(out[j], 0) != 0:
            j += 1
        out[i:j] = sorted(out[i:j], key=lambda c: ccc.get(c, 0))
        i = j
    return out


def main():
    ucd = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
    check_version(os.path.join(ucd, "CompositionExclusions.txt"))
    ccc, decomp = read_unicode_data(ucd)
    props = read_derived(ucd)
    excluded = props[("Full_Composition_Exclusion", "")]

    # Primary composites: canonical pair mappings not excluded from composition.
    pairs = {}  # first -> {second: composite}
    for cp, (compat, parts) in decomp.items():
        if not compat and len(parts) == 2 and cp not in excluded:
            pairs.setdefault(parts[0], {})[parts[1]] = cp
    seconds = {s for firsts in pairs.values() for s in firsts}
    seconds.update(range(V_BASE, V_BASE + V_COUNT))
    seconds.update(range(T_BASE + 1, T_BASE + T_COUNT))
    if seconds != props[("NFC_QC", "M")]:
        sys.exit("characters that combine backwards differ from NFC_QC=Maybe")

    flag_sets = [
        (NFC_NO, props[("NFC_QC", "N")]),
        (NFC_MAYBE, props[("NFC_QC", "M")]),
        (NFD_NO, props[("NFD_QC", "N")]),
        (NFKC_NO, props[("NFKC_QC", "N")]),
        (NFKC_MAYBE, props[("NFKC_QC", "M")]),
        (NFKD_NO, props[("NFKD_QC", "N")]),
        (COMBINES_BACK, seconds),
    ]

    # Decomposition pool: full (recursive) mappings, already in canonical order, shared
    # between characters with equal mappings. Entry 0 of the extras is unused. Each code
    # point is stored with its class (bits 24..31) and whether it combines backwards
    # (bit 21), as the normalizer works on them.
    pool = []
    pool_index = {}

    def intern(seq):
        key = tuple(seq)
        if key not in pool_index:
            pool_index[key] = len(pool)
            pool.extend(seq)
        return pool_index[key]

    composition_list = []  # (second, composite), grouped by first, sorted by second
    extras = [(0, 0, 0, 0, 0, 0)]
    extra_of = {}
    for cp in range(MAX_CP):
        if S_BASE <= cp < S_BASE + S_COUNT:
            continue
        canon = canonical_order(full_decomposition(cp, decomp, False), ccc)
        compat = canonical_order(full_decomposition(cp, decomp, True), ccc)
        has_canon = canon != [cp]
        has_compat = compat != [cp]
        firsts = pairs.get(cp)
        if not (has_canon or has_compat or firsts):
            continue
        canon_off = intern(canon) if has_canon else 0
        compat_off = intern(compat) if has_compat else 0
        comp_off = len(composition_list)
        for second in sorted(firsts or {}):
            composition_list.append((second, firsts[second]))
        extra_of[cp] = len(extras)
        extras.append((canon_off, len(canon) if has_canon else 0, compat_off,
                       len(compat) if has_compat else 0, comp_off, len(firsts or {})))

    # Sanity checks the C++ relies on.
    for e in extras:
        if max(e[1], e[3], e[5]) > 255 or max(e[0], e[2], e[4]) > 0xFFFF:
            sys.exit(f"extra entry does not fit: {e}")
    if len(extras) > 0xFFFF:
        sys.exit("too many extra entries")
    for first in pairs:
        if ccc.get(first, 0) != 0:
            sys.exit(f"U+{first:04X} composes but is not a starter")

    info = [0] * MAX_CP
    for cp in range(MAX_CP):
        info[cp] = ccc.get(cp, 0)
    for bit, cps in flag_sets:
        for cp in cps:
            info[cp] |= bit
    for cp, index in extra_of.items():
        info[cp] |= HAS_EXTRA | (index << 16)

    blocks = []
    block_index = {}
    stage1 = []
    for base in range(0, MAX_CP, BLOCK):
        key = tuple(info[base:base + BLOCK])
        if key not in block_index:
            block_index[key] = len(blocks)
            blocks.append(key)
        stage1.append(block_index[key])

    out = []
    out.append("// generated by gen_normalization_tables.py; do not edit")
    out.append(f"// Unicode {UNICODE_VERSION} normalization data (UnicodeData.txt, "
               "DerivedNormalizationProps.txt).")
    out.append('#include "unicode/normalization_tables.h"')
    out.append("")
    out.append("namespace quorvane::normalization_tables {")
    out.append("")
    out.append(f"// {len(blocks)} distinct blocks of {BLOCK} code points.")
    out.append(f"const uint16_t kBlockIndex[kBlockCount] = {{")
    for i in range(0, len(stage1), 16):
        out.append("    " + " ".join(f"{b}," for b in stage1[i:i + 16]))
    out.append("};")
    out.append("")
    out.append(f"const uint32_t kInfo[{len(blocks) * BLOCK}] = {{")
    flat = [v for blk in blocks for v in blk]
    for i in range(0, len(flat), 8):
        out.append("    " + " ".join(f"0x{v:08x}," for v in flat[i:i + 8]))
    out.append("};")
    out.append("")
    out.append(f"const Extra kExtras[{len(extras)}] = {{")
    for e in extras:
        # Field order of normalization_tables.h: the three offsets, then the three lengths.
        out.append(f"    {{{e[0]}, {e[2]}, {e[4]}, {e[1]}, {e[3]}, {e[5]}}},")
    out.append("};")
    out.append("")
    entries = [c | (ccc.get(c, 0) << 24) | ((1 << 21) if c in seconds else 0) for c in pool]
    out.append(f"const uint32_t kDecompositions[{len(pool)}] = {{")
    for i in range(0, len(entries), 8):
        out.append("    " + " ".join(f"0x{v:08x}," for v in entries[i:i + 8]))
    out.append("};")
    out.append("")
    out.append(f"const Composition kCompositions[{len(composition_list)}] = {{")
    for i in range(0, len(composition_list), 4):
        out.append("    " + " ".join(f"{{0x{a:05x}, 0x{b:05x}}},"
                                     for a, b in composition_list[i:i + 4]))
    out.append("};")
    out.append("")
    out.append("}  // namespace quorvane::normalization_tables")
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "normalization_tables.cc")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")
    print(f"{len(blocks)} blocks, {len(extras)} extras, {len(pool)} decomposition code points, "
          f"{len(composition_list)} compositions", file=sys.stderr)


if __name__ == "__main__":
    main()
