"""The Zo loops of bench/programs in Python: `python loops.py MODE N` prints
ns per iteration (process CPU time). Locals inside a function, as a Python
author would write them."""

import sys
import time


def count(n):
    i = 0
    while i < n:
        i += 1


def arith(n):
    i = 0
    x = 0
    while i < n:
        x = (i * 2 + 3) / 4 - x
        i += 1


def mod(n):
    i = 0.0
    x = 0.0
    while i < n:
        x = (x + i) % 7
        i += 1


def main():
    work, n = {"count": count, "arith": arith, "mod": mod}[sys.argv[1]], int(sys.argv[2])
    start = time.process_time()
    work(n)
    print("%.4f" % ((time.process_time() - start) * 1e9 / n))


main()
