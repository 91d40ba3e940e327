"""A PEP 517 build backend that drives the project's CMake build.

`pip install --no-build-isolation .` calls build_wheel: it configures the
build for the interpreter running pip only (no tests, no benchmarks), builds
the `zolangpy` extension, and packs it with its type stubs and the `zo`
command into a wheel. There is one build description, CMakeLists.txt; this
file only packs its output.
"""

import base64
import csv
import hashlib
import io
import os
import pathlib
import subprocess
import sys
import sysconfig
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
NAME = "zolangpy"
VERSION = "0.1.0"


def _tag():
    from packaging import tags

    best = next(iter(tags.sys_tags()))
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "%s-%s-%s" % (best.interpreter, best.abi, platform)


def _build_extension():
    """Builds the extension for this interpreter; returns its path."""
    build_dir = ROOT / "build" / ("wheel-" + sys.implementation.cache_tag)
    subprocess.check_call(
        [
            "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DZO_BUILD_TESTS=OFF", "-DZO_BUILD_BENCH=OFF",
            "-DZO_PYTHON_EXECUTABLES=" + sys.executable,
        ]
    )
    subprocess.check_call(["cmake", "--build", str(build_dir)])
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    found = sorted(build_dir.rglob(NAME + suffix))
    if not found:
        raise RuntimeError("the build made no %s%s" % (NAME, suffix))
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
        (dist_info + "/entry_points.txt", b"[console_scripts]\nzo = zo.cli:main\n"),
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
