"""The X server's side of the benchmark, through libX11 and libXtst by ctypes
(no Python X package needed): start Xvfb, start a program under it and time
its window's first paint, find a program's top-level window, read pixels as
the server holds them, and click as a mouse would."""

import ctypes
import ctypes.util
import os
import signal
import subprocess
import time

_x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
_xtst = ctypes.CDLL(ctypes.util.find_library("Xtst") or "libXtst.so.6")

_ulong = ctypes.c_ulong
_window = ctypes.c_ulong
_all_planes = _ulong(0xFFFFFFFF)
_z_pixmap = 2
_is_viewable = 2


class _window_attributes(ctypes.Structure):
    _fields_ = [
        ("x", ctypes.c_int), ("y", ctypes.c_int),
        ("width", ctypes.c_int), ("height", ctypes.c_int),
        ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
        ("visual", ctypes.c_void_p), ("root", _window),
        ("c_class", ctypes.c_int), ("bit_gravity", ctypes.c_int),
        ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int),
        ("backing_planes", _ulong), ("backing_pixel", _ulong),
        ("save_under", ctypes.c_int), ("colormap", _ulong),
        ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int),
        ("all_event_masks", ctypes.c_long), ("your_event_mask", ctypes.c_long),
        ("do_not_propagate_mask", ctypes.c_long), ("override_redirect", ctypes.c_int),
        ("screen", ctypes.c_void_p),
    ]


_x11.XOpenDisplay.restype = ctypes.c_void_p
_x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
_x11.XDefaultRootWindow.restype = _window
_x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_x11.XQueryTree.argtypes = [ctypes.c_void_p, _window, ctypes.POINTER(_window),
                            ctypes.POINTER(_window), ctypes.POINTER(ctypes.POINTER(_window)),
                            ctypes.POINTER(ctypes.c_uint)]
_x11.XFree.argtypes = [ctypes.c_void_p]
_x11.XInternAtom.restype = _ulong
_x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
_x11.XGetWindowProperty.argtypes = [
    ctypes.c_void_p, _window, _ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int, _ulong,
    ctypes.POINTER(_ulong), ctypes.POINTER(ctypes.c_int), ctypes.POINTER(_ulong),
    ctypes.POINTER(_ulong), ctypes.POINTER(ctypes.c_void_p)]
_x11.XGetWindowAttributes.argtypes = [ctypes.c_void_p, _window,
                                      ctypes.POINTER(_window_attributes)]
_x11.XGetImage.restype = ctypes.c_void_p
_x11.XGetImage.argtypes = [ctypes.c_void_p, _window, ctypes.c_int, ctypes.c_int,
                           ctypes.c_uint, ctypes.c_uint, _ulong, ctypes.c_int]
_x11.XGetPixel.restype = _ulong
_x11.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
_x11.XDestroyImage.argtypes = [ctypes.c_void_p]
_x11.XTranslateCoordinates.argtypes = [ctypes.c_void_p, _window, _window, ctypes.c_int,
                                       ctypes.c_int, ctypes.POINTER(ctypes.c_int),
                                       ctypes.POINTER(ctypes.c_int), ctypes.POINTER(_window)]
_x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
_x11.XFlush.argtypes = [ctypes.c_void_p]
_x11.XSetErrorHandler.restype = ctypes.c_void_p
_xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                       ctypes.c_int, _ulong]
_xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, _ulong]

# Windows vanish while we walk the tree (a program starting or quitting):
# a BadWindow then is expected, not fatal.
_error_handler_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_ignore_errors = _error_handler_type(lambda display, event: 0)
_x11.XSetErrorHandler(_ignore_errors)


class display:
    def __init__(self, name):
        self._d = _x11.XOpenDisplay(name.encode())
        if not self._d:
            raise RuntimeError(f"cannot open X display {name}")
        self.root = _x11.XDefaultRootWindow(self._d)

    def close(self):
        if self._d:
            _x11.XCloseDisplay(self._d)
            self._d = None

    def _children(self, parent):
        root, up = _window(), _window()
        kids = ctypes.POINTER(_window)()
        count = ctypes.c_uint()
        if not _x11.XQueryTree(self._d, parent, ctypes.byref(root), ctypes.byref(up),
                               ctypes.byref(kids), ctypes.byref(count)):
            return []
        found = [kids[i] for i in range(count.value)]
        if kids:
            _x11.XFree(kids)
        return found

    def _property(self, window, atom_name, length, read):
        """read(bits, count, data) of the property's items, or None when it is unset."""
        atom = _x11.XInternAtom(self._d, atom_name, 0)
        kind, bits, count, left = _ulong(), ctypes.c_int(), _ulong(), _ulong()
        data = ctypes.c_void_p()
        if _x11.XGetWindowProperty(self._d, window, atom, 0, length, 0, 0, ctypes.byref(kind),
                                   ctypes.byref(bits), ctypes.byref(count), ctypes.byref(left),
                                   ctypes.byref(data)) != 0 or not data.value:
            return None
        value = read(bits.value, count.value, data.value)
        _x11.XFree(data)
        return value

    def pid(self, window):
        """The process that owns window, as it set _NET_WM_PID, or None."""
        # Xlib hands 32-bit items over as longs.
        return self._property(window, b"_NET_WM_PID", 1, lambda bits, count, data: (
            ctypes.cast(data, ctypes.POINTER(ctypes.c_long))[0] if bits == 32 and count else None))

    def name(self, window):
        # Qt titles are UTF-8 in _NET_WM_NAME; WM_NAME is the fallback.
        def text(bits, count, data):
            return ctypes.string_at(data, count) if bits == 8 else b""
        raw = (self._property(window, b"_NET_WM_NAME", 1024, text)
               or self._property(window, b"WM_NAME", 1024, text) or b"")
        return raw.decode("utf-8", "replace")

    def attributes(self, window):
        attrs = _window_attributes()
        if not _x11.XGetWindowAttributes(self._d, window, ctypes.byref(attrs)):
            return None
        return attrs

    def find_viewable(self, name_part, pid=None):
        """The first mapped top-level window whose name contains name_part
        (and that process pid owns, when given)."""
        for window in self._children(self.root):
            if name_part not in self.name(window):
                continue
            if pid is not None and self.pid(window) != pid:
                continue
            attrs = self.attributes(window)
            if attrs and attrs.map_state == _is_viewable:
                return window
        return None

    def origin(self, window):
        x, y, child = ctypes.c_int(), ctypes.c_int(), _window()
        _x11.XTranslateCoordinates(self._d, window, self.root, 0, 0, ctypes.byref(x),
                                   ctypes.byref(y), ctypes.byref(child))
        return x.value, y.value

    def pixel(self, window, x, y):
        """The colour at (x, y) of window as 0xRRGGBB, read back from the server."""
        image = _x11.XGetImage(self._d, window, x, y, 1, 1, _all_planes, _z_pixmap)
        if not image:
            return None
        value = _x11.XGetPixel(image, 0, 0) & 0xFFFFFF
        _x11.XDestroyImage(image)
        return value

    def painted(self, window, width, height, step=4):
        """Whether window shows its own paint rather than the black root (the
        server runs with -br) beneath it: under half of the samples on its
        middle row and column are black. A Qt window's first paint reaches
        the server in one piece, so two lines tell as well as the whole."""
        black = total = 0
        for x, y, w, h in ((0, height // 2, width, 1), (width // 2, 0, 1, height)):
            image = _x11.XGetImage(self._d, window, x, y, w, h, _all_planes, _z_pixmap)
            if not image:
                return False
            for i in range(0, max(w, h), step):
                total += 1
                black += (_x11.XGetPixel(image, i if h == 1 else 0, i if w == 1 else 0)
                          & 0xFFFFFF) == 0
            _x11.XDestroyImage(image)
        return black * 2 < total

    def move_pointer(self, x, y):
        _xtst.XTestFakeMotionEvent(self._d, -1, x, y, 0)
        _x11.XSync(self._d, 0)

    def press(self):
        _xtst.XTestFakeButtonEvent(self._d, 1, 1, 0)
        _x11.XSync(self._d, 0)

    def release(self):
        _xtst.XTestFakeButtonEvent(self._d, 1, 0, 0)
        _x11.XSync(self._d, 0)

    def click(self, x, y):
        self.move_pointer(x, y)
        self.press()
        self.release()


class xvfb:
    """An X server of our own, with a black root that shows through a
    window until the window is painted."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-br",
             "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            number += chunk
        os.close(read_end)
        self.name = ":" + number.decode().strip()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class program:
    """A windowed program started under our X server, with the times from
    starting it to its window being mapped and to its first paint. With
    keep_stderr its standard error is read once it has ended (stop())."""

    def __init__(self, argv, title_part, env, x, keep_stderr=False):
        self.title_part = title_part
        self.x = x
        self.stderr = ""
        self.started = time.monotonic()
        self.process = subprocess.Popen(
            argv, env=env, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE if keep_stderr else subprocess.DEVNULL, text=True)
        self.pid = self.process.pid
        self.window = None
        deadline = self.started + 60
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{argv[0]} quit at start-up")
            if self.window is None:
                self.window = x.find_viewable(title_part, self.pid)
                if self.window is not None:
                    self.mapped = time.monotonic() - self.started
            if self.window is not None:
                attrs = x.attributes(self.window)
                if attrs and x.painted(self.window, attrs.width, attrs.height):
                    self.startup = time.monotonic() - self.started
                    self.origin = x.origin(self.window)
                    return
            time.sleep(0.001)
        self.stop()
        raise RuntimeError(f"{argv[0]} showed no painted window within 60 s")

    def click(self, at):
        self.x.click(self.origin[0] + at[0], self.origin[1] + at[1])

    def pixel(self, at):
        return self.x.pixel(self.window, at[0], at[1])

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process.stderr:
            self.stderr = self.process.stderr.read()
            self.process.stderr.close()
