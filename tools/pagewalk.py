#!/usr/bin/python3
"""Opens a page in QtWebKit, a real NPAPI engine, and runs its walk-through.

  pagewalk.py PAGE PASSWORD VALUE MESSAGE

The page's script calls the plug-in; what it returns is printed.
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qtbrowser import Browser  # noqa: E402


def main():
    page, password, value, message = sys.argv[1:5]
    browser = Browser(url="file://" + os.path.abspath(page))
    args = ", ".join(json.dumps(a) for a in (password, value, message))
    print(browser.evaluate("walk(%s)" % args))


if __name__ == "__main__":
    main()
