#!/usr/bin/env python3
"""The Python package ipm over the real shared library (IPM_LIBRARY), with a
plain loopback socket as the listener."""

import socket
import tempfile
import threading
import time
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
        self.connected = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.connection, _ = self.server.accept()
        self.connection.settimeout(WAIT_SECONDS)
        self.connected.set()
        while chunk := self.connection.recv(4096):
            self.received += chunk
        # The job's orderly disconnect waits for this side to hang up too.
        self.connection.close()

    def send(self, data):
        self.assert_connected()
        self.connection.sendall(data)

    def assert_connected(self):
        if not self.connected.wait(WAIT_SECONDS):
            raise AssertionError("the job never connected")

    def stream(self):
        self.thread.join(WAIT_SECONDS)
        self.server.close()
        return self.received.decode("utf-8")


def job_options(directory, port):
    return ["job=pyjob", "message=ALL", f"indir={directory}", "listener_name=127.0.0.1",
            f"direct_port={port}"]


class WithoutStart(unittest.TestCase):
    def test_format_counts_follow_the_letters(self):
        self.assertEqual(ipm.count_format_values("a=%i b=%I c=%r d=%R e=%s f=%b g=%E"), (2, 2, 3))
        self.assertEqual(ipm.count_format_values("  a=%ii b=% c=%q t=%s "), (0, 0, 1))
        self.assertEqual(ipm.count_format_values(""), (0, 0, 0))

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

    def test_stop_and_send_without_start_report_not_started(self):
        with self.assertRaises(ipm.MessagingError) as raised:
            ipm.stop()
        self.assertEqual(raised.exception.code, ipm.NOT_STARTED)
        with self.assertRaises(ipm.MessagingError) as raised:
            ipm.send("Progress", "a=%i", ints=[1])
        self.assertEqual(raised.exception.code, ipm.NOT_STARTED)

    def test_an_unknown_transport_is_refused(self):
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

    def test_a_second_start_is_refused_and_the_first_run_goes_on(self):
        with ipm.Messaging("direct", args=self.options) as messaging:
            with self.assertRaises(ipm.MessagingError) as raised:
                ipm.start("direct", self.options)
            self.assertEqual(raised.exception.code, ipm.ALREADY_STARTED)
            with self.assertRaises(ipm.MessagingError):
                with ipm.Messaging("jabber"):
                    pass
            messaging.send("Progress", "step=%i", ints=[1])
        self.assertIn("<Progress>", self.listener.stream())

    def test_a_kill_request_shows_on_the_flag_until_the_next_start(self):
        with ipm.Messaging("direct", args=self.options) as messaging:
            messaging.send("Progress", "step=%i", ints=[1])
            self.assertFalse(messaging.killed)
            self.listener.send(b"Kill")
            deadline = time.monotonic() + WAIT_SECONDS
            while not messaging.killed and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertTrue(messaging.killed)
        self.assertTrue(ipm.kill_requested())
        ipm.start("direct", self.options)
        self.assertFalse(ipm.kill_requested())
        ipm.stop()

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
