"""What the tests that drive real Windows tools under Wine share: running a
program through tools/wine.sh, and the facts that differ between the two
architectures in a 64-bit prefix with WOW64 (system folder, registry view,
type-library platform). TALLYKEY_ARCH names the build under test (win32 or
win64); TALLYKEY_WINE is tools/wine.sh.
"""
import os
import subprocess

WINE = os.environ["TALLYKEY_WINE"]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*args, env=None, check=False, timeout=120):
    result = subprocess.run([WINE, "run", *args], capture_output=True, text=True, errors="replace",
                            env=dict(os.environ, **(env or {})), timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError(f"{args}: exit {result.returncode}: {result.stderr}")
    return result


class Arch:
    """One architecture's view of a 64-bit Windows."""

    def __init__(self, name):
        assert name in ("win32", "win64"), name
        self.name = name
        self.is_32bit = name == "win32"
        # Where its system DLLs and tools lie on disk; a 32-bit process calls
        # this folder system32 too (file-system redirection).
        self.system_folder = "syswow64" if self.is_32bit else "system32"
        self.typelib_platform = name
        # The Program Files folder a process of this architecture sees.
        self.program_files = "Program Files (x86)" if self.is_32bit else "Program Files"
        # The 64-bit view's name for its HKLM\SOFTWARE.
        self.software_key = "SOFTWARE\\Wow6432Node" if self.is_32bit else "SOFTWARE"

    def tool(self, name):
        """A system tool of this architecture, as Windows starts it."""
        return f"C:\\windows\\{self.system_folder}\\{name}.exe"

    def system_dir(self, wine_dir):
        return os.path.join(wine_dir, "prefix", "drive_c", "windows", self.system_folder)

    def other(self):
        return Arch("win64" if self.is_32bit else "win32")

    def reg_query(self, key, *args, env=None):
        """reg query as a process of this architecture sees the registry."""
        return wine(self.tool("reg"), "query", key, *args, env=env)

    def reg_tree(self, key, env=None):
        """The key's tree as {subkey path: {value name: data}}, or None when
        missing. Paths under HKEY_CLASSES_ROOT lose that prefix."""
        result = self.reg_query(key, "/s", env=env)
        if result.returncode != 0:
            return None
        tree, current = {}, None
        for line in result.stdout.replace("\r", "").splitlines():
            if line.startswith("HKEY_"):
                current = line[len("HKEY_CLASSES_ROOT\\"):] if line.startswith("HKEY_CLASSES_ROOT") else line
                tree[current] = {}
            elif line.strip() and current is not None:
                parts = line.strip().split(None, 2)
                tree[current][parts[0]] = parts[2] if len(parts) > 2 else ""
        return tree

    def register(self, dll, undo=False, env=None):
        """The registration tool of this architecture on a DLL; its exit code."""
        return wine(self.tool("regsvr32"), "/s", *(["/u"] if undo else []), windows_path(dll), env=env).returncode


ARCH = Arch(os.environ.get("TALLYKEY_ARCH", "win64"))
