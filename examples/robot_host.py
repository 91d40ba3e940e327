"""A simulated robot for `zo run --host examples/robot_host.py`: besides the
standard natives, ``drive N metres;`` (at ``$speed``, 0.1 s of simulated
time per poll), ``turn N degrees;`` (45 degrees per poll), ``beep N
times;`` (a beep per poll), ``$battery`` (percent left, read-only) and
``$speed`` (metres per second). The pattern for a host of your own:
commands are functions that yield until they have finished.
"""

import math
import types

STEP = 0.1  # simulated seconds per poll


def register(host):
    robot = types.SimpleNamespace(battery=100.0, speed=1.0, position=0.0)

    def use_power(amount):
        robot.battery = max(0.0, robot.battery - amount)

    @host.command("drive N metres")
    def drive(n: float):
        """Drives N metres at the current speed, 0.1 s of simulated time per poll."""
        left = n
        try:
            while True:
                moved = min(left, robot.speed * STEP)
                robot.position += moved
                use_power(moved * 0.5)
                left -= moved
                if left <= 1e-9 or robot.battery <= 0:
                    return
                yield
        except GeneratorExit:  # a lost race, or a stop
            print("  (drive interrupted, %.1f m short)" % left)
            raise

    @host.command("turn N degrees")
    def turn(n: float):
        """Turns in place, 45 degrees per poll."""
        for i in range(max(1, math.ceil(abs(n) / 45))):
            if i:
                yield
            use_power(0.2)

    @host.command("beep N times")
    def beep(n: float):
        """Beeps N times, one beep per poll."""
        for i in range(int(n)):
            if i:
                yield
            print("  beep")

    host.prop("battery", lambda: round(robot.battery, 1), doc="The charge left, in percent.")
    host.prop("speed", lambda: robot.speed, lambda value: setattr(robot, "speed", value),
              type=float, doc="Metres per second.")
