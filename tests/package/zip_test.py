"""Builds the Windows .zip from a built tree and checks what it holds.

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
    names = sorted(name.split("/", 1)[1] for name in zipfile.ZipFile(package).namelist())
    if names != ["LICENSE", "README.md", "appduck.exe"]:
        sys.exit("unexpected contents: %s" % names)
    print("ok: %s holds %s" % (package.rsplit("/", 1)[1], ", ".join(names)))
