#!/usr/bin/env python3
"""The Python package ipm over the real shared library (IPM_LIBRARY), with a
plain loopback socket as the listener."""

import socket
import tempfile
import threading
import unittest

import ipm

WAIT_SECONDS = 10


class LoopbackListener:
    """Accepts one job on 127.0.0.1 and collects its stream until it hangs up."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.server.settimeout(WAIT_SECONDS)
        self.port = self.server.getsockname()[1]
        self.connection = None
        self.received = b""
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.connection, _ = self.server.accept()
        self.connection.settimeout(WAIT_SECONDS)
        while chunk := self.connection.recv(4096):
            self.received += chunk
        # The job's orderly disconnect waits for this side to hang up too.
        self.connection.close()

    def stream(self):
        self.thread.join(WAIT_SECONDS)
        self.server.close()
        return self.received.decode("utf-8")


def job_options(directory, port):
    return ["job=pyjob", "message=ALL", f"indir={directory}", "listener_name=127.0.0.1",
            f"direct_port={port}"]


class WithoutStart(unittest.TestCase):
    def test_too_few_values_raise_before_anything_is_sent(self):
        with self.assertRaisesRegex(ValueError, "needs 2 ints, got 1"):
            ipm.send("Progress", "a=%i b=%i", ints=[1])
        with self.assertRaisesRegex(ValueError, "needs 1 doubles, got 0"):
            ipm.send_direct("Progress", "load=%R")
        with self.assertRaisesRegex(ValueError, "needs 3 texts, got 2"):
            ipm.send("Progress", "a=%s b=%b c=%e", texts=["x", "y"])

    def test_values_the_library_cannot_take_are_refused(self):
        with self.assertRaises(ValueError):
            ipm.send("Progress", "a=%i", ints=[2 ** 31])
        with self.assertRaises(TypeError):
            ipm.send("Progress", "a=%i", ints=[1.5])
        with self.assertRaises(TypeError):
            ipm.send("Progress", "a=%s", texts=[b"bytes"])
        with self.assertRaises(ValueError):
            ipm.send("Progress", "a=%s", texts=["nul\0inside"])
        with self.assertRaises(TypeError):
            ipm.send(None, "")

    def test_misuse_comes_back_as_errors_with_the_librarys_code(self):
        with self.assertRaises(ipm.MessagingError) as raised:
            ipm.stop()
        self.assertEqual(raised.exception.code, ipm.NOT_STARTED)
        with self.assertRaises(ipm.MessagingError) as raised:
            ipm.start("pigeon", ["job=pyjob"])
        self.assertEqual(raised.exception.code, ipm.UNKNOWN_TRANSPORT)
        self.assertIn("direct", str(raised.exception))


class Started(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory(prefix="ipm-python-")
        self.listener = LoopbackListener()
        self.options = job_options(self.directory.name, self.listener.port)

    def tearDown(self):
        self.listener.stream()
        self.directory.cleanup()

    def test_messages_arrive_in_order_with_utf8_texts(self):
        with ipm.Messaging("direct", args=self.options) as messaging:
            messaging.send("Started", "program=%s", texts=["python"])
            messaging.send("Progress", "step=%i load=%r note=%s", ints=[1], doubles=[0.25],
                           texts=["Grüße, 日本"])
            messaging.send_direct("Now", "step=%i", ints=[7])
        stream = self.listener.stream()
        self.assertTrue(stream.startswith("pyjob"), stream)
        self.assertLess(stream.index("<Started>"), stream.index("<Progress>"))
        self.assertIn("<load type=\"float\">0.25</load>", stream)
        self.assertIn("Grüße, 日本", stream)
        self.assertIn("<Now><step type=\"integer\">7</step>", stream)

    def test_an_error_inside_the_block_still_stops_messaging(self):
        with self.assertRaises(KeyError):
            with ipm.Messaging("direct", args=self.options) as messaging:
                messaging.send("Progress", "step=%i", ints=[1])
                raise KeyError("job failed")
        with self.assertRaises(ipm.MessagingError):
            ipm.stop()
        self.assertIn("<Progress>", self.listener.stream())


if __name__ == "__main__":
    unittest.main()
