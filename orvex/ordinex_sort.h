// A stable sort that makes exactly the comparisons the interpreter's own list
// sort makes, in the same order: natural runs, short ones extended by binary
// insertion, merged with galloping. The parcel comparer is no consistent
// order everywhere (NaN answers "greater" both ways, a user object on the
// left is always less, a long meeting a float loses precision), so only the
// same sequence of comparisons gives the order that sorted(cmp=...) gives for
// every list, and fails where it fails.
#pragma once
#include <Python.h>

#include <algorithm>
#include <cstring>

namespace ordinex {

// A PyMem array that only grows; its contents do not survive growing.
template <typename T>
class Scratch {
public:
    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { PyMem_Free(items_); }

    // False with MemoryError set.
    bool reserve(Py_ssize_t n)
    {
        if (n <= capacity_)
            return true;
        PyMem_Free(items_);
        items_ = PyMem_New(T, n);
        capacity_ = items_ ? n : 0;
        if (!items_)
            PyErr_NoMemory();
        return items_ != nullptr;
    }
    T* get() const { return items_; }

private:
    T* items_ = nullptr;
    Py_ssize_t capacity_ = 0;
};

// less(x, y) answers 1 when x sorts before y, 0 when not, and -1 with an
// exception set when the comparison failed; the sort stops at the first
// failure, leaving the array in an unspecified order (a mix of its items,
// some of them twice), so callers sort borrowed pointers they own elsewhere.
//
// deep_invariant: interpreters from 2.7.10 on also check the run stack one
// entry deeper before deciding not to merge; the merge order, and with it the
// comparisons, follow the interpreter being matched.
template <typename T, typename Less>
class RunSort {
public:
    RunSort(Less less, bool deep_invariant) : less_(less), deep_invariant_(deep_invariant) {}

    // The builtin's reverse: the items are reversed, sorted stably and
    // reversed back, so equal items keep their original order.
    bool sort(T* items, Py_ssize_t n, bool reverse)
    {
        if (reverse)
            std::reverse(items, items + n);
        if (!sort_forward(items, n))
            return false;
        if (reverse)
            std::reverse(items, items + n);
        return true;
    }

private:
    struct Run {
        T* base;
        Py_ssize_t len;
    };

    // Both runs of a merge: `a` walks the run copied out (merge_low) or left
    // in place (merge_high), `b` the other; `dest` is the next slot written.
    struct Merge {
        T* dest;
        T* a;
        Py_ssize_t na;
        T* b;
        Py_ssize_t nb;
    };

    // How a phase of a merge ended: go on merging, all merged but what is
    // left of the copied run, one element of the in-place run left over
    // (it belongs at the far end), or a comparison failed.
    enum class Step { more, done, one_left, failed };

    static constexpr Py_ssize_t min_gallop_start = 7;
    // Runs on the stack grow at least like Fibonacci numbers, so 85 entries
    // cover any array that fits in memory.
    static constexpr int max_runs = 85;

    bool sort_forward(T* items, Py_ssize_t n)
    {
        if (n < 2)
            return true;
        const Py_ssize_t minrun = compute_minrun(n);
        T* lo = items;
        Py_ssize_t remaining = n;
        do {
            bool descending;
            Py_ssize_t len = count_run(lo, lo + remaining, &descending);
            if (len < 0)
                return false;
            if (descending)
                std::reverse(lo, lo + len);
            if (len < minrun) {
                Py_ssize_t forced = remaining <= minrun ? remaining : minrun;
                if (!binary_insertion(lo, lo + forced, lo + len))
                    return false;
                len = forced;
            }
            runs_[n_runs_++] = Run{lo, len};
            if (!merge_collapse())
                return false;
            lo += len;
            remaining -= len;
        } while (remaining);
        return merge_force_collapse();
    }

    static Py_ssize_t compute_minrun(Py_ssize_t n)
    {
        Py_ssize_t shifted_off = 0;
        while (n >= 64) {
            shifted_off |= n & 1;
            n >>= 1;
        }
        return n + shifted_off;
    }

    // Length of the run at lo: non-descending, or strictly descending (which
    // the caller reverses without breaking stability).
    Py_ssize_t count_run(T* lo, T* hi, bool* descending)
    {
        *descending = false;
        if (lo + 1 == hi)
            return 1;
        int k = less_(lo[1], lo[0]);
        if (k < 0)
            return -1;
        *descending = k != 0;
        Py_ssize_t n = 2;
        for (T* p = lo + 2; p < hi; ++p, ++n) {
            k = less_(*p, p[-1]);
            if (k < 0)
                return -1;
            if ((k != 0) != *descending)
                break;
        }
        return n;
    }

    // [lo, start) is sorted; inserts each of [start, hi) after its equals.
    bool binary_insertion(T* lo, T* hi, T* start)
    {
        if (lo == start)
            ++start;
        for (; start < hi; ++start) {
            T pivot = *start;
            T* l = lo;
            T* r = start;
            do {
                T* p = l + ((r - l) >> 1);
                int k = less_(pivot, *p);
                if (k < 0)
                    return false;
                if (k)
                    r = p;
                else
                    l = p + 1;
            } while (l < r);
            std::memmove(l + 1, l, (start - l) * sizeof(T));
            *l = pivot;
        }
        return true;
    }

    // Where key belongs in the sorted a[0, n), before its equals, searched
    // from a[hint] outwards; -1 on failure.
    Py_ssize_t gallop_left(const T& key, T* a, Py_ssize_t n, Py_ssize_t hint)
    {
        Py_ssize_t lastofs = 0, ofs = 1;
        int k = less_(a[hint], key);
        if (k < 0)
            return -1;
        if (k) {
            // a[hint] < key: gallop right until a[hint+lastofs] < key <= a[hint+ofs].
            const Py_ssize_t maxofs = n - hint;
            while (ofs < maxofs) {
                k = less_(a[hint + ofs], key);
                if (k < 0)
                    return -1;
                if (!k)
                    break;
                lastofs = ofs;
                ofs = (ofs << 1) + 1;  // ofs < n: cannot overflow
            }
            ofs = std::min(ofs, maxofs);
            lastofs += hint;
            ofs += hint;
        } else {
            // key <= a[hint]: gallop left until a[hint-ofs] < key <= a[hint-lastofs].
            const Py_ssize_t maxofs = hint + 1;
            while (ofs < maxofs) {
                k = less_(a[hint - ofs], key);
                if (k < 0)
                    return -1;
                if (k)
                    break;
                lastofs = ofs;
                ofs = (ofs << 1) + 1;
            }
            ofs = std::min(ofs, maxofs);
            Py_ssize_t nearer = lastofs;
            lastofs = hint - ofs;
            ofs = hint - nearer;
        }
        // a[lastofs] < key <= a[ofs]: binary search in between.
        ++lastofs;
        while (lastofs < ofs) {
            Py_ssize_t m = lastofs + ((ofs - lastofs) >> 1);
            k = less_(a[m], key);
            if (k < 0)
                return -1;
            if (k)
                lastofs = m + 1;
            else
                ofs = m;
        }
        return ofs;
    }

    // Where key belongs in the sorted a[0, n), after its equals.
    Py_ssize_t gallop_right(const T& key, T* a, Py_ssize_t n, Py_ssize_t hint)
    {
        Py_ssize_t lastofs = 0, ofs = 1;
        int k = less_(key, a[hint]);
        if (k < 0)
            return -1;
        if (k) {
            // key < a[hint]: gallop left until a[hint-ofs] <= key < a[hint-lastofs].
            const Py_ssize_t maxofs = hint + 1;
            while (ofs < maxofs) {
                k = less_(key, a[hint - ofs]);
                if (k < 0)
                    return -1;
                if (!k)
                    break;
                lastofs = ofs;
                ofs = (ofs << 1) + 1;
            }
            ofs = std::min(ofs, maxofs);
            Py_ssize_t nearer = lastofs;
            lastofs = hint - ofs;
            ofs = hint - nearer;
        } else {
            // a[hint] <= key: gallop right until a[hint+lastofs] <= key < a[hint+ofs].
            const Py_ssize_t maxofs = n - hint;
            while (ofs < maxofs) {
                k = less_(key, a[hint + ofs]);
                if (k < 0)
                    return -1;
                if (k)
                    break;
                lastofs = ofs;
                ofs = (ofs << 1) + 1;
            }
            ofs = std::min(ofs, maxofs);
            lastofs += hint;
            ofs += hint;
        }
        // a[lastofs] <= key < a[ofs]: binary search in between.
        ++lastofs;
        while (lastofs < ofs) {
            Py_ssize_t m = lastofs + ((ofs - lastofs) >> 1);
            k = less_(key, a[m]);
            if (k < 0)
                return -1;
            if (k)
                ofs = m;
            else
                lastofs = m + 1;
        }
        return ofs;
    }

    // Merges run i with run i + 1 (i is the second or third run from the top).
    bool merge_at(int i)
    {
        T* pa = runs_[i].base;
        Py_ssize_t na = runs_[i].len;
        T* pb = runs_[i + 1].base;
        Py_ssize_t nb = runs_[i + 1].len;
        runs_[i].len = na + nb;
        if (i == n_runs_ - 3)
            runs_[i + 1] = runs_[i + 2];
        --n_runs_;
        // Elements of a before b's first, and of b after a's last, are in place.
        Py_ssize_t k = gallop_right(*pb, pa, na, 0);
        if (k < 0)
            return false;
        pa += k;
        na -= k;
        if (na == 0)
            return true;
        nb = gallop_left(pa[na - 1], pb, nb, nb - 1);
        if (nb <= 0)
            return nb == 0;
        return na <= nb ? merge_low(pa, na, pb, nb) : merge_high(pa, na, pb, nb);
    }

    // Keeps the run lengths on the stack decreasing fast enough for merges
    // of balanced sizes.
    bool merge_collapse()
    {
        Run* p = runs_;
        while (n_runs_ > 1) {
            int n = n_runs_ - 2;
            if ((n > 0 && p[n - 1].len <= p[n].len + p[n + 1].len) ||
                (deep_invariant_ && n > 1 && p[n - 2].len <= p[n - 1].len + p[n].len)) {
                if (p[n - 1].len < p[n + 1].len)
                    --n;
                if (!merge_at(n))
                    return false;
            } else if (p[n].len <= p[n + 1].len) {
                if (!merge_at(n))
                    return false;
            } else {
                break;
            }
        }
        return true;
    }

    bool merge_force_collapse()
    {
        Run* p = runs_;
        while (n_runs_ > 1) {
            int n = n_runs_ - 2;
            if (n > 0 && p[n - 1].len < p[n + 1].len)
                --n;
            if (!merge_at(n))
                return false;
        }
        return true;
    }

    // Merges the adjacent runs pa[0, na) and pb[0, nb), front to back, with
    // the shorter first run copied out; a's first element is known to sort
    // after b's first, and a's last after all of b.
    bool merge_low(T* pa, Py_ssize_t na, T* pb, Py_ssize_t nb)
    {
        if (!temp_.reserve(na))
            return false;
        std::memcpy(temp_.get(), pa, na * sizeof(T));
        Merge m{pa, temp_.get(), na, pb, nb};
        *m.dest++ = *m.b++;
        Step step = --m.nb == 0 ? Step::done : m.na == 1 ? Step::one_left : Step::more;
        while (step == Step::more) {
            step = low_one_by_one(m);
            if (step == Step::more)
                step = low_galloping(m);
        }
        if (step == Step::done)
            std::memcpy(m.dest, m.a, m.na * sizeof(T));
        else if (step == Step::one_left) {
            std::memmove(m.dest, m.b, m.nb * sizeof(T));
            m.dest[m.nb] = *m.a;
        }
        return step != Step::failed;
    }

    Step low_one_by_one(Merge& m)
    {
        Py_ssize_t acount = 0, bcount = 0;
        for (;;) {
            int k = less_(*m.b, *m.a);
            if (k < 0)
                return Step::failed;
            if (k) {
                *m.dest++ = *m.b++;
                ++bcount;
                acount = 0;
                if (--m.nb == 0)
                    return Step::done;
                if (bcount >= min_gallop_)
                    return Step::more;
            } else {
                *m.dest++ = *m.a++;
                ++acount;
                bcount = 0;
                if (--m.na == 1)
                    return Step::one_left;
                if (acount >= min_gallop_)
                    return Step::more;
            }
        }
    }

    // One run keeps winning: move whole stretches found by galloping, until
    // neither run wins by min_gallop_start any more.
    Step low_galloping(Merge& m)
    {
        ++min_gallop_;
        Py_ssize_t acount, bcount;
        do {
            min_gallop_ -= min_gallop_ > 1;
            Py_ssize_t k = gallop_right(*m.b, m.a, m.na, 0);
            if (k < 0)
                return Step::failed;
            acount = k;
            if (k) {
                std::memcpy(m.dest, m.a, k * sizeof(T));
                m.dest += k;
                m.a += k;
                m.na -= k;
                if (m.na == 1)
                    return Step::one_left;
                if (m.na == 0)  // only when the comparer is inconsistent
                    return Step::done;
            }
            *m.dest++ = *m.b++;
            if (--m.nb == 0)
                return Step::done;
            k = gallop_left(*m.a, m.b, m.nb, 0);
            if (k < 0)
                return Step::failed;
            bcount = k;
            if (k) {
                std::memmove(m.dest, m.b, k * sizeof(T));
                m.dest += k;
                m.b += k;
                m.nb -= k;
                if (m.nb == 0)
                    return Step::done;
            }
            *m.dest++ = *m.a++;
            if (--m.na == 1)
                return Step::one_left;
        } while (acount >= min_gallop_start || bcount >= min_gallop_start);
        ++min_gallop_;  // leaving galloping mode costs
        return Step::more;
    }

    // The mirror of merge_low, back to front, with the shorter second run
    // copied out: in Merge, `a` walks the first run in place and `b` the
    // copy, both from their last element, and one_left means one element of
    // the copy is left for the front.
    bool merge_high(T* pa, Py_ssize_t na, T* pb, Py_ssize_t nb)
    {
        if (!temp_.reserve(nb))
            return false;
        std::memcpy(temp_.get(), pb, nb * sizeof(T));
        T* const base_a = pa;
        T* const base_b = temp_.get();
        Merge m{pb + nb - 1, pa + na - 1, na, base_b + nb - 1, nb};
        *m.dest-- = *m.a--;
        Step step = --m.na == 0 ? Step::done : m.nb == 1 ? Step::one_left : Step::more;
        while (step == Step::more) {
            step = high_one_by_one(m);
            if (step == Step::more)
                step = high_galloping(m, base_a, base_b);
        }
        if (step == Step::done)
            std::memcpy(m.dest - (m.nb - 1), base_b, m.nb * sizeof(T));
        else if (step == Step::one_left) {
            m.dest -= m.na;
            m.a -= m.na;
            std::memmove(m.dest + 1, m.a + 1, m.na * sizeof(T));
            *m.dest = *m.b;
        }
        return step != Step::failed;
    }

    Step high_one_by_one(Merge& m)
    {
        Py_ssize_t acount = 0, bcount = 0;
        for (;;) {
            int k = less_(*m.b, *m.a);
            if (k < 0)
                return Step::failed;
            if (k) {
                *m.dest-- = *m.a--;
                ++acount;
                bcount = 0;
                if (--m.na == 0)
                    return Step::done;
                if (acount >= min_gallop_)
                    return Step::more;
            } else {
                *m.dest-- = *m.b--;
                ++bcount;
                acount = 0;
                if (--m.nb == 1)
                    return Step::one_left;
                if (bcount >= min_gallop_)
                    return Step::more;
            }
        }
    }

    Step high_galloping(Merge& m, T* base_a, T* base_b)
    {
        ++min_gallop_;
        Py_ssize_t acount, bcount;
        do {
            min_gallop_ -= min_gallop_ > 1;
            Py_ssize_t k = gallop_right(*m.b, base_a, m.na, m.na - 1);
            if (k < 0)
                return Step::failed;
            k = m.na - k;
            acount = k;
            if (k) {
                m.dest -= k;
                m.a -= k;
                std::memmove(m.dest + 1, m.a + 1, k * sizeof(T));
                m.na -= k;
                if (m.na == 0)
                    return Step::done;
            }
            *m.dest-- = *m.b--;
            if (--m.nb == 1)
                return Step::one_left;
            k = gallop_left(*m.a, base_b, m.nb, m.nb - 1);
            if (k < 0)
                return Step::failed;
            k = m.nb - k;
            bcount = k;
            if (k) {
                m.dest -= k;
                m.b -= k;
                std::memcpy(m.dest + 1, m.b + 1, k * sizeof(T));
                m.nb -= k;
                if (m.nb == 1)
                    return Step::one_left;
                if (m.nb == 0)  // only when the comparer is inconsistent
                    return Step::done;
            }
            *m.dest-- = *m.a--;
            if (--m.na == 0)
                return Step::done;
        } while (acount >= min_gallop_start || bcount >= min_gallop_start);
        ++min_gallop_;
        return Step::more;
    }

    Less less_;
    const bool deep_invariant_;
    Py_ssize_t min_gallop_ = min_gallop_start;
    Run runs_[max_runs];
    int n_runs_ = 0;
    Scratch<T> temp_;
};

}  // namespace ordinex
