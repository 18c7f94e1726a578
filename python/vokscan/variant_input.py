"""Variant records from VCF or BCF (plain or bgzip, read with pysam), from a
TSV of ``chrom pos ref alt [id]`` columns, or from a DataFrame with those
columns. Every record keeps where it came from (its line, or its row), for
messages."""

from __future__ import annotations

import gzip
import os
import tempfile
from typing import Iterator, List, NamedTuple, Optional, Sequence

GZIP_MAGIC = b"\x1f\x8b"
TSV_COLUMNS = ("chrom", "pos", "ref", "alt", "id")


class VariantError(ValueError):
    """Bad variants input; the message names the file and line (or row).

    Examples:
        >>> import pandas as pd
        >>> import vokscan
        >>> wrong_ref = pd.DataFrame({"chrom": ["gi|9626243|ref|NC_001416.1|"], "pos": [1],
        ...                           "ref": ["TTTT"], "alt": ["A"]})
        >>> try:
        ...     vokscan.variant_effects("examples/data/jaspar_core_vertebrates.transfac",
        ...                             "examples/data/lambda_virus.fa", wrong_ref)
        ... except vokscan.VariantError as error:
        ...     print("refused")
        refused
    """


class VariantRecord(NamedTuple):
    chrom: str                 # chromosome name as written
    pos: int                   # 1-based position of REF's first base
    id: str                    # the ID field, "." when missing
    ref: str                   # REF as written
    alts: Sequence[str]        # ALT alleles as written (symbolic ones included)
    where: str                 # "line N" or "row N", for messages


def _head(path: str) -> bytes:
    """The first bytes of the file's content (decompressed if gzip/bgzip)."""
    with open(path, "rb") as handle:
        magic = handle.read(2)
        handle.seek(0)
        if magic == GZIP_MAGIC:
            with gzip.GzipFile(fileobj=handle) as stream:
                try:
                    return stream.read(64)
                except (OSError, EOFError) as error:
                    raise VariantError(f"{path}: not a readable gzip file: {error}") from None
        return handle.read(64)


def variant_format(path: str) -> str:
    """'vcf', 'bcf' or 'tsv', from the content."""
    head = _head(path)
    if head.startswith(b"BCF\x02"):
        return "bcf"
    if head.startswith(b"##fileformat=VCF"):
        return "vcf"
    return "tsv"


def read_variants(variants) -> Iterator[VariantRecord]:
    """The records of a VCF/BCF/TSV path or of a DataFrame, in their order."""
    if hasattr(variants, "columns") and hasattr(variants, "iloc"):
        return _frame_records(variants)
    path = os.fspath(variants)
    kind = variant_format(path)
    if kind == "tsv":
        return _tsv_records(path)
    return _vcf_records(path, kind)


# --- VCF and BCF ------------------------------------------------------------

def _pysam():
    try:
        import pysam
    except ImportError:
        raise VariantError("reading VCF or BCF needs pysam: python -m pip install 'vok[variants]'") from None
    pysam.set_verbosity(0)  # htslib's warnings (contigs missing from the header, ...) stay quiet
    return pysam


def _header_lines(path: str) -> int:
    """Lines of a text VCF before its first record."""
    opener = gzip.open if _is_gzip(path) else open
    count = 0
    with opener(path, "rb") as handle:
        for line in handle:
            if not line.startswith(b"#"):
                break
            count += 1
    return count


def _is_gzip(path: str) -> bool:
    with open(path, "rb") as handle:
        return handle.read(2) == GZIP_MAGIC


def _vcf_records(path: str, kind: str) -> Iterator[VariantRecord]:
    pysam = _pysam()
    try:
        reader = pysam.VariantFile(path)
    except (OSError, ValueError) as error:
        raise VariantError(f"{path}: not a readable {kind.upper()} file: {error}") from None
    first_line = _header_lines(path) + 1 if kind == "vcf" else None
    with reader:
        records = iter(reader)
        number = 0
        while True:
            try:
                record = next(records)
            except StopIteration:
                return
            except (OSError, ValueError) as error:
                raise VariantError(_record_error(path, kind, first_line, number, error)) from None
            number += 1
            where = f"line {first_line + number - 1}" if first_line is not None else f"record {number}"
            # A record without ALT ('.') counts as a skipped allele, as '.' does.
            yield VariantRecord(record.chrom, record.pos, record.id or ".", record.ref or "",
                                record.alts or (".",), where)


def _record_error(path: str, kind: str, first_line: Optional[int], number: int,
                  error: BaseException) -> str:
    """The library's error for the record after `number` good ones, with its line."""
    if first_line is None:
        return f"{path}: record {number + 1}: {error}"
    line_number = first_line + number
    text = _line_text(path, line_number)
    detail = _library_message(path, text) if text is not None else None
    if not detail:
        fields = len(text.split("\t")) if text else 0
        detail = (f"{error} ({fields} tab-separated field{'s' if fields != 1 else ''}; "
                  f"a record has at least 8)" if fields < 8 else str(error))
    return f"{path}: line {line_number}: {detail}"


def _line_text(path: str, line_number: int) -> Optional[str]:
    opener = gzip.open if _is_gzip(path) else open
    with opener(path, "rb") as handle:
        for number, line in enumerate(handle, 1):
            if number == line_number:
                return line.rstrip(b"\r\n").decode("utf-8", "replace")
    return None


def _library_message(path: str, line: str) -> str:
    """What htslib writes to standard error when it parses `line` under the
    file's header: its messages are not part of the exception. Runs once, for
    the message of a failing run."""
    pysam = _pysam()
    with pysam.VariantFile(path) as reader:
        header = str(reader.header)
    with tempfile.TemporaryDirectory() as folder:
        single = os.path.join(folder, "record.vcf")
        with open(single, "w") as out:
            out.write(header + line + "\n")
        log_path = os.path.join(folder, "log")
        log = os.open(log_path, os.O_WRONLY | os.O_CREAT, 0o600)
        saved = os.dup(2)
        previous = pysam.set_verbosity(1)  # errors only
        os.dup2(log, 2)
        try:
            try:
                with pysam.VariantFile(single) as reader:
                    for _ in reader:
                        pass
            except (OSError, ValueError):
                pass
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            os.close(log)
            pysam.set_verbosity(previous)
        with open(log_path, errors="replace") as handle:
            messages = [line.split("] ", 1)[-1].strip() for line in handle if line.strip()]
    return "; ".join(messages)


# --- TSV and DataFrame ------------------------------------------------------

def _tsv_records(path: str) -> Iterator[VariantRecord]:
    opener = gzip.open if _is_gzip(path) else open
    columns: Optional[List[int]] = None
    with opener(path, "rt", encoding="utf-8", errors="surrogateescape", newline="") as handle:
        for number, line in enumerate(handle, 1):
            line = line.rstrip("\r\n")
            if not line or line.startswith("#"):
                continue
            fields = line.split("\t")
            if columns is None:
                columns, is_header = _tsv_columns(fields, path, number)
                if is_header:
                    continue
            yield _record_from_fields(fields, columns, path, f"line {number}")


def _tsv_columns(fields: List[str], path: str, number: int):
    """Field index of chrom, pos, ref, alt and id (-1: none), and whether the
    line is a header naming them."""
    names = [field.strip().lower().lstrip("#") for field in fields]
    if "chrom" in names and "pos" in names:
        missing = [name for name in TSV_COLUMNS[:4] if name not in names]
        if missing:
            raise VariantError(f"{path}: line {number}: the header has no column "
                               f"{', '.join(missing)}")
        return [names.index(name) if name in names else -1 for name in TSV_COLUMNS], True
    # No header: chrom pos ref alt, and an id wherever a line has a fifth field.
    return [0, 1, 2, 3, 4], False


def _record_from_fields(fields: List[str], columns: List[int], path: str, where: str) -> VariantRecord:
    needed = max(columns[:4]) + 1
    if len(fields) < needed:
        raise VariantError(f"{path}: {where}: {len(fields)} tab-separated fields; "
                           f"chrom, pos, ref and alt need {needed}")
    chrom, pos, ref, alt = (fields[i].strip() for i in columns[:4])
    ident = fields[columns[4]].strip() if 0 <= columns[4] < len(fields) else "."
    return _checked(chrom, pos, ident or ".", ref, alt, path, where)


def _checked(chrom, pos, ident, ref, alt, source: str, where: str) -> VariantRecord:
    try:
        position = int(pos)
    except (TypeError, ValueError):
        raise VariantError(f"{source}: {where}: pos must be a whole number, not {pos!r}") from None
    if not chrom:
        raise VariantError(f"{source}: {where}: no chromosome name")
    if not ref:
        raise VariantError(f"{source}: {where}: no ref allele")
    alts = tuple(a.strip() for a in str(alt).split(",")) if alt not in (None, "") else (".",)
    return VariantRecord(str(chrom), position, str(ident), str(ref), alts, where)


def _frame_records(frame) -> Iterator[VariantRecord]:
    names = {str(column).lower(): column for column in frame.columns}
    missing = [name for name in TSV_COLUMNS[:4] if name not in names]
    if missing:
        raise VariantError(f"the variants table has no column {', '.join(missing)} "
                           f"(it needs chrom, pos, ref, alt and may have id)")
    columns = [frame[names[name]] for name in TSV_COLUMNS[:4]]
    ids = frame[names["id"]] if "id" in names else [None] * len(frame)
    for number, (chrom, pos, ref, alt, ident) in enumerate(zip(*columns, ids), 1):
        ident = "." if ident is None or ident != ident or ident == "" else str(ident)
        yield _checked(chrom, pos, ident, ref, alt, "variants table", f"row {number}")
