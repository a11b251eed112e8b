"""Builds the Windows .zip from a built tree and checks what it holds: the
program, the licence and a README of its own for Windows users, both as
Windows text files, and the Python client, which finds the program beside
it.

usage: zip_test.py BUILD_DIR
"""
import glob
import os
import subprocess
import sys
import tempfile
import zipfile

build = sys.argv[1]
with tempfile.TemporaryDirectory(prefix="appduck-zip.") as out:
    subprocess.run(["cpack", "--config", build + "/CPackConfig.cmake", "-G", "ZIP", "-B", out],
                   check=True, stdout=subprocess.DEVNULL)
    (package,) = glob.glob(out + "/appduck-*-win64.zip")
    archive = zipfile.ZipFile(package)
    top = {name.split("/", 1)[1]: name for name in archive.namelist()}
    files = sorted(name for name in top if not name.endswith("/"))
    client = ["python/appduck/%s" % name for name in
              ("__init__.py", "_async.py", "_client.py", "_errors.py", "_find.py", "py.typed")]
    client += ["python/pyproject.toml", "python/README.md"]
    if files != sorted(["LICENSE.txt", "README.txt", "appduck.exe"] + client):
        sys.exit("unexpected contents: %s" % files)
    readme = archive.read(top["README.txt"]).decode("utf-8")
    licence = archive.read(top["LICENSE.txt"]).decode("utf-8")
    for text, name in ((readme, "README.txt"), (licence, "LICENSE.txt")):
        if "\n" in text.replace("\r\n", ""):
            sys.exit("%s has bare line feeds" % name)
    # The README is for someone calling appduck.exe from a program, not for
    # someone building it on Linux.
    for wanted in ("appduck for Windows", "UTF-8", "CR LF", "Ctrl+C", "PowerShell",
                   "TerminateProcess", "keeper", "APPDUCK_DEBUG", "spare", "PYTHONPATH",
                   "pip install", "import appduck", "appduck.ducked"):
        if wanted not in readme:
            sys.exit("README.txt does not mention %s" % wanted)
    if "tools/" in readme or "MIT License" not in licence:
        sys.exit("the README or the licence is the wrong one")
    # Unpacked, the client finds appduck.exe two folders up, as on Windows.
    archive.extractall(out + "/unpacked")
    (folder,) = glob.glob(out + "/unpacked/appduck-*-win64")
    found = subprocess.run(
        [sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); from appduck import _find;"
         "sys.platform = 'win32'; _find._NAME = 'appduck.exe';"
         "print(_find._installed_places()[0])", folder + "/python"],
        capture_output=True, text=True, check=True).stdout.strip()
    if os.path.normpath(found) != os.path.normpath(folder + "/appduck.exe"):
        sys.exit("the zip's client looks for appduck.exe at %s" % found)
    print("ok: %s holds %s" % (package.rsplit("/", 1)[1], ", ".join(files)))
