#!/usr/bin/env python3
"""Writes examples/data/lambda_variants.vcf: made-up variants on the bundled
lambda genome that break or create sites of the bundled matrices.

Seeded random SNVs, deletions and insertions are scored with
vokscan.variant_effects at the default thresholds (p = 1e-4); the script
keeps a few SNVs that lose a site and a few that gain one, a deletion and an
insertion with an effect, and adds a record with two ALT alleles and one with
a symbolic allele (skipped by the command). Run from the repository root with
vok installed: python tools/make_example_variants.py
"""
import random
from pathlib import Path

import pandas as pd

import vokscan

DATA = Path(__file__).resolve().parent.parent / "examples" / "data"
GENOME = DATA / "lambda_virus.fa"
MOTIFS = DATA / "jaspar_core_vertebrates.transfac"
OUT = DATA / "lambda_variants.vcf"


def main():
    header, *lines = GENOME.read_text().splitlines()
    chrom, genome = header[1:].split()[0], "".join(lines)
    rng = random.Random(2024)
    rows = []
    for number in range(3000):
        pos = rng.randrange(40, len(genome) - 40)
        ref = genome[pos - 1]
        kind = ("snv", "del", "ins")[number % 3]
        if kind == "snv":
            alt = rng.choice([b for b in "ACGT" if b != ref])
        elif kind == "del":
            ref = genome[pos - 1:pos + rng.randint(1, 6)]
            alt = ref[0]
        else:
            alt = ref + "".join(rng.choices("ACGT", k=rng.randint(1, 6)))
        rows.append((chrom, pos, ref, alt, kind))
    table = pd.DataFrame(rows, columns=["chrom", "pos", "ref", "alt", "kind"])
    effects = vokscan.variant_effects(MOTIFS, GENOME, table[["chrom", "pos", "ref", "alt"]])
    effects = effects.merge(table, on=["chrom", "pos", "ref", "alt"])
    picks = []
    for kind, effect, count in (("snv", "loss", 3), ("snv", "gain", 2), ("del", None, 1), ("ins", None, 1)):
        chosen = effects[(effects["kind"] == kind) & (effects["effect"] != "both")]
        if effect is not None:
            chosen = chosen[chosen["effect"] == effect]
        picks += [tuple(r) for r in chosen[["pos", "ref", "alt"]].drop_duplicates().head(count).values]
    first = picks[0]
    # A second ALT allele at the first loss, and a symbolic allele elsewhere.
    extra = rng.choice([b for b in "ACGT" if b not in (first[1], first[2])])
    picks[0] = (first[0], first[1], f"{first[2]},{extra}")
    symbolic = rng.randrange(40, len(genome) - 40)
    picks.append((symbolic, genome[symbolic - 1], "<DEL>"))
    with open(OUT, "w") as out:
        out.write("##fileformat=VCFv4.2\n")
        out.write("##source=tools/make_example_variants.py (made-up variants for the example)\n")
        out.write(f"##reference=lambda_virus.fa\n##contig=<ID={chrom},length={len(genome)}>\n")
        out.write("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n")
        for number, (pos, ref, alt) in enumerate(sorted(picks), 1):
            out.write(f"{chrom}\t{pos}\tvar{number}\t{ref}\t{alt}\t.\t.\t.\n")
    print(f"wrote {len(picks)} records to {OUT}")


if __name__ == "__main__":
    main()
