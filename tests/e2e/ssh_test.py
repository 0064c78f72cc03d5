#!/usr/bin/env python3
"""The agent run through a real ssh server, as a controlling tool runs it.

    python3 tests/e2e/ssh_test.py --agent build/native/brevok-file-agent

(or BREVOK_AGENT_BINARY=... instead of --agent). Needs root, sshd and ssh:
it creates a throwaway account whose home lies in a fresh temporary
directory, starts its own sshd on 127.0.0.1 on a free port with generated
keys, runs `ssh ... brevok-file-agent --stdio` with the request on standard
input (then closed), and stops that sshd by its pid at the end. Without root
or sshd the tests are skipped with the reason; BREVOK_SSH_REQUIRED=1 turns
that skip into a failure, so that CI cannot pass without running them.
"""
import base64
import hashlib
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

AGENT_NAME = "brevok-file-agent"
SSHD = "/usr/sbin/sshd"  # sshd insists on being started by its absolute path
CLIENT = Path(__file__).resolve().parents[2] / "examples" / "brevok-client.py"
MIB = 1024 * 1024
RESPONSE_MEMBERS = ["protocol", "ok", "operation", "replacements", "bytes", "binary",
                    "totalBytes", "data", "error"]
EDIT_MEMBERS = RESPONSE_MEMBERS[:-1] + ["diff", "error"]


def take_agent_option(argv):
    """Removes --agent PATH / --agent=PATH from argv; returns the path or None."""
    for i, arg in enumerate(argv):
        if arg == "--agent" and i + 1 < len(argv):
            path = argv[i + 1]
            del argv[i:i + 2]
            return path
        if arg.startswith("--agent="):
            del argv[i]
            return arg[len("--agent="):]
    return None


def request(**members):
    return json.dumps({"protocol": 1, **members}, ensure_ascii=False).encode("utf-8")


def response_line(operation, ok=True, replacements=0, bytes=0, total=None, data=None,
                  diff=None, error=None):
    """The exact line the agent writes: compact, members in its fixed order."""
    members = {"protocol": 1, "ok": ok, "operation": operation, "replacements": replacements,
               "bytes": bytes, "binary": False, "totalBytes": total, "data": data}
    if diff is not None:
        members["diff"] = diff
    members["error"] = error
    return (json.dumps(members, ensure_ascii=False, separators=(",", ":")) + "\n").encode("utf-8")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


class SshEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        agent = os.environ.get("BREVOK_AGENT_BINARY") if AGENT is None else AGENT
        missing = (
            "not root: creating an account and starting sshd need root" if os.geteuid() != 0 else
            f"{SSHD} is not installed" if not os.access(SSHD, os.X_OK) else
            "ssh or ssh-keygen is not installed" if not (shutil.which("ssh") and shutil.which("ssh-keygen")) else
            "no agent given (--agent PATH or BREVOK_AGENT_BINARY)" if not agent else
            f"agent {agent} is not an executable file" if not os.access(agent, os.X_OK) else None)
        if missing:
            if os.environ.get("BREVOK_SSH_REQUIRED") == "1":
                raise AssertionError(f"required but cannot run: {missing}")
            raise unittest.SkipTest(missing)

        cls.dir = Path(tempfile.mkdtemp(prefix="brevok-ssh-"))
        cls.addClassCleanup(shutil.rmtree, cls.dir, ignore_errors=True)
        # The account must reach its home and the agent's bin dir through it.
        cls.dir.chmod(0o755)
        bin_dir = cls.dir / "bin"
        bin_dir.mkdir(mode=0o755)
        shutil.copy(agent, bin_dir / AGENT_NAME)
        (bin_dir / AGENT_NAME).chmod(0o755)
        cls.agent = bin_dir / AGENT_NAME

        # A throwaway account. Its password field is '*' rather than useradd's
        # locking '!': without PAM, sshd refuses every login to a locked account.
        cls.user = f"brevok{os.getpid()}"
        cls.home = cls.dir / "home"
        run(["useradd", "--home-dir", str(cls.home), "--no-create-home", "--shell", "/bin/sh",
             "--password", "*", "--user-group", cls.user])
        cls.addClassCleanup(subprocess.run, ["userdel", cls.user], stderr=subprocess.DEVNULL)
        account = pwd.getpwnam(cls.user)
        cls.uid, cls.gid = account.pw_uid, account.pw_gid

        host_key = cls.dir / "host_ed25519"
        cls.key = cls.dir / "user_ed25519"
        for key in (host_key, cls.key):
            run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "", "-f", str(key)])
        # StrictModes stays on: sshd checks authorized_keys, ~/.ssh and the
        # home itself (owned by the account, not group- or world-writable) and
        # stops there, so the world-writable /tmp above does not matter.
        ssh_dir = cls.home / ".ssh"
        ssh_dir.mkdir(parents=True)
        shutil.copy(cls.key.with_suffix(".pub"), ssh_dir / "authorized_keys")
        for path, mode in ((cls.home, 0o755), (ssh_dir, 0o700), (ssh_dir / "authorized_keys", 0o600)):
            os.chown(path, cls.uid, cls.gid)
            path.chmod(mode)

        cls.port = free_port()
        config = cls.dir / "sshd_config"
        config.write_text("\n".join([
            "ListenAddress 127.0.0.1",
            f"Port {cls.port}",
            f"HostKey {host_key}",
            f"PidFile {cls.dir / 'sshd.pid'}",
            "AuthorizedKeysFile .ssh/authorized_keys",
            "PubkeyAuthentication yes",
            "PasswordAuthentication no",
            "KbdInteractiveAuthentication no",
            "UsePAM no",
            "PermitRootLogin no",
            "StrictModes yes",
            "AllowAgentForwarding no",
            "AllowTcpForwarding no",
            "X11Forwarding no",
            "PrintMotd no",
            f"AllowUsers {cls.user}",
            # The command `brevok-file-agent` is looked up on the remote PATH:
            # this puts the agent under test first.
            f"SetEnv PATH={bin_dir}:/usr/bin:/bin",
        ]) + "\n")
        Path("/run/sshd").mkdir(mode=0o755, exist_ok=True)  # privilege separation

        cls.sshd_log = open(cls.dir / "sshd.log", "wb")
        cls.addClassCleanup(cls.sshd_log.close)
        cls.sshd = subprocess.Popen([SSHD, "-D", "-e", "-f", str(config)],
                                    stdin=subprocess.DEVNULL, stdout=cls.sshd_log, stderr=cls.sshd_log)
        cls.addClassCleanup(cls.stop_sshd)
        deadline = time.monotonic() + 15
        while True:
            if cls.sshd.poll() is not None:
                raise AssertionError(f"sshd exited with {cls.sshd.returncode}: {cls.log()}")
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise AssertionError(f"sshd does not accept connections: {cls.log()}")
                time.sleep(0.05)

        cls.ssh_options = [
            "-F", "/dev/null", "-p", str(cls.port), "-i", str(cls.key),
            "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
            "-o", f"UserKnownHostsFile={cls.dir / 'known_hosts'}", "-o", "IdentitiesOnly=yes",
            "-o", "ForwardAgent=no", "-o", "LogLevel=ERROR"]
        first = cls.ssh_run([], b"", args=["--version"])
        if first.returncode != 0:
            raise AssertionError(f"cannot log in over ssh: {first.stderr!r}: {cls.log()}")

    @classmethod
    def stop_sshd(cls):
        cls.sshd.send_signal(signal.SIGTERM)
        try:
            cls.sshd.wait(timeout=10)
        except subprocess.TimeoutExpired:
            cls.sshd.kill()
            cls.sshd.wait()

    @classmethod
    def log(cls):
        return (cls.dir / "sshd.log").read_text(errors="replace")

    @classmethod
    def ssh_run(cls, extra, stdin, args=("--stdio",)):
        return subprocess.run(["ssh", *cls.ssh_options, *extra, f"{cls.user}@127.0.0.1", AGENT_NAME, *args],
                              input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)

    def ssh(self, stdin, args=("--stdio",)):
        return self.ssh_run([], stdin, args)

    def ssh_ok(self, stdin):
        """Runs one request that must be answered; returns the response line."""
        result = self.ssh(stdin)
        self.assertEqual((result.returncode, result.stderr), (0, b""), result.stdout[:500])
        return result.stdout

    def put(self, name, content):
        """A file in the account's home, owned by the account."""
        path = self.home / name
        path.write_bytes(content)
        os.chown(path, self.uid, self.gid)
        return path

    # --- "~/" is the remote account's HOME ---------------------------------

    def test_write_read_edit_under_the_accounts_home(self):
        content = 'alpha "beta"\nbeta \\ gamma é\n'
        size = len(content.encode())
        self.assertEqual(self.ssh_ok(request(operation="write", path="~/notes/a.txt", content=content,
                                             createDirs=True)),
                         response_line("write", bytes=size))
        written = self.home / "notes" / "a.txt"
        self.assertEqual(written.read_bytes(), content.encode())
        self.assertEqual(written.stat().st_uid, self.uid)  # written by the account itself

        self.assertEqual(self.ssh_ok(request(operation="readPreview", path="~/notes/a.txt")),
                         response_line("readPreview", bytes=size, total=size,
                                       data=base64.b64encode(content.encode()).decode()))

        changes = [{"line": line, "removed": "beta", "added": "δ\n"} for line in (1, 2)]
        self.assertEqual(self.ssh_ok(request(operation="edit", path="~/notes/a.txt", oldString="beta",
                                             newString="δ\n", replaceAll=True)),
                         response_line("edit", replacements=2, bytes=size + 2 * (3 - 4),
                                       diff={"changes": changes, "truncated": False}))
        self.assertEqual(written.read_bytes(), content.replace("beta", "δ\n").encode())

    def test_tilde_alone_is_the_home_directory(self):
        for path, resolved in (("~", f"{self.home}"), ("~/", f"{self.home}/")):
            with self.subTest(path=path):
                self.assertEqual(self.ssh_ok(request(operation="readPreview", path=path)),
                                 response_line("readPreview", ok=False,
                                               error=f"path is a directory: {resolved}"))

    # --- the response line arrives intact -----------------------------------

    def test_response_line_is_the_same_as_a_local_run(self):
        self.put("same.txt", 'x = "1"\r\n\ty = \\2 ü\n'.encode() * 3)
        cases = {
            "preview": request(operation="readPreview", path="~/same.txt", limit=2),
            # the file is rewritten unchanged, so both runs see the same file
            "edit": request(operation="edit", path="~/same.txt", oldString='"1"\r\n\t',
                            newString='"1"\r\n\t', replaceAll=True),
            "error with escapes": request(operation="readPreview", path='~/no "such"\\\tfile\n€'),
        }
        for name, req in cases.items():
            with self.subTest(name):
                remote = self.ssh_ok(req)
                local = subprocess.run([str(self.agent), "--stdio"], input=req, stdout=subprocess.PIPE,
                                       env={"HOME": str(self.home), "PATH": "/usr/bin:/bin"})
                self.assertEqual(remote, local.stdout)
                self.assertEqual(remote.count(b"\n"), 1)
                self.assertTrue(remote.endswith(b"\n"))
                members = [k for k, _ in json.loads(remote, object_pairs_hook=lambda pairs: pairs)]
                self.assertEqual(members, EDIT_MEMBERS if name == "edit" else RESPONSE_MEMBERS)

    # --- exit status and standard error pass through ssh --------------------

    def test_exit_status_and_output_through_ssh(self):
        cases = [
            # (name, arguments, stdin, exit status, stdout, start of stderr)
            ("refused argument", ["--bogus"], b"", 1, b"", b"brevok-file-agent: unknown argument: --bogus\n"),
            ("version", ["--version"], b"", 0, b"brevok-file-agent 4.0.0\n", b""),
            ("error response", ["--stdio"], request(operation="readPreview", path="~/missing.txt"), 0,
             response_line("readPreview", ok=False, error=f"stating remote file {self.home}/missing.txt"),
             b""),
            ("undecodable request", ["--stdio"], b'{"protocol":1', 1, b"",
             b"brevok-file-agent: decoding file-agent request: "),
        ]
        for name, args, stdin, status, stdout, stderr in cases:
            with self.subTest(name):
                result = self.ssh(stdin, args)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stdout, stdout)
                if stderr.endswith(b": "):  # the JSON library's own wording follows
                    self.assertTrue(result.stderr.startswith(stderr), result.stderr)
                    self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
                else:
                    self.assertEqual(result.stderr, stderr)

    # --- large requests and responses arrive whole -------------------------

    def test_large_request_arrives_whole(self):
        # Every kind of byte the request must escape or carry as UTF-8.
        line = 'say "hi" \\ back\\slash\ttab é ü 漢字 😀 \x01\x1f end\n'
        count = 60 * MIB // len(line.encode())
        # Built as bytes, one escaped line repeated: the text as a Python
        # string would take four bytes a character.
        escaped = json.dumps(line, ensure_ascii=False)[1:-1].encode()
        prefix = request(operation="write", path="~/large-request.txt", content="")[:-2]
        req = prefix + escaped * count + b'"}'
        self.assertGreaterEqual(len(req), 64 * MIB)
        expected = line.encode() * count
        self.assertEqual(self.ssh_ok(req), response_line("write", bytes=len(expected)))
        self.assertEqual(hashlib.sha256((self.home / "large-request.txt").read_bytes()).hexdigest(),
                         hashlib.sha256(expected).hexdigest())

    def test_large_response_arrives_whole(self):
        # 48 MiB of every byte value but NUL and line feed, in 1 MiB lines:
        # 64 MiB of Base64 in `data`.
        body = os.urandom(48 * MIB).translate(bytes.maketrans(b"\0\n", b"\1\2"))
        content = b"".join(body[i:i + MIB - 1] + b"\n" for i in range(0, len(body), MIB))
        self.put("large-response.bin", content)
        line = self.ssh_ok(request(operation="readPreview", path="~/large-response.bin", limit=100))
        self.assertEqual(line.count(b"\n"), 1)
        response = json.loads(line)
        self.assertGreaterEqual(len(response["data"]), 64 * MIB - 64)
        self.assertEqual((response["totalBytes"], response["binary"]), (len(content), False))
        self.assertTrue(base64.b64decode(response["data"], validate=True) == content)

    # --- the example client over the same ssh ------------------------------

    def client(self, *args):
        options = [f"Port={self.port}", f"IdentityFile={self.key}", "BatchMode=yes",
                   "StrictHostKeyChecking=no", f"UserKnownHostsFile={self.dir / 'known_hosts'}",
                   "IdentitiesOnly=yes", "LogLevel=ERROR"]
        command = [sys.executable, str(CLIENT), "--ssh", f"{self.user}@127.0.0.1"]
        for option in options:
            command += ["--ssh-option", option]
        return subprocess.run(command + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=60)

    def test_example_client(self):
        self.put("client.txt", b"one\ntwo\ntwo\n")
        cases = [
            ("read", ["read", "~/client.txt", "--limit", "2"], 0,
             "ok (readPreview)\n8 of 12 bytes:\none\ntwo\nexit status: 0\n"),
            ("edit not unique", ["edit", "~/client.txt", "--old", "two", "--new", "2"], 2,
             "error (edit): oldString is not unique (found 2 occurrences); set replaceAll=true\n"
             "exit status: 0\n"),
            ("edit", ["edit", "~/client.txt", "--old", "two", "--new", "2", "--replace-all"], 0,
             "ok (edit)\n2 replacement(s), file now 8 bytes\n"
             "  line 2: 'two' → '2'\n  line 3: 'two' → '2'\nexit status: 0\n"),
            ("missing file", ["read", "~/nothing"], 2,
             f"error (readPreview): stating remote file {self.home}/nothing\nexit status: 0\n"),
        ]
        for name, args, status, output in cases:
            with self.subTest(name):
                result = self.client(*args)
                self.assertEqual((result.returncode, result.stdout.decode(), result.stderr),
                                 (status, output, b""))
        self.assertEqual((self.home / "client.txt").read_bytes(), b"one\n2\n2\n")


AGENT = None

if __name__ == "__main__":
    AGENT = take_agent_option(sys.argv)
    unittest.main(verbosity=2)
