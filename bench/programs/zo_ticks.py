"""Ticks a second Python thread receives during one runaway `run()`, as a
percentage of those it would get on an idle interpreter: it ticks every 10 ms
while the main thread runs `while true { }` for one second, stopped by
request_stop() from a timer thread. With `python` alone (argument "python"),
the same during a pure-Python busy loop, for comparison.

    python zo_ticks.py [python]
"""

import sys
import threading
import time

PERIOD, WINDOW = 0.01, 1.0


def busy_python():
    deadline = time.monotonic() + WINDOW
    total = 0
    while time.monotonic() < deadline:
        for i in range(1000):
            total += i


def busy_zo():
    import zolangpy
    compiler = zolangpy.Compiler()
    assert compiler.compile("while true { }")
    interpreter = compiler.into_interpreter()
    timer = threading.Timer(WINDOW, interpreter.request_stop)
    timer.start()
    interpreter.run()
    timer.join()


def main():
    busy = busy_python if sys.argv[1:] == ["python"] else busy_zo
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(PERIOD)

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.05)
    start = time.monotonic()
    busy()
    end = time.monotonic()
    done.set()
    ticker.join()
    received = sum(start <= at <= end for at in ticks)
    print("%.1f" % (100.0 * received / ((end - start) / PERIOD)))


main()
