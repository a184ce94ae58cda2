#!/usr/bin/env python3
"""An example job in Python: it reports its progress through the messaging
library and stops early when the listener asks it to.

    python_job.py job=beam message=ALL listener_name=127.0.0.1 direct_port=7000 [steps=40] [transport=jabber]

Its arguments are handed to the library as the job's options; steps and
transport are the job's own. Exit status: 0 when all steps ran, 3 when the
listener stopped the job, 1 when messaging failed.
"""

import sys
import time

import ipm

COMPLETED, FAILED, STOPPED_BY_LISTENER = 0, 1, 3


def option(name, fallback):
    for argument in sys.argv[1:]:
        if argument.startswith(name + "="):
            return argument[len(name) + 1:]
    return fallback


def solve(messaging, steps):
    """Runs the steps; the number done and whether the listener cut them short."""
    for step in range(1, steps + 1):
        if messaging.killed:
            return step - 1, True
        phase = "Loading" if step * 2 <= steps else "Holding"
        messaging.send("Progress", "step=%i of=%i residual=%r phase=%e",
                       ints=[step, steps], doubles=[1.0 / (step + 1)], texts=[phase])
        time.sleep(0.1)
    return steps, False


def main():
    steps = int(option("steps", "40"))
    try:
        with ipm.Messaging(option("transport", "direct"), args=sys.argv[1:]) as messaging:
            messaging.send("Started", "program=%s", texts=["python-job"])
            done, stopped = solve(messaging, steps)
            # Buffered like the rest; leaving the block sends it before stopping.
            messaging.send("Stopped" if stopped else "Completed", "steps=%i", ints=[done])
    except ipm.MessagingError as error:
        print(f"python-job: {error}", file=sys.stderr)
        return FAILED
    return STOPPED_BY_LISTENER if stopped else COMPLETED


if __name__ == "__main__":
    sys.exit(main())
