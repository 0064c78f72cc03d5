#!/usr/bin/env python3
"""Try brevok-file-agent by hand, on this machine or over ssh.

Builds one request from the command line, runs the agent as a controlling
tool does (request on standard input, which is then closed; one response
line back), and prints the answer readably, followed by the exit status of
the agent (or of ssh, which passes the agent's on).

  brevok-client.py read ~/notes.txt --limit 20
  brevok-client.py --ssh me@host write ~/hello.txt --content 'hello' --create-dirs
  brevok-client.py --ssh me@host --ssh-option Port=2222 edit ~/hello.txt --old hello --new bye
"""
import argparse
import base64
import json
import shlex
import subprocess
import sys

EPILOG = """exit status: the agent's (or ssh's) exit status when it is not 0;
otherwise 2 when the response says ok false, 1 when no readable response
line came back, 127 when the command cannot be started, and 0 for a
successful request."""


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], epilog=EPILOG)
    p.add_argument("--ssh", metavar="USER@HOST", help="run the agent on this host over ssh")
    p.add_argument("--ssh-option", metavar="OPT", action="append", default=[],
                   help="passed to ssh as -o OPT (e.g. Port=2222, IdentityFile=KEY); repeatable")
    p.add_argument("--agent", default="brevok-file-agent",
                   help="the agent's command (default: brevok-file-agent, found on PATH)")
    p.add_argument("--raw", action="store_true", help="print the response line as received")
    ops = p.add_subparsers(dest="command", required=True)
    read = ops.add_parser("read", help="preview the head of a file (readPreview)")
    read.add_argument("path")
    read.add_argument("--offset", type=int)
    read.add_argument("--limit", type=int, help="lines (default 2000, counted from offset)")
    write = ops.add_parser("write", help="replace a whole file")
    write.add_argument("path")
    source = write.add_mutually_exclusive_group(required=True)
    source.add_argument("--content", help="the new content")
    source.add_argument("--from-file", metavar="FILE", help="take the new content from FILE (UTF-8)")
    write.add_argument("--create-dirs", action="store_true", help="create missing parent directories")
    edit = ops.add_parser("edit", help="replace an exact string in a file")
    edit.add_argument("path")
    edit.add_argument("--old", required=True, help="the text to replace")
    edit.add_argument("--new", required=True, help="its replacement")
    edit.add_argument("--replace-all", action="store_true", help="replace every occurrence")
    return p.parse_args(argv)


def build_request(args):
    if args.command == "read":
        request = {"protocol": 1, "operation": "readPreview", "path": args.path}
        for name in ("offset", "limit"):
            if getattr(args, name) is not None:
                request[name] = getattr(args, name)
    elif args.command == "write":
        content = args.content
        if args.from_file is not None:
            with open(args.from_file, "rb") as f:
                content = f.read().decode("utf-8")  # the protocol carries text only
        request = {"protocol": 1, "operation": "write", "path": args.path,
                   "content": content, "createDirs": args.create_dirs}
    else:
        request = {"protocol": 1, "operation": "edit", "path": args.path,
                   "oldString": args.old, "newString": args.new, "replaceAll": args.replace_all}
    return json.dumps(request, ensure_ascii=False).encode("utf-8")


def agent_command(args):
    if args.ssh is None:
        return [args.agent, "--stdio"]
    options = [arg for opt in args.ssh_option for arg in ("-o", opt)]
    # ssh hands the remote shell one command line: quote the agent's path for it.
    return ["ssh", *options, args.ssh, shlex.quote(args.agent) + " --stdio"]


def show(response, out):
    """Prints a decoded response; returns this client's status for it."""
    op = response.get("operation")
    if not response.get("ok"):
        print(f"error ({op}): {response.get('error')}", file=out)
        return 2
    print(f"ok ({op})", file=out)
    if op == "readPreview":
        if response["binary"]:
            print(f"binary file, {response['totalBytes']} bytes", file=out)
        else:
            data = base64.b64decode(response["data"])
            print(f"{len(data)} of {response['totalBytes']} bytes:", file=out)
            out.flush()
            out.buffer.write(data if data.endswith(b"\n") or not data else data + b"\n")
            out.buffer.flush()
    elif op == "write":
        print(f"wrote {response['bytes']} bytes", file=out)
    elif op == "edit":
        print(f"{response['replacements']} replacement(s), file now {response['bytes']} bytes", file=out)
        for change in response["diff"]["changes"]:
            print(f"  line {change['line']}: {change['removed']!r} → {change['added']!r}", file=out)
        if response["diff"]["truncated"]:
            print("  (more changes, or longer texts, than shown)", file=out)
    return 0


def main(argv):
    args = parse_args(argv)
    request = build_request(args)
    # The agent's standard error (or ssh's) passes straight through.
    try:
        run = subprocess.run(agent_command(args), input=request, stdout=subprocess.PIPE)
    except OSError as e:
        print(f"brevok-client: cannot run {e.filename}: {e.strerror}", file=sys.stderr)
        return 127
    out = sys.stdout
    line = run.stdout
    if args.raw:
        out.buffer.write(line)
        out.buffer.flush()
    try:
        response = json.loads(line)
        status = 0 if response["ok"] else 2
        if not args.raw:
            status = show(response, out)
    except (ValueError, KeyError, TypeError) as e:
        if not args.raw:
            print(f"no readable response ({e}): {line[:200]!r}" if line else "no response", file=out)
        status = 1
    print(f"exit status: {run.returncode}", file=out)
    return run.returncode or status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
