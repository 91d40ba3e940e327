"""Natives for the recording tests, also loaded by `zo run --host`."""

import zolangpy


class _Move(zolangpy.Callable):
    def __init__(self, polls):
        self.left = int(polls)

    def call(self):
        self.left -= 1
        return self.left < 0

    def result(self):
        return self.left + 100


class Move(zolangpy.CallableGenerator):
    """`move N`: not yet N times, then done; its value is 99."""

    def check_syntax(self, args):
        pass

    def generate(self, args):
        return _Move(args[0])


class _Boom(zolangpy.Callable):
    def call(self):
        raise ValueError("the motor stalled")


class Boom(zolangpy.CallableGenerator):
    def check_syntax(self, args):
        pass

    def generate(self, args):
        return _Boom()


class Position(zolangpy.Prop):
    def __init__(self):
        self.value = 0

    def get(self):
        self.value += 1  # a sensor: each read differs
        return self.value

    def set(self, value):
        self.value = value

    def is_settable(self):
        return True


def register(host):
    host.callable("move", Move())
    host.callable("boom", Boom())
    host.property("pos", Position())


# A string that UTF-8 cannot hold, as a host may hand one back (a lone
# surrogate, from bytes decoded with "surrogateescape").
ODD = "bad\udcff"


class _Odd(zolangpy.Callable):
    def call(self):
        return True

    def result(self):
        return ODD


class Odd(zolangpy.CallableGenerator):
    """`odd`: done at once; its value is ODD."""

    def check_syntax(self, args):
        pass

    def generate(self, args):
        return _Odd()


class OddText(zolangpy.Prop):
    """`$odd`, read-only: ODD."""

    def get(self):
        return ODD

    def is_settable(self):
        return False
