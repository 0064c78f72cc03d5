#!/usr/bin/env python3
"""ssh_test.py --agent PATH: the agent through a real sshd (its own, on 127.0.0.1 on a free port, stopped by
its pid) and a throwaway account. Needs root and sshd: skipped without, failed if BREVOK_SSH_REQUIRED=1."""
import json, os, pwd, shutil, socket, subprocess, sys, tempfile, time
from pathlib import Path

SSHD = "/usr/sbin/sshd"  # started by its absolute path, as sshd demands
if os.geteuid() != 0 or not os.access(SSHD, os.X_OK):
    print(f"skipped: needs root and {SSHD}")
    sys.exit(1 if os.environ.get("BREVOK_SSH_REQUIRED") == "1" else 0)
top, user = Path(tempfile.mkdtemp(prefix="brevok-ssh-")), f"brevok{os.getpid()}"
home, keys = top / "home", top / "home" / ".ssh" / "authorized_keys"
top.chmod(0o755)
os.umask(0o022)
shutil.copy(sys.argv[sys.argv.index("--agent") + 1], top / "brevok-file-agent")
for key in ("host", "user"):
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(top / key)], check=True)
with socket.socket() as s:
    port = s.bind(("127.0.0.1", 0)) or s.getsockname()[1]
(top / "sshd_config").write_text(f"ListenAddress 127.0.0.1\nPort {port}\nHostKey {top}/host\nUsePAM no\n"
                                 f"PidFile {top}/pid\nAllowUsers {user}\nSetEnv PATH={top}:/usr/bin:/bin\n")
Path("/run/sshd").mkdir(mode=0o755, exist_ok=True)  # privilege separation
# Password '*' rather than useradd's locking '!': without PAM sshd refuses a locked account.
subprocess.run(["useradd", "-d", str(home), "-s", "/bin/sh", "-p", "*", "-M", "-U", user], check=True)
sshd = subprocess.Popen([SSHD, "-D", "-e", "-f", f"{top}/sshd_config"], stderr=open(top / "log", "wb"))
try:
    account = pwd.getpwnam(user)
    keys.parent.mkdir(parents=True)
    shutil.copy(top / "user.pub", keys)
    for path in (home, keys.parent, keys):  # what sshd's StrictModes checks: the account's, not writable to others
        os.chown(path, account.pw_uid, account.pw_gid)
    while socket.socket().connect_ex(("127.0.0.1", port)):  # until sshd listens
        assert sshd.poll() is None, (top / "log").read_text()
        time.sleep(0.05)
    ssh = ["ssh", "-F", "/dev/null", "-p", str(port), "-i", f"{top}/user", "-o", "BatchMode=yes", "-o",
           "StrictHostKeyChecking=no", "-o", f"UserKnownHostsFile={top}/known", "-o", "LogLevel=ERROR",
           f"{user}@127.0.0.1", "brevok-file-agent", "--stdio"]
    answer = '{{"protocol":1,"ok":true,"operation":"{}","replacements":{},"bytes":{},"binary":false,' \
             '"totalBytes":{},"data":{},{}"error":null}}\n'
    for request, line in (
        ({"operation": "write", "path": "~/d/a", "content": 'one "two"\ntwo é\n', "createDirs": True},
         answer.format("write", 0, 17, "null", "null", "")),
        ({"operation": "readPreview", "path": "~/d/a", "limit": 1},
         answer.format("readPreview", 0, 17, 17, '"b25lICJ0d28iCg=="', "")),
        ({"operation": "edit", "path": "~/d/a", "oldString": "two", "newString": "2", "replaceAll": True},
         answer.format("edit", 2, 13, "null", "null", '"diff":{"changes":[{"line":1,"removed":"two","added":"2"},'
                       '{"line":2,"removed":"two","added":"2"}],"truncated":false},'))):
        r = subprocess.run(ssh, input=json.dumps({"protocol": 1, **request}).encode(), capture_output=True, timeout=60)
        assert (r.returncode, r.stdout.decode(), r.stderr) == (0, line, b""), (r, line)
    assert (home / "d/a").read_bytes() == 'one "2"\n2 é\n'.encode() and (home / "d/a").stat().st_uid == account.pw_uid
finally:
    sshd.terminate()
    sshd.wait()
    subprocess.run(["userdel", user])
    shutil.rmtree(top, ignore_errors=True)
