"""A PEP 517 build backend that drives the project's CMake build.

`pip install --no-build-isolation .` calls build_wheel: it configures the
build for the interpreter running pip only (no tests, no benchmarks), builds
the `zolangpy` extension, and packs it with its type stubs and the `zo`
command into a wheel. There is one build description, CMakeLists.txt; this
file only packs its output. It needs nothing beyond the standard library, so
that it runs in a fresh virtual environment; a missing build tool is named
in one line, with the package that provides it.
"""

import base64
import csv
import hashlib
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
NAME = "zolangpy"
ENTRY_POINTS = "[console_scripts]\nzo = zo.cli:main\n"


def _version():
    """The version, kept in one place: the zo package."""
    text = (ROOT / "python" / "zo" / "__init__.py").read_text(encoding="utf-8")
    return re.search(r'^__version__ = "([^"]+)"', text, re.M).group(1)


VERSION = _version()


def _tag():
    """The wheel's tag for this interpreter, e.g. cp311-cp311-linux_x86_64
    or pp39-pypy39_pp73-linux_x86_64."""
    prefix = {"cpython": "cp", "pypy": "pp"}.get(sys.implementation.name,
                                                 sys.implementation.name)
    interpreter = "%s%d%d" % ((prefix,) + tuple(sys.version_info[:2]))
    soabi = sysconfig.get_config_var("SOABI") or ""
    if soabi.startswith("cpython-"):
        abi = "cp" + soabi.split("-")[1]
    else:
        abi = re.sub(r"[-.]", "_", soabi) or "none"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return "%s-%s-%s" % (interpreter, abi, platform)


def _stop(message):
    """Ends the build with one line, and no traceback."""
    print("zo_wheel: " + message, file=sys.stderr)
    raise SystemExit(1)


def _check_prerequisites():
    headers = "pypy3-dev" if sys.implementation.name == "pypy" else "python3-dev"
    compiler = os.environ.get("CXX", "c++")
    for missing, what, package in (
        (shutil.which("cmake") is None, "cmake", "cmake"),
        (shutil.which("ninja") is None, "ninja", "ninja-build"),
        (shutil.which(compiler) is None, "a C++ compiler (%s)" % compiler, "g++"),
        (not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")),
         "the Python headers for %s" % sys.executable, headers),
    ):
        if missing:
            _stop("%s is missing; install it with: apt-get install %s" % (what, package))


# What a failed configure step says when a prerequisite is missing after all.
_CONFIGURE_FAILURES = (
    ("Could NOT find ICU", "ICU's development files are missing; install them with: "
                           "apt-get install libicu-dev"),
    ("No CMAKE_CXX_COMPILER could be found", "no C++ compiler was found; install one with: "
                                             "apt-get install g++"),
    ("CMake 3.25 or higher is required", "CMake 3.25 or later is needed; install it with: "
                                         "apt-get install cmake"),
)


def _run(step, argv):
    """Runs one build step, its output kept back unless it fails."""
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True)
    if result.returncode == 0:
        return
    for needle, message in _CONFIGURE_FAILURES:
        if needle in result.stdout:
            _stop(message)
    sys.stderr.write(result.stdout)
    _stop("the %s step failed; its output is above" % step)


def _build_extension():
    """Builds the extension for this interpreter; returns its path."""
    _check_prerequisites()
    build_dir = ROOT / "build" / ("wheel-" + sys.implementation.cache_tag)
    _run("configure", [
        "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
        # -O2 as in the release preset: GCC 12 warns falsely at -O3.
        "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG",
        "-DZO_BUILD_TESTS=OFF", "-DZO_BUILD_BENCH=OFF",
        "-DZO_PYTHON_EXECUTABLES=" + sys.executable,
    ])
    _run("build", ["cmake", "--build", str(build_dir)])
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    found = sorted(build_dir.rglob(NAME + suffix))
    if not found:
        _stop("the build made no %s%s" % (NAME, suffix))
    return found[0]


def _files(extension):
    """(path in wheel, bytes) of everything the wheel holds, but metadata."""
    yield extension.name, extension.read_bytes()
    yield NAME + ".pyi", (ROOT / "binding" / (NAME + ".pyi")).read_bytes()
    for path in sorted((ROOT / "python" / "zo").rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts:
            yield path.relative_to(ROOT / "python").as_posix(), path.read_bytes()


def _metadata():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    return (
        "Metadata-Version: 2.1\nName: %s\nVersion: %s\n"
        "Summary: Zo, a small embeddable automation language\n"
        "Requires-Python: >=3.9\nDescription-Content-Type: text/markdown\n\n%s"
        % (NAME, VERSION, readme)
    )


def _digest(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    tag = _tag()
    dist_info = "%s-%s.dist-info" % (NAME, VERSION)
    entries = list(_files(_build_extension()))
    entries += [
        (dist_info + "/METADATA", _metadata().encode()),
        (dist_info + "/WHEEL", (
            "Wheel-Version: 1.0\nGenerator: zo_wheel\nRoot-Is-Purelib: false\nTag: %s\n" % tag
        ).encode()),
        (dist_info + "/entry_points.txt", ENTRY_POINTS.encode()),
    ]
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for path, data in entries:
        writer.writerow([path, _digest(data), len(data)])
    writer.writerow([dist_info + "/RECORD", "", ""])
    entries.append((dist_info + "/RECORD", record.getvalue().encode()))

    filename = "%s-%s-%s.whl" % (NAME, VERSION, tag)
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in entries:
            info = zipfile.ZipInfo(path, date_time=(2026, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            wheel.writestr(info, data, zipfile.ZIP_DEFLATED)
    return filename


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info = "%s-%s.dist-info" % (NAME, VERSION)
    os.makedirs(os.path.join(metadata_directory, dist_info), exist_ok=True)
    for name, text in (
        ("METADATA", _metadata()),
        ("entry_points.txt", ENTRY_POINTS),
    ):
        with open(os.path.join(metadata_directory, dist_info, name), "w", encoding="utf-8") as out:
            out.write(text)
    return dist_info
