"""The host kit's side of bench/run, for PyPy and CPython alike: one
measurement per process, printed as one number.

    kit_host.py poll-generator IR N   ns per run() polling a kit generator
                                      command that yields forever (CPU time)
    kit_host.py poll-callable IR N    the same with a hand-written Callable
                                      whose call() answers False (CPU time)
    kit_host.py wake N                µs of wall time from the resolution of
                                      the future an async command awaits to
                                      the poll of the command after it, under
                                      zo.run_async: the median of N
    kit_host.py wake-floor N          µs from the same resolution to the task
                                      that awaits it running again
"""

import asyncio
import statistics
import sys
import time

import zolangpy

import zo


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


def poll_host(kind):
    host = zo.Host(standard=False)
    if kind == "generator":
        @host.command("wait")
        def wait():
            while True:
                yield
    else:
        host.callable("wait", Waits())
    return host


def polls(kind, path, n):
    with open(path) as f:
        interpreter = poll_host(kind).read_ir(f.read())

    def work():
        run = interpreter.run
        for _ in range(n):
            run()

    work()  # warms the JIT and the caches
    start = time.process_time()
    work()
    return (time.process_time() - start) * 1e9 / n


def wake_latency(n):
    """A program that awaits a future another task resolves, then at once
    calls `mark`: the time from the resolution to mark's poll."""
    host = zo.Host(standard=False)
    resolved, marked = [], []

    @host.command("soon")
    async def soon():
        loop = asyncio.get_running_loop()
        future = loop.create_future()

        def resolve():
            resolved.append(time.perf_counter())
            future.set_result(None)

        loop.call_later(0.001, resolve)
        await future

    @host.command("mark")
    def mark():
        marked.append(time.perf_counter())

    program = "$i = 0; while $i < %d { soon; mark; $i += 1; }" % n
    # A tick of 10 s: only the completion can wake the driver in time.
    asyncio.run(zo.run_async(program, host, tick=10, signals=False))
    return statistics.median(m - r for r, m in zip(resolved, marked)) * 1e6


def wake_floor(n):
    async def waits():
        loop = asyncio.get_running_loop()
        gaps = []
        for _ in range(n):
            future = loop.create_future()
            resolved = []

            def resolve():
                resolved.append(time.perf_counter())
                future.set_result(None)

            loop.call_later(0.001, resolve)
            await future
            gaps.append(time.perf_counter() - resolved[0])
        return statistics.median(gaps) * 1e6

    return asyncio.run(waits())


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    if mode.startswith("poll-"):
        value = polls(mode[len("poll-"):], args[0], int(args[1]))
    elif mode == "wake":
        value = wake_latency(int(args[0]))
    else:
        value = wake_floor(int(args[0]))
    print("%.4f" % value)


main()
