"""The board's end of the serial line, on a pseudo-terminal, with our own
clock: every frame from Telvar is stamped when its first byte arrives, and
every answer goes out byte by byte at 9600 baud, as a real line would carry it."""

import os
import select
import time
import tty

frame_length = 8
byte_time = 10 / 9600  # start bit, 8 data bits, stop bit
frame_time = frame_length * byte_time  # 8.33 ms

status_query = 0x10
release_relay = 0x11
pull_in_relay = 0x12
switch_all = 0x13


def checksum(data):
    return sum(data) & 0xFF


def status_reply(address, code, relays):
    """The board's answer: reply mark, address, code, relays 9-16, relays 1-8."""
    body = bytes([0x22, address & 0xFF, code, 0, 0, (relays >> 8) & 0xFF, relays & 0xFF])
    return body + bytes([checksum(body)])


def sleep_until(deadline):
    left = deadline - time.monotonic()
    if left > 0:
        time.sleep(left)


class far_end:
    """A board with sixteen relays behind a pseudo-terminal, linked as link_path."""

    def __init__(self, link_path):
        self.master, self.slave = os.openpty()
        # Raw before Telvar opens it, so nothing is echoed back in between.
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.device = os.ttyname(self.slave)
        self.link_path = link_path
        if os.path.lexists(link_path):
            os.remove(link_path)
        os.symlink(self.device, link_path)
        self.relays = 0  # bit n - 1 is relay n
        self.flip_relay_1 = False  # every answer toggles relay 1 (display latency)
        self._pending = bytearray()
        self._first_at = 0.0

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        if os.path.lexists(self.link_path):
            os.remove(self.link_path)

    def frames(self, timeout):
        """Frames that completed within timeout, as (first byte time, bytes)."""
        ready, _, _ = select.select([self.master], [], [], max(timeout, 0))
        if not ready:
            return []
        now = time.monotonic()
        try:
            data = os.read(self.master, 4096)
        except (BlockingIOError, OSError):
            return []
        done = []
        for byte in data:
            if not self._pending:
                self._first_at = now
            self._pending.append(byte)
            if len(self._pending) == frame_length:
                done.append((self._first_at, bytes(self._pending)))
                self._pending.clear()
        return done

    def apply(self, frame):
        """What the board does with a frame; returns False for one it ignores."""
        if frame[0] != 0x55 or checksum(frame[:7]) != frame[7]:
            return False
        code, param1, param2 = frame[2], frame[5], frame[6]
        if code == release_relay and 1 <= param2 <= 16:
            self.relays &= ~(1 << (param2 - 1))
        elif code == pull_in_relay and 1 <= param2 <= 16:
            self.relays |= 1 << (param2 - 1)
        elif code == switch_all:
            self.relays = 0xFFFF if param1 == 0xFF else 0
        if self.flip_relay_1:
            self.relays ^= 1
        return True

    def answer(self, first_at, frame):
        """Answers a frame once it has fully crossed the line; returns the
        time the answer's last byte arrived at Telvar's end, or None."""
        if not self.apply(frame):
            return None
        reply = status_reply(frame[1], frame[2], self.relays)
        start = first_at + frame_time
        for k, byte in enumerate(reply):
            # A byte reaches the far end when its stop bit is through.
            sleep_until(start + (k + 1) * byte_time)
            os.write(self.master, bytes([byte]))
        return time.monotonic()
