"""When a program's window is shown, seen from the X server's side.

The watcher opens its own connection to the display and selects
SubstructureNotify on the root window before the clock starts, so the server
tells it of every top-level window mapped: no polling, and the program is not
touched. Its window is the first mapped top-level window titled "Tessaly"
(the agent and both programs it is compared with carry that title). With no
window manager the server makes the window viewable when it is mapped, so the
MapNotify is the moment it is shown.

Plain ctypes on libX11, so that it runs on this machine and, unchanged, in
the chroot where the Windows program runs under wine (bench/wine.py).
"""

import ctypes
import ctypes.util
import os
import select
import subprocess
import time

MAP_NOTIFY = 19
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
TITLE = b"Tessaly"

_x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
_x.XOpenDisplay.restype = ctypes.c_void_p
_x.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x.XDefaultRootWindow.restype = ctypes.c_ulong
_x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
_x.XConnectionNumber.argtypes = [ctypes.c_void_p]
_x.XPending.argtypes = [ctypes.c_void_p]
_x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
_x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
_x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
_x.XFree.argtypes = [ctypes.c_void_p]
_x.XCloseDisplay.argtypes = [ctypes.c_void_p]
# Windows come and go while they are looked at; an error about one that is
# gone is expected.
_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: 0)
_x.XSetErrorHandler(_ERROR_HANDLER)


class _MapEvent(ctypes.Structure):
    # XMapEvent on LP64, padded to the size of an XEvent (24 longs).
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("event", ctypes.c_ulong),
                ("window", ctypes.c_ulong), ("override_redirect", ctypes.c_int),
                ("pad", ctypes.c_long * 17)]


def _title(display, window):
    name = ctypes.c_char_p()
    if not _x.XFetchName(display, window, ctypes.byref(name)) or not name.value:
        return None
    title = name.value
    _x.XFree(name)
    return title


def start(argv, env=None, timeout=60.0, stderr=None):
    """Starts argv and waits for its window. Returns (process, milliseconds
    from just before the start to the window being mapped)."""
    display = _x.XOpenDisplay(None)
    if not display:
        raise RuntimeError("cannot open the X display %r" % os.environ.get("DISPLAY"))
    try:
        root = _x.XDefaultRootWindow(display)
        _x.XSelectInput(display, root, SUBSTRUCTURE_NOTIFY_MASK)
        _x.XSync(display, 0)
        connection = _x.XConnectionNumber(display)
        event = _MapEvent()
        started = time.monotonic()
        process = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                                   stderr=stderr or subprocess.DEVNULL)
        while True:
            while _x.XPending(display):
                _x.XNextEvent(display, ctypes.byref(event))
                if (event.type == MAP_NOTIFY and event.event == root
                        and not event.override_redirect
                        and _title(display, event.window) == TITLE):
                    return process, (time.monotonic() - started) * 1000.0
            if process.poll() is not None:
                raise RuntimeError("%s ended (status %d) before showing its window"
                                   % (argv[-1], process.returncode))
            if time.monotonic() - started > timeout:
                process.kill()
                raise RuntimeError("%s showed no window in %.0f s" % (argv[-1], timeout))
            select.select([connection], [], [], 0.05)
    finally:
        _x.XCloseDisplay(display)


def stop(process, grace=10.0):
    process.terminate()
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
