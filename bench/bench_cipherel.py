"""cipherel: encrypt and decrypt per call against the native floor measured in
the same run by bench/cipher_bench (Google Benchmark): one EVP_BytesToKey of
1000 rounds plus AES-256-CBC of the same data. Ratios are costs: the module's
time over the floor's (1.00x is the floor itself; targets 1.2x at 16 B and
4 KiB, and 1.1x for the AES throughput at 1 MiB against raw EVP).

Both sides count CPU time, best of five: the machine is shared, and wall
time there measures the neighbours as much as the cipher."""
import json
import os
import resource
import subprocess
import sys
import time
import timeit

import benchlib

import cipherel

SIZES = [16, 4096, 1 << 20]
UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def native_times():
    """Best CPU time in seconds of each native entry over five repetitions."""
    build = os.path.dirname(os.path.dirname(os.path.abspath(cipherel.__file__)))
    binary = os.path.join(build, "bench", "cipher_bench")
    child = subprocess.Popen([binary, "--benchmark_format=json", "--benchmark_repetitions=5",
                              "--benchmark_min_time=0.1",
                              "--benchmark_filter=^(Derive|RawAes|Floor|Py)"],
                             stdout=subprocess.PIPE)
    out = child.communicate()[0]
    best = {}
    for entry in json.loads(out)["benchmarks"]:
        if entry.get("run_type") != "iteration":
            continue
        seconds = entry["cpu_time"] * UNITS[entry["time_unit"]]
        name = entry["run_name"]
        best[name] = min(best.get(name, seconds), seconds)
    return best


def cpu_per_call(func):
    """benchlib.per_call in process CPU time, with the minor page faults per
    call over the same runs: fresh pages that the allocator had handed back to
    the system show up there and in the time."""
    timer = timeit.Timer(func, timer=time.clock)
    number = 1
    while timer.timeit(number) < 0.05:
        number *= 4
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    best = min(timer.repeat(benchlib.REPEAT, number)) / number
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
    return best, faults / float(benchlib.REPEAT * number)


def label(size):
    return "%d B" % size if size < 1024 else "%d KiB" % (size // 1024)


def throughput(direction, ours, faults, native):
    """Throughput from the cost of the extra bytes, which leaves the key
    derivation (and its noise) out on both sides; the core alone, timed in
    C++, tells the cipher from the str copy and the allocator."""
    small, large = SIZES[0], SIZES[-1]
    extra = float(large - small)
    raw = native["RawAes/%s/%d" % (direction, large)] - native["RawAes/%s/%d" % (direction, small)]
    core_name = "Py%s/%%d" % direction.capitalize()
    core = native[core_name % large] - native[core_name % small]
    module = ours[large] - ours[small]
    if min(raw, core, module) <= 0:
        # The derivation's jitter (hundreds of microseconds) can exceed the
        # AES work of a decryption; no throughput can be told then.
        sys.stdout.write("    throughput at %s: lost in the key derivation's noise; run again "
                         "on a quiet machine\n" % label(large))
        return None
    sys.stdout.write("    throughput at %s: module %.0f MB/s (%.0f page faults per call), "
                     "core alone %.0f MB/s, raw EVP %.0f MB/s\n"
                     "    ratio module %5.2fx, core alone %5.2fx\n"
                     % (label(large), extra / module / 1e6, faults[large], extra / core / 1e6,
                        extra / raw / 1e6, module / raw, core / raw))
    return module / raw


def run():
    benchlib.heading("cipherel: per call against the native floor (cost ratio, 1.00x = floor)")
    native = native_times()
    impl = cipherel.EncryptionImpl()
    ratios = {}
    for direction in ("encrypt", "decrypt"):
        method = getattr(impl, direction)
        ours, faults = {}, {}
        for size in SIZES:
            data = "\x5a" * size
            ours[size], faults[size] = cpu_per_call(lambda: method(data, "bench key"))
            floor = native["Floor/%s/%d" % (direction, size)]
            ratios[direction, size] = ours[size] / floor
            sys.stdout.write("%-22s %s   floor %s   ratio %5.2fx\n"
                             % ("%s %s" % (direction, label(size)), benchlib.fmt(ours[size]),
                                benchlib.fmt(floor), ours[size] / floor))
        ratios[direction, "throughput"] = throughput(direction, ours, faults, native)
    return ratios


if __name__ == "__main__":
    run()
