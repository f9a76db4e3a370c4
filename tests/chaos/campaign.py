#!/usr/bin/env python3
"""A seeded randomized fault campaign against the real programs.

Each round changes the group of a real slapd (StartTLS) at random, runs
`kelvasync --once` against it and the real hsm-emulator with at most two
faults, puts everything back, and then runs one clean cycle. After every
cycle one oracle reads the HSM's real state (users, blocked flags, addb and
addb_backup) and the log and checks:

  continuing   no member who stayed in the group (and readable) lost or blocked
  unmanaged    users not named 'A' + 14 lower-case hex digits untouched
  wrongful     nobody blocked or removed unless a complete read left them out
  addb         after exit 0 addb is the member list; otherwise addb or
               addb_backup still holds the last complete list; after exit 2
               neither is touched
  match        after exit 0 the HSM matches the list that was read
  convergence  the clean cycle after a round exits 0
  log          every line "DD/MM/YYYY HH:MM:SS [hex] [Label] text" CR LF
  exit-code    the exit code is one the faults of the cycle allow (killed by a
               SIGTERM, -15, only with the HSM as it was before the cycle)
  hang         every run ends within its hard time limit

Environment:
  KV_CHAOS_SEED     the seed (default: a new random one; always printed)
  KV_CHAOS_ROUNDS   run exactly this many rounds (replay up to a round)
  KV_CHAOS_MINUTES  time budget for the rounds (default 9) when no round count
  KV_CHAOS_KEEP=1   keep the work folder
  KV_CHAOS_KEEP_ALL=1  keep every round's records, not only those with violations

A round whose oracle finds a violation is kept under OUT/seed-S-round-R
(logs, HSM state, directory truth, fault events) with the replay command.
Tmpfs and bind mounts need root; without root those fault kinds are skipped.

Usage: campaign.py KELVASYNC HSM_EMULATOR KELVASYNC_PASSWD OUT_DIR
"""
import base64
import ctypes
import hashlib
import json
import os
import random
import re
import selectors
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SUFFIX = "dc=kelvasync,dc=test"
GROUP_DN = "cn=Tessel,ou=Groups," + SUFFIX
USERS_OU = "ou=Users," + SUFFIX
HIDDEN_OU = "ou=Restrito," + SUFFIX  # start-slapd.sh: nobody but the manager reads it
ADMIN_DN = "cn=admin," + SUFFIX
SVC_DN = "cn=svc,ou=users," + SUFFIX  # lower case: compared with lower-cased DNs
MANAGED = re.compile(r"^A[0-9a-f]{14}$")
LOG_LINE = re.compile(rb"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d \[[0-9a-fA-F]+\] \[(Info|Atencao|Erro|Console)\] [^\r\n]*$")
HEADER = re.compile(rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d \[[0-9a-fA-F]+\] \[")
# Short time-outs: a stall costs seconds, not the libraries' defaults.
HSM_CONNECT_MS, HSM_IO_MS = 1000, 2000
LDAP_NETWORK_S, LDAP_OPERATION_S = 2, 3
SHORT_STALL = 1.0  # a stall this short stays under every time-out: no failure allowed
UNMANAGED_SEEDS = [("admin", False), ("operador", True), ("A0123456789ABCD", False),
                   ("A0123456789abc", True), ("B0123456789abcd", False), ("a0123456789abcd", False)]
HSM_OPS = {1: "login", 2: "list-users", 3: "create-user", 4: "remove-user", 5: "set-user-param",
           6: "read-object", 7: "write-object", 8: "remove-object", 9: "rename-object", 10: "logout"}
IS_ROOT = os.geteuid() == 0


class HarnessError(Exception):
    """A failure of the harness or its servers, never counted against the service."""


def die_with_parent():
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except OSError:
        pass


class Spawner(threading.Thread):
    """Starts the servers' processes from one thread that lives as long as
    the harness: a child dies with the thread that started it (PDEATHSIG),
    and servers are restarted from short-lived fault threads."""

    def __init__(self):
        super().__init__(daemon=True)
        self.requests = []
        self.cv = threading.Condition()
        self.start()

    def run(self):
        while True:
            with self.cv:
                while not self.requests:
                    self.cv.wait()
                args, kwargs, box = self.requests.pop(0)
            try:
                box["proc"] = subprocess.Popen(*args, preexec_fn=die_with_parent, **kwargs)
            except Exception as e:  # noqa: BLE001 - handed to the caller
                box["error"] = e
            with self.cv:
                box["done"] = True
                self.cv.notify_all()

    def popen(self, *args, **kwargs):
        box = {}
        with self.cv:
            self.requests.append((args, kwargs, box))
            self.cv.notify_all()
            while "done" not in box:
                self.cv.wait()
        if "error" in box:
            raise box["error"]
        return box["proc"]


SPAWNER = None


# ------------------------------------------------------------------ names and the addb format
def narrow(text):
    """The service's narrowing: one byte per UTF-16 unit, its low byte."""
    return bytes(ord(c) & 0xFF for c in text)


def lower_ascii(data):
    return bytes(c + 32 if 65 <= c <= 90 else c for c in data)


def hsm_id(logon):
    return "A" + hashlib.md5(lower_ascii(narrow(logon))).hexdigest()[1:15]


def addb_bytes(members):
    def field(value, limit):
        return bytes(b"?"[0] if c in (10, 13, 0) else c for c in value[:limit]) + b"\r\n"
    return b"".join(field(i.encode(), 127) + field(l, 255) + field(c, 1023) for i, l, c in members)


class View:
    """What the service account can read of the group at one moment."""

    def __init__(self, truth):
        self.members, self.unreadable = [], 0
        for dn in truth["members"]:
            entry = truth["entries"].get(dn.lower())
            if entry is None or entry["dn"].lower().endswith(HIDDEN_OU.lower()):
                self.unreadable += 1
            elif "user" not in entry["classes"]:
                # A contact or a group: no member and not unreadable, but the
                # list (and addb) keeps an empty record for it.
                self.members.append(("", b"", b""))
            elif entry["sam"] is None:
                self.unreadable += 1
            else:
                self.members.append((hsm_id(entry["sam"]), lower_ascii(narrow(entry["sam"])), narrow(entry["cn"])))
        self.ids = {m[0] for m in self.members if m[0]}
        self.complete = self.unreadable == 0

    def outcome(self, managed_before):
        held = not self.ids and managed_before
        return 2 if not self.complete or held else 0


# ------------------------------------------------------------------ the directory
def b64(text):
    return base64.b64encode(text.encode()).decode()


class Directory:
    def __init__(self, work, rng):
        self.dir = os.path.join(work, "slapd")
        self.ldif = os.path.join(work, "directory.ldif")
        self.users = {}  # dn -> {"cn", "sam"} for every entry the harness made
        self.serial = 0
        self.rng = rng
        self._write_initial()
        out = subprocess.run([os.path.join(ROOT, "scripts/start-slapd.sh"), self.dir, self.ldif, str(os.getpid())],
                             capture_output=True, text=True, timeout=120)
        if out.returncode != 0:
            raise HarnessError("slapd did not start: " + out.stderr)
        port, pid = out.stdout.split()
        self.port, self.pid, self.proc = int(port), int(pid), None
        self.env = dict(os.environ, LDAPTLS_CACERT=os.path.join(self.dir, "ca.pem"))

    def new_person(self, rng, long_names=False):
        self.serial += 1
        first = rng.choice(["Ana", "Bruno", "Carla", "Joao", "Erica", "Fabio", "Gisele", "Helio", "Iara", "Jose"])
        last = rng.choice(["Souza", "Lima", "Dias", "Conceicao", "Conceição", "Müller", "Araújo", "Šimek",
                           "Nuñez", "Ćirić", "Ödegaard", "Tavares", "Ċurmi", "Kovač"])
        cn = "%s %s %d" % (first, last, self.serial)
        sam = "%s%s%d" % (first[0], re.sub(r"[^A-Za-z]", "", last)[:8], self.serial)
        sam = "".join(c.upper() if rng.random() < 0.2 else c for c in sam)
        if long_names:
            cn = cn + " " + " ".join(rng.choice(["da Silva", "de Oliveira", "Pereira", "Gonçalves"])
                                     for _ in range(rng.choice([10, 40, 120])))
            sam = sam + "." + "x" * rng.choice([12, 40, 250, 300])
        return cn, sam

    def _write_initial(self):
        parts = ["dn: %s\nobjectClass: domain\ndc: kelvasync\n" % SUFFIX]
        for ou in ("Users", "Groups", "Restrito"):
            parts.append("dn: ou=%s,%s\nobjectClass: organizationalUnit\nou: %s\n" % (ou, SUFFIX, ou))
        parts.append("dn: %s\nobjectClass: user\ncn: svc\nsn: svc\nsAMAccountName: svc\nuserPassword: segredo\n" % SVC_DN)
        members = []
        for i in range(24):
            cn, sam = self.new_person(self.rng)
            dn = "cn=%s,%s" % (cn, USERS_OU)
            self.users[dn] = {"cn": cn, "sam": sam}
            member = i < 14
            if member:
                members.append(dn)
            parts.append("dn:: %s\nobjectClass: user\ncn:: %s\nsn: x\nsAMAccountName:: %s\n%s" % (
                b64(dn), b64(cn), b64(sam), "memberOf: %s\n" % GROUP_DN if member else ""))
        parts.append("dn: %s\nobjectClass: group\ncn: Tessel\n%s" % (
            GROUP_DN, "".join("member:: %s\n" % b64(dn) for dn in members)))
        with open(self.ldif, "w") as f:
            f.write("\n".join(parts))

    def tool(self, name, args, stdin=None, timeout=20):
        cmd = [name, "-ZZ", "-x", "-H", "ldap://127.0.0.1:%d" % self.port, "-D", ADMIN_DN, "-w", "admin",
               "-o", "nettimeout=5"] + args
        try:
            return subprocess.run(cmd, input=stdin, capture_output=True, env=self.env, timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def modify(self, ldif):
        out = self.tool("ldapmodify", [], stdin=ldif.encode())
        self.last_error = "time-out" if out is None else out.stderr.decode(errors="replace")
        return out is not None and out.returncode == 0

    def must_modify(self, ldif):
        if not self.modify(ldif):
            raise HarnessError("ldapmodify failed (%s):\n%s" % (self.last_error.strip(), ldif[:300]))

    def truth(self):
        out = None
        for _ in range(5):
            out = self.tool("ldapsearch", ["-LLL", "-o", "ldif-wrap=no", "-b", SUFFIX, "(objectClass=*)",
                                           "objectClass", "cn", "sAMAccountName", "member"])
            if out is not None and out.returncode == 0:
                break
            time.sleep(1)
        else:
            raise HarnessError("the directory cannot be read: %r" % (out and out.stderr))
        entries, members = {}, []
        for block in out.stdout.decode().split("\n\n"):
            attrs = {}
            for line in block.splitlines():
                if not line or line.startswith("#"):
                    continue
                name, _, value = line.partition(":")
                if value.startswith(":"):
                    value = base64.b64decode(value[1:].strip()).decode()
                else:
                    value = value.strip()
                attrs.setdefault(name.lower(), []).append(value)
            if "dn" not in attrs:
                continue
            dn = attrs["dn"][0]
            entries[dn.lower()] = {"dn": dn, "classes": {c.lower() for c in attrs.get("objectclass", [])},
                                   "cn": attrs.get("cn", [""])[0], "sam": attrs.get("samaccountname", [None])[0]}
            if dn.lower() == GROUP_DN.lower():
                members = attrs.get("member", [])
        return {"entries": entries, "members": members}

    # The process itself.
    def signal(self, sig):
        try:
            os.kill(self.pid, sig)
            return True
        except ProcessLookupError:
            return False

    def alive(self):
        if self.proc is not None:
            return self.proc.poll() is None
        try:
            os.kill(self.pid, 0)
            return not open("/proc/%d/stat" % self.pid).read().split(") ")[1].startswith("Z")
        except (ProcessLookupError, FileNotFoundError):
            return False

    def wait_dead(self, limit=10):
        end = time.time() + limit
        while self.alive() and time.time() < end:
            time.sleep(0.02)
        if self.proc is not None:
            try:
                self.proc.wait(1)
            except subprocess.TimeoutExpired:
                pass

    def start(self):
        log = open(os.path.join(self.dir, "slapd.log"), "ab")
        self.proc = SPAWNER.popen(["slapd", "-f", os.path.join(self.dir, "slapd.conf"), "-h",
                                   "ldap://127.0.0.1:%d/" % self.port, "-d", "0"], cwd=self.dir,
                                  stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        self.pid = self.proc.pid
        wait_port(self.port, "slapd", self.alive)

    def ensure_running(self):
        self.signal(signal.SIGCONT)
        if not self.alive():
            self.start()

    def stop(self):
        self.signal(signal.SIGCONT)
        self.signal(signal.SIGKILL)


def wait_port(port, what, alive, limit=15):
    end = time.time() + limit
    while time.time() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if not alive():
                break
            time.sleep(0.05)
    raise HarnessError("%s did not come back on port %d" % (what, port))


# ------------------------------------------------------------------ the HSM emulator
class Hsm:
    def __init__(self, emulator, state, work):
        self.emulator, self.state, self.work = emulator, state, work
        self.fault_file = os.path.join(work, "hsm-faults")
        self.log = os.path.join(work, "hsm.log")
        self.run_admin("init", "--master-password", "kv-master-1")
        self.run_admin("add-user", "--name", "IntegracaoAD", "--password", "73905162")
        for name, blocked in UNMANAGED_SEEDS:
            self.run_admin("add-user", "--name", name, "--password", "pw-" + name[:10], *(["--blocked"] if blocked else []))
        for logon in ("ex-funcionario", "ex-estagiario"):  # former members: blocked or removed by the first cycle
            self.run_admin("add-user", "--name", hsm_id(logon), "--password", "pw-former")
        self.port, self.proc = 0, None
        self.start()

    def run_admin(self, *args):
        out = subprocess.run([self.emulator, args[0], "--state", self.state] + list(args[1:]), capture_output=True,
                             timeout=60)
        if out.returncode != 0:
            raise HarnessError("hsm-emulator %s: %s" % (args[0], out.stderr.decode(errors="replace")))
        return out.stdout

    def start(self):
        port_file = os.path.join(self.work, "hsm.port")
        if os.path.exists(port_file):
            os.remove(port_file)
        self.proc = SPAWNER.popen([self.emulator, "serve", "--state", self.state, "--port", str(self.port),
                                   "--port-file", port_file, "--fault-file", self.fault_file],
                                  stdout=open(self.log, "ab"), stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        end = time.time() + 15
        while not os.path.exists(port_file):
            if self.proc.poll() is not None or time.time() > end:
                raise HarnessError("hsm-emulator did not start (see %s)" % self.log)
            time.sleep(0.02)
        self.port = int(open(port_file).read())

    def alive(self):
        return self.proc.poll() is None

    def signal(self, sig):
        if self.alive():
            self.proc.send_signal(sig)
            return True
        return False

    def ensure_running(self):
        self.signal(signal.SIGCONT)
        if not self.alive():
            self.start()

    def snapshot(self):
        users = {}
        for line in self.run_admin("list-users").decode(errors="replace").splitlines():
            name, mask, blocked = line.split()
            users[name] = (mask, blocked == "blocked=yes")
        objects = {}
        for name in ("addb", "addb_backup"):
            out = subprocess.run([self.emulator, "show-object", "--state", self.state, "--name", "IntegracaoAD/" + name],
                                 capture_output=True, timeout=60)
            objects[name] = out.stdout if out.returncode == 0 else None
        return {"users": users, "addb": objects["addb"], "addb_backup": objects["addb_backup"]}


# ------------------------------------------------------------------ loopback proxies
class Proxy(threading.Thread):
    """A TCP proxy on loopback that can reset, truncate, delay or blackhole
    the connection that carries byte N of one direction (counted over all
    connections of a cycle). HSM frames are parsed to name the request hit."""

    def __init__(self, name, target, hsm):
        super().__init__(daemon=True)
        self.name_, self.target, self.hsm = name, target, hsm
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(128)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.listener, selectors.EVENT_READ, None)
        self.lock = threading.Lock()
        self.conns, self.fault, self.counts, self.held = [], None, {"c2s": 0, "s2c": 0}, []
        self.last_totals = {"c2s": 0, "s2c": 0}
        self.start()

    def arm(self, fault):
        with self.lock:
            self._close_all()
            self.conns, self.counts, self.fault = [], {"c2s": 0, "s2c": 0}, fault
            if fault:
                fault["fired"] = False

    def disarm(self):
        with self.lock:
            report = {"fault": self.fault, "connections": [c["rec"] for c in self.conns], "totals": dict(self.counts)}
            if self.fault is None:
                self.last_totals = dict(self.counts)
            self._close_all()
            self.conns, self.fault = [], None
            return report

    def _close_all(self):
        for c in self.conns:
            self._close(c)
        self.held = []

    def _close(self, c, reset=False):
        for s in (c["client"], c["server"]):
            if s is None or s.fileno() < 0:
                continue
            try:
                self.sel.unregister(s)
            except (KeyError, ValueError):
                pass
            if reset:
                try:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                except OSError:
                    pass
            else:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            s.close()
        c["open"] = False

    def run(self):
        while True:
            events = self.sel.select(0.05)
            with self.lock:
                now = time.time()
                for c, until, direction, data in list(self.held):
                    if now >= until:
                        self.held.remove((c, until, direction, data))
                        if c["open"]:
                            self._send(c, direction, data)
                            for s in (c["client"], c["server"]):
                                if c["open"]:
                                    self.sel.register(s, selectors.EVENT_READ, c)
                for key, _ in events:
                    if key.data is None:
                        self._accept()
                    elif key.data["open"]:
                        self._read(key.data, key.fileobj)

    def _accept(self):
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        rec = {"index": len(self.conns) + 1, "c2s": 0, "s2c": 0, "flights": 0, "last": None,
               "requests": [], "user": None}
        c = {"client": client, "server": None, "open": True, "rec": rec, "black": False,
             "cbuf": b"", "sbuf": b"", "pending": [], "listed": None}
        self.conns.append(c)
        try:
            c["server"] = socket.create_connection(("127.0.0.1", self.target()), timeout=3)
        except OSError:
            rec["refused"] = True
            self._close(c)
            return
        for s in (client, c["server"]):
            s.settimeout(5)
            self.sel.register(s, selectors.EVENT_READ, c)

    def _send(self, c, direction, data):
        try:
            (c["server"] if direction == "c2s" else c["client"]).sendall(data)
        except OSError:
            self._close(c)

    def _read(self, c, sock):
        direction = "c2s" if sock is c["client"] else "s2c"
        try:
            data = sock.recv(65536)
        except OSError:
            data = b""
        if not data:
            self._close(c)
            return
        if c["black"]:
            return  # swallowed: the connection stays open and silent
        rec = c["rec"]
        if direction == "c2s" and rec["last"] != "c2s":
            rec["flights"] += 1
        rec["last"] = direction
        f = self.fault
        if f and not f["fired"] and f["direction"] == direction and self.counts[direction] + len(data) > f["offset"]:
            cut = f["offset"] - self.counts[direction]
            head, tail = data[:cut], data[cut:]
            self.counts[direction] += len(data)
            self._account(c, direction, head)
            f.update(fired=True, connection=rec["index"], at=rec[direction], flights=rec["flights"],
                     time=time.time())
            # The request the fault hits: the one whose bytes are cut (c2s), or
            # the oldest one whose answer has not arrived whole (s2c).
            if self.hsm:
                if direction == "c2s":
                    probe = c["cbuf"] + tail
                    f["op"] = HSM_OPS.get(probe[4]) if len(probe) > 4 else None
                else:
                    f["op"] = c["pending"][0] if c["pending"] else None
                f["requests_before"] = list(rec["requests"])
            if head:
                self._send(c, direction, head)
            rec[direction] += len(tail)
            kind = f["kind"]
            if kind == "delay":
                for s in (c["client"], c["server"]):
                    self.sel.unregister(s)
                self.held.append((c, time.time() + f["delay"], direction, tail))
            elif kind == "reset":
                self._close(c, reset=True)
            elif kind == "truncate":
                self._close(c)
            else:
                c["black"] = True
            return
        self.counts[direction] += len(data)
        self._account(c, direction, data)
        self._send(c, direction, data)

    def _account(self, c, direction, data):
        rec = c["rec"]
        rec[direction] += len(data)
        if not self.hsm:
            return
        key = "cbuf" if direction == "c2s" else "sbuf"
        c[key] += data
        while len(c[key]) >= 4:
            size = struct.unpack("<I", c[key][:4])[0]
            if len(c[key]) < 4 + size:
                break
            body, c[key] = c[key][4:4 + size], c[key][4 + size:]
            if direction == "c2s" and body:
                op = HSM_OPS.get(body[0], str(body[0]))
                rec["requests"].append(op)
                c["pending"].append(op)
                if op == "login" and len(body) >= 7:
                    n = struct.unpack("<H", body[5:7])[0]
                    rec["user"] = body[7:7 + n].decode(errors="replace")
            elif direction == "s2c" and c["pending"]:
                op = c["pending"][0]
                code = struct.unpack("<I", body[:4])[0] if len(body) >= 4 else 1
                if op == "list-users" and code == 0 and len(body) >= 12:
                    total, n = struct.unpack("<II", body[4:12])
                    c["listed"] = (c["listed"] or 0) + n
                    if c["listed"] < total:
                        continue
                c["listed"] = None
                c["pending"].pop(0)


# ------------------------------------------------------------------ mounts and full disks
def run_root(*cmd):
    out = subprocess.run(list(cmd), capture_output=True, text=True)
    if out.returncode != 0:
        raise HarnessError("%s: %s" % (" ".join(cmd), out.stderr))


def fill(folder, free_pages):
    """Fills the file system of `folder`, then gives back `free_pages` pages."""
    path = os.path.join(folder, "zz-filler")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        for chunk in (1 << 16, 4096, 512):
            block = b"\0" * chunk
            while True:
                try:
                    os.write(fd, block)
                except OSError:
                    break
        size = os.fstat(fd).st_size
        os.ftruncate(fd, max(0, size - free_pages * 4096))
    finally:
        os.close(fd)
    return path


def unfill(folder):
    try:
        os.remove(os.path.join(folder, "zz-filler"))
    except FileNotFoundError:
        pass


# ------------------------------------------------------------------ the campaign
class Campaign:
    def __init__(self, kelvasync, emulator, passwd, out_dir):
        self.kelvasync, self.out_dir = kelvasync, out_dir
        self.seed = int(os.environ.get("KV_CHAOS_SEED") or random.SystemRandom().randrange(1, 10 ** 9))
        rounds = os.environ.get("KV_CHAOS_ROUNDS")
        self.max_rounds = int(rounds) if rounds else None
        self.budget = None if rounds else float(os.environ.get("KV_CHAOS_MINUTES", "9")) * 60
        self.fixed = b"KELVASYNC_LDAP_OPERATION_TIMEOUT" in open(kelvasync, "rb").read()
        self.counts = {"rounds": 0, "cycles": 0, "faults": {}, "violations": {}, "known": {}}
        self.reproducers, self.mounts = [], []
        self.work = tempfile.mkdtemp(prefix="kv-chaos-")
        print("chaos: seed %d (replay: KV_CHAOS_SEED=%d%s)" % (
            self.seed, self.seed, " KV_CHAOS_ROUNDS=%d" % self.max_rounds if self.max_rounds else ""), flush=True)
        if not self.fixed:
            print("chaos: this build reads no KELVASYNC_LDAP_*_TIMEOUT: a stalled directory step is counted as "
                  "known (hang), and so are torn log lines on a full data folder", flush=True)
        self.product = os.path.join(self.work, "pf", "Karvell Networks", "HSM Karvell")
        self.data = os.path.join(self.product, "data")
        os.makedirs(self.data, mode=0o700)
        os.chmod(self.data, 0o700)
        hsm_state = os.path.join(self.work, "hsm-state")
        os.makedirs(hsm_state)
        if IS_ROOT:
            self.mount_tmpfs(self.data, "1m", "0700")
            self.mount_tmpfs(hsm_state, "24m", "0700")
        else:
            print("chaos: not root: the data folder full or read-only and the emulator's disk full are skipped",
                  flush=True)
        self.dir = Directory(self.work, random.Random("%d/setup" % self.seed))
        self.hsm = Hsm(emulator, os.path.join(hsm_state, "db"), self.work)
        self.ldap_proxy = Proxy("ldap", lambda: self.dir.port, hsm=False)
        self.hsm_proxy = Proxy("hsm", lambda: self.hsm.port, hsm=True)
        self.passwords = [subprocess.run([passwd], input=pw.encode(), capture_output=True, check=True)
                          .stdout.decode().strip() for pw in ("segredo", "kv-master-1")]
        self.env = dict(os.environ, KELVASYNC_PROGRAM_FILES=os.path.join(self.work, "pf"),
                        LDAPTLS_CACERT=os.path.join(self.dir.dir, "ca.pem"), HOME=self.work,
                        KELVASYNC_HSM_CONNECT_TIMEOUT_MS=str(HSM_CONNECT_MS),
                        KELVASYNC_HSM_IO_TIMEOUT_MS=str(HSM_IO_MS),
                        KELVASYNC_LDAP_NETWORK_TIMEOUT=str(LDAP_NETWORK_S),
                        KELVASYNC_LDAP_OPERATION_TIMEOUT=str(LDAP_OPERATION_S))
        self.clean_seconds = 2.0
        self.unmanaged = None

    def mount_tmpfs(self, path, size, mode):
        run_root("mount", "-t", "tmpfs", "-o", "size=%s,mode=%s" % (size, mode), "kvchaos", path)
        self.mounts.append(path)

    def close(self):
        for p in (self.ldap_proxy, self.hsm_proxy):
            p.arm(None)
        try:
            self.hsm.signal(signal.SIGCONT)
            self.hsm.signal(signal.SIGKILL)
        except Exception:
            pass
        self.dir.stop()
        while self.mounts:
            path = self.mounts.pop()
            for _ in range(3):  # the tmpfs, and a read-only bind over it if a run was cut short
                if subprocess.run(["mountpoint", "-q", path]).returncode != 0:
                    break
                subprocess.run(["umount", "-l", path], capture_output=True)
        if os.environ.get("KV_CHAOS_KEEP") == "1":
            print("chaos: work kept in " + self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    def write_ini(self, removal):
        ini = ("[activedirectory]\r\nhost=127.0.0.1:%d\r\nusr=%s\r\npwd=%s\r\ngroup=%s\r\n"
               "updatefrequencyinminutes=3\r\n[hsm]\r\nhost=127.0.0.1:%d\r\nusr=master\r\npwd=%s\r\n"
               "removeusers=%s\r\n" % (self.ldap_proxy.port, SVC_DN, self.passwords[0], GROUP_DN,
                                       self.hsm_proxy.port, self.passwords[1], removal))
        path = os.path.join(self.product, "kelvasync.ini")
        with open(path, "w", newline="") as f:
            f.write(ini)
        os.chmod(path, 0o600)

    # -------------------------------------------------------------- group changes
    def changes(self, rng):
        done = []
        kinds = rng.sample(["add", "add", "remove", "rename", "mass-remove", "hide", "class", "long"], rng.randint(1, 3))
        for kind in kinds:
            truth = self.dir.truth()  # each change sees the ones before it
            member_dns = list(truth["members"])
            users = [e for e in truth["entries"].values() if "user" in e["classes"] and e["dn"].lower() != SVC_DN
                     and e["dn"].lower().endswith(USERS_OU.lower())]
            in_group = {m.lower() for m in member_dns}
            outside = [e for e in users if e["dn"].lower() not in in_group]
            if kind == "add":
                picks = rng.sample(outside, min(len(outside), rng.randint(1, 3)))
                for _ in range(rng.randint(0, 2)):
                    picks.append(self.create_user(rng))
                for e in picks:
                    if e["dn"].lower() not in in_group:
                        self.group_change("add", e["dn"])
                        in_group.add(e["dn"].lower())
                done.append("add %d" % len(picks))
            elif kind in ("remove", "mass-remove") and member_dns:
                n = rng.randint(1, 3) if kind == "remove" else rng.randint(len(member_dns) // 2, len(member_dns))
                picks = rng.sample(member_dns, min(n, len(member_dns)))
                for dn in picks:
                    self.group_change("delete", dn)
                    in_group.discard(dn.lower())
                member_dns = [m for m in member_dns if m not in picks]
                done.append("%s %d" % (kind, len(picks)))
            elif kind == "rename":
                picks = [e for e in users if e["dn"].lower() in in_group]
                for e in rng.sample(picks, min(len(picks), rng.randint(1, 2))):
                    self.rename(e["dn"], rng)
                done.append("rename")
            elif kind == "hide":
                picks = [e for e in users if e["dn"].lower() in in_group]
                if picks:
                    self.move(rng.choice(picks)["dn"], HIDDEN_OU)
                    done.append("hide 1")
            elif kind == "class":
                picks = [e for e in truth["entries"].values() if e["dn"].lower() in in_group and
                         e["dn"].lower().endswith(USERS_OU.lower()) and e["dn"].lower() != SVC_DN and
                         e["dn"].lower().startswith("cn=")]
                if picks:
                    e = rng.choice(picks)
                    to = "user" if "user" not in e["classes"] else rng.choice(["contact", "group"])
                    self.reclass(e, to, rng)
                    done.append("class %s" % to)
            elif kind == "long":
                e = self.create_user(rng, long_names=True)
                self.group_change("add", e["dn"])
                done.append("long name")
        return done

    def create_user(self, rng, long_names=False):
        cn, sam = self.dir.new_person(rng, long_names)
        # A long common name stays out of the DN (slapd limits a DN's length).
        sn = "Longo %d" % self.dir.serial if long_names else "x"
        dn = "%s,%s" % ("sn=" + sn if long_names else "cn=" + cn, USERS_OU)
        self.dir.must_modify("dn:: %s\nchangetype: add\nobjectClass: user\ncn:: %s\nsn: %s\nsAMAccountName:: %s\n" % (
            b64(dn), b64(cn), sn, b64(sam)))
        return {"dn": dn, "classes": {"user"}, "cn": cn, "sam": sam}

    def group_change(self, op, dn, must=True):
        ldif = "dn: %s\nchangetype: modify\n%s: member\nmember:: %s\n" % (GROUP_DN, op, b64(dn))
        return self.dir.must_modify(ldif) if must else self.dir.modify(ldif)

    def rename(self, dn, rng, must=True):
        self.dir.serial += 1
        sam = "ren%d%s" % (self.dir.serial, rng.choice(["", "X", ".a"]))
        ldif = "dn:: %s\nchangetype: modify\nreplace: sAMAccountName\nsAMAccountName: %s\n" % (b64(dn), sam)
        return self.dir.must_modify(ldif) if must else self.dir.modify(ldif)

    def move(self, dn, ou):
        rdn = dn.split(",", 1)[0]
        new = rdn + "," + ou
        self.dir.must_modify("dn:: %s\nchangetype: modrdn\nnewrdn:: %s\ndeleteoldrdn: 1\nnewsuperior: %s\n" % (
            b64(dn), b64(rdn), ou))
        # As Active Directory does, the group follows the move.
        members = {m.lower() for m in self.dir.truth()["members"]}
        if dn.lower() in members:
            self.group_change("delete", dn)
        if new.lower() not in members:
            self.group_change("add", new)

    def reclass(self, e, to, rng):
        dn = e["dn"]
        self.dir.must_modify("dn:: %s\nchangetype: delete\n" % b64(dn))
        cn = e["cn"] or "x"
        if to == "user":
            self.dir.serial += 1
            body = "objectClass: user\ncn:: %s\nsn: x\nsAMAccountName: back%d\n" % (b64(cn), self.dir.serial)
        elif to == "contact":
            body = "objectClass: contact\ncn:: %s\nsn: x\n" % b64(cn)
        else:
            body = "objectClass: group\ncn:: %s\n" % b64(cn)
        self.dir.must_modify("dn:: %s\nchangetype: add\n%s" % (b64(dn), body))

    def heal(self, rng):
        """Before the clean cycle: the hidden members come back out, and the
        group gets readable members again if it has none."""
        truth = self.dir.truth()
        for m in truth["members"]:
            if m.lower().endswith(HIDDEN_OU.lower()):
                self.move(m, USERS_OU)
        truth = self.dir.truth()
        if len(View(truth).ids) < 2:
            in_group = {m.lower() for m in truth["members"]}
            outside = [e for e in truth["entries"].values() if "user" in e["classes"] and
                       e["dn"].lower().endswith(USERS_OU.lower()) and e["dn"].lower() != SVC_DN and
                       e["dn"].lower() not in in_group]
            for e in rng.sample(outside, min(len(outside), 4)) or [self.create_user(rng)]:
                self.group_change("add", e["dn"])
        return self.dir.truth()

    # -------------------------------------------------------------- faults
    def choose_faults(self, rng):
        kinds = ["kv-kill", "kv-term", "slapd-kill", "slapd-stop", "slapd-restart", "hsm-kill", "hsm-stop",
                 "hsm-restart", "ldap-proxy", "ldap-proxy", "hsm-proxy", "hsm-proxy", "hsm-refuse",
                 "group-during-read", "data-full", "data-ro", "hsm-disk-full"]
        if not IS_ROOT:
            kinds = [k for k in kinds if k not in ("data-full", "data-ro", "hsm-disk-full")]
        n = rng.choices([0, 1, 2], [1, 4, 5])[0]
        chosen = []
        family = {"kv-kill": "kv", "kv-term": "kv", "slapd-kill": "slapd", "slapd-stop": "slapd",
                  "slapd-restart": "slapd", "hsm-kill": "hsm", "hsm-stop": "hsm", "hsm-restart": "hsm",
                  "data-full": "data", "data-ro": "data"}
        while len(chosen) < n:
            k = rng.choice(kinds)
            if any(family.get(c["kind"], c["kind"]) == family.get(k, k) for c in chosen):
                continue
            chosen.append(self.plan_fault(k, rng))
        return chosen

    def plan_fault(self, kind, rng):
        span = max(0.5, self.clean_seconds * 1.2)
        f = {"kind": kind, "t": 0.0 if rng.random() < 0.25 else round(rng.uniform(0.0, span), 3)}
        if kind.endswith("-stop"):
            f["duration"] = round(rng.uniform(0.2, 4.0), 2)
        if kind.endswith("-kill") and not kind.startswith("kv"):
            f["restart_after"] = None if rng.random() < 0.5 else round(rng.uniform(0.1, 2.0), 2)
        if kind.endswith("proxy"):
            proxy = self.ldap_proxy if kind.startswith("ldap") else self.hsm_proxy
            f["mode"] = rng.choice(["reset", "truncate", "delay", "blackhole"])
            f["direction"] = rng.choice(["s2c", "s2c", "c2s"])
            total = max(1, proxy.last_totals[f["direction"]])
            f["offset"] = rng.randrange(0, min(total, 2000)) if rng.random() < 0.35 else rng.randrange(0, total)
            if f["mode"] == "delay":
                f["delay"] = round(rng.uniform(0.1, 3.0), 2)
        if kind in ("data-full", "hsm-disk-full"):
            f["free_pages"] = rng.choice([0, 1, 2]) if kind == "data-full" else 0
            f["release_after"] = None if rng.random() < 0.5 else round(rng.uniform(0.0, span), 3)
        if kind == "hsm-refuse":
            f["op"] = rng.choice(["create-user", "set-user-param", "remove-user", "write-object", "rename-object",
                                  "list-users", "read-object"])
            f["action"] = rng.choice(["drop", "5904"])
        if kind == "group-during-read":
            f["change"] = rng.choice(["add", "delete", "rename"])
            f["pick"] = rng.random()
        return f

    def fault_label(self, f):
        return f["kind"] + ("-" + f["mode"] if "mode" in f else "")

    def apply_fault(self, f, proc):
        k = f["kind"]
        if k == "kv-kill" or k == "kv-term":
            if proc is not None and proc.poll() is None:
                proc.send_signal(signal.SIGKILL if k == "kv-kill" else signal.SIGTERM)
                f["fired"] = True
        elif k in ("slapd-kill", "hsm-kill"):
            server = self.dir if k.startswith("slapd") else self.hsm
            server.signal(signal.SIGKILL)
            f["fired"] = True
            if f["restart_after"] is not None:
                time.sleep(f["restart_after"])
                if k.startswith("slapd"):
                    self.dir.wait_dead()
                else:
                    self.hsm.proc.wait(10)
                server.ensure_running()
                f["restarted"] = True
        elif k in ("slapd-stop", "hsm-stop"):
            server = self.dir if k.startswith("slapd") else self.hsm
            server.signal(signal.SIGSTOP)
            f["fired"] = True
            time.sleep(f["duration"])
            server.signal(signal.SIGCONT)
        elif k in ("slapd-restart", "hsm-restart"):
            server = self.dir if k.startswith("slapd") else self.hsm
            server.signal(signal.SIGTERM)
            f["fired"] = True
            if k.startswith("slapd"):
                self.dir.wait_dead()
            else:
                self.hsm.proc.wait(10)
            server.ensure_running()
        elif k == "data-full":
            fill(self.data, f["free_pages"])
            f["fired"] = True
            self.release_later(f, self.data)
        elif k == "hsm-disk-full":
            fill(os.path.dirname(self.hsm.state), 0)
            f["fired"] = True
            self.release_later(f, os.path.dirname(self.hsm.state))
        elif k == "group-during-read":
            truth = f["truth"]
            members = [m for m in truth["members"] if m.lower().endswith(USERS_OU.lower())]
            if f["change"] == "add":
                outside = sorted(e["dn"] for e in truth["entries"].values() if "user" in e["classes"] and
                                 e["dn"].lower().endswith(USERS_OU.lower()) and e["dn"].lower() != SVC_DN and
                                 e["dn"] not in truth["members"])
                if outside:
                    f["fired"] = self.group_change("add", outside[int(f["pick"] * len(outside))], must=False)
            elif members:
                dn = members[int(f["pick"] * len(members))]
                f["fired"] = (self.group_change("delete", dn, must=False) if f["change"] == "delete"
                              else self.rename(dn, random.Random(f["pick"]), must=False))

    def release_later(self, f, folder):
        if f["release_after"] is not None:
            t = threading.Timer(f["release_after"], unfill, [folder])
            t.daemon = True
            t.start()
            f["timer"] = t

    def undo_faults(self, faults):
        for f in faults:
            if "timer" in f:
                f["timer"].cancel()
                del f["timer"]
        self.dir.ensure_running()
        self.hsm.ensure_running()
        if any(f["kind"] == "data-ro" for f in faults):
            run_root("umount", self.data)
        unfill(self.data)
        unfill(os.path.dirname(self.hsm.state))
        with open(self.hsm.fault_file, "w"):
            pass

    # -------------------------------------------------------------- one cycle
    def run_cycle(self, faults, removal, tag):
        self.write_ini(removal)
        log = os.path.join(self.data, "kelvasync.log")
        if os.path.exists(log):
            os.remove(log)
        for proxy, kind in ((self.ldap_proxy, "ldap-proxy"), (self.hsm_proxy, "hsm-proxy")):
            f = next((f for f in faults if f["kind"] == kind), None)
            proxy.arm(None if f is None else {"kind": f["mode"], "direction": f["direction"], "offset": f["offset"],
                                              "delay": f.get("delay", 0)})
        with open(self.hsm.fault_file, "w") as ff:
            for f in faults:
                if f["kind"] == "hsm-refuse":
                    ff.write("%s %s\n" % (f["op"], f["action"]))
                    f["fired"] = True
        for f in faults:
            if f["kind"] == "data-ro":
                run_root("mount", "--bind", self.data, self.data)
                run_root("mount", "-o", "remount,bind,ro", self.data)
                f["fired"] = True
        stall = sum(f.get("duration", 0) + f.get("delay", 0) + (f.get("restart_after") or 0) for f in faults)
        limit = (25 if self.fixed else 45) + stall + 3 * self.clean_seconds
        timed = [f for f in faults if f["kind"] not in ("ldap-proxy", "hsm-proxy", "hsm-refuse", "data-ro")]
        holder, launched, threads = [None, 0.0], threading.Event(), []
        for f in timed:
            th = threading.Thread(target=self.fault_thread, args=(f, holder, launched), daemon=True)
            th.start()
            threads.append(th)
            if f["t"] == 0.0 and not f["kind"].startswith("kv"):
                # Down (or full) before the program starts.
                end = time.time() + 20
                while not f.get("fired") and th.is_alive() and time.time() < end:
                    time.sleep(0.01)
        out = open(os.path.join(self.work, tag + ".out"), "wb")
        start = time.time()
        proc = subprocess.Popen([self.kelvasync, "--once"], env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
        holder[:] = [proc, start]
        launched.set()
        try:
            code = proc.wait(limit)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            code = "hang"
        elapsed = time.time() - start
        for f in faults:
            f.setdefault("fired", False)
            f["cycle_end"] = time.time()
        for th in threads:
            th.join(30)
        reports = {"ldap": self.ldap_proxy.disarm(), "hsm": self.hsm_proxy.disarm()}
        for f in faults:
            if f["kind"] in ("ldap-proxy", "hsm-proxy"):
                fault = reports[f["kind"][:4].rstrip("-")]["fault"]
                f["fired"] = bool(fault and fault["fired"])
                f["hit"] = {k: v for k, v in (fault or {}).items() if k not in ("kind", "direction", "offset")}
        try:
            log_bytes = open(log, "rb").read()
        except OSError:
            log_bytes = None
        out.close()
        return code, elapsed, log_bytes, reports

    def fault_thread(self, f, holder, launched):
        if f["t"] > 0.0 or f["kind"].startswith("kv"):
            launched.wait(60)
            time.sleep(max(0.0, holder[1] + max(f["t"], 0.02) - time.time()))
            if holder[0].poll() is not None:
                return  # the cycle ended first: the fault never came
        try:
            self.apply_fault(f, holder[0])
        except Exception as e:  # noqa: BLE001 - recorded; the oracle reads the state anyway
            f["error"] = repr(e)

    # -------------------------------------------------------------- the oracle
    def expected_exits(self, faults, views, before, after, code):
        """(allowed exit codes, certain failure?) for the faults that fired."""
        managed_before = any(MANAGED.match(u) for u in before["users"])
        allowed = {v.outcome(managed_before) for v in views}
        certain, known = False, None
        for f in faults:
            if not f.get("fired"):
                continue
            k = f["kind"]
            if k == "kv-kill":
                allowed.add(-9)
            elif k == "kv-term":
                allowed.add(7)  # --once stopped before its end
            elif k in ("slapd-kill", "slapd-restart", "group-during-read"):
                allowed.add(2)
                if k == "slapd-kill" and f["t"] == 0.0 and not f.get("restarted"):
                    certain = True
            elif k == "slapd-stop" and f["duration"] > SHORT_STALL:
                allowed.add(2)
            elif k in ("hsm-kill", "hsm-restart", "hsm-disk-full", "hsm-refuse"):
                allowed.add(3)
                if k == "hsm-kill" and f["t"] == 0.0 and not f.get("restarted"):
                    certain = True
            elif k == "hsm-stop" and f["duration"] > SHORT_STALL:
                allowed.add(3)
            elif k == "data-full":
                allowed.add(4)
                if f["free_pages"] == 0 and f["release_after"] is None and f["t"] == 0.0:
                    if self.fixed:
                        certain = True
                    elif code not in (4, -9):
                        known = "full-data-folder-exit"
            elif k == "data-ro":
                allowed = {4} | ({-9} if any(g["kind"] == "kv-kill" and g.get("fired") for g in faults) else set())
                certain = True
            elif k in ("ldap-proxy", "hsm-proxy"):
                hit = f["hit"]
                if f["mode"] == "delay" and f["delay"] <= SHORT_STALL:
                    continue
                allowed.add(2 if k == "ldap-proxy" else 3)
                if f["mode"] == "delay":
                    continue
                if k == "ldap-proxy" and hit.get("flights", 9) <= (2 if f["direction"] == "s2c" else 3):
                    certain = True  # a session cut before its StartTLS and bind could complete
                if k == "hsm-proxy" and hit.get("connection") != 2 and hit.get("op") not in (None, "logout"):
                    certain = True  # an answered request of the cycle lost (the 2nd session only reads addb)
        # A SIGTERM that comes before the program has taken over the stop
        # signals ends it by the signal's default action, before it has done
        # anything: sound (systemd counts it as a clean stop) as long as the
        # HSM is as it was.
        if any(f["kind"] == "kv-term" and f.get("fired") for f in faults) and after == before:
            allowed.add(-15)
        return allowed, certain, known

    def check(self, tag, code, log_bytes, faults, views, before, after, removal, last_complete, cont_ids,
              violations):
        def fail(rule, text, known=None):
            (violations if known is None else self.known_list).append((rule if known is None else known, text))

        users0, users1 = before["users"], after["users"]
        # Unmanaged users: exactly as seeded.
        for name, state in self.unmanaged.items():
            if users1.get(name) != state:
                fail("unmanaged", "%s: %s -> %s" % (name, state, users1.get(name)))
        for name in users1:
            if not MANAGED.match(name) and name not in self.unmanaged:
                fail("unmanaged", "unexpected user %s" % name)
        # Continuing members: in every view and in the group before.
        cont = set.intersection(*[v.ids for v in views]) & cont_ids
        for i in sorted(cont):
            if i in users0 and i not in users1:
                fail("continuing", "member %s removed" % i)
            elif i in users0 and users1[i][1] and not users0[i][1]:
                fail("continuing", "member %s blocked" % i)
        # Nobody blocked or removed unless some complete read left them out.
        complete = [v for v in views if v.complete and v.ids]
        for name, (mask, blocked) in users0.items():
            if not MANAGED.match(name):
                continue
            lost = name not in users1
            newly = not lost and users1[name][1] and not blocked
            if (lost or newly) and not any(name not in v.ids for v in complete):
                fail("wrongful", "%s %s without a complete read leaving it out" % (name, "removed" if lost else "blocked"))
            if lost and removal != "yes" or newly and removal != "block":
                fail("wrongful", "%s %s with removeusers=%s" % (name, "removed" if lost else "blocked", removal))
        # addb and addb_backup.
        lists = {addb_bytes(v.members) for v in complete}
        if code == 0:
            why = [self.mismatch(v, before, after, removal) for v in views]
            if None not in why:
                fail("match" if not tag.startswith("clean") else "convergence",
                     "exit 0 but the HSM matches no list the read could have seen: " + "; ".join(why))
        elif code == 2:
            for name in ("addb", "addb_backup"):
                if after[name] != before[name]:
                    fail("addb", "exit 2 but %s changed" % name)
        else:
            holders = {after["addb"], after["addb_backup"]}
            if not ({last_complete} | lists) & holders:
                fail("addb", "neither addb nor addb_backup holds the last complete list")
            if after["addb"] not in lists | {before["addb"], None}:
                fail("addb", "addb holds a list no complete read gave")
            # The backup step removes the old addb_backup before it renames
            # addb: cut in between, addb (still there) keeps the list.
            if after["addb_backup"] not in (before["addb_backup"], before["addb"], None):
                fail("addb", "addb_backup holds neither its old bytes nor the old addb")
        # Exit code.
        if tag.startswith("clean"):
            if code != 0:
                fail("convergence", "clean cycle exit %s" % code)
        else:
            allowed, certain, known = self.expected_exits(faults, views, before, after, code)
            hang_known = code == "hang" and not self.fixed and any(
                f["kind"] == "ldap-proxy" and f.get("fired") and f["mode"] == "blackhole" for f in faults)
            if code == "hang":
                fail("hang", "no end within the hard limit", "i29-directory-stall" if hang_known else None)
            elif code not in allowed:
                fail("exit-code", "exit %s, allowed %s" % (code, sorted(allowed, key=str)))
            elif code == 0 and certain:
                fail("exit-code", "exit 0 although a fault made the cycle fail")
            if known and code not in (4, -9, "hang"):
                fail("exit-code", "full data folder from the start gave exit %s" % code, "i29-" + known)
        # The log.
        if log_bytes:
            bad = []
            if not log_bytes.endswith(b"\r\n"):
                bad.append("ends inside a line: %r" % log_bytes[-80:])
            for line in log_bytes.split(b"\r\n")[:-1]:
                if not LOG_LINE.match(line) or HEADER.search(line, 10):
                    bad.append(repr(line[:160]))
            if bad:
                full = any(f["kind"] == "data-full" and f.get("fired") for f in faults)
                fail("log", "%d malformed: %s" % (len(bad), "; ".join(bad[:3])),
                     "i29-torn-log" if full and not self.fixed else None)

    def mismatch(self, view, before, after, removal):
        """Why the HSM does not match what a complete cycle over `view` leaves (None: it does)."""
        users = after["users"]
        for i in sorted(view.ids):
            if i not in users or users[i][1]:
                return "member %s %s" % (i, "missing" if i not in users else "blocked")
        for name, (mask, blocked) in sorted(users.items()):
            if MANAGED.match(name) and name not in view.ids and (removal == "yes" or not blocked):
                return "former member %s %s" % (name, "still there" if removal == "yes" else "not blocked")
        if view.members:
            backup = before["addb"] if before["addb"] is not None else before["addb_backup"]
            if after["addb"] != addb_bytes(view.members):
                return "addb is not the member list"
            if after["addb_backup"] != backup:
                return "addb_backup is not the previous addb"
        elif after["addb"] != before["addb"]:
            return "addb changed by an empty read"
        return None

    # -------------------------------------------------------------- rounds
    def cycle(self, tag, faults, views, removal, cont_ids, violations, record):
        before = self.hsm.snapshot()
        code, elapsed, log_bytes, reports = self.run_cycle(faults, removal, tag)
        self.undo_faults(faults)
        after = self.hsm.snapshot()
        self.counts["cycles"] += 1
        if tag == "fault" and any(f["kind"] == "group-during-read" for f in faults):
            views = views + [View(self.dir.truth())]
        self.check(tag, code, log_bytes, faults, views, before, after, removal, self.last_complete, cont_ids,
                   violations)
        if code == 0 and views[0].members:
            self.last_complete = after["addb"]
        elif after["addb"] != before["addb"] and after["addb"] in {addb_bytes(v.members) for v in views if v.complete}:
            self.last_complete = after["addb"]
        record[tag] = {"exit": code, "seconds": round(elapsed, 2), "faults": [
            {k: v for k, v in f.items() if k not in ("truth", "timer")} for f in faults],
            "before": before, "after": after, "log": log_bytes, "proxies": reports,
            "views": [{"members": v.members, "unreadable": v.unreadable} for v in views]}
        return code, elapsed

    def run(self):
        start = time.time()
        self.unmanaged = {n: s for n, s in self.hsm.snapshot()["users"].items() if not MANAGED.match(n)}
        self.known_list = []
        truth = self.dir.truth()
        self.last_complete = None
        violations = []
        record = {}
        code, elapsed = self.cycle("clean-initial", [], [View(truth)], "block", set(), violations, record)
        if code != 0 or violations:
            raise HarnessError("the first clean cycle failed (exit %s): %s\n%s" % (
                code, violations, (record["clean-initial"]["log"] or b"").decode("latin-1")))
        self.clean_seconds = elapsed
        r = 0
        while True:
            r += 1
            if self.max_rounds is not None and r > self.max_rounds:
                break
            if self.budget is not None and time.time() - start > self.budget:
                break
            self.one_round(r)
        return self.report(time.time() - start)

    def one_round(self, r):
        rng = random.Random("%d/%d" % (self.seed, r))
        removal = rng.choice(["yes", "block"])
        violations, record = [], {"seed": self.seed, "round": r, "removeusers": removal}
        known_before = len(self.known_list)
        truth0 = self.dir.truth()
        record["changes"] = self.changes(rng)
        truth1 = self.dir.truth()
        faults = self.choose_faults(rng)
        for f in faults:
            f["truth"] = truth1
            label = self.fault_label(f)
            self.counts["faults"][label] = self.counts["faults"].get(label, 0) + 1
        code, _ = self.cycle("fault", faults, [View(truth1)], removal, View(truth0).ids, violations, record)
        truth2 = self.dir.truth()
        truth3 = self.heal(rng)
        clean_code, elapsed = self.cycle("clean", [], [View(truth3)], removal, View(truth2).ids, violations, record)
        if clean_code == 0:
            self.clean_seconds = 0.7 * self.clean_seconds + 0.3 * elapsed
        self.counts["rounds"] += 1
        for rule, _ in violations:
            self.counts["violations"][rule] = self.counts["violations"].get(rule, 0) + 1
        for rule, _ in self.known_list[known_before:]:
            self.counts["known"][rule] = self.counts["known"].get(rule, 0) + 1
        print("round %d: %s; faults %s; exit %s, clean %s%s" % (
            r, ", ".join(record["changes"]) or "-",
            ", ".join("%s%s" % (self.fault_label(f), "" if f.get("fired") else "(not fired)") for f in faults) or "none",
            code, clean_code,
            "".join("\n  VIOLATION %s: %s" % v for v in violations) +
            "".join("\n  known %s: %s" % v for v in self.known_list[known_before:])), flush=True)
        if violations or len(self.known_list) > known_before or os.environ.get("KV_CHAOS_KEEP_ALL") == "1":
            self.keep(r, record, violations, self.known_list[known_before:])

    def keep(self, r, record, violations, known):
        folder = os.path.join(self.out_dir, "seed-%d-round-%d" % (self.seed, r))
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for tag in ("fault", "clean"):
            rec = record.get(tag)
            if not rec:
                continue
            with open(os.path.join(folder, tag + ".log"), "wb") as f:
                f.write(rec.pop("log") or b"")
            for side in ("before", "after"):
                for name in ("addb", "addb_backup"):
                    with open(os.path.join(folder, "%s-%s-%s.bin" % (tag, side, name)), "wb") as f:
                        f.write(rec[side][name] or b"<missing>")
                rec[side] = rec[side]["users"]
            for suffix in (".out",):
                src = os.path.join(self.work, tag + suffix)
                if os.path.exists(src):
                    shutil.copy(src, os.path.join(folder, tag + suffix))
        with open(os.path.join(folder, "round.json"), "w") as f:
            json.dump(record, f, indent=1, default=lambda o: o.decode("latin-1") if isinstance(o, bytes) else repr(o))
        with open(os.path.join(folder, "README"), "w") as f:
            f.write("violations:\n%s\nknown:\n%s\nreplay: KV_CHAOS_SEED=%d KV_CHAOS_ROUNDS=%d ctest --preset linux "
                    "-L chaos --output-on-failure\n" % ("\n".join("  %s: %s" % v for v in violations),
                                                         "\n".join("  %s: %s" % v for v in known), self.seed, r))
        self.reproducers.append(folder)

    def report(self, seconds):
        c = self.counts
        print("\nchaos: seed %d, %d rounds, %d cycles in %.0f s" % (self.seed, c["rounds"], c["cycles"], seconds))
        print("faults: " + ", ".join("%s %d" % kv for kv in sorted(c["faults"].items())))
        print("violations: " + (", ".join("%s %d" % kv for kv in sorted(c["violations"].items())) or "none"))
        if c["known"]:
            print("known (fixed on i29, not counted): " + ", ".join("%s %d" % kv for kv in sorted(c["known"].items())))
        for folder in self.reproducers:
            print("kept: " + folder)
        return 1 if c["violations"] else 0


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    kelvasync, emulator, passwd, out_dir = sys.argv[1:]
    os.makedirs(out_dir, exist_ok=True)
    campaign = None
    global SPAWNER
    SPAWNER = Spawner()
    try:
        campaign = Campaign(kelvasync, emulator, passwd, out_dir)
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
        return campaign.run()
    except HarnessError as e:
        print("chaos: harness failure (not a finding): %s" % e, flush=True)
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    finally:
        if campaign is not None:
            campaign.close()


if __name__ == "__main__":
    sys.exit(main())
