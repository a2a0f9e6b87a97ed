#!/usr/bin/python3
"""Calls the plug-in in QtWebKit, a real NPAPI engine, from the command line.

  plugincalls.py '[["InitPassword", "pw"], ["GetSN"]]'

Prints the results as a JSON list. Needs an X server and
QTWEBKIT_PLUGIN_PATH, as tools/qtbrowser.py does.
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qtbrowser import CALL_SCRIPT, Browser  # noqa: E402

PAGE = ('<html><body><embed id="key" type="application/bhrb-usbkey" width="1" height="1">'
        + CALL_SCRIPT + "</body></html>")


def main():
    calls = json.loads(sys.argv[1])
    browser = Browser(html=PAGE)
    results = []
    for method, *args in calls:
        expression = "document.getElementById('key').%s(%s)" % (method, ", ".join(json.dumps(a) for a in args))
        results.append(browser.call(expression))
    print(json.dumps(results))


if __name__ == "__main__":
    main()
