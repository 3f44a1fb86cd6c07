"""The PEP 517 build backend of the shield-helper Python package, standard library only: writes
the sdist and the wheel, with the helper binary inside the wheel when one is given.

The wheel is pure (py3-none-any) without a binary. With one (config setting `helper=PATH`,
which pip passes as `--config-settings helper=PATH`), it is tagged for the binary's platform as
the binary's own header states it: py3-none-linux_<arch> for a Linux helper (ELF), and
py3-none-win_amd64 for a Windows one (PE32+ for x86-64, shield-helper.exe): the binary runs
under any Python 3, but only on the kind of system it was linked for. A Linux wheel is not
tagged manylinux, which would promise that it runs on any distribution with an old enough C
library; a helper linked on one distribution against its X, cairo, pango and ICU libraries
makes no such promise.

Every archive is reproducible: sorted members, fixed modes, owners and times
(SOURCE_DATE_EPOCH when set).
"""

import base64
import gzip
import hashlib
import io
import os
import re
import stat
import tarfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "shield_helper"
# The [project] keys this backend understands; any other is refused rather than ignored.
PROJECT_KEYS = {"name", "version", "description", "readme", "requires-python", "license",
                "dependencies", "classifiers", "keywords"}
# The files of an sdist: these at the top, and those with these endings in these directories.
SDIST_TOP_FILES = ("pyproject.toml", "README.md")
SDIST_DIRECTORIES = [("build_backend", (".py",)), (PACKAGE, (".py", "py.typed")),
                     ("tests", (".py",))]
# ELF machine numbers, as the wheel's platform tag and the package's bin/ directory name them.
ELF_MACHINES = {62: ("x86_64", "x64"), 183: ("aarch64", "arm64")}
# PE (COFF) machine numbers of 64-bit images: the wheel's platform tag, the package's bin/
# directory (named as the library reads sys.platform and the machine) and the binary's name.
PE_MACHINES = {0x8664: ("win_amd64", "win32-x64", "shield-helper.exe")}
# The magic numbers of a PE32 (32-bit) and a PE32+ (64-bit) image's optional header.
PE32, PE32_PLUS = 0x10B, 0x20B


class BuildError(Exception):
    pass


# pyproject.toml ---------------------------------------------------------------------------------

def _parse_toml(text):
    try:
        import tomllib
    except ImportError:  # Python 3.9 and 3.10 have no TOML reader of their own.
        return _TomlSubset(text).parse()
    return tomllib.loads(text)


class _TomlSubset:
    """Reads the part of TOML that pyproject.toml uses: tables, keys with dotted or quoted
    names, basic strings, integers, booleans, arrays and inline tables, and comments. The tests
    check that it reads the real file as tomllib does."""

    def __init__(self, text):
        self.text = text
        self.at = 0

    def fail(self, what):
        line = self.text.count("\n", 0, self.at) + 1
        raise BuildError(f"pyproject.toml, line {line}: {what}")

    def skip(self, newlines=True):
        while self.at < len(self.text):
            char = self.text[self.at]
            if char == "#":
                while self.at < len(self.text) and self.text[self.at] != "\n":
                    self.at += 1
            elif char in " \t\r" or (newlines and char == "\n"):
                self.at += 1
            else:
                return

    def parse(self):
        document = {}
        table = document
        while True:
            self.skip()
            if self.at >= len(self.text):
                return document
            if self.text[self.at] == "[":
                self.at += 1
                table = document
                for part in self.key():
                    table = table.setdefault(part, {})
                self.expect("]")
            else:
                self.assign(table)
            self.skip(newlines=False)
            if self.at < len(self.text) and self.text[self.at] != "\n":
                self.fail("text after a value")

    def assign(self, table):
        key = self.key()
        self.expect("=")
        for part in key[:-1]:
            table = table.setdefault(part, {})
        if key[-1] in table:
            self.fail(f"{'.'.join(key)} is given twice")
        table[key[-1]] = self.value()

    def key(self):
        parts = []
        while True:
            self.skip(newlines=False)
            if self.text.startswith('"', self.at):
                parts.append(self.string())
            else:
                match = re.compile(r"[A-Za-z0-9_-]+").match(self.text, self.at)
                if not match:
                    self.fail("a key was expected")
                parts.append(match.group())
                self.at = match.end()
            self.skip(newlines=False)
            if not self.text.startswith(".", self.at):
                return parts
            self.at += 1

    def expect(self, char):
        self.skip(newlines=False)
        if not self.text.startswith(char, self.at):
            self.fail(f"{char!r} was expected")
        self.at += 1

    def string(self):
        match = re.compile(r'"((?:[^"\\\n]|\\["\\bfnrt/]|\\u[0-9A-Fa-f]{4})*)"').match(
            self.text, self.at)
        if not match:
            self.fail("a basic string was expected")
        self.at = match.end()
        escapes = {"b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t"}
        return re.sub(r'\\(u[0-9A-Fa-f]{4}|.)',
                      lambda m: chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == "u"
                      else escapes.get(m.group(1), m.group(1)), match.group(1))

    def value(self):
        self.skip(newlines=False)
        if self.text.startswith('"', self.at):
            return self.string()
        if self.text.startswith("[", self.at):
            self.at += 1
            items = []
            while True:
                self.skip()
                if self.text.startswith("]", self.at):
                    self.at += 1
                    return items
                items.append(self.value())
                self.skip()
                if self.text.startswith(",", self.at):
                    self.at += 1
                elif not self.text.startswith("]", self.at):
                    self.fail("',' or ']' was expected")
        if self.text.startswith("{", self.at):
            self.at += 1
            table = {}
            self.skip(newlines=False)
            if self.text.startswith("}", self.at):
                self.at += 1
                return table
            while True:
                self.assign(table)
                self.skip(newlines=False)
                if self.text.startswith("}", self.at):
                    self.at += 1
                    return table
                self.expect(",")
        match = re.compile(r"true|false|[+-]?[0-9]+").match(self.text, self.at)
        if not match:
            self.fail("a string, integer, boolean, array or inline table was expected")
        self.at = match.end()
        word = match.group()
        return word == "true" if word in ("true", "false") else int(word)


def _read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as source:
        return source.read()


def _project():
    """The [project] table, checked: the keys this backend knows, and the same version as the
    package's __version__, which the library compares with the helper's."""
    project = _parse_toml(_read("pyproject.toml")).get("project")
    if not isinstance(project, dict):
        raise BuildError("pyproject.toml has no [project] table")
    unknown = sorted(set(project) - PROJECT_KEYS)
    if unknown:
        raise BuildError(f"pyproject.toml: [project] keys this backend does not write: {unknown}")
    for key in ("name", "version", "description", "readme", "requires-python"):
        if not isinstance(project.get(key), str):
            raise BuildError(f"pyproject.toml: [project] needs {key} as a string")
    if project.get("dependencies"):
        raise BuildError("pyproject.toml: the package has no dependencies, and this backend "
                         "writes none")
    found = re.search(r'^__version__ = "([^"]+)"$', _read(PACKAGE, "__init__.py"), re.M)
    if not found or found.group(1) != project["version"]:
        raise BuildError(f"{PACKAGE}.__version__ ({found and found.group(1)}) is not the version "
                         f"in pyproject.toml ({project['version']})")
    return project


def _distribution(project):
    """The name in file names: normalised, with underscores (the wheel and sdist rules)."""
    return re.sub(r"[-_.]+", "_", project["name"]).lower()


def _metadata(project):
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}", f"Summary: {project['description']}"]
    if project.get("keywords"):
        lines.append("Keywords: " + ",".join(project["keywords"]))
    license_ = project.get("license")
    if isinstance(license_, dict) and "text" in license_:
        lines.append(f"License: {license_['text']}")
    elif license_ is not None:
        raise BuildError("pyproject.toml: license must be {text = \"...\"} for this backend")
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    lines.append(f"Requires-Python: {project['requires-python']}")
    readme = project["readme"]
    if not readme.endswith(".md"):
        raise BuildError("pyproject.toml: readme must be a Markdown file for this backend")
    lines.append("Description-Content-Type: text/markdown")
    return ("\n".join(lines) + "\n\n" + _read(readme)).encode("utf-8")


# The helper binary ------------------------------------------------------------------------------

def _helper_binary(config_settings):
    """The binary named by the `helper` config setting, if any, with its platform tag, the
    package's bin/ directory for it and its file name there, read from its ELF or PE header."""
    path = (config_settings or {}).get("helper")
    if not path:
        return None
    path = os.path.abspath(path)
    if not os.path.isfile(path):
        raise BuildError(f"helper={path}: no such file")
    with open(path, "rb") as binary:
        data = binary.read()
    if data[:2] == b"MZ":
        return (data,) + _pe_platform(path, data)
    header = data[:20]
    if len(header) < 20 or header[:4] != b"\x7fELF":
        raise BuildError(f"helper={path} is neither an ELF nor a PE binary: only Linux and "
                         "Windows helpers are packed into wheels")
    if header[4] != 2:
        raise BuildError(f"helper={path} is a 32-bit ELF binary; wheels carry 64-bit helpers only")
    byteorder = {1: "little", 2: "big"}.get(header[5])
    machine = int.from_bytes(header[18:20], byteorder or "little")
    if byteorder != "little" or machine not in ELF_MACHINES:
        raise BuildError(f"helper={path} is built for ELF machine {machine}; wheels carry "
                         "x86_64 and aarch64 helpers")
    tag_arch, directory = ELF_MACHINES[machine]
    return data, f"linux_{tag_arch}", f"linux-{directory}", "shield-helper"


def _pe_platform(path, data):
    """The platform tag, bin/ directory and file name of a Windows helper: a PE image (the
    "MZ" stub, whose e_lfanew at 0x3c points at "PE\\0\\0" and the COFF header), 64-bit (a PE32+
    optional header), for a machine the wheels are made for."""
    start = int.from_bytes(data[0x3C:0x40], "little") if len(data) >= 0x40 else None
    if start is None or data[start:start + 4] != b"PE\0\0" or len(data) < start + 26:
        raise BuildError(f"helper={path} starts as a DOS program but is no PE image")
    machine = int.from_bytes(data[start + 4:start + 6], "little")
    magic = int.from_bytes(data[start + 24:start + 26], "little")
    if magic == PE32:
        raise BuildError(f"helper={path} is a 32-bit PE image; wheels carry 64-bit helpers only")
    if magic != PE32_PLUS:
        raise BuildError(f"helper={path} is a PE file without an image's optional header")
    if machine not in PE_MACHINES:
        raise BuildError(f"helper={path} is built for PE machine {machine:#06x}; wheels carry "
                         "x86-64 Windows helpers")
    return PE_MACHINES[machine]


# Archives ---------------------------------------------------------------------------------------

def _epoch():
    # Zip times cannot be earlier than 1980.
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)


def _tree_files(directory, endings):
    """The files of ROOT/directory that end in one of `endings`, sorted, with their modes."""
    found = []
    base = os.path.join(ROOT, directory)
    for folder, subfolders, names in os.walk(base):
        # Caches are not sources, and bin/ is where a wheel puts the binary, never the tree.
        subfolders[:] = sorted(d for d in subfolders if d not in ("__pycache__", "bin"))
        for name in sorted(names):
            if name.endswith(endings):
                path = os.path.join(folder, name)
                mode = 0o755 if os.stat(path).st_mode & stat.S_IXUSR else 0o644
                found.append((os.path.relpath(path, ROOT).replace(os.sep, "/"), mode))
    return found


def _package_files():
    return [(path, mode, _read_bytes(path))
            for path, mode in _tree_files(PACKAGE, (".py", "py.typed"))]


def _read_bytes(relative):
    with open(os.path.join(ROOT, relative), "rb") as source:
        return source.read()


def _wheel_text(tag, purelib):
    return (f"Wheel-Version: 1.0\nGenerator: shield_helper_build\n"
            f"Root-Is-Purelib: {'true' if purelib else 'false'}\nTag: {tag}\n").encode()


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def _wheel_contents(config_settings):
    project = _project()
    distribution = _distribution(project)
    helper = _helper_binary(config_settings)
    files = _package_files()
    if helper is None:
        tag, purelib = "py3-none-any", True
    else:
        data, platform_tag, directory, name = helper
        tag, purelib = f"py3-none-{platform_tag}", False
        files.append((f"{PACKAGE}/bin/{directory}/{name}", 0o755, data))
    dist_info = f"{distribution}-{project['version']}.dist-info"
    metadata = [(f"{dist_info}/METADATA", 0o644, _metadata(project)),
                (f"{dist_info}/WHEEL", 0o644, _wheel_text(tag, purelib))]
    return project, distribution, tag, dist_info, files, metadata


def _zip_member(archive, name, mode, data):
    info = zipfile.ZipInfo(name, date_time=time.gmtime(_epoch())[:6])
    info.compress_type = zipfile.ZIP_DEFLATED
    # The file type and mode in the high bits: pip makes the binary executable from them.
    info.external_attr = (stat.S_IFREG | mode) << 16
    archive.writestr(info, data)


# PEP 517 hooks ----------------------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    _, _, _, dist_info, _, metadata = _wheel_contents(config_settings)
    for name, _, data in metadata:
        path = os.path.join(metadata_directory, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project, distribution, tag, dist_info, files, metadata = _wheel_contents(config_settings)
    name = f"{distribution}-{project['version']}-{tag}.whl"
    record_name = f"{dist_info}/RECORD"
    members = files + metadata
    record = "".join(_record_line(n, d) for n, _, d in members) + f"{record_name},,\n"
    path = os.path.join(wheel_directory, name)
    with zipfile.ZipFile(path + ".part", "w") as archive:
        for member_name, mode, data in members:
            _zip_member(archive, member_name, mode, data)
        _zip_member(archive, record_name, 0o644, record.encode())
    os.replace(path + ".part", path)
    return name


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = f"{_distribution(project)}-{project['version']}"
    members = [("PKG-INFO", 0o644, _metadata(project))]
    members += [(name, 0o644, _read_bytes(name)) for name in SDIST_TOP_FILES]
    for directory, endings in SDIST_DIRECTORIES:
        members += [(p, m, _read_bytes(p)) for p, m in _tree_files(directory, endings)]
    name = f"{base}.tar.gz"
    path = os.path.join(sdist_directory, name)
    with open(path + ".part", "wb") as raw:
        # The gzip header holds a time and a file name too; both are fixed.
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=_epoch()) as compressed:
            with tarfile.open(fileobj=compressed, mode="w", format=tarfile.PAX_FORMAT) as archive:
                for member_name, mode, data in sorted(members):
                    info = tarfile.TarInfo(f"{base}/{member_name}")
                    info.size, info.mode, info.mtime = len(data), mode, _epoch()
                    info.uid = info.gid = 0
                    info.uname = info.gname = ""
                    archive.addfile(info, io.BytesIO(data))
    os.replace(path + ".part", path)
    return name
