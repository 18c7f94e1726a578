"""Independent pure-Python model of the scoring, used to check exact scores.

Every step is rounded to a 32-bit float after a double-precision operation:
for +, -, * and / on float32 inputs this gives the correctly rounded float32
result, because a double carries more than 2 * 24 + 2 significand bits.
The logarithm is the platform's single-precision logf, as the module uses.
It has no NaN guards: inputs here never reach them.
"""

import ctypes
import ctypes.util
import math
import struct
import types

BASE_CODES = {"A": 0, "C": 1, "G": 2, "T": 3}

def f32(x):
    """Round a Python float to the nearest float32 (overflow gives infinity)."""
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def f32_bits(x):
    return struct.pack("<f", x)


def _load_logf():
    c_logf = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6").logf
    c_logf.restype = ctypes.c_float
    c_logf.argtypes = [ctypes.c_float]
    return lambda x: float(c_logf(x))


logf = _load_logf()


def _div(a, b):
    if b == 0:
        if a == 0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return f32(a / b)


def columns(rows):
    """Rows of [A, C, G, T] values -> the four per-base lists PwmMatrix takes."""
    return [[row[b] for row in rows] for b in range(4)]


def build(rows, thresholds):
    """The scoring model of one matrix, or None for fewer than 5 positions."""
    freq = []
    for row in rows:
        r = [f32(f32(v) * 100.0) for v in row]
        r = [f32(v + 1.0) for v in r]
        total = 0.0
        for v in r:
            total = f32(total + v)
        freq.append([_div(v, total) for v in r])

    info = []
    for r in freq:
        terms = []
        for f in r:
            four_f = f32(4.0 * f)
            terms.append(f32(f * logf(four_f)))
        total = 0.0
        for t in terms:
            total = f32(total + t)
        info.append(total)

    max_sum = min_sum = 0.0
    for r, i in zip(freq, info):
        max_sum = f32(max_sum + f32(max(r) * i))
        min_sum = f32(min_sum + f32(min(r) * i))

    length = len(rows)
    if length < 5:
        return None

    v = [f32(max(r) * i) for r, i in zip(freq, info)]
    best, core = None, 0
    for k in range(length - 4):
        w = 0.0
        for j in range(5):
            w = f32(w + v[k + j])
        if best is None or w >= best:
            best, core = w, k
    core_max = best
    core_min = 0.0
    for j in range(5):
        core_min = f32(core_min + f32(min(freq[core + j]) * info[core + j]))

    terms = [[f32(freq[core + j][b] * info[core + j]) for b in range(4)] for j in range(5)]
    den = f32(core_max - core_min)
    table = {}
    for word in range(1024):
        codes = [(word >> (2 * (4 - j))) & 3 for j in range(5)]
        s = terms[0][codes[0]]
        for j in range(1, 5):
            s = f32(s + terms[j][codes[j]])
        num = f32(s - core_min)
        table[tuple(codes)] = _div(num, den)
    return types.SimpleNamespace(freq=freq, info=info, core_start=core, table=table,
                                 min_sum=min_sum, max_sum=max_sum, css_threshold=thresholds[0],
                                 mss_threshold=thresholds[1])


def scan(model, bases):
    """Accepted (pos, css, mss) of one strand record, in scan order."""
    n, length, m = len(bases), len(model.freq), model.core_start
    limit = (n - length + 5) % 2**64
    found = []
    p = m
    while p + 5 <= n and p - m < limit:
        css = model.table[tuple(bases[p:p + 5])]
        if css >= model.css_threshold:
            q = p - m
            total = 0.0
            i = 0
            while i < length and q + i < n:
                total = f32(total + f32(model.freq[i][bases[q + i]] * model.info[i]))
                i += 1
            num = f32(total - model.min_sum)
            den = f32(model.max_sum - model.min_sum)
            mss = _div(num, den)
            if mss >= model.mss_threshold:
                found.append((p, css, mss))
        p += 1
    return found


def evaluate(matrices, sequences, profiles=None, defaults=(0.0, 0.0)):
    """Hits as (sequence, matrix, pos, strand, css, mss, len) tuples.

    matrices: [(name, rows)], sequences: [(name, letters)],
    profiles: {name: (css, mss)}, defaults: (css, mss).
    """
    profiles = profiles or {}
    forward = [(name, [BASE_CODES[c] for c in seq]) for name, seq in sequences]
    records = [(name, codes, True) for name, codes in forward]
    records += [(name, codes[::-1], False) for name, codes in forward]
    hits = []
    for matrix_name, rows in matrices:
        thresholds = profiles.get(matrix_name, defaults)
        model = build(rows, (f32(thresholds[0]), f32(thresholds[1])))
        if model is None:
            continue
        for seq_name, codes, is_forward in records:
            n = len(codes)
            for p, css, mss in scan(model, codes):
                pos = p if is_forward else n - p - 5
                hits.append((seq_name, matrix_name, pos, is_forward, css, mss, len(rows)))
    return hits


def hit_tuple(hit):
    return (hit.sequence, hit.matrix, hit.pos, hit.strand, hit.css, hit.mss, hit.len)
