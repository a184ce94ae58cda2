#!/usr/bin/env python3
"""The Python package ipm over the real shared library (IPM_LIBRARY): values
it refuses, the delivery status, and a job whose listener never reads, which
must still exit."""

import os
import socket
import subprocess
import sys
import tempfile
import unittest

import ipm

WAIT_SECONDS = 60


class Binding(unittest.TestCase):
    def test_values_the_library_cannot_take_are_refused_before_anything_is_sent(self):
        with self.assertRaisesRegex(ValueError, "needs 2 ints, got 1"):
            ipm.send("Progress", "a=%i b=%i", ints=[1])
        with self.assertRaisesRegex(ValueError, "needs 3 texts, got 2"):
            ipm.send("Progress", "a=%s b=%b c=%e", texts=["x", "y"])
        with self.assertRaises(ValueError):
            ipm.send("Progress", "a=%i", ints=[2 ** 31])
        with self.assertRaises(ValueError):
            ipm.send("Progress", "a=%s", texts=["nul\0inside"])
        with self.assertRaises(ipm.MessagingError) as raised:
            ipm.start("pigeon", ["job=pyjob"])
        self.assertEqual(raised.exception.code, ipm.UNKNOWN_TRANSPORT)

    def test_the_status_tells_why_nothing_is_delivered(self):
        self.assertEqual(ipm.status(), (ipm.STATUS_OFF, "messaging is not started"))
        with tempfile.TemporaryDirectory() as directory:
            with ipm.Messaging("direct", args=["job=pyjob", "message=ALL", f"indir={directory}",
                                               "listener_name=127.0.0.1", "direct_port=abc"]) as messaging:
                messaging.send("Progress", "step=%i", ints=[1])
                while messaging.status[0] == ipm.STATUS_CONNECTING:
                    pass
                state, reason = messaging.status
                self.assertEqual(state, ipm.STATUS_OFF)
                self.assertIn('direct_port "abc"', reason)
            with open(os.path.join(directory, "pyjob.ipm")) as log:
                self.assertIn("<step type=\"integer\">1</step>", log.read())

    def test_a_job_whose_listener_never_reads_still_exits(self):
        deaf = socket.create_server(("127.0.0.1", 0))
        job = ("import ipm\n"
               f"ipm.start('direct', ['job=deaf', 'message=ALL', 'listener_name=127.0.0.1', "
               f"'direct_port={deaf.getsockname()[1]}'])\n"
               "for step in range(200000):\n"
               "    ipm.send('Progress', 'step=%i', ints=[step])\n")
        with tempfile.TemporaryDirectory() as directory:
            environment = dict(os.environ, IPM_NETWORK_TIMEOUT_MS="300")
            finished = subprocess.run([sys.executable, "-c", job], cwd=directory, env=environment,
                                      timeout=WAIT_SECONDS, capture_output=True)
            self.assertEqual(finished.returncode, 0, finished.stderr)
            with open(os.path.join(directory, "deaf.ipm")) as log:
                self.assertEqual(log.read().count("</Progress>"), 200000)
        deaf.close()


if __name__ == "__main__":
    unittest.main()
