#!/usr/bin/env python3
"""The station window as a screen reader and a keyboard meet it: the real program on an X
server, read and typed into through the accessibility bus. Run as
  xvfb-run -a dbus-run-session -- python3 station_window_atspi.py navkeypad-utility-virtual
(the session bus inside the display, so that its accessibility services can type into it)."""
import json, os, subprocess, sys, tempfile, time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

CONTROLS = {"push button", "list", "check box", "text", "entry"}
TAB, SPACE = 23, 65  # the X server's key codes, on its standard keymap
STOP = "Stop the station after the keypad in hand"


def wait_for(what, found, seconds=120):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if result := found():
            return result
        time.sleep(0.1)
    sys.exit(f"gave up waiting for {what}")


def walk(node):
    yield node
    for child in (node.get_child_at_index(i) for i in range(node.get_child_count())):
        if child is not None:
            yield from walk(child)


def application(name):
    desktop = Atspi.get_desktop(0)
    apps = (desktop.get_child_at_index(i) for i in range(desktop.get_child_count()))
    return next((app for app in apps if app is not None and app.get_name() == name), None)


def has(node, state):
    return node.get_state_set().contains(state)


def focused(app):
    app.clear_cache()  # states change as the keyboard moves; none are taken from before
    return next((node for node in walk(app) if has(node, Atspi.StateType.FOCUSED)), app)


def key(code):
    Atspi.generate_keyboard_event(code, None, Atspi.KeySynthType.PRESSRELEASE)
    time.sleep(0.1)


def main(program):
    home = tempfile.mkdtemp()
    state, labels = os.path.join(home, "bus.json"), os.path.join(home, "labels")
    with open(state, "w") as out:
        json.dump({"keypads": [{"serialNumber": "", "arriveAfterMs": 1000},
                               {"serialNumber": "", "arriveAfterMs": 2000}]}, out)
    os.mkdir(labels)
    env = dict(os.environ, HOME=home, NAVKEYPAD_VIRTUAL_STATE=state,
               QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
    env.pop("XDG_DATA_HOME", None)
    # The desktop's part: the window that opens gets the keyboard.
    manager = subprocess.Popen(["matchbox-window-manager", "-use_titlebar", "no"])
    time.sleep(1)  # managing the display before the window maps, as a desktop is
    window = subprocess.Popen([program, "--station", "--serial-from", "VNK-0100",
                               "--labels", labels], env=env)
    try:
        app = wait_for("the program on the bus", lambda: application("navkeypad-utility"))
        # Each keypad's end is read out as what its tile shows, its number too.
        wait_for("two keypads done", lambda: [node.get_name() for node in walk(app)
                                              if node.get_role_name() == "label"]
                 .count("Done") == 2)
        serials = sorted(node.get_name() for node in walk(app)
                         if node.get_description().startswith("Serial number at port"))
        assert serials == ["VNK-0100", "VNK-0101"], serials
        names = [node.get_name() for node in walk(app)
                 if node.get_role_name() in CONTROLS and has(node, Atspi.StateType.SHOWING)]
        assert all(names) and len(set(names)) == len(names), f"unnamed or alike: {names}"
        assert set(names) == {STOP, "The last lines of the service log",
                              "Reprint the label of the keypad at port 1-keypad1",
                              "Reprint the label of the keypad at port 1-keypad2"}, names
        # By keyboard alone: Tab reaches every control, and Space on Stop ends the station.
        wait_for("the window to have the keyboard", lambda: focused(app) is not app)
        reached = set()
        for _ in range(3 * len(names)):
            key(TAB)
            reached.add(focused(app).get_name())
        assert reached >= set(names), f"Tab never reached {set(names) - reached}"
        while focused(app).get_name() != STOP:
            key(TAB)
        key(SPACE)
        wait_for("the station to end", lambda: any(
            node.get_name() == "Close the station window" for node in walk(app)))
    finally:
        window.terminate()
        manager.terminate()
        window.wait(30), manager.wait(30)


if __name__ == "__main__":
    main(sys.argv[1])
