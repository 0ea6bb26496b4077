"""The X server's side of the benchmark, through libX11 and libXtst by ctypes
(no Python X package needed): find a program's top-level window, read
pixels as the server holds them, and click as a mouse would."""

import ctypes
import ctypes.util

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

    def _property(self, window, atom_name):
        atom = _x11.XInternAtom(self._d, atom_name, 0)
        kind, bits, count, left = _ulong(), ctypes.c_int(), _ulong(), _ulong()
        data = ctypes.c_void_p()
        if _x11.XGetWindowProperty(self._d, window, atom, 0, 1024, 0, 0, ctypes.byref(kind),
                                   ctypes.byref(bits), ctypes.byref(count), ctypes.byref(left),
                                   ctypes.byref(data)) != 0 or not data.value:
            return b""
        value = ctypes.string_at(data.value, count.value) if bits.value == 8 else b""
        _x11.XFree(data)
        return value

    def name(self, window):
        # Qt titles are UTF-8 in _NET_WM_NAME; WM_NAME is the fallback.
        raw = self._property(window, b"_NET_WM_NAME") or self._property(window, b"WM_NAME")
        return raw.decode("utf-8", "replace")

    def attributes(self, window):
        attrs = _window_attributes()
        if not _x11.XGetWindowAttributes(self._d, window, ctypes.byref(attrs)):
            return None
        return attrs

    def find_viewable(self, name_part):
        """The first mapped top-level window whose name contains name_part."""
        for window in self._children(self.root):
            if name_part not in self.name(window):
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

    def distinct_colours(self, window, width, height, step=8):
        """How many different colours a grid of samples of the window shows."""
        image = _x11.XGetImage(self._d, window, 0, 0, width, height, _all_planes, _z_pixmap)
        if not image:
            return 0
        seen = set()
        for y in range(0, height, step):
            for x in range(0, width, step):
                seen.add(_x11.XGetPixel(image, x, y) & 0xFFFFFF)
        _x11.XDestroyImage(image)
        return len(seen)

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
