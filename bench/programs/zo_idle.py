"""`zo run`'s CPU use while the program waits on a native that never
completes, as a percentage of one core, over WINDOW seconds of wall time
after the program has started waiting (start-up and compiling excluded).

    python zo_idle.py [TICK]    runs `python -m zo run` with this Python
"""

import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WINDOW = 2.0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    command = [sys.executable, "-m", "zo", "run", os.path.join(HERE, "pending.zo"),
               "--host", os.path.join(HERE, "pending_host.py")]
    if len(sys.argv) > 1:
        command += ["--tick", sys.argv[1]]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, universal_newlines=True)
    try:
        if process.stdout.readline() != "waiting\n":
            sys.exit("the program did not start waiting")
        start_cpu, start = cpu_seconds(process.pid), time.monotonic()
        time.sleep(WINDOW)
        used, elapsed = cpu_seconds(process.pid) - start_cpu, time.monotonic() - start
    finally:
        process.send_signal(signal.SIGINT)
        process.communicate(timeout=60)
    print("%.3f" % (100.0 * used / elapsed))


main()
