#!/usr/bin/env python3
"""Checks the manual page made from sfxpack's --help: each command and each
option that the program's help shows is in the page's part for it, and man
reads the page without a warning.
Usage: test_manpage.py SFXPACK PAGE"""
import os
import re
import subprocess
import sys
import unittest

SFXPACK, PAGE = sys.argv[1:3]


def help_text(*command):
    return subprocess.run([SFXPACK, *command, "--help"], capture_output=True, text=True,
                          check=True).stdout


def page_parts():
    """The page's text without font changes and with plain minus signs, cut
    at its section and subsection headings: {heading: text}."""
    with open(PAGE, encoding="utf-8") as f:
        text = re.sub(r"\\f[BIRP]", "", f.read()).replace("\\-", "-")
    parts = re.split(r"^\.S[HS] (.*)$", text, flags=re.M)
    return dict(zip(parts[1::2], parts[2::2]))


class ManPage(unittest.TestCase):
    def test_every_command_and_option(self):
        parts = page_parts()
        top = help_text()
        commands = re.findall(r"^ +([a-z][\w-]*) ", top.split("Commands:")[1], re.M)
        self.assertIn("create", commands)
        for command in [None] + commands:
            text = help_text(command) if command else top
            part = parts.get(command or "OPTIONS", "")
            options = set(re.findall(r"(?<![\w-])(--?[A-Za-z][\w-]*)", text))
            self.assertIn("--help", options)
            for option in options:
                with self.subTest(command=command, option=option):
                    self.assertRegex(part, r"(?<![\w-])" + re.escape(option) + r"(?![\w-])")

    def test_man_reads_it_without_warnings(self):
        r = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", PAGE],
                           capture_output=True, text=True, env=dict(os.environ, MANWIDTH="80"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
