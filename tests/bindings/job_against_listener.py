#!/usr/bin/env python3
"""Runs an example job against the real listener on a free loopback port:
its start and progress reach the listener, "kill NAME" on the listener's
input ends the job with status 3 after its "Stopped" message arrived, and
the message log holds the progress.

    job_against_listener.py --listen IPM_LISTEN --name NAME -- JOB [ARGS...]

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


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(1)


class Lines:
    """A program's standard output, line by line, read on a thread of its own."""

    def __init__(self, stream):
        self.queue = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.queue.put(line.rstrip("\n"))

    def wait_for(self, prefix):
        """The first line from now on that starts with `prefix`."""
        deadline = time.monotonic() + WAIT_SECONDS
        while (left := deadline - time.monotonic()) > 0:
            try:
                line = self.queue.get(timeout=left)
            except queue.Empty:
                break
            self.seen.append(line)
            if line.startswith(prefix):
                return line
        fail(f"no line starting with {prefix!r}; the listener printed:\n" + "\n".join(self.seen))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("job", nargs="+")
    arguments = parser.parse_args()
    name = arguments.name

    with tempfile.TemporaryDirectory(prefix="ipm-binding-") as directory:
        listener = subprocess.Popen([arguments.listen, "--port", "0"], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True, bufsize=1)
        lines = Lines(listener.stdout)
        port = lines.wait_for("listening on ").rsplit(":", 1)[1]
        job = subprocess.Popen(arguments.job + [f"job={name}", "message=ALL", f"indir={directory}",
                                                "listener_name=127.0.0.1", f"direct_port={port}", "steps=400"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            lines.wait_for(f"{name} Started program=")
            line = lines.wait_for(f"{name} Progress step=2 ")
            if "of=400" not in line or "phase=" not in line:
                fail(f"incomplete progress line: {line}")
            listener.stdin.write(f"kill {name}\n")
            listener.stdin.flush()
            try:
                status = job.wait(timeout=WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                fail("the job did not end in time")
            if status != STOPPED_BY_LISTENER:
                fail(f"the job ended with status {status}; its errors:\n{job.stderr.read()}")
            lines.wait_for(f"{name} Stopped steps=")
            with open(os.path.join(directory, name + ".ipm"), encoding="utf-8") as log:
                if "<Progress>" not in log.read():
                    fail("no progress in the message log")
        finally:
            for program in (job, listener):
                program.kill()
                program.wait()
    print(f"{name}: reached the listener and stopped on its request")


if __name__ == "__main__":
    main()
