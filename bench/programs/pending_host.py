"""A native that never completes, for bench/programs/zo_idle.py."""

import zolangpy


class Pending(zolangpy.Callable):
    def call(self):
        return False


class Pendings(zolangpy.CallableGenerator):
    def check_syntax(self, args):
        pass

    def generate(self, args):
        return Pending()


def register(host):
    host.callable("pending", Pendings())
