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
// some of them twice), so the items must not own what they refer to.
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

    // One run of a merge, walked in the merge's direction.
    struct Side {
        T* p;          // the next element to take
        Py_ssize_t n;  // elements left
        bool copied;   // copied out to temp_ (the shorter run), else in place
    };

    // A merge of the runs a (earlier in the array) and b, front to back when
    // a is the shorter, else back to front; `dest` is the next slot to fill.
    struct Merge {
        Py_ssize_t dir;  // 1 or -1
        T* dest;
        Side a, b;

        // The run whose element goes next when less(b, a) holds, and the other.
        Side& in_place() { return dir > 0 ? b : a; }
        Side& copied() { return dir > 0 ? a : b; }
    };

    // How a phase of a merge ended: go on merging, all merged but what is
    // left of the copied run, one element of the copied run left over (it
    // belongs at the far end), or a comparison failed.
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

    // Whether x goes before key: x < key, or with `right` (after key's
    // equals) not key < x; -1 on failure.
    int goes_before(bool right, const T& x, const T& key)
    {
        if (!right)
            return less_(x, key);
        int k = less_(key, x);
        return k < 0 ? k : !k;
    }

    // How many of the sorted a[0, n) go before key (before its equals, or
    // with `right` after them), searched from a[hint] outwards; -1 on failure.
    Py_ssize_t gallop(bool right, const T& key, T* a, Py_ssize_t n, Py_ssize_t hint)
    {
        Py_ssize_t lastofs = 0, ofs = 1;
        int k = goes_before(right, a[hint], key);
        if (k < 0)
            return -1;
        if (k) {
            // Gallop right until a[hint+lastofs] goes before key and a[hint+ofs] does not.
            const Py_ssize_t maxofs = n - hint;
            while (ofs < maxofs) {
                k = goes_before(right, a[hint + ofs], key);
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
            // Gallop left until a[hint-ofs] goes before key and a[hint-lastofs] does not.
            const Py_ssize_t maxofs = hint + 1;
            while (ofs < maxofs) {
                k = goes_before(right, a[hint - ofs], key);
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
        // a[lastofs] goes before key, a[ofs] does not: binary search in between.
        ++lastofs;
        while (lastofs < ofs) {
            Py_ssize_t m = lastofs + ((ofs - lastofs) >> 1);
            k = goes_before(right, a[m], key);
            if (k < 0)
                return -1;
            if (k)
                lastofs = m + 1;
            else
                ofs = m;
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
        Py_ssize_t k = gallop(true, *pb, pa, na, 0);
        if (k < 0)
            return false;
        pa += k;
        na -= k;
        if (na == 0)
            return true;
        nb = gallop(false, pa[na - 1], pb, nb, nb - 1);
        if (nb <= 0)
            return nb == 0;
        return merge(pa, na, pb, nb);
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

    // Merges the adjacent runs pa[0, na) and pb[0, nb), with the shorter run
    // copied out: front to back when that is a, else back to front. b's
    // first element is known to go before all of a, and a's last after all
    // of b.
    bool merge(T* pa, Py_ssize_t na, T* pb, Py_ssize_t nb)
    {
        const bool front = na <= nb;
        if (!temp_.reserve(front ? na : nb))
            return false;
        T* temp = temp_.get();
        std::memcpy(temp, front ? pa : pb, (front ? na : nb) * sizeof(T));
        Merge m = front ? Merge{1, pa, Side{temp, na, true}, Side{pb, nb, false}}
                        : Merge{-1, pb + nb - 1, Side{pa + na - 1, na, false},
                                Side{temp + nb - 1, nb, true}};
        take(m, m.in_place(), 1);
        Step step = after_taking(m.in_place());
        if (step == Step::more && m.copied().n == 1)
            step = Step::one_left;
        while (step == Step::more) {
            step = one_by_one(m);
            if (step == Step::more)
                step = galloping(m);
        }
        if (step == Step::done) {
            take(m, m.copied(), m.copied().n);
        } else if (step == Step::one_left) {
            take(m, m.in_place(), m.in_place().n);
            *m.dest = *m.copied().p;
        }
        return step != Step::failed;
    }

    // Moves the next k elements of s to dest.
    static void take(Merge& m, Side& s, Py_ssize_t k)
    {
        if (m.dir > 0)
            std::memmove(m.dest, s.p, k * sizeof(T));
        else
            std::memmove(m.dest - k + 1, s.p - k + 1, k * sizeof(T));
        m.dest += m.dir * k;
        s.p += m.dir * k;
        s.n -= k;
    }

    // Where the merge is after taking from s.
    static Step after_taking(const Side& s)
    {
        if (s.n == 0)
            return Step::done;
        return s.copied && s.n == 1 ? Step::one_left : Step::more;
    }

    // How many of s's next elements go to dest before key: front to back,
    // those gallop counts; back to front, the others.
    Py_ssize_t stretch(const Merge& m, bool right, const T& key, const Side& s)
    {
        if (m.dir > 0)
            return gallop(right, key, s.p, s.n, 0);
        Py_ssize_t k = gallop(right, key, s.p - (s.n - 1), s.n, s.n - 1);
        return k < 0 ? k : s.n - k;
    }

    Step one_by_one(Merge& m)
    {
        Py_ssize_t wins[2] = {0, 0};  // in a row: [0] the copied run, [1] the other
        for (;;) {
            int k = less_(*m.b.p, *m.a.p);
            if (k < 0)
                return Step::failed;
            Side& s = k ? m.in_place() : m.copied();
            take(m, s, 1);
            ++wins[k];
            wins[!k] = 0;
            Step step = after_taking(s);
            if (step != Step::more)
                return step;
            if (wins[k] >= min_gallop_)
                return Step::more;
        }
    }

    // One run keeps winning: move whole stretches found by galloping, until
    // neither run wins by min_gallop_start any more.
    Step galloping(Merge& m)
    {
        ++min_gallop_;
        Py_ssize_t a_count, b_count;
        do {
            min_gallop_ -= min_gallop_ > 1;
            Step step = gallop_step(m, true, m.a, m.b, &a_count);
            if (step == Step::more)
                step = gallop_step(m, false, m.b, m.a, &b_count);
            if (step != Step::more)
                return step;
        } while (a_count >= min_gallop_start || b_count >= min_gallop_start);
        ++min_gallop_;  // leaving galloping mode costs
        return Step::more;
    }

    // Moves the stretch of `from` that goes before the next element of
    // `other` (a's stretch goes before b's equals too: `right`), then that
    // element; *count gets the stretch's length.
    Step gallop_step(Merge& m, bool right, Side& from, Side& other, Py_ssize_t* count)
    {
        *count = stretch(m, right, *other.p, from);
        if (*count < 0)
            return Step::failed;
        if (*count) {
            take(m, from, *count);
            Step step = after_taking(from);
            if (step != Step::more)
                return step;
        }
        take(m, other, 1);
        return after_taking(other);
    }

    Less less_;
    const bool deep_invariant_;
    Py_ssize_t min_gallop_ = min_gallop_start;
    Run runs_[max_runs];
    int n_runs_ = 0;
    Scratch<T> temp_;
};

}  // namespace ordinex
