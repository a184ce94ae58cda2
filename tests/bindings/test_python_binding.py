#!/usr/bin/env python3
"""The Python package ipm over the real shared library (IPM_LIBRARY): values
it refuses before the library reads them, the delivery status, and a job
whose listener never reads, which must still exit."""

import os
import socket
import subprocess
import sys
import tempfile
import unittest

import ipm


class Binding(unittest.TestCase):
    def test_values_the_library_cannot_take_are_refused(self):
        with self.assertRaisesRegex(ValueError, "needs 2 ints, got 1"):
            ipm.send("Progress", "a=%i b=%i", ints=[1])
        with self.assertRaisesRegex(ValueError, "needs 3 texts, got 2"):
            ipm.send("Progress", "a=%s b=%b c=%e", texts=["x", "y"])
        with self.assertRaises(ValueError):
            ipm.send("Progress", "a=%i", ints=[2 ** 31])
        with self.assertRaises(ValueError):
            ipm.send("Progress", "a=%s", texts=["nul\0inside"])
        self.assertEqual(ipm.status(), (ipm.STATUS_OFF, "messaging is not started"))
        with self.assertRaises(ipm.MessagingError) as refused:
            ipm.offer_requests({"stop": "Stop"})
        self.assertEqual(refused.exception.code, ipm.NOT_STARTED)

    def test_requests_are_checked_and_taken_without_waiting(self):
        with ipm.Messaging("direct", ["job=offers", "message=NONE"]) as m:
            with self.assertRaises(ipm.MessagingError) as refused:
                m.offer_requests({"Stop": "Stop"})
            self.assertEqual(refused.exception.code, ipm.BAD_ARGUMENT)
            m.offer_requests([("checkpoint", "Write a restart file now"), ("stop", "Stop")])
            self.assertIsNone(m.take_request())
            with self.assertRaises(ipm.MessagingError) as unknown:
                m.answer_request(1, ipm.REQUEST_DONE, "never taken")
            self.assertEqual(unknown.exception.code, ipm.BAD_ARGUMENT)

    def test_a_job_whose_listener_never_reads_still_exits_with_its_log_complete(self):
        deaf = socket.create_server(("127.0.0.1", 0))
        job = ("import ipm\n"
               f"ipm.start('direct', ['job=deaf', 'message=ALL', 'listener_name=127.0.0.1', "
               f"'direct_port={deaf.getsockname()[1]}'])\n"
               "for step in range(200000):\n"
               "    ipm.send('Progress', 'step=%i', ints=[step])\n")
        with tempfile.TemporaryDirectory() as directory:
            environment = dict(os.environ, IPM_NETWORK_TIMEOUT_MS="300")
            finished = subprocess.run([sys.executable, "-c", job], cwd=directory, env=environment,
                                      timeout=60, capture_output=True)
            self.assertEqual(finished.returncode, 0, finished.stderr)
            with open(os.path.join(directory, "deaf.ipm")) as log:
                self.assertEqual(log.read().count("</Progress>"), 200000)
        deaf.close()


if __name__ == "__main__":
    unittest.main()
