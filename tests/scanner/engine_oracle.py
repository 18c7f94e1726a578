"""The hits the scan engine must report, computed with the vok module itself.

Every uninterrupted A/C/G/T segment of a record is added to a calculator as a
record of its own (upper-cased; its reverse complement as a second record for
the minus strand), and the module's hits are mapped to forward coordinates.
"""

import re

import numpy as np

import vok
from reference_model import build, columns

COMPLEMENT = str.maketrans("ACGT", "TGCA")
SCANNED = re.compile(r"[ACGTacgt]+")
SCANNED_MASKED = re.compile(r"[ACGT]+")


def core_starts(matrices):
    """The core start m of every matrix (None below five positions)."""
    starts = []
    for rows in matrices:
        model = build([list(map(float, row)) for row in rows], (0.0, 0.0))
        starts.append(None if model is None else model.core_start)
    return starts


def _calculator(matrices, css, mss):
    calc = vok.VokCalculator()
    for k, rows in enumerate(matrices):
        calc.add_pwm(vok.PwmMatrix(f"m{k}", columns([list(map(float, r)) for r in rows])))
        profile = vok.parse_profile("1 0 0 A x\n")[0]
        profile.id = f"m{k}"
        profile.css = float(css[k])
        profile.mss = float(mss[k])
        calc.add_profile(profile)
    return calc


def _segment_hits(calc, starts, lengths, seg, strand):
    """(start, end, motif, strand, core, css, mss, full) of one segment, segment coordinates."""
    n = len(seg)
    record = vok.parse_fasta(">f\n")[0]
    record.seq = seg
    calc.add_fasta(record)
    if strand == "both":
        rc = vok.parse_fasta(">r\n")[0]
        rc.seq = seg.translate(COMPLEMENT)[::-1]
        calc.add_fasta(rc)
    found = []
    for hit in calc.evaluate():
        k = int(hit.matrix[1:])
        m, length = starts[k], lengths[k]
        if hit.sequence == "f" and hit.strand:
            x = hit.pos - m
            found.append((x, min(x + length, n), k, 1, hit.pos, hit.css, hit.mss, x + length <= n))
            continue
        if strand == "forward":
            continue
        if strand == "both":
            if hit.sequence != "r" or not hit.strand:
                continue
            p = hit.pos
        else:
            if hit.strand:
                continue
            p = n - hit.pos - 5  # the module reports the forward core index
        c = p - m
        x = n - c - length
        found.append((max(x, 0), n - c, k, -1, n - p - 5, hit.css, hit.mss, x >= 0))
    return found


def expected_hits(matrices, css, mss, records, strand="both", mask=False, partial_windows=False):
    """Expected hits as a list of (sequence, start, end, motif, strand, css, mss, core)."""
    starts = core_starts(matrices)
    lengths = [len(rows) for rows in matrices]
    pattern = SCANNED_MASKED if mask else SCANNED
    result = []
    for index, text in enumerate(records):
        hits = []
        for segment in pattern.finditer(text):
            calc = _calculator(matrices, css, mss)
            offset = segment.start()
            for start, end, k, sign, core, c, s, full in _segment_hits(
                    calc, starts, lengths, segment.group().upper(), strand):
                if full or partial_windows:
                    hits.append((index, offset + start, offset + end, k, sign, c, s, offset + core))
        hits.sort(key=lambda h: (h[1], h[3], -h[4], h[7]))
        result.extend(hits)
    return result


def engine_hits(batches):
    """Hits of engine batches in the same tuple form, sequence as a global record index."""
    result = []
    seen_names = []
    for batch in batches:
        cols = batch.columns()
        for i in range(len(batch)):
            result.append((batch.sequence_names[cols["sequence"][i]], int(cols["start"][i]),
                           int(cols["end"][i]), int(cols["motif"][i]), int(cols["strand"][i]),
                           float(cols["css"][i]), float(cols["mss"][i]), int(cols["core"][i])))
        seen_names.extend(batch.sequence_names)
    return result


def random_matrices(rng, count, lengths=(3, 22)):
    """Count matrices or frequency matrices with a few degenerate shapes among them."""
    matrices = []
    for _ in range(count):
        length = int(rng.integers(*lengths))
        if rng.random() < 0.5:
            rows = rng.integers(0, 30, (length, 4)).astype(np.float32)
        else:
            rows = rng.dirichlet(np.full(4, 0.6), length).astype(np.float32)
        rows[rng.random(length) < 0.1] = 0  # uninformative positions
        if rows.sum() == 0 and length >= 5:
            rows[0, 0] = 1
        matrices.append(rows)
    return matrices


def random_record(rng, length, lower=0.15, breaks=0.05):
    """Letters with lower-case stretches, N runs and single IUPAC codes."""
    out = []
    while sum(map(len, out)) < length:
        roll = rng.random()
        run = int(rng.integers(1, 60))
        if roll < breaks:
            out.append("N" * int(rng.integers(1, 8)) if rng.random() < 0.7 else
                       str(rng.choice(list("RYSWKMBDHVnrykm"))))
        else:
            letters = "".join(rng.choice(list("ACGT"), run))
            out.append(letters.lower() if rng.random() < lower else letters)
    return "".join(out)[:length]
