#!/usr/bin/env python3
"""The station window as a screen reader and a keyboard meet it: the real program on an X
server, read through the accessibility bus. Run inside a session bus and a display of its own:
  xvfb-run -a dbus-run-session -- python3 station_window_atspi.py navkeypad-utility-virtual
(the session bus inside the display, so that its accessibility services can type into it)."""
import json
import os
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

CONTROLS = {"push button", "list", "check box", "text", "entry"}


def wait_for(what, found, seconds=60):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        result = found()
        if result:
            return result
        time.sleep(0.1)
    sys.exit(f"gave up waiting for {what}")


def walk(node):
    yield node
    for index in range(node.get_child_count()):
        child = node.get_child_at_index(index)
        if child is not None:
            yield from walk(child)


def application(name):
    desktop = Atspi.get_desktop(0)
    for index in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(index)
        if app is not None and app.get_name() == name:
            return app
    return None


def showing(node):
    return node.get_state_set().contains(Atspi.StateType.SHOWING)


def focused(app):
    app.clear_cache()  # states change as the keyboard moves; none are taken from before
    for node in walk(app):
        if node.get_state_set().contains(Atspi.StateType.FOCUSED):
            return node
    return None


TAB, SPACE = 23, 65  # the X server's key codes, on its standard keymap


def key(code):
    Atspi.generate_keyboard_event(code, None, Atspi.KeySynthType.PRESSRELEASE)


def main():
    program = sys.argv[1]
    home = tempfile.mkdtemp()
    state = os.path.join(home, "bus.json")
    with open(state, "w") as out:
        json.dump({"keypads": [{"serialNumber": "", "arriveAfterMs": 1000},
                               {"serialNumber": "", "arriveAfterMs": 2000}]}, out)
    labels = os.path.join(home, "labels")
    os.mkdir(labels)
    env = dict(os.environ, HOME=home, NAVKEYPAD_VIRTUAL_STATE=state,
               QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
    env.pop("XDG_DATA_HOME", None)
    # The desktop's part: the window that opens gets the keyboard.
    manager = subprocess.Popen(["matchbox-window-manager", "-use_titlebar", "no"])
    window = subprocess.Popen([program, "--station", "--serial-from", "VNK-0100",
                               "--labels", labels], env=env)
    try:
        app = wait_for("the program on the accessibility bus",
                       lambda: application("navkeypad-utility"))
        # Both keypads read out as they ended: the result is what the label says.
        wait_for("two keypads done", lambda: sum(
            1 for node in walk(app) if node.get_role_name() == "label"
            and node.get_name() == "Done") == 2)
        names = {}
        for node in walk(app):
            if node.get_role_name() in CONTROLS and showing(node):
                name = node.get_name()
                assert name, f"a {node.get_role_name()} without a name"
                assert name not in names, f"two controls named {name!r}"
                names[name] = node
        for expected in ("Stop the station after the keypad in hand",
                         "The last lines of the service log",
                         "Reprint the label of the keypad at port 1-keypad1",
                         "Reprint the label of the keypad at port 1-keypad2"):
            assert expected in names, f"no control named {expected!r}: {sorted(names)}"
        serials = [node.get_name() for node in walk(app)
                   if node.get_description().startswith("Serial number at port")]
        assert sorted(serials) == ["VNK-0100", "VNK-0101"], serials

        # By keyboard alone, in the window the window manager gave the keyboard as it opened: Tab
        # reaches every control, and Space on Stop ends the station.
        wait_for("the window to have the keyboard", lambda: focused(app) is not None)
        reached = set()
        for _ in range(3 * len(names)):
            key(TAB)
            time.sleep(0.1)
            node = focused(app)
            if node is not None:
                reached.add(node.get_name())
            if reached >= set(names):
                break
        assert reached >= set(names), f"Tab never reached {sorted(set(names) - reached)}"
        stop = "Stop the station after the keypad in hand"
        for _ in range(len(names)):
            if (focused(app) or app).get_name() == stop:
                break
            key(TAB)
            time.sleep(0.1)
        key(SPACE)
        wait_for("the station to end", lambda: any(
            node.get_name() == "Close the station window" for node in walk(app)))
        print("station window: named controls, all reached by Tab:", ", ".join(sorted(names)))
    finally:
        window.terminate()
        window.wait(30)
        manager.terminate()
        manager.wait(30)


if __name__ == "__main__":
    main()
