#!/usr/bin/env python3
"""Writes the manual page sfxpack(1) from the program's own --help, for the
program and for every command it lists, so that each command and option
the program knows is on the page, and from a file of hand-written sections
(examples, exit status, environment, ...).

Usage: make_manpage.py PROGRAM EXTRA_SECTIONS VERSION OUTPUT

EXTRA_SECTIONS is roff, cut into sections by lines "[NAME]". A section
named after a command is added to that command's part of COMMANDS,
"[DESCRIPTION]" follows the program's own description, and any other
section becomes a section of the page, in the file's order."""
import re
import subprocess
import sys


def help_of(program, *command):
    r = subprocess.run([program, *command, "--help"], capture_output=True, text=True, check=False)
    if r.returncode != 0 or not r.stdout.strip():
        sys.exit(f"make_manpage: '{' '.join([program, *command])} --help' failed: {r.stderr}")
    return r.stdout


def parse_help(text):
    """The summary, the usage line and the help's groups, in order:
    [(title, [(names, description)])]. An item's description may sit on
    its own line, indented, and may continue on further indented lines."""
    lines = text.rstrip("\n").split("\n")
    summary, usage, groups, trailer = [], "", [], []
    current = None
    for line in lines:
        if line.startswith("Usage: "):
            usage = line[len("Usage: "):].strip()
        elif re.match(r"^[A-Z][A-Za-z ]*:$", line):
            current = (line[:-1], [])
            groups.append(current)
        elif not line.strip():
            continue
        elif current is None:
            summary.append(line.strip())
        elif re.match(r"^ {1,4}\S", line):
            names, _, description = re.split(r"(\s{2,}|$)", line.strip(), maxsplit=1)
            current[1].append([names, description.strip()])
        elif line.startswith("     ") and current[1]:
            item = current[1][-1]
            item[1] = (item[1] + " " + line.strip()).strip()
        else:
            trailer.append(line.strip())
            current = None
    if not usage:
        sys.exit("make_manpage: no usage line in the help")
    return " ".join(summary), usage, groups, trailer


def roff(text):
    """Plain text as roff: backslashes and minus signs escaped, no line
    taken for a request."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\n".join("\\&" + line if line[:1] in ".'" else line for line in text.split("\n"))


def option_heading(names):
    """'-o,--output TEXT REQUIRED' -> bold names, the rest in italics."""
    first, _, rest = names.partition(" ")
    heading = ", ".join(f"\\fB{roff(n)}\\fR" for n in first.split(","))
    return heading + (f" \\fI{roff(rest)}\\fR" if rest else "")


def items(groups):
    out = []
    for title, entries in groups:
        if title == "Commands":
            continue
        for names, description in entries:
            out += [".TP", option_heading(names), roff(description)]
    return out


def extra_sections(path):
    sections, name = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"^\[([^\]]+)\]\s*$", line)
            if m:
                name = m.group(1)
                if name in sections:
                    sys.exit(f"make_manpage: section [{name}] given twice in {path}")
                sections[name] = []
            elif name is not None:
                sections[name].append(line.rstrip("\n"))
            elif line.strip() and not line.startswith('.\\"'):
                sys.exit(f"make_manpage: text before the first section in {path}")
    return {k: "\n".join(v).strip("\n") for k, v in sections.items()}


def main():
    program, extra_path, version, output = sys.argv[1:5]
    summary, usage, groups, trailer = parse_help(help_of(program))
    commands = [names for title, entries in groups if title == "Commands" for names, _ in entries]
    if not commands:
        sys.exit("make_manpage: the help lists no commands")
    extra = extra_sections(extra_path)
    unknown = [n for n in extra if n.islower() and n not in commands]
    if unknown:
        sys.exit(f"make_manpage: {extra_path} has sections for unknown commands: {unknown}")

    page = ['.\\" Made by make_manpage.py from sfxpack --help; do not edit.',
            f'.TH SFXPACK 1 "" "sfxpack {version}" "User Commands"',
            ".SH NAME",
            "sfxpack \\- " + roff(summary[:1].lower() + summary[1:].rstrip(".")),
            ".SH SYNOPSIS",
            ".nf",
            roff(usage)]
    command_parts = []
    for command in commands:
        c_summary, c_usage, c_groups, c_trailer = parse_help(help_of(program, command))
        page.append(roff(c_usage))
        command_parts += [f".SS {roff(command)}", roff(c_summary), ".PP", f"\\fB{roff(c_usage)}\\fR"]
        command_parts += items(c_groups)
        if c_trailer:
            command_parts += [".PP", roff(" ".join(c_trailer))]
        if command in extra:
            command_parts += [".PP", extra[command]]
    page += [".fi", ".SH DESCRIPTION", roff(summary)]
    if "DESCRIPTION" in extra:
        page += [".PP", extra["DESCRIPTION"]]
    page += [".SH OPTIONS"] + items(groups)
    if trailer:
        page += [".PP", roff(" ".join(trailer))]
    page += [".SH COMMANDS"] + command_parts
    for name, text in extra.items():
        if name != "DESCRIPTION" and name not in commands:
            page += [f".SH {name}", text]
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main()
