#!/usr/bin/python3
"""The chaos run: the real launcher started again and again against the fault-injecting test FTP server.

Usage: chaos_run.py BIN_DIR [--starts N] [--faults M] [--seed S] [--edition Qrd00up|Plx00up]
                   [--kinds FAULT,...] [--keep]

A sandbox installation (program, update, Excel and Frame folders, private hives) is updated from a server
tree in CP932 whose files are renewed before every start. The M faults are spread at random over the N
starts; each start may carry several:

  drop          the control connection is closed in the middle of a transfer
  abort         the server aborts a transfer (426)
  greeting      the first connection is closed before the greeting
  replace       a server file is renewed between the listing and its download
  kill-download the launcher is killed (SIGKILL) at a random moment of its download phase
  kill-apply    the launcher is killed (SIGKILL) at a random moment of its apply phase
  full-disk     the launcher runs with a file size limit (ulimit -f, SIGXFSZ ignored): every write past it
                fails as on a full disk. An ordinary user cannot mount a small file system, and no FUSE
                file system is installed here, so the size limit stands in for one.

After every start it checks: every installed and staged file is one whole version of its server file (or
the version installed before), no temporary file of the launcher is left in an installed folder once a
start has run to its end, and nothing was written outside the installation and staging folders. A last
start without faults must leave the installation equal to the server's files (bytes and times) with no
temporary file anywhere. The boxes the launcher shows are answered as a user would, with the keyboard.
It prints the starts, the faults and every violation; the exit code is 1 when there was a violation.
Needs an X display (scripts/test starts Xvfb).
"""

import argparse
import hashlib
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "servers", "fault_ftpd.py")
LIB = os.path.join(HERE, "lib.sh")

FAULTS = ["drop", "abort", "greeting", "replace", "kill-download", "kill-apply", "full-disk"]
# The titles of the boxes; a plain message box carries the program's name instead.
BOX_TITLES = {"情報", "確認", "警告", "エラー", "Qrd00up", "Plx00up"}
# The launcher's temporary files, and any hidden file with a random six-character end as older ones had.
TEMPORARY = re.compile(r"^\..+\.towagi-\d+\.[A-Za-z0-9]{6}$")
START_SECONDS = 150
HIVE = re.compile(r"^(machine|user)\.hive(-journal|-wal|-shm)?$")


class Edition:
    def __init__(self, launcher):
        self.launcher = launcher
        if launcher == "Qrd00up":
            self.main, self.value, self.prefix, self.trace, self.j = "Qrd00cs.exe", "PATH1", "Update_", "TEMP/Qrd00up.log", ""
            self.help = "HELP"
            self.html = {"HELP_HTML": "HELP_HTML", "HELP_HTML_IMAGES": "HELP_HTML/_images",
                         "HELP_HTML_SOURCES": "HELP_HTML/_sources", "HELP_HTML_STATIC": "HELP_HTML/_static"}
        else:
            self.main, self.value, self.prefix, self.trace, self.j = "Plx00cs.exe", "PATHJ", "Update_Quil_", "PLX00UP.LOG", "J"
            self.help = "HELPJ"
            self.html = {}


class Sandbox:
    """The installation, the server tree and every version each server file has had."""

    def __init__(self, root, edition, bin_dir, rng):
        self.root, self.edition, self.rng = root, edition, rng
        self.program = os.path.join(root, "program")
        self.update = os.path.join(root, "update")
        self.excel = os.path.join(root, "excel")
        self.frame = os.path.join(root, "frame")
        self.server = os.path.join(root, "server")
        self.spare = os.path.join(root, "spare")
        self.home = os.path.join(root, "home")
        self.env = dict(os.environ)
        self.env.update(TOWAGI_MACHINE_HIVE=os.path.join(root, "machine.hive"),
                        TOWAGI_USER_HIVE=os.path.join(root, "user.hive"),
                        TOWAGI_OS_VERSION="6.1", HOME=self.home, LC_ALL="C.UTF-8")
        self.env.pop("QT_QPA_PLATFORM", None)
        j = edition.j
        # Server folder -> installed folder.
        self.categories = {"UPDATE" + j: self.program, "EXCEL" + j: self.excel, "FRAME" + j: self.frame,
                           "HELP" + j: os.path.join(self.program, edition.help)}
        for server_dir, installed in edition.html.items():
            self.categories[server_dir] = os.path.join(self.program, installed)
        self.versions = {}  # "CATEGORY/name" -> set of content hashes
        self.clock = 1_700_000_000  # even seconds, later for every new version
        for folder in [self.update, self.excel, self.frame, self.spare, self.home]:
            os.makedirs(folder, exist_ok=True)
        subprocess.run(["bash", "-c", 'source "$1"; make_program_folder "$2" "$3"', "lib", LIB, self.program,
                        bin_dir], check=True, env=self.env, stdout=subprocess.DEVNULL)
        main = os.path.join(self.program, edition.main)
        with open(main, "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(main, 0o755)
        os.makedirs(os.path.join(self.program, edition.help), exist_ok=True)
        files = {"UPDATE" + j: ["Data.dll", "update.txt", "Tool.exe", "Big.bin"], "EXCEL" + j: ["見積書.xls"],
                 "FRAME" + j: ["ZFRM0001.frm"], "HELP" + j: ["manual.hlp"]}
        # Every name once only: the server's "replace" fault goes by the file name.
        for server_dir, name in zip(edition.html, ["index.html", "logo.png", "index.txt", "basic.css"]):
            files[server_dir] = [name]
        for server_dir, names in files.items():
            os.makedirs(os.path.join(self.server, "towagi", server_dir), exist_ok=True)
            for name in names:
                self.renew(server_dir + "/" + name)
        # An older copy of two files installed already: it is a version of its own.
        for key in ["UPDATE%s/Data.dll" % j, "EXCEL%s/見積書.xls" % j]:
            path = self.installed(key)
            self.write(path, b"installed before " + key.encode(), 1_600_000_000)
            self.versions[key].add(self.digest(path))

    def server_path(self, key):
        return os.path.join(self.server, "towagi", key)

    def installed(self, key):
        server_dir, name = key.split("/", 1)
        return os.path.join(self.categories[server_dir], name)

    def keys(self):
        return sorted(self.versions)

    @staticmethod
    def digest(path):
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()

    @staticmethod
    def write(path, data, mtime):
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (mtime, mtime))

    def new_content(self, key):
        size = self.rng.choice([3 << 20, 5 << 20]) if key.endswith("Big.bin") else self.rng.randint(0, 40000)
        return key.encode() + b"\n" + self.rng.randbytes(size)

    def renew(self, key, path=None):
        """A new version of a server file (or, with `path`, of a file that will replace it); its time."""
        self.clock += 600
        target = path or self.server_path(key)
        self.write(target, self.new_content(key), self.clock)
        self.versions.setdefault(key, set()).add(self.digest(target))
        return target

    def settings(self, port):
        lines = ["Windows Registry Editor Version 5.00", "",
                 r"[HKEY_LOCAL_MACHINE\SOFTWARE\VORN\TOWAGI\RUVOZEZ\PATH\UPDATE]",
                 '"FTP_HOST"="127.0.0.1"', '"FTP_Port"=dword:%08x' % port, '"FTP_UserID"="towagi"',
                 '"FTP_Password"="secret"', '"FTP_ConnectMode"=dword:00000001',
                 '"%s"="|%s"' % (self.edition.value, self.update)]
        for category in ["Program", "Excel", "Frame", "Help"]:
            lines.append('"%s%s"=dword:00000001' % (self.edition.prefix, category))
        lines.append('"%sMast"=dword:00000000' % self.edition.prefix)
        for key, folder in [("EXCEL", self.excel), ("FRAME", self.frame)]:
            lines += ["", r"[HKEY_LOCAL_MACHINE\SOFTWARE\VORN\TOWAGI\RUVOZEZ\PATH" + "\\" + key + "]",
                      '"%s"="|%s"' % (self.edition.value, folder)]
        reg = os.path.join(self.spare, "settings.reg")
        with open(reg, "wb") as f:
            f.write(("\r\n".join(lines) + "\r\n").encode("cp932"))
        subprocess.run([os.path.join(self.program, "towagi-reg"), "import", reg], check=True, env=self.env,
                       stdout=subprocess.DEVNULL)

    def all_paths(self):
        paths = set()
        for folder, dirs, files in os.walk(self.root):
            for name in dirs + files:
                paths.add(os.path.relpath(os.path.join(folder, name), self.root))
        return paths


class FtpServer:
    def __init__(self, root, options):
        self.process = subprocess.Popen([sys.executable, SERVER, "--root", root, "--encoding", "cp932"] + options,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("PORT "):
            raise RuntimeError("the FTP server did not start")
        self.port = int(line.split()[1])

    def stop(self):
        self.process.terminate()
        self.process.wait()


def xdotool(*args):
    result = subprocess.run(["xdotool"] + list(args), capture_output=True, text=True)
    return result.stdout.split() if result.returncode == 0 else []


def visible_boxes(pid):
    boxes = []
    for window in xdotool("search", "--all", "--onlyvisible", "--pid", str(pid), "--name",
                          "^(%s)$" % "|".join(BOX_TITLES)):
        names = subprocess.run(["xdotool", "getwindowname", window], capture_output=True, text=True).stdout
        if names.strip() in BOX_TITLES:
            boxes.append((window, names.strip()))
    return boxes


def read_trace(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("cp932", "replace")
    except OSError:
        return ""


class Chaos:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.edition = Edition(args.edition)
        self.root = tempfile.mkdtemp(prefix="towagi-chaos-")
        self.box = Sandbox(self.root, self.edition, os.path.abspath(args.bin_dir), self.rng)
        self.violations = []
        self.fault_count = {name: 0 for name in FAULTS}
        self.allowed = {"program", "update", "excel", "frame", "server", "spare", "home"}
        self.before = {p for p in self.box.all_paths() if p.split(os.sep)[0] not in self.allowed}
        self.dirty = False  # a killed start may leave temporaries for the next start to clear

    def violation(self, start, text):
        self.violations.append((start, text))
        print("  VIOLATION (start %s): %s" % (start, text), flush=True)

    def plan(self):
        plan = [[] for _ in range(self.args.starts)]
        for _ in range(self.args.faults):
            start = plan[self.rng.randrange(self.args.starts)]
            choices = [f for f in self.args.kinds.split(",") if f not in start]
            if choices:
                start.append(self.rng.choice(choices))
        return plan

    def server_options(self, faults, start):
        options = []
        keys = self.box.keys()
        if "drop" in faults or "abort" in faults:
            target = self.rng.choice(keys).split("/", 1)[1]
            size = os.path.getsize(self.box.server_path([k for k in keys if k.endswith("/" + target)][0]))
            option = "--drop-after" if "drop" in faults else "--abort-after"
            options += [option, str(self.rng.randint(0, max(size - 1, 0))), "--fault-file", target,
                        "--faulty-retrs", str(self.rng.randint(1, 2))]
        if "greeting" in faults:
            options += ["--drop-connections", "1"]
        if "replace" in faults:
            key = self.rng.choice(keys)
            source = self.box.renew(key, os.path.join(self.box.spare, "replace-%d" % start))
            options += ["--replace", "%s=%s" % (os.path.basename(key), source)]
        if "kill-download" in faults:
            # A pause inside one transfer, so that the kill can land in the middle of it.
            options += ["--slow-after", str(self.rng.randint(0, 1 << 20)), "--slow-seconds", "0.5",
                        "--fault-file", "Big.bin", "--faulty-retrs", "1"]
        return options

    def run_start(self, label, faults):
        box, edition = self.box, self.edition
        # New versions on the server, so that every start has something to fetch and apply.
        renewed = self.rng.sample(box.keys(), self.rng.randint(1, 3))
        if "full-disk" in faults:
            # The big file is sure to need more room than the disk has left.
            renewed.append("UPDATE%s/Big.bin" % edition.j)
        for key in set(renewed):
            box.renew(key)
        server = FtpServer(os.path.join(box.server), self.server_options(faults, label) if faults else [])
        box.settings(server.port)
        trace = os.path.join(box.program, edition.trace)
        limit = self.rng.randint(1 << 14, 2 << 20) if "full-disk" in faults else None

        def limited():
            if limit is not None:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        launcher = subprocess.Popen(["./" + edition.launcher], cwd=box.program, env=box.env, preexec_fn=limited,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        kill_marker = None
        if "kill-apply" in faults:
            kill_marker, kill_delay = "■ 開始：ファイルの反映", self.rng.uniform(0, 0.3)
        elif "kill-download" in faults:
            kill_marker, kill_delay = "■ 開始：ファイルのダウンロード", self.rng.uniform(0, 1.5)
        kill_at = None
        killed = False
        deadline = time.monotonic() + START_SECONDS
        next_box_check = 0.0
        while launcher.poll() is None:
            now = time.monotonic()
            if now > deadline:
                self.violation(label, "the launcher did not end within %d seconds" % START_SECONDS)
                launcher.kill()
                killed = True
                break
            if kill_marker and kill_at is None and kill_marker in read_trace(trace):
                kill_at = now + kill_delay
            if kill_at is not None and now >= kill_at:
                launcher.send_signal(signal.SIGKILL)
                killed = True
                break
            if now >= next_box_check:
                for window, title in visible_boxes(launcher.pid):
                    key = "Escape" if title == "確認" and self.rng.random() < 0.5 else "Return"
                    xdotool("windowfocus", window)
                    xdotool("key", "--clearmodifiers", key)
                next_box_check = now + 0.3
            time.sleep(0.01)
        code = launcher.wait()
        server.stop()
        # Each start empties the trace log: its copy stays with the sandbox (see --keep).
        if os.path.exists(trace):
            shutil.copyfile(trace, os.path.join(box.spare, "trace-%s.log" % label))
        # 0 and 1 end a run, 2 a launcher that could not start at all (a full disk can refuse it its log);
        # anything else is a crash.
        if not killed and code not in (0, 1, 2):
            self.violation(label, "the launcher ended with %s" % code)
        outcome = "killed" if killed else "exit %d" % code
        if kill_marker and not killed:
            outcome += " (ended before the kill)"
        if killed:
            left = self.temporaries()
            if left:
                outcome += ", %d temporary file(s) left for the next start" % len(left)
        self.check(label, finished=not killed)
        return outcome

    def check(self, label, finished):
        box = self.box
        # Each installed and staged file is one whole version.
        for key in box.keys():
            path = box.installed(key)
            if os.path.lexists(path) and box.digest(path) not in box.versions[key]:
                self.violation(label, "torn installed file %s" % os.path.relpath(path, self.root))
        by_name = {}
        for key, digests in box.versions.items():
            by_name.setdefault(os.path.basename(key), set()).update(digests)
        for folder, dirs, files in os.walk(box.update):
            if ".partial" in os.path.relpath(folder, box.update).split(os.sep):
                continue
            for name in files:
                path = os.path.join(folder, name)
                if name in by_name and box.digest(path) not in by_name[name]:
                    self.violation(label, "torn staged file %s" % os.path.relpath(path, self.root))
        # Temporaries in the installed folders: a killed start may leave them, the next finished one not.
        if finished:
            for path in self.temporaries():
                self.violation(label, "temporary file left: %s" % os.path.relpath(path, self.root))
        # Nothing outside the installation and staging folders; the server's tree only as the test made it.
        for path in box.all_paths():
            top = path.split(os.sep)[0]
            # The hives take journal files of their own while the launcher writes a setting.
            if top not in self.allowed and path not in self.before and not HIVE.match(top):
                self.violation(label, "written outside the installation: %s" % path)
        for folder, dirs, files in os.walk(os.path.join(box.server, "towagi")):
            for name in files:
                key = os.path.relpath(os.path.join(folder, name), os.path.join(box.server, "towagi"))
                if key not in box.versions:
                    self.violation(label, "a file appeared on the server: %s" % key)

    def temporaries(self):
        found = []
        for folder in set(self.box.categories.values()) | {os.path.join(self.box.program, "TEMP")}:
            if os.path.isdir(folder):
                found += [os.path.join(folder, name) for name in os.listdir(folder) if TEMPORARY.match(name)]
        return found

    def final_check(self):
        box = self.box
        for key in box.keys():
            source, target = box.server_path(key), box.installed(key)
            if not os.path.isfile(target):
                self.violation("last", "not installed: %s" % key)
            elif box.digest(source) != box.digest(target):
                self.violation("last", "installed %s differs from the server's" % key)
            elif int(os.stat(source).st_mtime) != int(os.stat(target).st_mtime):
                self.violation("last", "installed %s has another time than the server's" % key)
        for folder, dirs, files in os.walk(self.root):
            if os.path.relpath(folder, self.root).split(os.sep)[0] == "server":
                continue
            for name in files + dirs:
                if TEMPORARY.match(name) or name == ".partial":
                    self.violation("last", "temporary file left: %s" % os.path.relpath(os.path.join(folder, name), self.root))

    def run(self):
        plan = self.plan()
        print("chaos run: %s, %d starts with %d faults, seed %s, sandbox %s" %
              (self.edition.launcher, self.args.starts, sum(len(p) for p in plan), self.args.seed, self.root),
              flush=True)
        for index, faults in enumerate(plan, 1):
            for fault in faults:
                self.fault_count[fault] += 1
            outcome = self.run_start(index, faults)
            print("start %d: faults [%s] -> %s" % (index, ", ".join(faults) or "none", outcome), flush=True)
        outcome = self.run_start("last", [])
        print("last start: no faults -> %s" % outcome, flush=True)
        self.final_check()
        total = sum(self.fault_count.values())
        print("starts: %d (and a last one without faults)" % self.args.starts)
        print("faults: %d (%s)" % (total, ", ".join("%s %d" % item for item in self.fault_count.items())))
        print("violations: %d" % len(self.violations))
        for start, text in self.violations:
            print("  start %s: %s" % (start, text))
        return 1 if self.violations else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin_dir")
    parser.add_argument("--starts", type=int, default=50)
    parser.add_argument("--faults", type=int, default=100)
    parser.add_argument("--seed", default=str(random.SystemRandom().randrange(1 << 32)))
    parser.add_argument("--edition", default="Qrd00up", choices=["Qrd00up", "Plx00up"])
    parser.add_argument("--kinds", default=",".join(FAULTS), help="the faults to choose from, comma-separated")
    parser.add_argument("--keep", action="store_true", help="keep the sandbox folder for a look afterwards")
    args = parser.parse_args()
    # A Japanese workstation, as in the other end-to-end tests: the server's MDTM time plus nine hours is
    # the file's own time, for the server and the launcher alike.
    os.environ["TZ"] = "JST-9"
    if not os.environ.get("DISPLAY"):
        print("needs an X display (Xvfb)")
        return 1
    chaos = Chaos(args)
    try:
        return chaos.run()
    finally:
        if args.keep:
            print("sandbox kept: %s" % chaos.root)
        else:
            shutil.rmtree(chaos.root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
