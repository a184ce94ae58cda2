#!/usr/bin/env python3
"""Runs an example job against the real listener on a free loopback port and
checks what arrives.

    job_against_listener.py --listen IPM_LISTEN --name NAME --expect kill|complete -- JOB [ARGS...]

complete: the job runs three steps and ends with status 0; the listener
prints its start message, each step and its "Completed" message.
kill: once the listener has printed two steps, "kill NAME" on its standard
input must end the job with status 3, after its "Stopped" message arrived.
Every wait is bounded; both programs are killed if they outlive the check.
"""

import argparse
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time

WAIT_SECONDS = 20
STOPPED_BY_LISTENER = 3


class Lines:
    """A program's standard output, line by line, read on a thread of its own."""

    def __init__(self, stream):
        self.queue = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.queue.put(line.rstrip("\n"))
        self.queue.put(None)

    def next(self, deadline):
        try:
            line = self.queue.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            return None
        if line is not None:
            self.seen.append(line)
        return line

    def wait_for(self, prefix):
        """The first line from now on that starts with `prefix`."""
        deadline = time.monotonic() + WAIT_SECONDS
        while (line := self.next(deadline)) is not None:
            if line.startswith(prefix):
                return line
        fail(f"no line starting with {prefix!r}; the listener printed:\n" + "\n".join(self.seen))


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(1)


def start_listener(listen):
    listener = subprocess.Popen([listen, "--port", "0"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                text=True, bufsize=1)
    lines = Lines(listener.stdout)
    first = lines.wait_for("listening on ")
    return listener, lines, first.rsplit(":", 1)[1]


def start_job(command, name, port, directory, steps):
    options = [f"job={name}", "message=ALL", f"indir={directory}", "listener_name=127.0.0.1",
               f"direct_port={port}", f"steps={steps}"]
    return subprocess.Popen(command + options, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def wait_for_exit(job):
    try:
        return job.wait(timeout=WAIT_SECONDS)
    except subprocess.TimeoutExpired:
        fail("the job did not end in time")


def check_status(job, expected):
    status = wait_for_exit(job)
    if status != expected:
        fail(f"the job ended with status {status}, not {expected}; its errors:\n{job.stderr.read()}")


def expect_complete(listener_lines, job, name):
    listener_lines.wait_for(f"{name} Started program=")
    for step in (1, 2, 3):
        line = listener_lines.wait_for(f"{name} Progress step={step} ")
        if "of=3" not in line or "phase=" not in line:
            fail(f"incomplete progress line: {line}")
    listener_lines.wait_for(f"{name} Completed steps=3")
    check_status(job, 0)


def expect_kill(listener, listener_lines, job, name):
    listener_lines.wait_for(f"{name} Started program=")
    listener_lines.wait_for(f"{name} Progress step=2 ")
    listener.stdin.write(f"kill {name}\n")
    listener.stdin.flush()
    check_status(job, STOPPED_BY_LISTENER)
    listener_lines.wait_for(f"{name} Stopped steps=")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--expect", choices=("kill", "complete"), required=True)
    parser.add_argument("job", nargs="+")
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="ipm-binding-") as directory:
        listener, lines, port = start_listener(arguments.listen)
        steps = 3 if arguments.expect == "complete" else 400
        job = start_job(arguments.job, arguments.name, port, directory, steps)
        try:
            if arguments.expect == "complete":
                expect_complete(lines, job, arguments.name)
            else:
                expect_kill(listener, lines, job, arguments.name)
            log = os.path.join(directory, arguments.name + ".ipm")
            with open(log, encoding="utf-8") as file:
                if "<Progress>" not in file.read():
                    fail(f"no progress in the message log {log}")
        finally:
            for program in (job, listener):
                program.kill()
                program.wait()
    print(f"{arguments.name}: {arguments.expect} as expected")


if __name__ == "__main__":
    main()
