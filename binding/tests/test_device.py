"""A realistic host: a simulated robot whose commands take several polls,
whose properties are read and written, and whose program races a timeout
against a movement and switches the motors off in __end."""

import zolangpy
from conftest import ir, run_until_done


class Robot:
    def __init__(self):
        self.position = 0.0
        self.speed = 0.0
        self.events = []
        self.report = None


class Move(zolangpy.Callable):
    """Moves `distance` at the robot's current speed, one stretch per poll."""

    def __init__(self, robot, distance):
        self.robot, self.remaining = robot, distance

    def call(self):
        stretch = min(self.robot.speed, self.remaining)
        self.robot.position += stretch
        self.remaining -= stretch
        return self.remaining <= 0

    def terminate(self):
        self.robot.events.append("move stopped")


class Wait(zolangpy.Callable):
    def __init__(self, robot, polls):
        self.robot, self.polls = robot, polls

    def call(self):
        self.polls -= 1
        return self.polls <= 0

    def terminate(self):
        self.robot.events.append("wait stopped")


class Factory(zolangpy.CallableGenerator):
    def __init__(self, robot, kind):
        self.robot, self.kind = robot, kind

    def check_syntax(self, args):
        assert len(args) == 1 and args[0].is_value()

    def generate(self, args):
        (amount,) = args
        self.robot.events.append(f"{self.kind.__name__.lower()} {amount:g}")
        return self.kind(self.robot, amount)


class Attribute(zolangpy.Prop):
    """Reads (and, if settable, writes) one attribute of the robot."""

    def __init__(self, robot, name, settable):
        self.robot, self.name, self.settable = robot, name, settable

    def get(self):
        return getattr(self.robot, self.name)

    def set(self, value):
        self.robot.events.append(f"{self.name} = {value}")
        setattr(self.robot, self.name, value)

    def is_settable(self):
        return self.settable


def race_program(wait_polls, distance):
    return ir(
        "jump 13",
        "__end:",
        "push 0",
        'set "speed"',
        "return",
        "timeout:",
        f"push {wait_polls}",
        'call "wait" 1',
        "return",
        "action:",
        f"push {distance}",
        'call "move" 1',
        "return",
        "push 2",
        'set "speed"',
        'call_race "timeout" 0 "action" 0',
        'get "position"',
        'set "report"',
    )


def build(program):
    robot = Robot()
    interpreter = zolangpy.Interpreter(program)
    interpreter.register_callable("move", Factory(robot, Move))
    interpreter.register_callable("wait", Factory(robot, Wait))
    interpreter.register_property("speed", Attribute(robot, "speed", True))
    interpreter.register_property("position", Attribute(robot, "position", False))
    interpreter.register_property("report", Attribute(robot, "report", True))
    return robot, interpreter


def test_the_timeout_wins_the_race_and_the_movement_is_stopped():
    robot, interpreter = build(race_program(wait_polls=3, distance=10))
    run_until_done(interpreter)
    assert robot.report == 6.0
    assert robot.speed == 0.0
    assert "move stopped" in robot.events
    assert "wait stopped" not in robot.events
    assert robot.events[-1] == "speed = 0.0"


def test_the_movement_wins_the_race_and_the_timeout_is_stopped():
    robot, interpreter = build(race_program(wait_polls=100, distance=4))
    run_until_done(interpreter)
    assert robot.report == 4.0
    assert "wait stopped" in robot.events
    assert "move stopped" not in robot.events


def test_stop_ends_every_running_call_then_switches_the_motors_off():
    robot, interpreter = build(race_program(wait_polls=100, distance=100))
    assert interpreter.run() and interpreter.run()
    interpreter.stop()
    assert sorted(robot.events[-3:-1]) == ["move stopped", "wait stopped"]
    assert robot.events[-1] == "speed = 0.0"
    assert robot.report is None


def test_after_stop_and_reset_the_same_host_runs_the_program_again():
    robot, interpreter = build(race_program(wait_polls=3, distance=10))
    interpreter.run()
    interpreter.stop()
    interpreter.reset()
    robot.position = 0.0
    run_until_done(interpreter)
    assert robot.report == 6.0


def test_a_host_loop_can_interleave_its_own_work_between_runs():
    robot, interpreter = build(race_program(wait_polls=100, distance=8))
    positions = []
    while interpreter.run():
        positions.append(robot.position)
    assert positions == [2.0, 4.0, 6.0, 8.0]
