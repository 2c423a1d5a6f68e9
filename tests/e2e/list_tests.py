#!/usr/bin/python3
"""Prints Class.method of every test that `python3 FILE` runs, one a line: CTest runs each
on its own (tests/CMakeLists.txt). The file is imported, not run, so nothing starts."""

import importlib
import os
import sys
import unittest


def tests_of(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from tests_of(item)
        else:
            yield item


def main(path):
    sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
    module = importlib.import_module(os.path.splitext(os.path.basename(path))[0])
    for test in tests_of(unittest.defaultTestLoader.loadTestsFromModule(module)):
        print(test.id().split(".", 1)[1])


if __name__ == "__main__":
    main(sys.argv[1])
