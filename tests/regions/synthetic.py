"""Random genomes with planted sites, written as FASTA and BED for the tests."""

from pathlib import Path

import numpy as np

from vokscan.motifs import load_motifs

ROOT = Path(__file__).resolve().parents[2]
MOTIFS = ROOT / "examples" / "data" / "jaspar_core_vertebrates.transfac"
LAMBDA = ROOT / "examples" / "data" / "lambda_virus.fa"


def consensus(motif_id: str) -> str:
    """The most frequent letter at every position of a bundled motif."""
    motif = next(m for m in load_motifs(MOTIFS) if m.id == motif_id)
    return "".join("ACGT"[i] for i in np.argmax(motif.matrix, axis=1))


def random_letters(rng, length: int, gc: float = 0.42) -> str:
    weights = [(1 - gc) / 2, gc / 2, gc / 2, (1 - gc) / 2]
    return "".join(np.array(list("ACGT"))[rng.choice(4, size=length, p=weights)])


def write_fasta(path, records, width: int = 60) -> Path:
    with open(path, "w") as handle:
        for name, text in records:
            handle.write(f">{name}\n")
            for at in range(0, len(text), width):
                handle.write(text[at:at + width] + "\n")
    return Path(path)


def write_bed(path, rows) -> Path:
    with open(path, "w") as handle:
        for row in rows:
            handle.write("\t".join(str(v) for v in row) + "\n")
    return Path(path)


def planted_peaks(rng, count: int, length: int, plants: dict, gc: float = 0.42):
    """`count` random peaks of `length` bases; plants maps a word to the
    share of peaks that get it near their centre."""
    peaks = []
    for i in range(count):
        text = list(random_letters(rng, length, gc))
        for j, (word, share) in enumerate(plants.items()):
            if rng.random() < share:
                at = length // 2 - len(word) // 2 + int(rng.integers(-20, 21)) + 30 * j
                text[at:at + len(word)] = list(word)
        peaks.append((f"peak{i}", "".join(text)))
    return peaks


def genome_with_peaks(rng, chromosomes, peak_count: int, peak_length: int, plants: dict):
    """(chromosome records, peak BED rows): random chromosomes of the given
    lengths, peaks spread over them with planted words."""
    letters = {name: list(random_letters(rng, size)) for name, size in chromosomes}
    rows = []
    spacing = sum(size for _, size in chromosomes) // (peak_count + 1)
    names = [name for name, _ in chromosomes]
    for i, (name, text) in enumerate(planted_peaks(rng, peak_count, peak_length, plants)):
        chrom = names[i % len(names)]
        start = 100 + (i // len(names)) * spacing % (len(letters[chrom]) - peak_length - 200)
        letters[chrom][start:start + peak_length] = list(text)
        rows.append((chrom, start, start + peak_length, name))
    return [(name, "".join(letters[name])) for name in names], rows
