"""Progress reports from a Python job to a listener, through the messaging
library (libipm.so, found through IPM_LIBRARY, the installed package's own
location, or the system's library path).

    import ipm

    with ipm.Messaging("direct", args=["job=beam", "message=ALL",
                                       "listener_name=127.0.0.1", "direct_port=7000"]) as m:
        m.send("Started", "program=%s", texts=["solver"])
        for step in range(1, 11):
            if m.killed:
                break
            m.send("Progress", "step=%i residual=%r", ints=[step], doubles=[1e-3])

Requests beside the kill request: offer the ones the job understands, take
the next one at a safe point (never waits) and answer it.

        m.offer_requests({"checkpoint": "Write a restart file now"})
        ...
        request = m.take_request()
        if request and request.name == "checkpoint":
            m.answer_request(request.id, ipm.REQUEST_DONE, "written to beam.rst")

A format string lists space-separated fields "name=%L"; each consumes the
next value of ints (L = i), doubles (r) or texts (s, b, e). Texts travel as
UTF-8.
"""

import atexit
import collections
import ctypes
import operator

from ._library import library as _c

__all__ = [
    "Messaging", "MessagingError", "start", "stop", "send", "send_direct", "kill_requested",
    "status", "STATUS_OFF", "STATUS_CONNECTING", "STATUS_CONNECTED", "count_format_values", "OK", "ALREADY_STARTED", "NOT_STARTED", "UNKNOWN_TRANSPORT",
    "BAD_ARGUMENT", "WRONG_THREAD", "FAILED", "Request", "offer_requests", "take_request", "answer_request",
    "REQUEST_DONE", "REQUEST_REFUSED", "REQUEST_FAILED",
]

# The C interface's result codes.
OK = 0
ALREADY_STARTED = 1
NOT_STARTED = 2
UNKNOWN_TRANSPORT = 3
BAD_ARGUMENT = 4
WRONG_THREAD = 5
FAILED = 6

# Where delivery stands (status()).
STATUS_OFF = 0
STATUS_CONNECTING = 1
STATUS_CONNECTED = 2

# How a job answers a request (answer_request).
REQUEST_DONE = 0
REQUEST_REFUSED = 1
REQUEST_FAILED = 2

# Room for any request name and value, with their NUL.
_NAME_SIZE = 33
_VALUE_SIZE = 257

Request = collections.namedtuple("Request", "id name value")
Request.__doc__ = "A request from the listener: its id, name and value (empty when none)."

_INT_RANGE = range(-(2 ** 31), 2 ** 31)


class MessagingError(RuntimeError):
    """A result other than OK from the library; `code` holds it."""

    def __init__(self, code, action):
        self.code = code
        text = _c.ipm_resultText(code).decode()
        if code == FAILED:
            text += ": " + _c.ipm_lastFailure().decode(errors="replace")
        super().__init__(f"{action}: {text}")


def _check(code, action):
    if code != OK:
        raise MessagingError(code, action)


def _c_text(value, what):
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    encoded = value.encode("utf-8")
    if b"\0" in encoded:
        raise ValueError(f"{what} holds a NUL character")
    return encoded


def _c_array(element, values):
    """A C array of `values`, or None when there are none."""
    return (element * len(values))(*values) if values else None


def _c_ints(ints):
    values = [operator.index(value) for value in ints]
    for value in values:
        if value not in _INT_RANGE:
            raise ValueError(f"{value} does not fit a C int")
    return _c_array(ctypes.c_int, values)


def start(transport="direct", args=None):
    """Starts messaging with the transport "direct" or "jabber". `args` holds
    the job's options ("job=beam", "message=ALL", ...); None or an empty
    list reads them from the process's own command line."""
    arguments = [_c_text(argument, "an argument") for argument in args or ()]
    _check(_c.ipm_start(_c_text(transport, "the transport"), len(arguments),
                        _c_array(ctypes.c_char_p, arguments)), "start")


def stop():
    """Sends what is still buffered and the end of the job, "JobEnded", then stops messaging."""
    _check(_c.ipm_stop(), "stop")


def kill_requested():
    """True once the listener has asked the job to stop."""
    return _c.ipm_killRequested() == 1


def status():
    """Where delivery stands: (STATUS_OFF, STATUS_CONNECTING or
    STATUS_CONNECTED, and why it is not connected, empty when it is)."""
    reason = ctypes.create_string_buffer(512)
    state = _c.ipm_status(reason, len(reason))
    return state, reason.value.decode(errors="replace")


def count_format_values(format):
    """How many ints, doubles and texts `format` consumes."""
    counts = [ctypes.c_int() for _ in range(3)]
    _check(_c.ipm_countFormatValues(_c_text(format, "the format"), *map(ctypes.byref, counts)),
           "count format values")
    return tuple(count.value for count in counts)


def _send(function, action, type, format, ints, doubles, texts):
    ints, doubles, texts = list(ints), list(doubles), list(texts)
    encoded_format = _c_text(format, "the format")
    # The library reads as many values as the format asks for, without bounds.
    for needed, given, kind in zip(count_format_values(format), (ints, doubles, texts),
                                   ("ints", "doubles", "texts")):
        if needed > len(given):
            raise ValueError(f"format {format!r} needs {needed} {kind}, got {len(given)}")
    _check(function(_c_text(type, "the message type"), encoded_format, _c_ints(ints),
                    _c_array(ctypes.c_double, [float(value) for value in doubles]),
                    _c_array(ctypes.c_char_p, [_c_text(text, "a text") for text in texts])), action)


def send(type, format, ints=(), doubles=(), texts=()):
    """Buffers a message for the message task."""
    _send(_c.ipm_send, "send", type, format, ints, doubles, texts)


def send_direct(type, format, ints=(), doubles=(), texts=()):
    """Sends a message at once, on the calling thread."""
    _send(_c.ipm_sendDirect, "send_direct", type, format, ints, doubles, texts)


def offer_requests(requests):
    """Offers requests, a mapping (or pairs) of name to label, replacing an
    earlier offer; an empty one withdraws it. A name is a lowercase letter
    followed by up to 31 of a-z, 0-9, "_" and "-"."""
    pairs = list(dict(requests).items())
    names = [_c_text(name, "a request name") for name, _ in pairs]
    labels = [_c_text(label, "a request label") for _, label in pairs]
    _check(_c.ipm_offerRequests(len(pairs), _c_array(ctypes.c_char_p, names),
                                _c_array(ctypes.c_char_p, labels)), "offer requests")


def take_request():
    """The oldest pending Request, or None; never waits."""
    request_id = ctypes.c_int()
    name = ctypes.create_string_buffer(_NAME_SIZE)
    value = ctypes.create_string_buffer(_VALUE_SIZE)
    _check(_c.ipm_takeRequest(ctypes.byref(request_id), name, _NAME_SIZE, value, _VALUE_SIZE), "take request")
    if request_id.value == 0:
        return None
    return Request(request_id.value, name.value.decode(), value.value.decode())


def answer_request(request_id, outcome, text=""):
    """Answers a taken request once: REQUEST_DONE, REQUEST_REFUSED or
    REQUEST_FAILED, with a text for the listener."""
    _check(_c.ipm_answerRequest(operator.index(request_id), operator.index(outcome),
                                _c_text(text, "the answer's text")), "answer request")


class Messaging:
    """Messaging for the duration of a with block: started on entry, stopped
    (after sending everything buffered) on exit."""

    def __init__(self, transport="direct", args=None):
        self.transport = transport
        self.args = args

    def __enter__(self):
        start(self.transport, self.args)
        return self

    def __exit__(self, *exception):
        stop()
        return False

    @property
    def killed(self):
        return kill_requested()

    @property
    def status(self):
        return status()

    send = staticmethod(send)
    send_direct = staticmethod(send_direct)
    offer_requests = staticmethod(offer_requests)
    take_request = staticmethod(take_request)
    answer_request = staticmethod(answer_request)


# A job that ends without stopping still gets its buffered messages out; the
# stop is bounded, so a listener that stopped reading cannot hold the exit.
atexit.register(_c.ipm_stop)
