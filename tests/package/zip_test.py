"""Builds the Windows .zip from a built tree and checks what it holds: the
program, the licence and a README of its own for Windows users, both as
Windows text files.

usage: zip_test.py BUILD_DIR
"""
import glob
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
    if sorted(top) != ["LICENSE.txt", "README.txt", "appduck.exe"]:
        sys.exit("unexpected contents: %s" % sorted(top))
    readme = archive.read(top["README.txt"]).decode("utf-8")
    licence = archive.read(top["LICENSE.txt"]).decode("utf-8")
    for text, name in ((readme, "README.txt"), (licence, "LICENSE.txt")):
        if "\n" in text.replace("\r\n", ""):
            sys.exit("%s has bare line feeds" % name)
    # The README is for someone calling appduck.exe from a program, not for
    # someone building it on Linux.
    for wanted in ("appduck for Windows", "UTF-8", "CR LF", "Ctrl+C", "PowerShell",
                   "TerminateProcess", "keeper", "APPDUCK_DEBUG"):
        if wanted not in readme:
            sys.exit("README.txt does not mention %s" % wanted)
    if "tools/" in readme or "MIT License" not in licence:
        sys.exit("the README or the licence is the wrong one")
    print("ok: %s holds %s" % (package.rsplit("/", 1)[1], ", ".join(sorted(top))))
