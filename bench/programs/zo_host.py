"""The Python-host side of bench/run, for PyPy and CPython alike: one
measurement per process, printed as one number (process CPU time).

    zo_host.py loop IR N        ns per iteration of a loop run by one run()
    zo_host.py loop-limited IR N   the same with an instruction limit of 10^12
                                and a time limit of an hour set
    zo_host.py yield IR N       ns per run() over a yield loop
    zo_host.py poll IR N        ns per run() polling a native that answers False
    zo_host.py poll-recorded IR N   the same through zo.recording's Recorder,
                                writing a record to a temporary file
    zo_host.py prop IR N        ns per loop iteration doing one get and one set
    zo_host.py completing IR N  ns per run() of a loop over one native call that
                                completes at its first poll and has a result()
    zo_host.py completing-recorded IR N   the same through zo.recording's Recorder
    zo_host.py floor-noop N     ns per Python -> C no-argument call
    zo_host.py floor-call N     ns per Python -> C -> obj.call()
    zo_host.py floor-getset N   ns per obj.get() + obj.set() called from C
    zo_host.py compile SOURCE   MB/s of Compiler.compile (when it exists)
"""

import sys
import time

import zolangpy
import zofloor


class Pending(zolangpy.Callable):
    def call(self):
        return False

    def terminate(self):
        pass


class Waits(zolangpy.CallableGenerator):
    def check_syntax(self, args):
        pass

    def generate(self, args):
        return Pending()


class Done(zolangpy.Callable):
    def call(self):
        return True

    def result(self):
        return 1.0


class Completes(zolangpy.CallableGenerator):
    def check_syntax(self, args):
        pass

    def generate(self, args):
        return Done()


class Counter(zolangpy.Prop):
    def __init__(self):
        self.value = 0.0

    def get(self):
        return self.value

    def set(self, value):
        self.value = value

    def is_settable(self):
        return True


def interpreter(path, wait=Waits):
    with open(path) as f:
        made = zolangpy.Interpreter(f.read())
    made.register_callable("wait", wait())
    made.register_property("p", Counter())
    return made


def timed(work, n):
    start = time.process_time()
    work()
    return (time.process_time() - start) * 1e9 / n


def one_run(path, n, limited=False):
    zo = interpreter(path)
    if limited:
        zo.set_limits(instructions=10 ** 12, seconds=3600)
    zo.run()  # warms the JIT and the caches; the measured run starts afresh
    zo.reset()
    return timed(zo.run, n)


def repeated_runs(path, n, wait=Waits):
    zo = interpreter(path, wait)

    def work():
        run = zo.run
        for _ in range(n):
            run()

    work()
    return timed(work, n)


def recorded_runs(path, n, wait=Waits):
    import os
    import tempfile

    from zo.recording import Recorder, RecordWriter

    with tempfile.TemporaryDirectory() as scratch:
        recorder = Recorder([RecordWriter(os.path.join(scratch, "bench.zrec"))])
        with open(path) as f:
            zo = zolangpy.Interpreter(f.read())
        recorder.register(zo, "wait", wait())

        def work():
            run = recorder.run
            for _ in range(n):
                run(zo)

        work()
        made = timed(work, n)
        recorder.close()
    return made


def floor_noop(n):
    def work():
        noop = zofloor.noop
        for _ in range(n):
            noop()

    work()
    return timed(work, n)


def floor_call(n):
    pending = Pending()

    def work():
        call = zofloor.call
        for _ in range(n):
            call(pending)

    work()
    return timed(work, n)


def floor_getset(n):
    counter = Counter()
    zofloor.get_set(counter, n)
    return timed(lambda: zofloor.get_set(counter, n), n)


def compile_speed(path):
    with open(path, encoding="utf-8") as f:
        source = f.read()
    size = len(source.encode("utf-8"))
    best = float("inf")
    # Best of five, as for every compiler in this table: PyPy's JIT and its
    # heap settle only over the first few compilations.
    for _ in range(5):
        compiler = zolangpy.Compiler()
        for name in ("log", "move", "wait"):
            compiler.register_callable(name, Waits())
        start = time.process_time()
        if not compiler.compile(source):
            compiler.print_errors()
            sys.exit(1)
        best = min(best, time.process_time() - start)
    return size / 1e6 / best


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    if mode in ("loop", "loop-limited", "prop"):
        value = one_run(args[0], int(args[1]), mode == "loop-limited")
    elif mode in ("yield", "poll"):
        value = repeated_runs(args[0], int(args[1]))
    elif mode == "completing":
        value = repeated_runs(args[0], int(args[1]), Completes)
    elif mode == "poll-recorded":
        value = recorded_runs(args[0], int(args[1]))
    elif mode == "completing-recorded":
        value = recorded_runs(args[0], int(args[1]), Completes)
    elif mode == "compile":
        value = compile_speed(args[0])
    else:
        value = {"floor-noop": floor_noop, "floor-call": floor_call,
                 "floor-getset": floor_getset}[mode](int(args[0]))
    print("%.4f" % value)


if __name__ == "__main__":  # kit_host.py borrows its natives
    main()
