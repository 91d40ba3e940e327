"""A simulated robot for `zo run --host examples/robot_host.py`.

It adds to the standard host:
- ``drive N metres;``  drives N metres at the current speed, one step of
  simulated time per poll (0.1 s);
- ``turn N degrees;``  turns in place, 45 degrees per step;
- ``beep N times;``    beeps N times, one beep per step;
- ``$battery``         the charge left, in percent (read-only);
- ``$speed``           metres per second, settable.

This file is also the pattern for a host of your own: subclass the three
zolangpy base classes and register instances in `register(host)`.
"""

import zolangpy

STEP = 0.1  # simulated seconds per poll


class Robot:
    def __init__(self):
        self.battery = 100.0
        self.speed = 1.0
        self.position = 0.0

    def use_power(self, amount):
        self.battery = max(0.0, self.battery - amount)


def _expect(args, shape, usage):
    """Checks a call site against a shape such as ("value", "metres")."""
    ok = len(args) == len(shape) and all(
        arg.is_value() if part == "value" else arg.matches_word(part)
        for arg, part in zip(args, shape)
    )
    if not ok:
        raise SyntaxError("expected '%s'" % usage)


class _Drive(zolangpy.Callable):
    def __init__(self, robot, metres):
        self.robot = robot
        self.left = float(metres)

    def call(self):
        moved = min(self.left, self.robot.speed * STEP)
        self.robot.position += moved
        self.robot.use_power(moved * 0.5)
        self.left -= moved
        return self.left <= 1e-9 or self.robot.battery <= 0

    def terminate(self):
        print("  (drive interrupted, %.1f m short)" % self.left)


class Drive(zolangpy.CallableGenerator):
    def __init__(self, robot):
        self.robot = robot

    def check_syntax(self, args):
        _expect(args, ("value", "metres"), "drive N metres;")

    def generate(self, args):
        return _Drive(self.robot, args[0])


class _Turn(zolangpy.Callable):
    def __init__(self, robot, degrees):
        self.robot = robot
        self.left = abs(float(degrees))

    def call(self):
        self.left -= 45
        self.robot.use_power(0.2)
        return self.left <= 0


class Turn(zolangpy.CallableGenerator):
    def __init__(self, robot):
        self.robot = robot

    def check_syntax(self, args):
        _expect(args, ("value", "degrees"), "turn N degrees;")

    def generate(self, args):
        return _Turn(self.robot, args[0])


class _Beep(zolangpy.Callable):
    def __init__(self, times):
        self.left = int(times)

    def call(self):
        if self.left > 0:
            print("  beep")
        self.left -= 1
        return self.left <= 0


class Beep(zolangpy.CallableGenerator):
    def check_syntax(self, args):
        _expect(args, ("value", "times"), "beep N times;")

    def generate(self, args):
        return _Beep(args[0])


class Battery(zolangpy.Prop):
    def __init__(self, robot):
        self.robot = robot

    def get(self):
        return round(self.robot.battery, 1)


class Speed(zolangpy.Prop):
    def __init__(self, robot):
        self.robot = robot

    def get(self):
        return self.robot.speed

    def set(self, value):
        self.robot.speed = float(value)

    def is_settable(self):
        return True


def register(host):
    robot = Robot()
    host.callable("drive", Drive(robot))
    host.callable("turn", Turn(robot))
    host.callable("beep", Beep())
    host.property("battery", Battery(robot))
    host.property("speed", Speed(robot))
