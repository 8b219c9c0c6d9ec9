"""Build backend of the dfq package (PEP 517, PEP 660), standard library
only: a wheel holds the package's modules and, when the environment
variable DFQ_LIBRARY (or the config setting `library`) names a built
libdfq.so, that library as dfq/libdfq.so.1."""

import base64
import hashlib
import io
import os
import re
import sysconfig
import tarfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "dfq"


def _project():
    """name, version, description and requires-python from pyproject.toml."""
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    section = text.split("[project]", 1)[1].split("\n[", 1)[0]
    return dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"', section, re.M))


def _dist_info():
    p = _project()
    return "%s-%s.dist-info" % (p["name"], p["version"])


def _metadata():
    p = _project()
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: %s\n"
            % (p["name"], p["version"], p.get("description", ""), p.get("requires-python", "")))


def _library(config_settings):
    path = (config_settings or {}).get("library") or os.environ.get("DFQ_LIBRARY")
    if not path:
        return None
    if not os.path.isfile(path):
        raise FileNotFoundError("DFQ_LIBRARY names no file: %s" % path)
    return os.path.realpath(path)


def _modules():
    folder = os.path.join(ROOT, PACKAGE)
    return sorted(os.path.join(PACKAGE, n) for n in os.listdir(folder) if n.endswith(".py"))


def _write_wheel(directory, tag, files):
    """files: (archive name, bytes); returns the wheel's file name."""
    p = _project()
    name = "%s-%s-%s.whl" % (p["name"], p["version"], tag)
    info = _dist_info()
    purelib = "true" if tag.endswith("any") else "false"
    files = list(files) + [
        (info + "/METADATA", _metadata().encode()),
        (info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: dfq_build\nRoot-Is-Purelib: %s\n"
                           "Tag: %s\n" % (purelib, tag)).encode()),
    ]
    record = []
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for arcname, data in files:
            info_ = zipfile.ZipInfo(arcname, date_time=(2020, 1, 1, 0, 0, 0))
            info_.external_attr = (0o755 if arcname.endswith(".so.1") else 0o644) << 16
            wheel.writestr(info_, data, zipfile.ZIP_DEFLATED)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            record.append("%s,sha256=%s,%d" % (arcname, digest.decode(), len(data)))
        record.append(info + "/RECORD,,")
        wheel.writestr(info + "/RECORD", "\n".join(record) + "\n")
    return name


def _read(relative):
    with open(os.path.join(ROOT, relative), "rb") as f:
        return f.read()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = os.path.join(metadata_directory, _dist_info())
    os.makedirs(info, exist_ok=True)
    with open(os.path.join(info, "METADATA"), "w", encoding="utf-8") as f:
        f.write(_metadata())
    return _dist_info()


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files = [(m.replace(os.sep, "/"), _read(m)) for m in _modules()]
    library = _library(config_settings)
    tag = "py3-none-any"
    if library:
        with open(library, "rb") as f:
            files.append((PACKAGE + "/libdfq.so.1", f.read()))
        tag = "py3-none-" + re.sub(r"[-.]", "_", sysconfig.get_platform())
    return _write_wheel(wheel_directory, tag, files)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """An editable install: a .pth file that puts this folder on the path."""
    pth = (PACKAGE + ".pth", (ROOT + "\n").encode())
    return _write_wheel(wheel_directory, "py3-none-any", [pth])


def build_sdist(sdist_directory, config_settings=None):
    p = _project()
    base = "%s-%s" % (p["name"], p["version"])
    name = base + ".tar.gz"
    members = ["pyproject.toml", "build_backend/dfq_build.py"] + _modules()
    path = os.path.join(sdist_directory, name)
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for relative in members + ["PKG-INFO"]:
            data = _metadata().encode() if relative == "PKG-INFO" else _read(relative)
            entry = tarfile.TarInfo(base + "/" + relative.replace(os.sep, "/"))
            entry.size, entry.mode, entry.mtime = len(data), 0o644, 0
            tar.addfile(entry, io.BytesIO(data))
    return name
