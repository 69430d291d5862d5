"""Python 2's list sort, step for step: the comparisons it makes, in its
order, and so its result even where the comparer is no consistent order
(NaN, user objects). Python 3 merges runs in another order (powersort from
3.11), so on 3 this is what "the same as Python 2's sorted(cmp=...)" means;
on 2 the suites check it against the builtin.

A port of listobject.c's timsort of 2.6 and 2.7 (count_run, binarysort,
gallop_left/right, merge_lo/hi, merge_collapse). deep_invariant: from
2.7.10 on merge_collapse also checks the run stack one entry deeper."""

MIN_GALLOP = 7


def min_run(n):
    r = 0
    while n >= 64:
        r |= n & 1
        n >>= 1
    return n + r


class _Sort(object):
    def __init__(self, items, compare, deep_invariant):
        self.a = items
        self.compare = compare
        self.deep = deep_invariant
        self.min_gallop = MIN_GALLOP
        self.runs = []  # [base, length] pairs

    def lt(self, x, y):
        return self.compare(x, y) < 0

    def count_run(self, lo, hi):
        """(length, descending) of the run that starts at lo."""
        a, lt = self.a, self.lt
        if lo + 1 == hi:
            return 1, False
        n = 2
        if lt(a[lo + 1], a[lo]):
            for i in range(lo + 2, hi):
                if not lt(a[i], a[i - 1]):
                    break
                n += 1
            return n, True
        for i in range(lo + 2, hi):
            if lt(a[i], a[i - 1]):
                break
            n += 1
        return n, False

    def binary_sort(self, lo, hi, start):
        a, lt = self.a, self.lt
        if lo == start:
            start += 1
        for start in range(start, hi):
            left, right, pivot = lo, start, a[start]
            while left < right:
                p = left + ((right - left) >> 1)
                if lt(pivot, a[p]):
                    right = p
                else:
                    left = p + 1
            a[left + 1:start + 1] = a[left:start]
            a[left] = pivot

    def gallop_left(self, key, a, base, n, hint):
        """Where key goes in a[base:base + n] before its equals."""
        lt = self.lt
        last, ofs = 0, 1
        if lt(a[base + hint], key):
            max_ofs = n - hint
            while ofs < max_ofs and lt(a[base + hint + ofs], key):
                last, ofs = ofs, (ofs << 1) + 1
            ofs = min(ofs, max_ofs)
            last, ofs = last + hint, ofs + hint
        else:
            max_ofs = hint + 1
            while ofs < max_ofs and not lt(a[base + hint - ofs], key):
                last, ofs = ofs, (ofs << 1) + 1
            ofs = min(ofs, max_ofs)
            last, ofs = hint - ofs, hint - last
        last += 1
        while last < ofs:
            m = last + ((ofs - last) >> 1)
            if lt(a[base + m], key):
                last = m + 1
            else:
                ofs = m
        return ofs

    def gallop_right(self, key, a, base, n, hint):
        """Where key goes in a[base:base + n] after its equals."""
        lt = self.lt
        last, ofs = 0, 1
        if lt(key, a[base + hint]):
            max_ofs = hint + 1
            while ofs < max_ofs and lt(key, a[base + hint - ofs]):
                last, ofs = ofs, (ofs << 1) + 1
            ofs = min(ofs, max_ofs)
            last, ofs = hint - ofs, hint - last
        else:
            max_ofs = n - hint
            while ofs < max_ofs and not lt(key, a[base + hint + ofs]):
                last, ofs = ofs, (ofs << 1) + 1
            ofs = min(ofs, max_ofs)
            last, ofs = last + hint, ofs + hint
        last += 1
        while last < ofs:
            m = last + ((ofs - last) >> 1)
            if lt(key, a[base + m]):
                ofs = m
            else:
                last = m + 1
        return ofs

    def merge_lo(self, pa, na, pb, nb):
        """Merges a[pa:pa + na] (the shorter, copied out) with the run after it."""
        a, lt = self.a, self.lt
        tmp, ta = a[pa:pa + na], 0
        dest = pa
        a[dest] = a[pb]
        dest, pb, nb = dest + 1, pb + 1, nb - 1
        if nb == 0:
            return self.finish_lo(tmp, ta, na, dest)
        if na == 1:
            return self.copy_b(tmp, ta, pb, nb, dest)
        min_gallop = self.min_gallop
        while True:
            acount = bcount = 0
            while True:
                if lt(a[pb], tmp[ta]):
                    a[dest] = a[pb]
                    dest, pb, nb = dest + 1, pb + 1, nb - 1
                    bcount, acount = bcount + 1, 0
                    if nb == 0:
                        return self.finish_lo(tmp, ta, na, dest)
                    if bcount >= min_gallop:
                        break
                else:
                    a[dest] = tmp[ta]
                    dest, ta, na = dest + 1, ta + 1, na - 1
                    acount, bcount = acount + 1, 0
                    if na == 1:
                        return self.copy_b(tmp, ta, pb, nb, dest)
                    if acount >= min_gallop:
                        break
            min_gallop += 1
            while True:
                min_gallop -= min_gallop > 1
                self.min_gallop = min_gallop
                k = acount = self.gallop_right(a[pb], tmp, ta, na, 0)
                if k:
                    a[dest:dest + k] = tmp[ta:ta + k]
                    dest, ta, na = dest + k, ta + k, na - k
                    if na == 1:
                        return self.copy_b(tmp, ta, pb, nb, dest)
                    if na == 0:
                        return
                a[dest] = a[pb]
                dest, pb, nb = dest + 1, pb + 1, nb - 1
                if nb == 0:
                    return self.finish_lo(tmp, ta, na, dest)
                k = bcount = self.gallop_left(tmp[ta], a, pb, nb, 0)
                if k:
                    a[dest:dest + k] = a[pb:pb + k]
                    dest, pb, nb = dest + k, pb + k, nb - k
                    if nb == 0:
                        return self.finish_lo(tmp, ta, na, dest)
                a[dest] = tmp[ta]
                dest, ta, na = dest + 1, ta + 1, na - 1
                if na == 1:
                    return self.copy_b(tmp, ta, pb, nb, dest)
                if acount < MIN_GALLOP and bcount < MIN_GALLOP:
                    break
            min_gallop += 1
            self.min_gallop = min_gallop

    def finish_lo(self, tmp, ta, na, dest):
        self.a[dest:dest + na] = tmp[ta:ta + na]

    def copy_b(self, tmp, ta, pb, nb, dest):
        a = self.a
        a[dest:dest + nb] = a[pb:pb + nb]
        a[dest + nb] = tmp[ta]

    def merge_hi(self, pa, na, pb, nb):
        """Merges the run at pa with a[pb:pb + nb] (the shorter, copied
        out), from the right."""
        a, lt = self.a, self.lt
        tmp = a[pb:pb + nb]
        base_a = pa
        dest = pb + nb - 1
        tb = nb - 1
        pa += na - 1
        a[dest] = a[pa]
        dest, pa, na = dest - 1, pa - 1, na - 1
        if na == 0:
            return self.finish_hi(tmp, nb, dest)
        if nb == 1:
            return self.copy_a(tmp, tb, pa, na, dest)
        min_gallop = self.min_gallop
        while True:
            acount = bcount = 0
            while True:
                if lt(tmp[tb], a[pa]):
                    a[dest] = a[pa]
                    dest, pa, na = dest - 1, pa - 1, na - 1
                    acount, bcount = acount + 1, 0
                    if na == 0:
                        return self.finish_hi(tmp, nb, dest)
                    if acount >= min_gallop:
                        break
                else:
                    a[dest] = tmp[tb]
                    dest, tb, nb = dest - 1, tb - 1, nb - 1
                    bcount, acount = bcount + 1, 0
                    if nb == 1:
                        return self.copy_a(tmp, tb, pa, na, dest)
                    if bcount >= min_gallop:
                        break
            min_gallop += 1
            while True:
                min_gallop -= min_gallop > 1
                self.min_gallop = min_gallop
                k = acount = na - self.gallop_right(tmp[tb], a, base_a, na, na - 1)
                if k:
                    dest, pa = dest - k, pa - k
                    a[dest + 1:dest + 1 + k] = a[pa + 1:pa + 1 + k]
                    na -= k
                    if na == 0:
                        return self.finish_hi(tmp, nb, dest)
                a[dest] = tmp[tb]
                dest, tb, nb = dest - 1, tb - 1, nb - 1
                if nb == 1:
                    return self.copy_a(tmp, tb, pa, na, dest)
                k = bcount = nb - self.gallop_left(a[pa], tmp, 0, nb, nb - 1)
                if k:
                    dest, tb = dest - k, tb - k
                    a[dest + 1:dest + 1 + k] = tmp[tb + 1:tb + 1 + k]
                    nb -= k
                    if nb == 1:
                        return self.copy_a(tmp, tb, pa, na, dest)
                    if nb == 0:
                        return
                a[dest] = a[pa]
                dest, pa, na = dest - 1, pa - 1, na - 1
                if na == 0:
                    return self.finish_hi(tmp, nb, dest)
                if acount < MIN_GALLOP and bcount < MIN_GALLOP:
                    break
            min_gallop += 1
            self.min_gallop = min_gallop

    def finish_hi(self, tmp, nb, dest):
        self.a[dest - (nb - 1):dest + 1] = tmp[:nb]

    def copy_a(self, tmp, tb, pa, na, dest):
        a = self.a
        dest, pa = dest - na, pa - na
        a[dest + 1:dest + 1 + na] = a[pa + 1:pa + 1 + na]
        a[dest] = tmp[tb]

    def merge_at(self, i):
        runs = self.runs
        pa, na = runs[i]
        pb, nb = runs[i + 1]
        runs[i][1] = na + nb
        del runs[i + 1]
        k = self.gallop_right(self.a[pb], self.a, pa, na, 0)
        pa, na = pa + k, na - k
        if na == 0:
            return
        nb = self.gallop_left(self.a[pa + na - 1], self.a, pb, nb, nb - 1)
        if nb <= 0:
            return
        if na <= nb:
            self.merge_lo(pa, na, pb, nb)
        else:
            self.merge_hi(pa, na, pb, nb)

    def merge_collapse(self):
        p = self.runs
        while len(p) > 1:
            n = len(p) - 2
            if ((n > 0 and p[n - 1][1] <= p[n][1] + p[n + 1][1]) or
                    (self.deep and n > 1 and p[n - 2][1] <= p[n - 1][1] + p[n][1])):
                if p[n - 1][1] < p[n + 1][1]:
                    n -= 1
                self.merge_at(n)
            elif p[n][1] <= p[n + 1][1]:
                self.merge_at(n)
            else:
                break

    def merge_force_collapse(self):
        p = self.runs
        while len(p) > 1:
            n = len(p) - 2
            if n > 0 and p[n - 1][1] < p[n + 1][1]:
                n -= 1
            self.merge_at(n)

    def run(self):
        remaining = len(self.a)
        if remaining < 2:
            return
        minrun = min_run(remaining)
        lo = 0
        while remaining:
            n, descending = self.count_run(lo, lo + remaining)
            if descending:
                self.a[lo:lo + n] = self.a[lo:lo + n][::-1]
            if n < minrun:
                force = min(remaining, minrun)
                self.binary_sort(lo, lo + force, lo + n)
                n = force
            self.runs.append([lo, n])
            self.merge_collapse()
            lo += n
            remaining -= n
        self.merge_force_collapse()


def sorted_cmp(items, compare, reverse=False, deep_invariant=True):
    """Python 2's sorted(items, cmp=compare, reverse=reverse)."""
    result = list(items)
    if reverse:
        result.reverse()
    _Sort(result, compare, deep_invariant).run()
    if reverse:
        result.reverse()
    return result
