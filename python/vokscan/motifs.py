"""Motif files: reading the common formats, format detection and validation.

Every reader returns `Motif` records: an identifier (the key that cut-off
lines match), a factor name (may be empty) and an L x 4 float32 matrix of
counts or frequencies, rows = positions, columns = A, C, G, T, exactly as
the source gives them (the scoring model normalises them itself).
"""

from __future__ import annotations

import gzip
import io
import os
import re
from dataclasses import dataclass
from typing import List, Optional, Tuple

import numpy as np

import vok

from .quoting import quote

#: Names accepted by ``--motif-format`` / ``format=``.
FORMATS = ("transfac", "jaspar", "pfm", "meme", "homer")
"""The motif file formats, as named to ``--motif-format`` and ``format=``
(a file's format is otherwise told from its content).

Examples:
    >>> import vokscan
    >>> "meme" in vokscan.FORMATS
    True
    >>> matrices = vokscan.read_motifs("examples/data/jaspar_core_vertebrates.transfac", format="transfac")
"""

# Row totals of published count matrices vary (JASPAR 2024 CORE reaches a
# ratio of 6.2 between the largest and the smallest row); beyond ten, rows
# are taken to mix units (counts in some rows, frequencies in others).
MAX_COUNT_ROW_RATIO = 10.0
# Frequency rows are rounded to two or more decimals in the files seen.
FREQUENCY_ROW_TOLERANCE = 0.05


class MotifError(ValueError):
    """A motif file or matrix that cannot be used; the message names it.

    Examples:
        >>> import vokscan
        >>> try:
        ...     vokscan.read_motifs("examples/data/lambda_virus.fa", format="jaspar")
        ... except vokscan.MotifError as error:
        ...     print("refused")
        refused
    """


@dataclass
class Motif:
    """One weight matrix as read from a file or converted from an object."""

    id: str  # matrix identifier: what cut-off lines and output's motif_id show
    name: str  # factor name, "" when the source has none
    matrix: np.ndarray  # float32, shape (L, 4): positions x (A, C, G, T), counts or frequencies

    def to_pwm(self) -> "vok.PwmMatrix":
        """The module's matrix object, named by the identifier."""
        return vok.PwmMatrix(self.id, [self.matrix[:, b].tolist() for b in range(4)])


def validate(motif: Motif, where: str = "") -> Motif:
    """Check shape and values of one matrix; raise MotifError naming it."""
    label = f"{where}motif {quote(motif.id)}"
    m = motif.matrix
    if m.ndim != 2 or m.shape[1] != 4:
        raise MotifError(f"{label}: expected 4 columns (A, C, G, T), got shape {m.shape}")
    if m.shape[0] == 0:
        raise MotifError(f"{label}: the matrix has no positions")
    bad = ~np.isfinite(m)
    if bad.any():
        row = int(np.argwhere(bad)[0][0])
        raise MotifError(f"{label}: position {row + 1} holds a value that is not finite")
    if (m < 0).any():
        row = int(np.argwhere(m < 0)[0][0])
        raise MotifError(f"{label}: position {row + 1} holds a negative value")
    totals = m.astype(np.float64).sum(axis=1)
    if (totals <= 0).any():
        row = int(np.argmin(totals))
        raise MotifError(f"{label}: position {row + 1} has only zeros")
    largest, smallest = totals.max(), totals.min()
    if largest <= 1.0 + FREQUENCY_ROW_TOLERANCE:
        off = np.abs(totals - 1.0) > FREQUENCY_ROW_TOLERANCE
        if off.any():
            row = int(np.argmax(off))
            raise MotifError(
                f"{label}: rows do not sum consistently (frequency rows must sum to 1; "
                f"position {row + 1} sums to {totals[row]:.6g})")
    elif largest > MAX_COUNT_ROW_RATIO * smallest:
        raise MotifError(
            f"{label}: rows do not sum consistently (row totals range from "
            f"{smallest:.6g} to {largest:.6g})")
    return motif


def _matrix_from_counts(counts) -> np.ndarray:
    """An (L, 4) float32 array from a Bio.motifs counts mapping."""
    columns = [np.asarray(counts[letter], dtype=np.float64) for letter in "ACGT"]
    return np.ascontiguousarray(np.stack(columns, axis=1).astype(np.float32))


def from_biopython_motif(motif, fmt: str = "") -> Motif:
    """A Motif from a Bio.motifs motif, with identifier and name by source."""
    matrix = _matrix_from_counts(motif.counts)
    matrix_id = getattr(motif, "matrix_id", None)
    name = getattr(motif, "name", None) or ""
    if fmt == "transfac" or (not matrix_id and hasattr(motif, "get") and motif.get("ID")):
        motif_id = motif.get("ID") or motif.get("AC") or motif.get("NA") or ""
        name = motif.get("NA") or ""
    elif matrix_id:
        motif_id = matrix_id
    else:
        motif_id, name = name, ""
    return Motif(str(motif_id).strip(), str(name).strip(), matrix)


def from_biopython(motif) -> "vok.PwmMatrix":
    """Convert a Bio.motifs motif to a vok.PwmMatrix (after validation).

    Examples:
        >>> import vokscan
        >>> from Bio import motifs
        >>> pwm = vokscan.from_biopython(motifs.create(["CACGTG", "CACGTG", "CATGTG"]))
        >>> table = vokscan.scan_to_dataframe([pwm], {"s": "TTCACGTGTT"}, css=0.9, mss=0.9)
        >>> list(table["start"])
        [2, 2]
    """
    record = from_biopython_motif(motif)
    if not record.id:
        record.id = "motif"
    return validate(record).to_pwm()


def coerce(item, index: int) -> Motif:
    """A Motif from a Motif, vok.PwmMatrix, Bio.motifs motif or (id, matrix) pair."""
    if isinstance(item, Motif):
        return item
    if isinstance(item, vok.PwmMatrix):
        rows = item.matrix
        matrix = np.asarray(rows, dtype=np.float32).reshape(len(rows), 4)
        return Motif(item.name, "", matrix)
    if hasattr(item, "counts") and hasattr(item, "length"):
        record = from_biopython_motif(item)
        return record if record.id else Motif(f"motif{index + 1}", record.name, record.matrix)
    if isinstance(item, tuple) and len(item) == 2:
        return Motif(str(item[0]), "", np.asarray(item[1], dtype=np.float32))
    raise TypeError(
        f"motif {index + 1}: expected a vok.PwmMatrix, a Bio.motifs motif or an "
        f"(id, matrix) pair, got {type(item).__name__}")


# --- format detection -------------------------------------------------------

_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?"
_NUMBER_ROW = re.compile(rf"^\s*{_NUMBER}(?:[\s,]+{_NUMBER})*\s*$")
_LETTER_ROW = re.compile(r"^\s*[ACGTacgt]\s*[:|\[]?\s*[\[]?\s*[-+.\d]")
_TRANSFAC_KEY = re.compile(r"^(?:ID|AC|NA|P0|PO|DE|BF|VV|XX|//)(?:\s|$)")
# The line that starts a TRANSFAC matrix (P0, or PO in some exports).
_TRANSFAC_MATRIX = re.compile(r"^P[0O](?:\s|$)")
_SEQUENCE_ROW = re.compile(r"^[A-Za-z*-]+$")
_CONSENSUS = re.compile(r"[ACGTRYKMSWBDHVN]+", re.I)


def _homer_shaped(header: str, rows: List[str]) -> bool:
    """Whether a '>' block of four lines of four numbers is a HOMER motif of
    4 positions rather than four rows (A, C, G, T) of 4 positions: a HOMER
    header (consensus of one letter per line, a tab, the name), or lines that
    are frequencies summing to 1 while the columns are not."""
    fields = header[1:].split("\t")
    consensus = fields[0].strip()
    if len(fields) > 1 and _CONSENSUS.fullmatch(consensus) and len(consensus) == len(rows):
        return True
    if not all(_NUMBER_ROW.match(row) for row in rows):
        return False  # not numbers: the reader names the fault
    values = np.array([[float(v) for v in row.replace(",", " ").split()] for row in rows])
    lines_are_frequencies = np.all(np.abs(values.sum(axis=1) - 1.0) <= FREQUENCY_ROW_TOLERANCE)
    columns_are_frequencies = np.all(np.abs(values.sum(axis=0) - 1.0) <= FREQUENCY_ROW_TOLERANCE)
    return bool(lines_are_frequencies and not columns_are_frequencies)


def detect_format(text: str) -> Optional[str]:
    """The format of a motif file's text, or None when nothing fits."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if not lines:
        return None
    if any(line.startswith("MEME version") for line in lines[:50]):
        return "meme"
    if any(_TRANSFAC_KEY.match(line) for line in lines[:200]):
        return "transfac"
    if lines[0].startswith(">"):
        following = lines[1] if len(lines) > 1 else ""
        if _LETTER_ROW.match(following):
            return "jaspar"
        if _NUMBER_ROW.match(following):
            rows = []
            for line in lines[1:]:
                if line.startswith(">"):
                    break
                rows.append(line)
            widths = [len(row.replace(",", " ").split()) for row in rows]
            # HOMER: one line of four values per position; otherwise four rows of L values.
            if all(w == 4 for w in widths) and (len(rows) != 4 or _homer_shaped(lines[0], rows)):
                return "homer"
            return "pfm"
        return None
    if _LETTER_ROW.match(lines[0]):
        return "jaspar"
    if all(_NUMBER_ROW.match(line) for line in lines):
        return "pfm"
    return None


# --- readers -----------------------------------------------------------------

def _parse_transfac(text: str) -> List[Motif]:
    from Bio.motifs import transfac

    if not any(_TRANSFAC_MATRIX.match(line) for line in text.splitlines()):
        return []  # no record (Bio.motifs would fail on its own variables)
    # A last record without its closing "//" would be dropped silently.
    if not re.search(r"^//\s*\Z", text.rstrip() + "\n", re.M):
        text = text.rstrip("\r\n") + "\n//\n"
    records = transfac.read(io.StringIO(text), strict=False)
    motifs = [from_biopython_motif(m, "transfac") for m in records]
    for number, motif in enumerate(motifs, start=1):
        # Records without ID, AC and NA (as Bio.motifs writes them).
        motif.id = motif.id or f"motif_{number}"
    return motifs


def _split_blocks(text: str) -> List[List[Tuple[int, str]]]:
    """Blocks of non-empty (line number, line) pairs, each starting at a '>'
    header when there are headers."""
    blocks: List[List[Tuple[int, str]]] = []
    current: List[Tuple[int, str]] = []
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if not line:
            continue
        if line.startswith(">") and current:
            blocks.append(current)
            current = []
        current.append((number, line))
    if current:
        blocks.append(current)
    return blocks


def _header(line: str):
    """(id, name) of a '>ID name' header line (tab or blanks between them)."""
    fields = line[1:].strip().split(None, 1)
    if not fields:
        return "", ""
    return fields[0], fields[1].strip() if len(fields) > 1 else ""


def _numbers(text: str, where: str) -> List[float]:
    values = []
    for field in re.split(r"[\s,]+", text.strip()):
        try:
            values.append(float(field))
        except ValueError:
            raise MotifError(f"{where}: expected numbers, got {quote(field)}") from None
    return values


def _parse_four_rows(text: str, lettered: bool) -> List[Motif]:
    """JASPAR '>ID name' + 'A [ ... ]' rows, or the plain four rows of numbers."""
    motifs = []
    for number, block in enumerate(_split_blocks(text), start=1):
        has_header = block[0][1].startswith(">")
        motif_id, name = _header(block[0][1]) if has_header else ("", "")
        rows = block[1:] if has_header else block
        label = f"motif {quote(motif_id or str(number))}"
        if len(rows) != 4:
            raise MotifError(f"{label}: expected 4 rows (A, C, G, T), got {len(rows)}")
        values = {}
        for position, (line_number, row) in enumerate(rows):
            where = f"{label}, line {line_number}"
            letter = "ACGT"[position]
            if lettered or re.match(r"^[ACGTacgt]\b", row):
                head = row[0].upper()
                if head not in "ACGT":
                    raise MotifError(f"{where}: row {quote(row)} does not start with A, C, G or T")
                letter = head
                row = row[1:].strip().lstrip(":|").replace("[", " ").replace("]", " ")
            if letter in values:
                raise MotifError(f"{where}: two rows for {letter}")
            values[letter] = _numbers(row, where)
        lengths = {len(v) for v in values.values()}
        if len(lengths) != 1:
            raise MotifError(f"{label}: the four rows differ in length ({sorted(lengths)})")
        matrix = np.array([values[b] for b in "ACGT"], dtype=np.float32).T
        motifs.append(Motif(motif_id or f"motif{number}", name, np.ascontiguousarray(matrix)))
    return motifs


def _parse_jaspar(text: str) -> List[Motif]:
    return _parse_four_rows(text, lettered=True)


def _parse_pfm(text: str) -> List[Motif]:
    return _parse_four_rows(text, lettered=False)


def _parse_homer(text: str) -> List[Motif]:
    from Bio.motifs import pfm

    motifs = []
    for number, m in enumerate(pfm.read(io.StringIO(text), "pfm-four-columns"), start=1):
        # The header is ">consensus<TAB>name<TAB>log-odds threshold<TAB>...".
        fields = (m.name or "").split("\t")
        consensus = fields[0].strip()
        motif_id = fields[1].strip() if len(fields) > 1 and fields[1].strip() else consensus
        factor = re.split(r"[(/]", motif_id, 1)[0] if len(fields) > 1 else ""
        motifs.append(Motif(motif_id or f"motif{number}", factor, _matrix_from_counts(m.counts)))
    return motifs


_MOTIF_LINE = re.compile(r"^MOTIF\s+(\S+)(?:\s+(.*\S))?\s*$")
_LPM_LINE = re.compile(r"^letter-probability matrix:(.*)$")


def _parse_meme(text: str) -> List[Motif]:
    """MEME minimal text. Probabilities times nsites when nsites is given
    (so the weight of the data is kept), else the probabilities themselves.

    Read here rather than through Bio.motifs, which rounds the products to
    whole counts, drops the alternate name and insists on the optional
    background section.
    """
    motifs: List[Motif] = []
    lines = text.splitlines()
    alphabet = "ACGT"
    i = 0
    current_id, current_name = None, ""
    while i < len(lines):
        line = lines[i].strip()
        i += 1
        if line.startswith("ALPHABET"):
            letters = line.split("=", 1)[1].strip() if "=" in line else ""
            if letters not in ("ACGT", "ACGU"):
                raise MotifError(f"line {i}: only DNA motifs can be scanned (ALPHABET= {quote(letters)})")
        match = _MOTIF_LINE.match(line)
        if match:
            current_id, current_name = match.group(1), match.group(2) or ""
            continue
        match = _LPM_LINE.match(line)
        if not match:
            continue
        if current_id is None:
            raise MotifError("a letter-probability matrix without a MOTIF line before it")
        label = f"motif {quote(current_id)}"
        settings = dict(re.findall(r"(\w+)\s*=\s*(\S+)", match.group(1)))
        width = int(settings["w"]) if "w" in settings else None
        rows = []
        while i < len(lines) and (width is None or len(rows) < width):
            row = lines[i].strip()
            if not row or not _NUMBER_ROW.match(row):
                break
            rows.append(_numbers(row, f"{label}, line {i + 1}"))
            i += 1
        if width is not None and len(rows) != width:
            raise MotifError(f"{label}: w= {width} but {len(rows)} rows follow")
        if any(len(r) != len(alphabet) for r in rows):
            raise MotifError(f"{label}: every row needs 4 values (A, C, G, T)")
        matrix = np.array(rows, dtype=np.float64).reshape(len(rows), 4)
        if "nsites" in settings:
            try:
                matrix = matrix * float(settings["nsites"])
            except ValueError:
                raise MotifError(f"{label}: nsites= {quote(settings['nsites'])} is not a number") from None
        motifs.append(Motif(current_id, current_name, matrix.astype(np.float32)))
        current_id, current_name = None, ""
    return motifs


_READERS = {
    "transfac": _parse_transfac,
    "jaspar": _parse_jaspar,
    "pfm": _parse_pfm,
    "meme": _parse_meme,
    "homer": _parse_homer,
}


def _undetected(text: str, source: str) -> MotifError:
    """The error for a text of no motif format, saying what it looks like."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if not lines:
        return MotifError(f"{source}: the motif file is empty")
    if lines[0].startswith(">") and len(lines) > 1 and _SEQUENCE_ROW.match(lines[1]):
        return MotifError(f"{source}: looks like FASTA: the motif file comes first "
                          f"(vok-scan MOTIFS SEQUENCES...)")
    return MotifError(f"{source}: cannot tell the motif format (use --motif-format with one "
                      f"of {', '.join(FORMATS)})")


def _check_identifiers(motifs: List[Motif], source: str) -> None:
    """Refuses two motifs of one identifier: a cut-off line names exactly one."""
    first_of = {}
    for number, motif in enumerate(motifs, start=1):
        earlier = first_of.setdefault(motif.id, number)
        if earlier != number:
            raise MotifError(f"{source}: motifs {earlier} and {number} have the same identifier "
                             f"{quote(motif.id)}")


def parse_motifs(text: str, fmt: Optional[str] = None, source: str = "<text>") -> List[Motif]:
    """Motifs of a file's text, in file order, validated."""
    if fmt is None:
        fmt = detect_format(text)
        if fmt is None:
            raise _undetected(text, source)
    elif fmt not in _READERS:
        raise MotifError(f"unknown motif format {quote(fmt)} (one of {', '.join(FORMATS)})")
    try:
        motifs = _READERS[fmt](text)
    except MotifError as exc:
        raise MotifError(f"{source}: {exc}") from None
    except Exception as exc:  # a reader's own error, whatever its kind
        first_line = (str(exc).splitlines() or [type(exc).__name__])[0]
        raise MotifError(f"{source}: not readable as {fmt}: {quote(first_line)}") from None
    if not motifs:
        raise MotifError(f"{source}: no motifs found (read as {fmt})")
    for motif in motifs:
        validate(motif, f"{source}: ")
    _check_identifiers(motifs, source)
    return motifs


def read_text(path) -> str:
    """The text of a motif file, gzip-compressed or not."""
    with open(path, "rb") as handle:
        data = handle.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def load_motifs(path, fmt: Optional[str] = None) -> List[Motif]:
    """Motif records of a file (format detected from the content unless given)."""
    return parse_motifs(read_text(path), fmt, os.fspath(path))


def read_motifs(path, format: Optional[str] = None) -> List["vok.PwmMatrix"]:
    """The motifs of a file as vok.PwmMatrix objects, named by their identifiers.

    Examples:
        >>> import vokscan
        >>> matrices = vokscan.read_motifs("examples/data/jaspar_core_vertebrates.transfac")
        >>> len(matrices)
        8
        >>> matrices[0].name
        'MA0139.2.CTCF'
    """
    return [m.to_pwm() for m in load_motifs(path, format)]


def jaspar_motifs(spec: str) -> List[Motif]:
    """Motifs of the JASPAR database bundled by pyjaspar.

    ``spec`` is ``RELEASE[:COLLECTION[:TAXON[,TAXON...]]]``, e.g.
    ``2024:CORE:vertebrates``; the latest version of each matrix is taken.
    """
    try:
        from pyjaspar import jaspardb
    except ImportError:
        raise MotifError(
            "--jaspar needs pyjaspar: python -m pip install pyjaspar (or pip install '.[jaspar]' "
            "in vok's source folder)") from None
    parts = spec.split(":")
    if not parts[0] or len(parts) > 3:
        raise MotifError(f"--jaspar {quote(spec)}: expected RELEASE[:COLLECTION[:TAXON]]")
    release = parts[0].upper()
    if not release.startswith("JASPAR"):
        release = f"JASPAR{release}"
    collection = parts[1].upper() if len(parts) > 1 and parts[1] else "CORE"
    taxa = [t for t in parts[2].split(",") if t] if len(parts) > 2 else None
    try:
        # Checked first: for an unknown release pyjaspar prints to standard
        # output, which may be the hit table.
        releases = jaspardb().get_releases()
    except Exception as exc:
        raise MotifError(f"--jaspar {quote(spec)}: {exc}") from None
    if release not in releases:
        raise MotifError(f"--jaspar {quote(spec)}: no release {release} in pyjaspar "
                         f"(it has {', '.join(releases)})")
    try:
        database = jaspardb(release=release)
        found = database.fetch_motifs(collection=[collection], tax_group=taxa,
                                      all_versions=False)
    except Exception as exc:  # pyjaspar reports an unknown release in several ways
        raise MotifError(f"--jaspar {quote(spec)}: {exc}") from None
    motifs = [from_biopython_motif(m) for m in found]
    if not motifs:
        raise MotifError(f"--jaspar {quote(spec)}: no motifs found")
    for motif in motifs:
        validate(motif, "JASPAR: ")
    return motifs

