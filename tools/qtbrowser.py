"""A real NPAPI engine for our scripts and tests: one QtWebKit page, loaded
once, whose script expressions can be evaluated from Python.

Needs an X server (xvfb-run) and QTWEBKIT_PLUGIN_PATH naming the folder
that holds nptallykey.so.
"""
import json
import sys

from PyQt5.QtCore import QTimer, QUrl
from PyQt5.QtWidgets import QApplication
from PyQt5.QtWebKit import QWebSettings
from PyQt5.QtWebKitWidgets import QWebView

# Evaluates an expression in the page; a thrown error comes back as data.
CALL_SCRIPT = """<script>
function call(expression) {
  try { return JSON.stringify({value: eval(expression)}); }
  catch (e) { return JSON.stringify({error: String(e)}); }
}
</script>"""


class ScriptError(Exception):
    pass


class Browser:
    def __init__(self, html=None, url=None):
        self.argv = sys.argv[:1]  # Qt keeps a reference to it
        self.app = QApplication(self.argv)
        settings = QWebSettings.globalSettings()
        settings.setAttribute(QWebSettings.PluginsEnabled, True)
        settings.setAttribute(QWebSettings.JavascriptEnabled, True)
        self.view = QWebView()
        self.loaded = []
        self.view.loadFinished.connect(self._loaded)
        if url:
            self.view.load(QUrl(url))
        else:
            self.view.setHtml(html, QUrl("file:///"))
        # The engine may finish loading before the event loop runs, where a
        # direct quit() would be lost; a queued one is not. Bounded too.
        QTimer.singleShot(30000, self.app.quit)
        if not self.loaded:
            self.app.exec_()
        if self.loaded != [True]:
            raise RuntimeError("the page did not load")

    def _loaded(self, ok):
        self.loaded.append(ok)
        QTimer.singleShot(0, self.app.quit)

    def evaluate(self, script):
        return self.view.page().mainFrame().evaluateJavaScript(script)

    def call(self, expression):
        """The value of a page-script expression (the page must include CALL_SCRIPT)."""
        answer = json.loads(self.evaluate("call(%s)" % json.dumps(expression)))
        if "error" in answer:
            raise ScriptError(answer["error"])
        value = answer.get("value")
        return int(value) if isinstance(value, float) and value.is_integer() else value
