"""A complete Python host embedding Zo: the pattern a host author copies.

It registers a native call (`heat`, which takes several steps) and a
property (`$temperature`), compiles a program, and runs it from its own loop,
stopping it cleanly on a time limit or on Ctrl-C.

Run it from the source tree after building (scripts/demo or scripts/test):
    PYTHONPATH=build/release/binding/python pypy3 examples/embed.py
"""

import time

import zolangpy


class Oven:
    def __init__(self):
        self.temperature = 20.0


class Heating(zolangpy.Callable):
    def __init__(self, oven, target):
        self.oven = oven
        self.target = target

    def call(self):
        self.oven.temperature = min(self.target, self.oven.temperature + 15)
        return self.oven.temperature >= self.target  # False: poll me again

    def terminate(self):
        print("heating interrupted at", self.oven.temperature)


class Heat(zolangpy.CallableGenerator):
    def __init__(self, oven):
        self.oven = oven

    def check_syntax(self, args):
        assert len(args) == 2 and args[0].matches_word("to") and args[1].is_value(), (
            "usage: heat to DEGREES;"
        )

    def generate(self, args):
        return Heating(self.oven, args[0])


class Temperature(zolangpy.Prop):
    def __init__(self, oven):
        self.oven = oven

    def get(self):
        return self.oven.temperature


class Say(zolangpy.CallableGenerator):
    def check_syntax(self, args):
        pass

    def generate(self, args):
        print(*args)
        return Done()


class Done(zolangpy.Callable):
    def call(self):
        return True


PROGRAM = """
use $temperature;
group __end { say "oven off"; }
heat to 180;
say "preheated to" $temperature;
"""


def main():
    oven = Oven()
    compiler = zolangpy.Compiler()
    compiler.register_callable("heat", Heat(oven))
    compiler.register_callable("say", Say())
    compiler.register_property("temperature", Temperature(oven))
    if not compiler.compile(PROGRAM):
        compiler.print_errors()
        return 1
    interpreter = compiler.into_interpreter()
    deadline = time.monotonic() + 10
    try:
        while interpreter.run():
            if time.monotonic() > deadline:
                interpreter.stop()  # terminates running calls, runs __end
                break
            time.sleep(0.01)  # the host's own work between steps
    except KeyboardInterrupt:
        interpreter.stop()
    except Exception as error:  # a ZoError: the program failed
        print("program failed:", error)
        interpreter.stop()
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
