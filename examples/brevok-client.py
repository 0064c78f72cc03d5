#!/usr/bin/env python3
"""Try brevok-file-agent by hand, on this machine or over ssh.

Builds one request from the command line, runs the agent as a controlling
tool does (request on standard input, which is then closed; one response
line back), and prints the answer readably, followed by the exit status of
the agent (or of ssh, which passes the agent's on).

  brevok-client.py read '~/notes.txt' --limit 20
  brevok-client.py --ssh me@host write '~/hello.txt' --content 'hello' --create-dirs
  brevok-client.py --ssh me@host --ssh-option Port=2222 edit '~/hello.txt' --old hello --new bye
  brevok-client.py --ssh me@host --agent '~/bin/brevok-file-agent' read '~/hello.txt'
"""
import argparse
import base64
import json
import os
import re
import shlex
import subprocess
import sys

USAGE_ERROR = 64  # sysexits' EX_USAGE: apart from 2, which means ok false

EPILOG = """exit status: the agent's (or ssh's) exit status when it is not 0;
otherwise 2 when the response says ok false, 1 when no readable response
line came back, 127 when the command cannot be started, 64 for a usage
error (the request is then not sent), and 0 for a successful request.
Each command lists its own flags: brevok-client.py COMMAND --help."""

PATH_HELP = ("the file on the agent's machine; ~ and ~/... are resolved by the agent "
             "against its HOME (quote them, so that no local shell expands them)")


class Refusal(Exception):
    """A command line the client will not turn into a request."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message}\n")


def line_count(text):
    """The agent takes offset and limit as unsigned 64-bit integers."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    if value >= 2**64:
        raise argparse.ArgumentTypeError(f"must be at most {2**64 - 1}: {value}")
    return value


def parse_args(argv):
    p = Parser(description=__doc__.split("\n\n")[0], epilog=EPILOG)
    p.add_argument("--ssh", metavar="USER@HOST",
                   help="run the agent on this host: ssh USER@HOST AGENT --stdio")
    p.add_argument("--ssh-option", metavar="OPT", action="append", default=[],
                   help="passed to ssh as -o OPT (e.g. Port=2222, IdentityFile=KEY); repeatable")
    p.add_argument("--agent", default="brevok-file-agent", metavar="PATH",
                   help="the agent's command (default: brevok-file-agent, found on PATH); "
                        "a leading ~/ means the home directory of the machine it runs on")
    p.add_argument("--raw", action="store_true", help="print the response line as received")
    ops = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    read = ops.add_parser("read", help="preview the head of a file (readPreview)",
                          description="The preview always starts at the file's first line; "
                                      "it ends with line OFFSET+LIMIT-1.")
    read.add_argument("path", help=PATH_HELP)
    read.add_argument("--offset", type=line_count,
                      help="moves the preview's end, not its start: the agent sends lines 1 "
                           "to OFFSET+LIMIT-1 (default 1; 0 counts as 1)")
    read.add_argument("--limit", type=line_count,
                      help="with --offset, where the preview ends: the agent sends lines 1 "
                           "to OFFSET+LIMIT-1 (default 2000)")
    write = ops.add_parser("write", help="replace a whole file (write)")
    write.add_argument("path", help=PATH_HELP)
    source = write.add_mutually_exclusive_group(required=True)
    source.add_argument("--content", help="the file's new content, which the agent writes exactly")
    source.add_argument("--from-file", metavar="FILE",
                        help="take the new content from the local FILE, which must be UTF-8 "
                             "(the request carries text only)")
    write.add_argument("--create-dirs", action="store_true",
                       help="the agent creates the file's missing parent directories")
    edit = ops.add_parser("edit", help="replace an exact string in a file (edit)")
    edit.add_argument("path", help=PATH_HELP)
    edit.add_argument("--old", required=True,
                      help="the text the agent finds, byte for byte; it must occur exactly once "
                           "unless --replace-all")
    edit.add_argument("--new", required=True, help="the text the agent puts in its place")
    edit.add_argument("--replace-all", action="store_true",
                      help="the agent replaces every occurrence of --old")
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
            try:
                with open(args.from_file, "rb") as f:
                    content = f.read().decode("utf-8")  # the protocol carries text only
            except OSError as e:
                raise Refusal(f"cannot read {args.from_file}: {e.strerror}") from None
            except UnicodeDecodeError as e:
                raise Refusal(f"{args.from_file} is not UTF-8 (byte {e.start}); "
                              "the request carries text only") from None
        request = {"protocol": 1, "operation": "write", "path": args.path,
                   "content": content, "createDirs": args.create_dirs}
    else:
        request = {"protocol": 1, "operation": "edit", "path": args.path,
                   "oldString": args.old, "newString": args.new, "replaceAll": args.replace_all}
    return json.dumps(request, ensure_ascii=False).encode("utf-8")


def agent_command(args):
    if args.ssh is None:
        return [os.path.expanduser(args.agent), "--stdio"]
    options = [arg for opt in args.ssh_option for arg in ("-o", opt)]
    # ssh hands the remote shell one command line: quote the agent's path
    # for it, all but a leading ~/ (or ~user/), which the remote shell is to
    # expand to a home directory there.
    home, rest = re.fullmatch(r"(~[\w.-]*/)?(.*)", args.agent, re.S).groups()
    command = (home or "") + (shlex.quote(rest) if rest or not home else "")
    return ["ssh", *options, args.ssh, command + " --stdio"]


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
    try:
        request = build_request(args)
    except Refusal as e:
        print(f"brevok-client: {e}", file=sys.stderr)
        return USAGE_ERROR
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
