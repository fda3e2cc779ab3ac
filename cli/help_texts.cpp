#include "help_texts.h"

namespace navkeypad::cli {

const char kVersion[] = NAVKEYPAD_VERSION;

const char kUsage[] =
    "Usage: navkeypad [--device PATH | --serial S | --all] [--json] COMMAND [ARGUMENTS]\n"
    "\n"
    "Configures the USB navigation keypad.\n"
    "\n"
    "Commands:\n"
    "  list [--json]                 every keypad on the bus, and the USB port it is in\n"
    "  status [--json]               the keypad's settings, firmware and serial number\n"
    "  brightness N                  sets the LED brightness (0 to 9)\n"
    "  layout default|alternate|custom\n"
    "                                chooses the code table the keypad uses\n"
    "  table                         shows the custom code table\n"
    "  table set KEY=CODE[+MODIFIER] ...\n"
    "                                changes keys of the custom code table\n"
    "  save [--file F]               stores the settings in the keypad and in the file\n"
    "  restore [--file F]            sends the settings saved in the file back\n"
    "  apply [--file F]              sends them and makes the keypad store them\n"
    "  factory-reset                 puts the keypad back to its factory settings\n"
    "  upgrade FIRMWARE.txt          replaces the firmware, keeping serial number and settings\n"
    "  station [FIRMWARE.txt --expect-version V] [--config FILE] [...]\n"
    "                                finishes each keypad plugged in, one after another\n"
    "                                (its options: 'navkeypad station --help')\n"
    "  serial set VALUE [--force]    gives a keypad without one its serial number\n"
    "  log [--json | --csv | --xlsx FILE] [--serial S] [--since DATE] [--until DATE]\n"
    "                                what was done to which keypad (the service log)\n"
    "  identify                      blinks the keypad's LED, to find it on the desk\n"
    "  led-colour green              sets the LED's colour\n"
    "  buzzer on|off                 switches the buzzer\n"
    "  buzzer-period 1..9            sets how long the buzzer sounds\n"
    "  volume absolute|low|mid|high|jack-in LEVEL\n"
    "                                sets a volume, LEVEL 0 to 99\n"
    "  volume-config local-jack|local-no-jack|external-jack|external-no-jack\n"
    "                                chooses where the sound goes\n"
    "\n"
    "--device PATH or --serial S picks one keypad when several are attached (see\n"
    "'navkeypad list'); --device also picks one of several keypads waiting in their\n"
    "loaders, and takes the USB port a keypad is in (the 'at' of 'navkeypad list')\n"
    "for its path: a keypad, its loader and the keypad that comes back from it share\n"
    "the port. A keypad is known by what it reports and the USB port it is in.\n"
    "--all runs status, apply or upgrade on every keypad, one after\n"
    "another, with a summary (upgrade --all --expect-version V passes over keypads already\n"
    "on V; status --all is a table, a line a keypad, loaders included). --dry-run, with\n"
    "apply --all or upgrade --all, says what each keypad would get and sends nothing but\n"
    "status requests. --json prints results, and failures, as JSON. --operator NAME writes\n"
    "who does the work into the service log (NAVKEYPAD_OPERATOR does the same). --version\n"
    "prints the program's version.\n"
    "--virtual runs on the virtual keypad instead of the USB bus. --trace writes every HID\n"
    "event to standard error; --record FILE writes them to FILE, and --replay FILE plays\n"
    "FILE back instead of the bus (without a command: the one it recorded).\n"
    "The file is the one the windows use unless --file names another.\n"
    "'navkeypad COMMAND --help' tells more about a command.\n"
    "\n"
    "Exit status: 0 done, 1 the keypad refused or did not answer (or the HID library could\n"
    "not start), 2 bad usage or input, 3 no keypad, 4 a keypad is there but cannot be opened.\n";

namespace {
const std::map<std::string, std::string> kCommandHelp = {
    {"list",
     "Usage: navkeypad list [--json]\n\nLists every keypad on the bus with its path, the USB "
     "port it is plugged into, its\nserial number and firmware version, and says why one that "
     "is there cannot be opened.\n"},
    {"status",
     "Usage: navkeypad status [--json]\n       navkeypad status --all [--json]\n\nShows the "
     "keypad's LED brightness, layout, code table, firmware version and serial number.\n"
     "With --all: a table, one line a keypad (serial number, mode, firmware, brightness,\n"
     "layout, path), keypads waiting in their loaders included, with how to finish each.\n"},
    {"brightness", "Usage: navkeypad brightness N\n\nSets the LED brightness, N from 0 to 9.\n"},
    {"layout",
     "Usage: navkeypad layout default|alternate|custom\n\nChooses which of its code tables the "
     "keypad uses.\n"},
    {"table",
     "Usage: navkeypad table\n       navkeypad table set KEY=CODE[+MODIFIER] ...\n\n"
     "Shows or changes the custom code table (the keypad must be on its custom layout).\n"
     "KEY is Left, Right, Down, Up or Enter. CODE is a HID keyboard code in hex (0x50) or\n"
     "its name (LeftArrow, a, Enter, F13 ...). MODIFIER is None, LeftCtrl, LeftShift,\n"
     "LeftAlt, LeftGui, RightCtrl, RightShift, RightAlt or RightGui; without one the key's\n"
     "modifier stays as it is.\n"
     "Example: navkeypad table set left=0x50 up=0x52+LeftCtrl\n"},
    {"save",
     "Usage: navkeypad save [--file F]\n\nMakes the keypad store its settings as its defaults "
     "and writes layout, brightness,\ncode table and serial number into the configuration "
     "file.\n"},
    {"restore",
     "Usage: navkeypad restore [--file F]\n\nSends layout, code table (custom layouts) and "
     "brightness saved in the file to the keypad.\n"},
    {"apply",
     "Usage: navkeypad apply [--file F]\n\nSends layout, code table (custom layouts) and "
     "brightness saved in the file to the keypad,\nthen makes the keypad store them as its "
     "defaults. The file is only read.\nWith --all --dry-run: what each keypad would change, "
     "having sent nothing.\n"},
    {"serial",
     "Usage: navkeypad serial set VALUE [--force]\n\nGives the keypad the serial number "
     "VALUE (1 to 11 printable characters), for a keypad\nthat lost its own. A keypad that "
     "has one keeps it unless --force is given;\nso does a number another attached keypad or "
     "a kept record has. A number the bench gave\nor reserved before (its ledger, which holds "
     "every number the service log names) is\nnever given again, --force or not.\n"},
    {"log",
     "Usage: navkeypad log [--json | --csv | --xlsx FILE] [--serial S] [--since DATE]\n"
     "                     [--until DATE]\n\n"
     "Shows the service log: every command that changed a keypad, with its time (UTC),\n"
     "user and computer, serial number (and the one a new number replaced), firmware\n"
     "before and after and result; --serial S shows one keypad's, --since and --until the\n"
     "lines from and until a date (2026-12-08 or 2026-12-08T14:30, UTC).\n"
     "--xlsx FILE writes the lines as a workbook for a spreadsheet program: serial\n"
     "numbers and versions as text, times as date and time (local, and UTC beside them),\n"
     "layout and code table by name. --csv prints one row a line, every field as text\n"
     "with the settings as numbers, for scripts.\nThe log is service-log.jsonl "
     "beside the "
     "configuration file, one JSON line an action.\nLines that cannot be read are left out "
     "and counted; --json prints\n{\"entries\": [...], \"skipped\": N, \"exitStatus\": 0}.\n"},
    {"identify",
     "Usage: navkeypad identify\n\nBlinks the keypad's LED for 4 s and leaves it at the "
     "brightness it had, so that the\nkeypad behind a line of 'navkeypad list' (pick it with "
     "--device or --serial) can\nbe found on the desk.\n"},
    {"led-colour", "Usage: navkeypad led-colour green\n\nSets the LED colour.\n"},
    {"buzzer", "Usage: navkeypad buzzer on|off\n\nSwitches the buzzer on or off.\n"},
    {"buzzer-period", "Usage: navkeypad buzzer-period N\n\nSets the buzzer period, 1 to 9.\n"},
    {"volume",
     "Usage: navkeypad volume absolute|low|mid|high|jack-in LEVEL\n\nSets the local volume "
     "of that selector to LEVEL, 0 to 99.\n"},
    {"volume-config",
     "Usage: navkeypad volume-config local-jack|local-no-jack|external-jack|external-no-jack"
     "\n\nChooses local or external volume, with or without the jack insertion volume.\n"},
    {"factory-reset",
     "Usage: navkeypad factory-reset\n\nPuts the keypad back to its factory settings; it "
     "restarts afterwards.\n"},
    {"station",
     "Usage: navkeypad station [FIRMWARE.txt --expect-version V] [--config FILE]\n"
     "                         [--serial-from FIRST] [--present] [--count N]\n"
     "                         [--idle-timeout SECONDS] [--json]\n\n"
     "A technician's bench: waits for keypads to be plugged in, one after another, and\n"
     "finishes each on its own. A keypad whose upgrade did not finish gets its kept serial\n"
     "number and settings first; one not on V gets the firmware (keeping its serial number\n"
     "and settings); the settings of FILE are sent and stored as its defaults (as apply);\n"
     "one without a serial number gets the next of FIRST, FIRST+1, ... that no keypad on the\n"
     "bus, kept record or service-log line has (where the sequence stands is kept beside\n"
     "the configuration file). Then it is read back and checked, and its LED blinks:\n"
     "slowly when it is done, quickly when it failed. A keypad without a serial number is\n"
     "left alone while another keypad's settings are kept for an upgrade that has not\n"
     "finished: it may be that keypad.\n\n"
     "Only keypads plugged in after the station started are taken, unless --present; each\n"
     "at most once a run. A keypad that failed keeps its record and is taken again when it\n"
     "is plugged in again. One line a keypad (with --json, one JSON object a line), one\n"
     "service-log line a keypad, and a summary that counts keypads (one tried again at its\n"
     "port is one keypad, by its last try) and tries. Ends after N keypads, after SECONDS\n"
     "without a new keypad, or on Ctrl-C once the keypad in hand is finished. Exit status\n"
     "0 when every keypad's last try succeeded, 1 when one's failed, 2 for bad input\n"
     "(checked before it waits).\n"
     "Example: navkeypad station keypad-firmware-2.01.txt --expect-version 2.01 \\\n"
     "           --config site.ini --serial-from VNK000400\n"},
    {"upgrade",
     "Usage: navkeypad upgrade [--settings-of SERIAL] FIRMWARE.txt\n\nReplaces the keypad's "
     "firmware with a TI-TXT image through its bootstrap loader,\nthen gives it back its "
     "serial number, layout, code table and brightness.\n\nA keypad waiting in its loader "
     "gets the settings kept for it by an upgrade that did not\nfinish. --settings-of SERIAL "
     "says which kept settings are this keypad's where that\ncannot be told: a keypad without "
     "a serial number, or several kept ('' names those\nof a keypad without a serial number)."
     " The keypad that comes back must say it is\nthat keypad (its serial number, or none) "
     "before anything is given to it.\nA keypad waiting in its loader is finished before "
     "any other: beside it, upgrade is for\nit unless --device or --serial picks a keypad in "
     "its application.\nWith --all --dry-run: what each keypad would get, having sent "
     "nothing but status requests.\n"},
};
}  // namespace

const std::map<std::string, std::string>& CommandHelp() {
  return kCommandHelp;
}

}  // namespace navkeypad::cli
