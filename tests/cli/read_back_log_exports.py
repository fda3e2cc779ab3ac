#!/usr/bin/python3
# The service log as a workbook and as CSV, written by the command line and read back by
# readers of their own (openpyxl, Python's csv): the cells' types and values, and the date
# filters at their edges, the same for both.
#     read_back_log_exports.py PROGRAM            (a Linux program)
#     read_back_log_exports.py --wine PROGRAM.exe (a Windows program, under Wine)
import csv, datetime, io, json, os, shutil, subprocess, sys, tempfile  # noqa: E401

import openpyxl

wine = sys.argv[1] == "--wine"
program = sys.argv[-1]


# A path as the program names it.
native = (lambda path: subprocess.run(["winepath", "-w", path], capture_output=True, text=True,
                                      check=True).stdout.strip()) if wine else (lambda path: path)


failures = []


def expect(what, found, wanted):
    if found != wanted:
        failures.append(f"{what}: {found!r}, not {wanted!r}")


# A line each side of a day's edges, and lines whose texts a spreadsheet would change.
lines = [
    {"time": "2026-12-07T23:59:59Z", "serialNumber": "VNK-BEFORE", "result": "ok"},
    {"time": "2026-12-08T00:00:00Z", "user": "anna", "computer": "bench-3",
     "program": "navkeypad", "action": "serial set 00042", "serialNumber": "00042",
     "serialNumberBefore": "", "path": "/dev/hidraw3", "port": "1-1.4",
     "firmwareBefore": "1.04", "firmwareAfter": "2.00",
     "settings": {"ledBrightness": 7, "keypadType": 2,
                  "codeTable": [0, 80, 0, 79, 0, 81, 1, 82, 0, 40]}, "result": "ok"},
    {"time": "2026-12-08T14:30:00Z", "serialNumber": "1E5", "result": "failed",
     "message": "cut\u0000short\u001b\u007f", "results": {"led": "blinked", "keys": "Left, Up"}},
    {"time": "2026-12-08T23:59:59Z", "serialNumber": "=1+1", "operator": "Kim Lee"},
    {"time": "2026-12-09T00:00:00Z", "serialNumber": "VNK-AFTER",
     "operator": "Kim\ufffeLee\U0010ffff", "message": "é" * 20000},
]
work = tempfile.mkdtemp()
os.makedirs(os.path.join(work, "bench"))
environment = dict(os.environ, NAVKEYPAD_BENCH_FOLDER=native(os.path.join(work, "bench")),
                   XDG_DATA_HOME=os.path.join(work, "data"), TZ="XST-2")


def run(*words, status=0):
    command = (["wine"] if wine else []) + [program, "log", *words]
    done = subprocess.run(command, env=environment, capture_output=True)
    if done.returncode != status:
        failures.append(f"{' '.join(words)} ended with {done.returncode}: {done.stderr!r}")
    return done.stdout.decode("utf-8") + done.stderr.decode("utf-8")


# The first run brings the user's own log from before the bench kept it (Wine's user has one
# from other steps) into the bench, which is then emptied for this test's lines.
run("--csv")
shutil.rmtree(os.path.join(work, "bench"))
os.makedirs(os.path.join(work, "bench"))

# Before anything is logged an export is its header alone; a folder is no workbook.
empty_book = os.path.join(work, "empty.xlsx")
run("--xlsx", native(empty_book))
expect("an empty workbook", openpyxl.load_workbook(empty_book).active.max_row, 1)
expect("an empty csv", run("--csv").count("\r\n"), 1)
expect("a folder", "is a folder, not a file" in run("--xlsx", native(work), status=2), True)
with open(os.path.join(work, "bench", "service-log.jsonl"), "w", encoding="utf-8") as log:
    log.writelines(json.dumps(line) + "\n" for line in lines)


utc = lambda text: datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ")  # noqa: E731


book_path = os.path.join(work, "Wörter log.xlsx")
run("--xlsx", native(book_path))
sheet = openpyxl.load_workbook(book_path).active
header = [cell.value for cell in sheet[1]]
expect("header", header, [
    "Time", "Time (UTC)", "User", "Computer", "Operator", "Program", "Action", "Serial number",
    "Serial number before", "Path", "Port", "Firmware before", "Firmware after",
    "LED brightness", "Layout", "Code table", "Result", "Message", "Step", "Results"])
expect("frozen", sheet.freeze_panes, "A2")
rows = {row[7].value: dict(zip(header, row)) for row in sheet.iter_rows(min_row=2)}
expect("rows", list(rows), [line["serialNumber"] for line in lines])
# Each cell of a line (by its serial number): its type (s text, n number, d date-time) and
# value; the local time is UTC+2 here. A text stays the text it is, whatever it looks like.
table = "Left: LeftArrow, Right: RightArrow, Down: DownArrow, Up: UpArrow+LeftCtrl, Enter: Enter"
cells = [("00042", "Time", "d", datetime.datetime(2026, 12, 8, 2, 0, 0)),
         ("00042", "Time (UTC)", "d", datetime.datetime(2026, 12, 8, 0, 0, 0)),
         ("00042", "Serial number", "s", "00042"), ("00042", "Firmware before", "s", "1.04"),
         ("00042", "Firmware after", "s", "2.00"), ("00042", "Path", "s", "/dev/hidraw3"),
         ("00042", "Port", "s", "1-1.4"), ("00042", "LED brightness", "n", 7),
         ("00042", "Layout", "s", "custom"), ("00042", "Code table", "s", table),
         ("00042", "Serial number before", "n", None), ("1E5", "Serial number", "s", "1E5"),
         ("=1+1", "Serial number", "s", "=1+1"), ("1E5", "Message", "s", "cut\\x00short\\x1B\\x7F"),
         ("1E5", "Results", "s", "led: blinked; keys: Left, Up"),
         # What a workbook's XML cannot hold is shown escaped; what a cell cannot, cut, and said.
         ("VNK-AFTER", "Operator", "s", "Kim\\uFFFELee\\u10FFFF"),
         ("VNK-AFTER", "Message", "s", "é" * 16368 + " [cut here: 40000 bytes in all]")]
for serial, column, kind, value in cells:
    cell = rows[serial][column]
    expect(f"{serial} {column}", (cell.data_type, cell.value), (kind, value))
expect("sized", sheet.column_dimensions["P"].width > 60, True)
# The same lines in CSV, byte for byte: settings as numbers, a formula guarded, a field with a
# comma quoted, control characters escaped.
text = run("--csv")
for row in ["time,user,computer,operator,program,action,serialNumber,serialNumberBefore,path,port,"
            "firmwareBefore,firmwareAfter,ledBrightness,keypadType,codeTable,result,message,step,"
            "results\r\n2026-12-07T23:59:59Z,",
            "2026-12-08T00:00:00Z,anna,bench-3,,navkeypad,serial set 00042,00042,,/dev/hidraw3,"
            "1-1.4,1.04,2.00,7,2,0 80 0 79 0 81 1 82 0 40,ok,,,\r\n",
            "2026-12-08T14:30:00Z,,,,,,1E5,,,,,,,,,failed,cut\\x00short\\x1B\\x7F,,"
            "\"led: blinked; keys: Left, Up\"\r\n",
            "2026-12-08T23:59:59Z,,,Kim Lee,,,'=1+1,,,,,,,,,,,,\r\n"]:
    expect(f"the csv row {row!r}", row in text, True)

# The filters at the edges of a day and of a second, the same lines in both exports.
edges = [(["--since", "2026-12-08"], [1, 2, 3, 4]),
         (["--until", "2026-12-08"], [0, 1, 2, 3]),
         (["--since", "2026-12-08", "--until", "2026-12-08"], [1, 2, 3]),
         (["--since", "2026-12-08T00:00:01", "--until", "2026-12-08T23:59:58"], [2]),
         (["--since", "2026-12-08T23:59:59Z", "--until", "2026-12-08T23:59:59Z"], [3]),
         (["--since", "2026-12-08T14", "--until", "2026-12-08T14:30"], [2]),
         (["--since", "2026-12-09T00:00:01"], []), (["--until", "2024-02-29"], [])]
# Days of the calendar at real hours only.
for date in ["2999-12", "2026-13-45", "2025-02-29", "2026-12-08T24:00", "2026-12-08T23:59:60Z"]:
    run("--csv", "--until", date, status=2)
for words, wanted in edges:
    times = [utc(lines[i]["time"]) for i in wanted]
    run("--xlsx", native(book_path), *words)
    book = openpyxl.load_workbook(book_path).active
    expect(f"workbook {words}", [row[1].value for row in book.iter_rows(min_row=2)], times)
    text = run("--csv", *words)
    expect(f"csv lines end in CR LF {words}", any(c in text.replace("\r\n", "") for c in "\r\n"),
           False)
    table = list(csv.reader(io.StringIO(text, newline="")))
    expect(f"csv {words}", [utc(row[0]) for row in table[1:] if row], times)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print(f"read back: {len(cells)} cells and {len(edges)} filters, in both exports")
