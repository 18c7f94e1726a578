"""Variants through the engine, batch by batch: each record's ALT alleles
trimmed to their changed bases (or skipped, and counted), their genome
context read from the indexed FASTA, and the effect rows of many variants
from one engine call."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterator, List, Optional, Tuple

import numpy as np

from .indexed_fasta import IndexedFasta
from .quoting import written_name
from .scanning import PreparedMotifs
from .variant_input import VariantError, VariantRecord

DEFAULT_MAX_INDEL = 50

# Records per engine call: enough to keep both cores busy, few enough that
# memory does not grow with the input.
BATCH_RECORDS = 8192
# Records of one chromosome closer than this are read from the genome at once.
READ_GAP = 1 << 16

_SEQUENCE_ALLELE = re.compile(r"[ACGTNacgtn]+\Z")
_BASES = frozenset("ACGTNacgtn")


def _is_bases(allele: str) -> bool:
    return allele in _BASES or _SEQUENCE_ALLELE.match(allele) is not None


@dataclass
class SkipCounts:
    """Alleles left out of a run, by reason."""

    symbolic: int = 0      # <DEL>, breakends, '*', missing ('.')
    too_long: int = 0      # changed bases beyond max_indel
    unchanged: int = 0     # ALT equal to REF
    mismatches: int = 0    # REF not the genome's bases (with skip_mismatches)

    def message(self, max_indel: int) -> Optional[str]:
        """One line telling what was skipped, or None."""
        parts = []
        if self.symbolic:
            parts.append(f"{self.symbolic} symbolic (<...>, breakends, * or .)")
        if self.too_long:
            parts.append(f"{self.too_long} longer than the indel limit of {max_indel} bases")
        if self.unchanged:
            parts.append(f"{self.unchanged} equal to REF")
        if self.mismatches:
            parts.append(f"{self.mismatches} whose REF does not match the genome")
        if not parts:
            return None
        total = self.symbolic + self.too_long + self.unchanged + self.mismatches
        return f"skipped {total} ALT allele{'s' if total != 1 else ''}: {', '.join(parts)}"


def trim_alleles(ref: str, alt: str) -> Tuple[int, int, str]:
    """(leading bases shared, REF bases changed, ALT's changed bases): the
    alleles without their common leading, then trailing, bases."""
    if len(ref) == 1 == len(alt):  # an SNV (or no change at all)
        return (1, 0, "") if ref.upper() == alt.upper() else (0, 1, alt)
    upper_ref, upper_alt = ref.upper(), alt.upper()
    shortest = min(len(ref), len(alt))
    lead = 0
    while lead < shortest and upper_ref[lead] == upper_alt[lead]:
        lead += 1
    tail = 0
    while tail < shortest - lead and upper_ref[-1 - tail] == upper_alt[-1 - tail]:
        tail += 1
    return lead, len(ref) - lead - tail, alt[lead:len(alt) - tail]


@dataclass
class EffectBatch:
    """One engine call's rows and the variants they refer to."""

    rows: object = None  # the engine's EffectRows
    variants: List[Tuple[VariantRecord, str]] = field(default_factory=list)  # (record, ALT) by index

    def labels(self) -> List[bytes]:
        """Per variant: its chrom, pos, id, ref and alt fields, tab-separated;
        control characters in chrom and id written as '_' (the alleles are
        bases), so that no name adds fields or lines."""
        return [f"{written_name(r.chrom)}\t{r.pos}\t{written_name(r.id)}\t{r.ref}\t{alt}"
                .encode("utf-8", "surrogateescape") for r, alt in self.variants]

    def column(self, name: str) -> np.ndarray:
        """One of chrom, pos, id, ref and alt, per variant."""
        if name == "alt":
            return np.array([alt for _, alt in self.variants], dtype=object)
        values = [getattr(record, name) for record, _ in self.variants]
        return np.array(values, dtype=np.int64 if name == "pos" else object)


class _BatchBuilder:
    """The letters and slices of one engine call."""

    def __init__(self):
        self.letters: List[bytes] = []
        self.slices: List[Tuple[int, int, int, int, int, int]] = []
        self.offset = 0  # letters so far
        self.batch = EffectBatch()

    def add(self, record: VariantRecord, alt: str, lead: int, changed_ref: int, changed_alt: str,
            sequence: bytes, base: int, length: int, context: int) -> None:
        """One variant; `sequence` holds the chromosome's bases from `base` on."""
        first = record.pos - 1 + lead - base  # the first changed base, in `sequence`
        left = sequence[max(first - context, -base):first]
        right = sequence[first + changed_ref:min(length - base, first + changed_ref + context)]
        alt_bases = changed_alt.encode("ascii")
        self.letters += (left, sequence[first:first + changed_ref], alt_bases, right)
        self.slices.append((self.offset, len(left), changed_ref, len(alt_bases), len(right), lead))
        self.offset += len(left) + changed_ref + len(alt_bases) + len(right)
        self.batch.variants.append((record, alt))


class EffectRun:
    """The effects of a stream of variant records, batch by batch."""

    def __init__(self, prepared: PreparedMotifs, genome: IndexedFasta, *, max_indel: int,
                 skip_mismatches: bool, all_pairs: bool, strand: str, mask: bool, threads: int,
                 source: str):
        self.prepared = prepared
        self.genome = genome
        self.chromosomes = {record.name: record for record in genome.records}
        self.max_indel = max_indel
        self.skip_mismatches = skip_mismatches
        self.all_pairs = all_pairs
        self.strand = strand
        self.mask = mask
        self.threads = threads
        self.source = source  # the variants' name, for messages
        self.context = max(prepared.engine_set.max_length - 1, 0)
        self.skipped = SkipCounts()
        self.variants_done = 0  # variants scored so far
        self.rows_done = 0  # rows produced so far

    def batches(self, records: Iterator[VariantRecord],
                stop: Optional[Callable[[], bool]] = None) -> Iterator[EffectBatch]:
        chunk: List[VariantRecord] = []
        for record in records:
            chunk.append(record)
            if len(chunk) == BATCH_RECORDS:
                yield self._score(chunk)
                chunk = []
                if stop is not None and stop():
                    return
        if chunk:
            yield self._score(chunk)

    # --- one batch --------------------------------------------------------

    def _alleles(self, record: VariantRecord) -> List[Tuple[str, int, int, str]]:
        """(alt, lead, changed REF bases, changed ALT bases) of the record's scored alleles."""
        if not _is_bases(record.ref):
            raise VariantError(f"{self.source}: {record.where}: REF must be bases (A, C, G, T, N), "
                               f"not {record.ref!r}")
        alleles = []
        for alt in record.alts:
            if not _is_bases(alt):
                self.skipped.symbolic += 1
                continue
            lead, changed_ref, changed_alt = trim_alleles(record.ref, alt)
            if changed_ref == 0 and not changed_alt:
                self.skipped.unchanged += 1
            elif max(changed_ref, len(changed_alt)) > self.max_indel:
                self.skipped.too_long += 1
            else:
                alleles.append((alt, lead, changed_ref, changed_alt))
        return alleles

    def _chromosome(self, record: VariantRecord):
        found = self.chromosomes.get(record.chrom)
        if found is not None:
            return found
        example = self.genome.records[0].name if self.genome.records else None
        hint = f" (its records are named like '{example}')" if example else " (it has no records)"
        raise VariantError(f"{self.source}: {record.where}: chromosome '{record.chrom}' does not "
                           f"occur in the genome {self.genome.display}{hint}")

    def _read_regions(self, wanted) -> Dict[int, Tuple[bytes, int]]:
        """For each wanted (index, chromosome, start, end): (bases, start of those bases),
        reading nearby regions of a chromosome at once."""
        found: Dict[int, Tuple[bytes, int]] = {}
        by_chromosome: Dict[str, list] = {}
        for item in wanted:
            by_chromosome.setdefault(item[1].name, []).append(item)
        for items in by_chromosome.values():
            items.sort(key=lambda item: item[2])
            group, end = [items[0]], items[0][3]
            for item in items[1:] + [None]:
                if item is not None and item[2] - end <= READ_GAP:
                    group.append(item)
                    end = max(end, item[3])
                    continue
                start = group[0][2]
                bases = self.genome.read(group[0][1], start, end)
                for member in group:
                    found[member[0]] = (bases, start)
                if item is not None:
                    group, end = [item], item[3]
        return found

    def _score(self, records: List[VariantRecord]) -> EffectBatch:
        scored = []  # (record, alleles, chromosome)
        for record in records:
            alleles = self._alleles(record)
            if alleles:
                scored.append((record, alleles, self._chromosome(record)))
        wanted = []
        for index, (record, _, chromosome) in enumerate(scored):
            start = record.pos - 1
            if start < 0:
                raise VariantError(f"{self.source}: {record.where}: pos must be 1 or more, "
                                   f"not {record.pos}")
            wanted.append((index, chromosome, max(0, start - self.context),
                           min(chromosome.length, start + len(record.ref) + self.context)))
        regions = self._read_regions(wanted)
        builder = _BatchBuilder()
        for index, (record, alleles, chromosome) in enumerate(scored):
            bases, base = regions[index]
            if not self._ref_matches(record, chromosome, bases, base):
                self.skipped.mismatches += len(alleles)
                continue
            for alt, lead, changed_ref, changed_alt in alleles:
                builder.add(record, alt, lead, changed_ref, changed_alt, bases, base,
                            chromosome.length, self.context)
        engine = self.prepared.engine_set
        slices = np.array(builder.slices, dtype=np.int64).reshape(-1, 6)
        from . import _engine

        builder.batch.rows = _engine.score_variants(
            engine, self.prepared.pvalues, b"".join(builder.letters), slices,
            all=self.all_pairs, strand=self.strand, mask=self.mask, threads=self.threads)
        self.variants_done += len(builder.slices)
        self.rows_done += len(builder.batch.rows)
        return builder.batch

    def _ref_matches(self, record: VariantRecord, chromosome, bases: bytes, base: int) -> bool:
        start = record.pos - 1
        genome_ref = bases[start - base:start + len(record.ref) - base]
        if genome_ref.upper() == record.ref.upper().encode("ascii"):
            return True
        if self.skip_mismatches:
            return False
        if start + len(record.ref) > chromosome.length:
            what = f"runs past the end of '{record.chrom}' ({chromosome.length:,} bases)"
        else:
            what = f"does not match the genome's {genome_ref.decode('ascii', 'replace')!r}"
        raise VariantError(f"{self.source}: {record.where}: REF {record.ref!r} at "
                           f"{record.chrom}:{record.pos} {what} (--skip-mismatches skips such "
                           f"records)")
