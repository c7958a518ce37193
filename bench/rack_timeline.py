"""The daemon's own view of a rack booting: its boards table polled over the control socket,
turned into per-board intervals of phase groups and drawn as an SVG timeline.

A phase's start is the poll's moment less the phase's age as the daemon reports it, so the
intervals do not depend on when the polls fell; the ages of a board's last BOOTP request and
reply place those two moments even when their phases fell between two polls. Another phase
that began and ended between two polls is missed: the one before it runs on until the next
seen. A board is "not seen yet" from the power-on to the first of these moments.
"""
import json
import os
import socket
import threading
import time

GROUPS = (("not seen yet", "#e0e0e0"), ("BOOTP wait", "#9e9e9e"), ("probe", "#ffa000"),
          ("firmware", "#1e88e5"), ("generated files", "#43a047"), ("time / booted", "#d1c4e9"),
          ("refused / failed", "#e53935"))
# A request's probe begins the moment it is taken: at one start, the earlier step first.
STEPS = ("bootp-request", "bootp-dropped", "bootp-address-assigned", "bootp-reply")
SAME_PHASE = 0.05   # two polls of one phase may differ by this much in its computed start


def ask(path, request, timeout=2.0):
    """One request line on the control socket; the whole answer (the daemon closes after it)."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall(request.encode() + b"\n")
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    answer = b"".join(chunks).decode()
    if answer.startswith("error:"):
        raise RuntimeError("%s: %s" % (request, answer.strip()))
    return answer


def counters(path):
    return json.loads(ask(path, "counters json"))


def group_of(phase, file, firmware):
    if phase in ("bootp-request", "bootp-dropped"):
        return "BOOTP wait"
    if phase == "bootp-address-assigned":
        return "probe"
    if phase == "bootp-reply-sent":     # the board has its reply; its firmware request is next
        return "firmware"
    if phase in ("tftp-request", "tftp-sending", "tftp-finished"):
        return "firmware" if os.path.basename(file or "") == firmware else "generated files"
    if phase == "time-answered":
        return "time / booted"
    if phase == "bootp-reply-failed" or phase.startswith("tftp-"):
        return "refused / failed"
    return None


class BoardsPoller:
    """Asks `boards json` every interval on a thread of its own, from go until stop() or the
    deadline, and keeps each configured board's phase changes: serial -> [[start, phase, file]],
    start in seconds since go."""

    def __init__(self, path, interval, go, deadline):
        self.path, self.interval, self.go, self.deadline = path, interval, go, deadline
        self.phases, self.polls, self.failures, self.answer_bytes = {}, 0, 0, 0
        self.last_poll, self.last_answer, self.boots_before = 0.0, [], None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self._thread.start()

    def stop(self):
        """After the last poll of the thread, one more: the last boards' ends come with the end."""
        self._stop.set()
        self._thread.join(10)
        self.poll()

    def _run(self):
        while not self._stop.is_set() and time.monotonic() < self.deadline:
            sent = time.monotonic()
            self.poll()
            self._stop.wait(max(0.0, sent + self.interval - time.monotonic()))

    def poll(self):
        sent = time.monotonic()
        try:
            answer = ask(self.path, "boards json")
            boards = json.loads(answer)["boards"]
        except (OSError, RuntimeError, ValueError, KeyError):
            self.failures += 1
            return
        # The answer was made between sending and receiving: its middle is its moment.
        self.take(boards, (sent + time.monotonic()) / 2 - self.go)
        self.polls += 1
        self.answer_bytes = max(self.answer_bytes, len(answer))

    def boots(self):
        """Boards whose boots count moved since the first poll."""
        before = self.boots_before or {}
        return sum(b["boots"] > before.get(b["serial"], 0) for b in self.last_answer if b["configured"])

    def take(self, boards, now):
        self.last_poll, self.last_answer = now, boards
        if self.boots_before is None:
            self.boots_before = {b["serial"]: b["boots"] for b in boards if b["configured"]}
        for b in boards:
            if not b["configured"]:
                continue
            seen = self.phases.setdefault(b["serial"], [])
            for age, phase, file in ((b["bootp_request_age"], "bootp-request", None),
                                     (b["bootp_reply_age"], "bootp-reply-sent", None),
                                     (b["phase_age"], b["phase"], b["file"])):
                if age is None or now - age < 0:
                    continue    # none yet, or from before the power-on
                start = now - age
                if not any(p[1:] == [phase, file] and abs(p[0] - start) < SAME_PHASE for p in seen[-12:]):
                    seen.append([round(start, 3), phase, file])


def intervals(phases, firmware, end):
    """serial -> [(group, start, stop)]: each phase lasts until the next one seen (the last
    until end), phases of one group in a row merged."""
    out = {}
    for serial, seen in phases.items():
        seen = sorted(seen, key=lambda p: (p[0], next((i for i, step in enumerate(STEPS)
                                                       if p[1].startswith(step)), len(STEPS))))
        rows = [["not seen yet", 0.0, seen[0][0]]] if seen and seen[0][0] > 0 else []
        for (start, phase, file), following in zip(seen, seen[1:] + [[max(end, seen[-1][0])]]):
            group = group_of(phase, file, firmware)
            if group is None or following[0] <= start:
                continue
            if rows and rows[-1][0] == group and rows[-1][2] >= start - 1e-6:
                rows[-1][2] = following[0]
            else:
                rows.append([group, start, following[0]])
        out[serial] = [tuple(r) for r in rows]
    return out


def booted_at(rows):
    return next((start for group, start, _ in rows if group == "time / booted"), None)


def write_svg(path, rows, title):
    """rows: serial -> [(group, start, stop)]; one line per board, the first booted on top.
    Each group is one compound path, so the file stays small without rasterizing anything."""
    import matplotlib
    matplotlib.use("Agg")
    matplotlib.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "tavo-rack"})
    from matplotlib import pyplot
    from matplotlib.patches import Patch, PathPatch
    from matplotlib.path import Path

    order = sorted(rows, key=lambda s: (booted_at(rows[s]) is None, booted_at(rows[s]) or 0, s))
    shapes = {name: [] for name, _ in GROUPS}
    for y, serial in enumerate(order):
        for group, start, stop in rows[serial]:
            shapes[group].append((start, stop, y))
    right = max([stop for r in rows.values() for _, _, stop in r] + [1.0])
    figure, axes = pyplot.subplots(figsize=(11, 8))
    for name, colour in GROUPS:
        vertices, codes = [], []
        for start, stop, y in shapes[name]:
            vertices += [(start, y - 0.45), (stop, y - 0.45), (stop, y + 0.45), (start, y + 0.45), (start, y - 0.45)]
            codes += [Path.MOVETO, Path.LINETO, Path.LINETO, Path.LINETO, Path.CLOSEPOLY]
        if vertices:
            axes.add_patch(PathPatch(Path(vertices, codes), facecolor=colour, edgecolor="none"))
    axes.set_xlim(0, right)
    axes.set_ylim(len(order) - 0.5, -0.5)
    axes.set_xlabel("seconds since power-on (the daemon's view)")
    axes.set_ylabel("boards, by boot completion")
    axes.set_title(title, fontsize=10)
    axes.legend(handles=[Patch(color=c, label=n) for n, c in GROUPS], loc="upper left",
                bbox_to_anchor=(1.01, 1), fontsize=8)
    figure.tight_layout()
    figure.savefig(path, format="svg", metadata={"Date": None})
    pyplot.close(figure)
