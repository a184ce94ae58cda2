"""Finds and loads the messaging library and declares its C functions."""

import ctypes
import ctypes.util
import os
import pathlib

_NAMES = ("libipm.so.0", "libipm.so")


def _installed_candidates():
    """The library where an installed package expects it, if installed."""
    try:
        from ._installed import LIBRARY_DIR
    except ImportError:
        return []
    directory = (pathlib.Path(__file__).parent / LIBRARY_DIR).resolve()
    return [directory / name for name in _NAMES]


def _load():
    explicit = os.environ.get("IPM_LIBRARY")
    if explicit:
        return ctypes.CDLL(explicit)
    for candidate in _installed_candidates():
        if candidate.exists():
            return ctypes.CDLL(str(candidate))
    found = ctypes.util.find_library("ipm")
    if found:
        return ctypes.CDLL(found)
    raise OSError("cannot find the messaging library libipm.so; set IPM_LIBRARY to its path")


def _declare(library):
    c_int, c_char_p, c_double = ctypes.c_int, ctypes.c_char_p, ctypes.c_double
    int_p, double_p, text_p = ctypes.POINTER(c_int), ctypes.POINTER(c_double), ctypes.POINTER(c_char_p)
    signatures = {
        "ipm_start": (c_int, [c_char_p, c_int, text_p]),
        "ipm_stop": (c_int, []),
        "ipm_killRequested": (c_int, []),
        "ipm_send": (c_int, [c_char_p, c_char_p, int_p, double_p, text_p]),
        "ipm_sendDirect": (c_int, [c_char_p, c_char_p, int_p, double_p, text_p]),
        "ipm_countFormatValues": (c_int, [c_char_p, int_p, int_p, int_p]),
        "ipm_resultText": (c_char_p, [c_int]),
        "ipm_lastFailure": (c_char_p, []),
        "ipm_status": (c_int, [c_char_p, c_int]),
        "ipm_offerRequests": (c_int, [c_int, text_p, text_p]),
        "ipm_takeRequest": (c_int, [int_p, c_char_p, c_int, c_char_p, c_int]),
        "ipm_answerRequest": (c_int, [c_int, c_int, c_char_p]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    return library


library = _declare(_load())
