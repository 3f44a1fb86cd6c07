"""The package's own build backend (build_backend/shield_helper_build.py): the versions it
checks, its TOML reading, the wheels it writes (pure, or tagged for the platform of the helper
binary it carries, which pip must install executable) and the sdist, all reproducible. The
installed packages themselves are checked by installed_check.py in scripts/test-clients."""

import base64
import csv
import hashlib
import importlib.util
import io
import os
import platform
import re
import shutil
import stat
import sys
import tarfile
import tempfile
import unittest
import zipfile
from unittest import mock

from support import shield_helper

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(HERE)
REPOSITORY_CMAKE = os.path.join(PROJECT, "..", "..", "CMakeLists.txt")


def load_backend(root):
    """The backend module of the tree at `root`, loaded afresh: it builds the tree it is in."""
    path = os.path.join(root, "build_backend", "shield_helper_build.py")
    spec = importlib.util.spec_from_file_location(f"backend_{abs(hash(root))}", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


backend = load_backend(PROJECT)


def load_package(directory, name):
    """The shield_helper package in `directory`, imported afresh under `name`."""
    spec = importlib.util.spec_from_file_location(
        name, os.path.join(directory, "__init__.py"), submodule_search_locations=[directory])
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def elf(machine, bits=64, byteorder=1):
    """The first bytes of an ELF executable for `machine`: all the backend reads of a binary."""
    return (b"\x7fELF" + bytes([2 if bits == 64 else 1, byteorder, 1, 0]) + bytes(8)
            + (2).to_bytes(2, "little") + machine.to_bytes(2, "little") + b"rest of the program")


def pe(machine, magic=0x20B, signature=b"PE\0\0"):
    """The first bytes of a PE image for `machine`: the DOS stub's "MZ" and its pointer to the
    PE signature, the COFF header and the optional header's magic (0x20b: PE32+, 64-bit)."""
    stub = b"MZ" + bytes(0x3A) + (0x80).to_bytes(4, "little") + bytes(0x40)
    coff = machine.to_bytes(2, "little") + bytes(14) + (240).to_bytes(2, "little") + bytes(2)
    return stub + signature + coff + magic.to_bytes(2, "little") + b"rest of the program"


class Scratch(unittest.TestCase):
    def scratch(self):
        scratch = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, scratch)
        return scratch

    def binary(self, content):
        path = os.path.join(self.scratch(), "shield-helper")
        with open(path, "wb") as out:
            out.write(content)
        return path


class Versions(unittest.TestCase):
    def test_the_package_the_project_and_the_helper_have_one_version(self):
        project = backend._project()
        self.assertEqual(project["version"], shield_helper.__version__)
        if not os.path.exists(REPOSITORY_CMAKE):
            self.skipTest("not in the repository (an unpacked sdist): no helper version to check")
        with open(REPOSITORY_CMAKE) as cmake:
            helper = re.search(r"^project\(shield-helper VERSION (\S+)", cmake.read(), re.M)
        self.assertEqual(helper.group(1), shield_helper.__version__)


class Toml(unittest.TestCase):
    SAMPLES = [
        # Each is read by the subset reader and, where Python has it, by tomllib, alike.
        'a = "b"\n',
        '# a comment\n[project]\nname = "x"  # and another\n',
        'list = [\n    "one",  # first\n    "two",\n]\n',
        'inline = {text = "MIT", other = "x"}\nempty = {}\nnone = []\n',
        '[tool.shield-helper]\n"quoted key" = "value with \\"quotes\\" and \\u00e9"\n',
        'dotted.key = 1\nflag = true\noff = false\nnumber = -3\n',
        '[a]\nx = 1\n[a.b]\ny = "2"\n',
    ]
    REFUSED = [
        ('a = "b"\na = "c"\n', "a is given twice"),
        ('a = "b" c\n', "text after a value"),
        ("a = 'literal'\n", "a string, integer, boolean"),
        ('a = ["b" "c"]\n', "',' or ']' was expected"),
    ]

    def test_the_subset_reads_what_tomllib_reads(self):
        try:
            import tomllib
        except ImportError:
            tomllib = None
        with open(os.path.join(PROJECT, "pyproject.toml")) as source:
            samples = self.SAMPLES + [source.read()]
        expected = [
            {"a": "b"}, {"project": {"name": "x"}}, {"list": ["one", "two"]},
            {"inline": {"text": "MIT", "other": "x"}, "empty": {}, "none": []},
            {"tool": {"shield-helper": {"quoted key": 'value with "quotes" and \u00e9'}}},
            {"dotted": {"key": 1}, "flag": True, "off": False, "number": -3},
            {"a": {"x": 1, "b": {"y": "2"}}},
        ]
        for index, sample in enumerate(samples):
            with self.subTest(sample=sample[:40]):
                read = backend._TomlSubset(sample).parse()
                if index < len(expected):
                    self.assertEqual(read, expected[index])
                if tomllib is not None:
                    self.assertEqual(read, tomllib.loads(sample))

    def test_the_subset_refuses_what_it_does_not_read(self):
        for sample, message in self.REFUSED:
            with self.subTest(sample=sample):
                with self.assertRaisesRegex(backend.BuildError, message):
                    backend._TomlSubset(sample).parse()


class Wheels(Scratch):
    DIST_INFO = f"shield_helper-{shield_helper.__version__}.dist-info"
    SOURCES = ["shield_helper/__init__.py", "shield_helper/_aio.py", "shield_helper/py.typed"]

    def build(self, config=None):
        out = self.scratch()
        name = backend.build_wheel(out, config)
        return name, os.path.join(out, name)

    def check_record(self, archive):
        """RECORD lists every other member once with its true hash and size."""
        record_name = f"{self.DIST_INFO}/RECORD"
        rows = list(csv.reader(io.StringIO(archive.read(record_name).decode())))
        self.assertEqual(rows[-1], [record_name, "", ""])
        self.assertEqual(sorted(r[0] for r in rows), sorted(archive.namelist()))
        for path, digest, size in rows[:-1]:
            data = archive.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            self.assertEqual((digest, int(size)), ("sha256=" + expected.decode(), len(data)), path)

    def test_a_wheel_with_the_helper_is_tagged_for_the_binarys_platform(self):
        cases = [
            # the binary, the wheel's platform tag, where the package carries the binary
            (elf(62), "linux_x86_64", "linux-x64/shield-helper"),
            (elf(183), "linux_aarch64", "linux-arm64/shield-helper"),
            (pe(0x8664), "win_amd64", "win32-x64/shield-helper.exe"),
        ]
        for program, tag, packed in cases:
            with self.subTest(tag):
                name, path = self.build({"helper": self.binary(program)})
                self.assertEqual(name, f"shield_helper-{shield_helper.__version__}-py3-none-"
                                       f"{tag}.whl")
                with zipfile.ZipFile(path) as archive:
                    binary = f"shield_helper/bin/{packed}"
                    self.assertEqual(sorted(archive.namelist()), sorted(
                        self.SOURCES + [binary] + [f"{self.DIST_INFO}/{n}" for n in
                                                   ("METADATA", "WHEEL", "RECORD")]))
                    self.assertEqual(archive.read(binary), program)
                    mode = archive.getinfo(binary).external_attr >> 16
                    self.assertTrue(stat.S_ISREG(mode))
                    self.assertEqual(stat.S_IMODE(mode), 0o755, "pip installs it executable")
                    self.assertEqual(archive.read(f"{self.DIST_INFO}/WHEEL").decode(),
                                     "Wheel-Version: 1.0\nGenerator: shield_helper_build\n"
                                     f"Root-Is-Purelib: false\nTag: py3-none-{tag}\n")
                    self.check_record(archive)

    def test_the_library_installed_from_a_wheel_finds_the_helper_it_carries(self):
        # The backend writes the binary where the library, on the platform the wheel is
        # tagged for, looks for it; the platform is forced, the files are this machine's.
        cases = [
            # the binary, sys.platform and platform.machine() of a machine the wheel is for
            (elf(62), "linux", "x86_64"),
            (elf(183), "linux", "aarch64"),
            (pe(0x8664), "win32", "AMD64"),
        ]
        for index, (program, platform_name, machine) in enumerate(cases):
            with self.subTest(platform=platform_name, machine=machine):
                installed = self.scratch()
                with zipfile.ZipFile(self.build({"helper": self.binary(program)})[1]) as wheel:
                    wheel.extractall(installed)
                    packed = [n for n in wheel.namelist() if "/bin/" in n]
                library = load_package(os.path.join(installed, "shield_helper"),
                                       f"installed_shield_helper_{index}")
                with mock.patch.dict(os.environ), \
                        mock.patch.object(sys, "platform", platform_name), \
                        mock.patch.object(platform, "machine", lambda: machine):
                    os.environ.pop("SHIELD_HELPER_PATH", None)
                    self.assertEqual(library.resolve_binary(),
                                     os.path.join(installed, *packed[0].split("/")))

    def test_a_wheel_without_the_helper_is_pure(self):
        name, path = self.build()
        self.assertEqual(name, f"shield_helper-{shield_helper.__version__}-py3-none-any.whl")
        with zipfile.ZipFile(path) as archive:
            self.assertFalse([n for n in archive.namelist() if "/bin/" in n])
            self.assertIn("Root-Is-Purelib: true\nTag: py3-none-any\n",
                          archive.read(f"{self.DIST_INFO}/WHEEL").decode())
            metadata = archive.read(f"{self.DIST_INFO}/METADATA").decode()
            self.check_record(archive)
        headers, _, description = metadata.partition("\n\n")
        self.assertEqual(headers.splitlines()[:4], [
            "Metadata-Version: 2.1", "Name: shield-helper",
            f"Version: {shield_helper.__version__}",
            "Summary: Start, supervise and speak to shield-helper, the faceless helper that "
            "covers the windows of blocked applications"])
        for header in ("Requires-Python: >=3.9", "License: MIT",
                       "Description-Content-Type: text/markdown"):
            self.assertIn(header, headers.splitlines())
        self.assertNotIn("Requires-Dist", headers, "standard library only")
        with open(os.path.join(PROJECT, "README.md")) as readme:
            self.assertEqual(description, readme.read())

    def test_wheels_are_reproducible(self):
        helper = self.binary(elf(62))
        for config in (None, {"helper": helper}):
            with self.subTest(config=config):
                first, second = self.build(config)[1], self.build(config)[1]
                with open(first, "rb") as a, open(second, "rb") as b:
                    self.assertEqual(a.read(), b.read())

    def test_a_binary_that_cannot_go_into_a_wheel_is_refused(self):
        cases = [
            ("neither ELF nor PE", b"#!/bin/sh\n",
             "is neither an ELF nor a PE binary: only Linux and Windows helpers"),
            ("32-bit", elf(3, bits=32), "is a 32-bit ELF binary"),
            ("another machine", elf(8), "is built for ELF machine 8"),
            ("big-endian", elf(62, byteorder=2), "is built for ELF machine"),
            ("too short", b"\x7fELF", "is neither an ELF nor a PE binary"),
            ("32-bit PE", pe(0x14C, magic=0x10B), "is a 32-bit PE image"),
            ("PE for ARM64", pe(0xAA64), "is built for PE machine 0xaa64"),
            ("PE without an image header", pe(0x8664, magic=0), "without an image's optional"),
            ("a DOS program", pe(0x8664, signature=b"NE\0\0"), "starts as a DOS program but is no"),
            ("a DOS stub cut short", b"MZ", "starts as a DOS program but is no PE image"),
        ]
        for what, content, message in cases:
            with self.subTest(what):
                with self.assertRaisesRegex(backend.BuildError, message):
                    self.build({"helper": self.binary(content)})
        with self.assertRaisesRegex(backend.BuildError, "helper=/nonexistent: no such file"):
            self.build({"helper": "/nonexistent"})

    def test_prepared_metadata_is_the_wheels(self):
        for config in (None, {"helper": self.binary(elf(62))}):
            with self.subTest(config=config):
                directory = self.scratch()
                dist_info = backend.prepare_metadata_for_build_wheel(directory, config)
                self.assertEqual(dist_info, self.DIST_INFO)
                with zipfile.ZipFile(self.build(config)[1]) as archive:
                    for name in ("METADATA", "WHEEL"):
                        with open(os.path.join(directory, dist_info, name), "rb") as prepared:
                            self.assertEqual(prepared.read(),
                                             archive.read(f"{dist_info}/{name}"), name)


class Sdist(Scratch):
    def test_the_sdist_holds_the_sources_and_builds_the_same_wheel(self):
        out = self.scratch()
        name = backend.build_sdist(out)
        base = f"shield_helper-{shield_helper.__version__}"
        self.assertEqual(name, f"{base}.tar.gz")
        with tarfile.open(os.path.join(out, name)) as archive:
            members = {m.name: m for m in archive.getmembers()}
            # The "data" filter where Python has it: the default of newer ones, and quiet.
            archive.extractall(out, **({"filter": "data"} if hasattr(tarfile, "data_filter")
                                       else {}))
        names = sorted(n[len(base) + 1:] for n in members)
        self.assertEqual([n for n in names if not n.startswith("tests/")], [
            "PKG-INFO", "README.md", "build_backend/shield_helper_build.py", "pyproject.toml",
            "shield_helper/__init__.py", "shield_helper/_aio.py", "shield_helper/py.typed"])
        self.assertIn("tests/fake_helper.py", names)
        self.assertFalse([n for n in names if "__pycache__" in n or "/bin/" in n])
        for member in members.values():
            self.assertEqual((member.uid, member.gid, member.uname, member.gname), (0, 0, "", ""))
        self.assertEqual(stat.S_IMODE(members[f"{base}/tests/fake_helper.py"].mode), 0o755)
        self.assertEqual(stat.S_IMODE(members[f"{base}/pyproject.toml"].mode), 0o644)
        # The sdist's own backend builds, from the sdist alone, the wheel the tree builds.
        unpacked = load_backend(os.path.join(out, base))
        with open(os.path.join(out, base, "PKG-INFO"), "rb") as pkg_info:
            self.assertEqual(pkg_info.read(), unpacked._metadata(unpacked._project()))
        wheels = []
        for builder in (backend, unpacked):
            directory = self.scratch()
            with open(os.path.join(directory, builder.build_wheel(directory)), "rb") as wheel:
                wheels.append(wheel.read())
        self.assertEqual(wheels[0], wheels[1])

    def test_sdists_are_reproducible(self):
        built = []
        for _ in range(2):
            out = self.scratch()
            with open(os.path.join(out, backend.build_sdist(out)), "rb") as sdist:
                built.append(sdist.read())
        self.assertEqual(built[0], built[1])


if __name__ == "__main__":
    unittest.main()
