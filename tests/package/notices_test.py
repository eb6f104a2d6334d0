#!/usr/bin/env python3
"""scripts/notices on made-up builds: every library it cannot account for is refused by
name, and a notice holds each library's files, version, origin and exact licence text.

  notices_test.py SCRIPTS_NOTICES
"""
import importlib.machinery
import io
import json
import os
import shutil
import sys
import tempfile
import types
import unittest
from contextlib import redirect_stderr

notices = None
DEPS = "/opt/fake-deps/x86_64-w64-mingw32"
GCC_ARCHIVE = "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++.a"
MINGW_ARCHIVE = "/usr/x86_64-w64-mingw32/lib/libmingwex.a"
MINGW_COPYRIGHT = "Files: *\nCopyright: 2009-2016 the mingw-w64 project\nLicense: ZPL-2.1\n"
GCC_COPYRIGHT = ("Files: *\nLicense: GPL-3+\n\nGCC RUNTIME LIBRARY EXCEPTION\n\nVersion 3.1, 31 March 2009\n\n"
                 "1. Grant of Additional Permission.\n\nlibquadmath/*.[hc]:\n\n   Copyright (C) 2010\n")
PNG_LICENSE = "PNG Reference Library License version 2\n\n * Copyright (c) 1995-2022 The PNG Authors.\n"
SHORT_LICENCE = "Permission to use, copy, modify and distribute, with this notice kept.\n"
IJG_README = ("The Independent JPEG Group's JPEG software\n\nLEGAL ISSUES\n============\n\n"
              "This software is copyright (C) 1991-2020, Thomas G. Lane, Guido Vollbeding.\n\n"
              "REFERENCES\n==========\n\nThe book.\n")


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


class FakeSystem:
    """This machine's Debian packages, as dpkg would tell them."""

    def __init__(self):
        self.owners = {GCC_ARCHIVE: "g++-mingw-w64-x86-64-posix", MINGW_ARCHIVE: "mingw-w64-x86-64-dev",
                       "/usr/lib/x86_64-linux-gnu/libbz2.a": "libbz2-dev",
                       "/lib/x86_64-linux-gnu/libc.so.6": "libc6"}
        self.packages = {"g++-mingw-w64-x86-64-posix": ("gcc-mingw-w64", "12.2.0-14+deb12u1+25.2+b1"),
                         "mingw-w64-x86-64-dev": ("mingw-w64", "10.0.0-3"),
                         "libbz2-dev": ("bzip2", "1.0.8-5"), "libc6": ("glibc", "2.36-9")}
        self.copyrights = {}
        self.shared = {"libc.so.6": "/lib/x86_64-linux-gnu/libc.so.6"}

    def prefetch(self, paths):
        pass

    def package_of(self, path):
        return self.owners.get(path)

    def source_of(self, package):
        return self.packages[package][0]

    def version_of(self, package):
        return self.packages[package][1]

    def copyright_of(self, package):
        return self.copyrights.get(package)

    def shared_object(self, soname):
        return self.shared.get(soname)


def link_map(archives=(), objects=()):
    """A link map as GNU ld writes it: the archive members it took, then what it loaded."""
    lines = ["Archive member included to satisfy reference by file (symbol)", ""]
    for archive in archives:
        lines += ["%s(member.o)" % archive, "                              main.o (some_symbol)"]
    lines += ["", "As-needed library included to satisfy reference by file (symbol)", "",
              "libc.so.6                     main.o (memcpy)", "", "Memory map", ""]
    lines += ["LOAD %s" % o for o in objects]
    return "\n".join(lines) + "\n"


class Fixture(unittest.TestCase):
    """A build folder, the set-up's unpacked sources and a machine, all made up."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tavex-notices-test.")
        self.addCleanup(shutil.rmtree, self.root)
        self.src = os.path.join(self.root, "src")
        notices.SETUP_SRC = self.src
        self.tree("libpng1.6", "1.6.39", "1.6.39-2+deb12u5", {"LICENSE": PNG_LICENSE})
        self.tree("zlib", "1.2.13.dfsg", "1.2.13.dfsg-1", {"LICENSE": SHORT_LICENCE})
        self.tree("giflib", "5.2.1", "5.2.1-2.5", {"COPYING": "giflib's MIT licence\n"})
        self.tree("libjpeg-turbo", "2.1.5", "2.1.5-2", {"LICENSE.md": "libjpeg-turbo licences\n",
                                                         "README.ijg": IJG_README})
        self.tree("libheif", "1.15.1", "1.15.1-1+deb12u1", {"COPYING": "GNU LESSER GENERAL PUBLIC LICENSE\n"})
        self.tree("dav1d", "1.0.0", "1.0.0-2", {"COPYING": SHORT_LICENCE})
        self.system = FakeSystem()
        copyright_file = os.path.join(self.root, "gcc-copyright")
        with open(copyright_file, "w") as f:
            f.write(GCC_COPYRIGHT)
        self.system.copyrights["g++-mingw-w64-x86-64-posix"] = copyright_file
        mingw_file = os.path.join(self.root, "mingw-copyright")
        with open(mingw_file, "w") as f:
            f.write(MINGW_COPYRIGHT)
        self.system.copyrights["mingw-w64-x86-64-dev"] = mingw_file
        self.needs = {"Tavex.exe": ["KERNEL32.dll", "USER32.dll"], "iftavex.sph": ["KERNEL32.dll"],
                      "libheif.dll": ["KERNEL32.dll"]}
        notices.dynamic_needs = lambda objdump, path: self.needs.get(os.path.basename(path), [])
        notices.System = lambda: self.system
        self.build = os.path.join(self.root, "build")
        # What a good win64 build links: two set-up libraries, the C++ run-time and its own code.
        self.files = {
            "Tavex.exe": link_map([DEPS + "/lib/libpng16.a", DEPS + "/lib/libz.a", "lib/libtavex_app.a",
                                   self.build + "/lib/libtavex_dib.a", GCC_ARCHIVE, MINGW_ARCHIVE],
                                  ["src/app/win32/TavexMain.cpp.obj"]),
            "iftavex.sph": link_map([DEPS + "/lib/libpng16.a"]),
            "libheif.dll": None,
        }
        self.platform = "win64"

    def tree(self, source, version, debian, files):
        folder = os.path.join(self.src, "%s-%s" % (source, version))
        os.makedirs(folder)
        for name, text in files.items():
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        open(os.path.join(self.src, "%s_%s.dsc" % (source, debian)), "w").close()

    def write_build(self):
        os.makedirs(os.path.join(self.build, "release", "linkmaps"), exist_ok=True)
        os.makedirs(os.path.join(self.build, "bin"), exist_ok=True)
        entries = []
        for name, text in self.files.items():
            path = os.path.join(self.build, "bin", name)
            open(path, "wb").close()
            map_path = ""
            if text is not None:
                map_path = os.path.join(self.build, "release", "linkmaps", name + ".map")
                with open(map_path, "w") as f:
                    f.write(text)
            entries.append({"path": path, "map": map_path})
        release = {"version": "1.2.3", "platform": self.platform, "source_dir": os.path.join(self.root, "source"),
                   "deps_prefix": DEPS, "strip": "strip", "objdump": "objdump", "files": entries, "loaded": []}
        with open(os.path.join(self.build, "release", "release.json"), "w") as f:
            json.dump(release, f)

    def run_notices(self):
        """scripts/notices -o FILE: its status, its error lines, and the file if it wrote one."""
        self.write_build()
        out = os.path.join(self.root, "NOTICES.txt")
        errors = io.StringIO()
        with redirect_stderr(errors):
            status = notices.main([self.build, "-o", out])
        text = None
        if os.path.exists(out):
            with open(out, encoding="utf-8") as f:
                text = f.read()
        return status, errors.getvalue().splitlines(), text


class Refusals(Fixture):
    def test_each_unaccounted_library_fails_with_its_name_and_no_notices_are_written(self):
        # Each row changes a fresh made-up build; its problem names that build's files.
        def src(*parts):
            return os.path.join(self.src, *parts)

        rows = [
            ("an archive of the set-up's prefix without a row",
             lambda: self.files.update({"Tavex.exe": link_map([DEPS + "/lib/libfoo.a"])}),
             "no notice for %s/lib/libfoo.a (linked into Tavex.exe): scripts/notices names no library for it" % DEPS),
            ("an archive of a Debian package without a row",
             lambda: self.files.update({"Tavex.exe": link_map(["/usr/lib/x86_64-linux-gnu/libbz2.a"])}),
             "no notice for /usr/lib/x86_64-linux-gnu/libbz2.a (linked into Tavex.exe): scripts/notices names no "
             "library for Debian's bzip2"),
            ("an object that no package holds",
             lambda: self.files.update({"Tavex.exe": link_map([], ["/opt/elsewhere/start.o"])}),
             "no notice for /opt/elsewhere/start.o (linked into Tavex.exe): no Debian package holds it"),
            ("a licence file gone from the source",
             lambda: (self.files.update({"Tavex.exe": link_map([DEPS + "/lib/libgif.a"])}),
                      os.remove(src("giflib-5.2.1", "COPYING"))),
             lambda: "giflib: licence file %s is missing" % src("giflib-5.2.1", "COPYING")),
            ("a licence text that moved within its file",
             lambda: (self.files.update({"Tavex.exe": link_map([DEPS + "/lib/libjpeg.a"])}),
                      write(src("libjpeg-turbo-2.1.5", "README.ijg"), "LEGAL ISSUES\nno end\n")),
             lambda: "libjpeg-turbo: the licence text is not where it was in %s"
             % src("libjpeg-turbo-2.1.5", "README.ijg")),
            ("a library whose source the set-up never unpacked",
             lambda: self.files.update({"iftavex.sph": link_map([DEPS + "/lib/libwebp.a"])}),
             lambda: "libwebp: no source of libwebp in %s (scripts/setup unpacks it)" % self.src),
            ("a Debian package without its copyright file",
             lambda: self.system.copyrights.pop("g++-mingw-w64-x86-64-posix"),
             "GCC run-time libraries (libgcc, libstdc++): g++-mingw-w64-x86-64-posix has no copyright file"),
            ("a DLL that is neither Windows' nor in the package",
             lambda: self.needs.update({"Tavex.exe": ["KERNEL32.dll", "libfoo.dll"]}),
             "Tavex.exe needs libfoo.dll, which is neither part of Windows nor in the package"),
            ("a prebuilt DLL that nothing describes",
             lambda: self.files.update({"libfoo.dll": None}),
             "no notice for libfoo.dll: it is shipped without a link map, and scripts/notices does not know "
             "what it holds"),
            ("a prebuilt DLL whose run-time no program here links",
             lambda: self.files.update({"Tavex.exe": link_map([DEPS + "/lib/libz.a"])}),
             "libheif.dll holds GCC run-time libraries (libgcc, libstdc++), which no program here links"),
            ("a shared object this machine lacks",
             lambda: (setattr(self, "platform", "linux-x86_64"),
                      self.files.clear(), self.files.update({"tavex-cli": link_map()}),
                      self.needs.update({"tavex-cli": ["libc.so.6", "libmissing.so.1"]})),
             "tavex-cli needs libmissing.so.1, which is not on this machine"),
        ]
        for what, change, problem in rows:
            with self.subTest(what):
                self.setUp()
                change()
                status, errors, text = self.run_notices()
                self.assertEqual(status, 1)
                self.assertIn("notices: " + (problem() if callable(problem) else problem), errors)
                self.assertIsNone(text)

    def test_a_shipped_file_whose_link_map_is_gone_is_refused(self):
        self.write_build()
        os.remove(os.path.join(self.build, "release", "linkmaps", "Tavex.exe.map"))
        analysis = notices.Analysis(self.build).analyse()
        self.assertEqual(analysis.problems[0], "Tavex.exe has no link map (%s): relink it" %
                         os.path.join(self.build, "release", "linkmaps", "Tavex.exe.map"))


class Notice(Fixture):
    def entry(self, text, title):
        """One library's part of the notices, from its title line to the next rule."""
        start = text.index("\n" + title + "\n")
        end = text.find("\n" + "-" * 78, start + 1)
        return text[start + 1:end if end >= 0 else len(text)]

    def test_each_library_has_its_files_version_origin_and_exact_text(self):
        status, errors, text = self.run_notices()
        self.assertEqual((status, errors), (0, []))
        self.assertTrue(text.startswith("Tavex 1.2.3 (Windows, 64-bit): third-party notices\n"))
        listing = text[text.index("In this package:"):text.index("Used from the system")]
        self.assertEqual([line.split("  ")[1] for line in listing.splitlines()[1:] if line.strip()],
                         ["dav1d 1.0.0", "GCC run-time libraries (libgcc, libstdc++) 12.2.0", "libheif 1.15.1",
                          "libpng 1.6.39", "mingw-w64 run-time (CRT, winpthreads) 10.0.0", "zlib 1.2.13"])
        self.assertIn("Windows system DLLs", text[text.index("Used from the system"):].splitlines()[1])
        self.assertNotIn("libtavex", text)  # the program's own code is no third party

        self.assertEqual(self.entry(text, "libpng 1.6.39"),
                         "libpng 1.6.39\n\nIn: iftavex.sph, Tavex.exe\n"
                         "Licence: PNG Reference Library License version 2\n"
                         "Built by Tavex's scripts/setup from Debian's source package libpng1.6 1.6.39-2+deb12u5 "
                         "(https://sources.debian.org/src/libpng1.6/1.6.39-2+deb12u5/).\n\n"
                         "==> LICENSE <==\n\n" + PNG_LICENSE)
        # The C++ run-time of the programs is the prebuilt DLL's too; only the exception applies.
        gcc = self.entry(text, "GCC run-time libraries (libgcc, libstdc++) 12.2.0")
        self.assertIn("In: libheif.dll, Tavex.exe\n", gcc)
        self.assertIn("Debian package g++-mingw-w64-x86-64-posix 12.2.0-14+deb12u1+25.2+b1.\n", gcc)
        self.assertIn("GCC RUNTIME LIBRARY EXCEPTION\n\nVersion 3.1, 31 March 2009\n\n"
                      "1. Grant of Additional Permission.\n", gcc)
        self.assertNotIn("libquadmath", gcc)
        self.assertNotIn("Files: *", gcc)
        libheif = self.entry(text, "libheif 1.15.1")
        self.assertIn("In: libheif.dll\nLicence: LGPL-3.0-or-later\n", libheif)
        # The mingw-w64 notice is Debian's whole copyright file.
        self.assertIn("==> Debian's copyright file of mingw-w64-x86-64-dev <==\n\n" + MINGW_COPYRIGHT,
                      self.entry(text, "mingw-w64 run-time (CRT, winpthreads) 10.0.0"))
        self.assertIn("It ships as a DLL of its own", libheif)
        # zlib's licence reads as dav1d's, which comes first: printed once.
        self.assertIn("==> COPYING <==\n\n" + SHORT_LICENCE, self.entry(text, "dav1d 1.0.0"))
        self.assertTrue(self.entry(text, "zlib 1.2.13").endswith("LICENSE: the same text as dav1d's above.\n"))

    def test_the_libjpeg_turbo_notice_takes_only_the_legal_part_of_its_readme(self):
        self.files["Tavex.exe"] = link_map([DEPS + "/lib/libjpeg.a", GCC_ARCHIVE, MINGW_ARCHIVE])
        status, errors, text = self.run_notices()
        self.assertEqual((status, errors), (0, []))
        jpeg = self.entry(text, "libjpeg-turbo 2.1.5")
        self.assertIn("==> README.ijg <==\n\nLEGAL ISSUES\n============\n\nThis software is copyright (C) "
                      "1991-2020, Thomas G. Lane, Guido Vollbeding.\n", jpeg)
        self.assertNotIn("REFERENCES", jpeg)
        self.assertNotIn("The book.", jpeg)


class LinkMap(unittest.TestCase):
    def test_only_archives_members_were_taken_from_and_whole_objects_count(self):
        text = link_map(["/a/libone.a", "lib/libown.a", "/a/libone.a"], ["/a/crt2.o", "x.obj", "/a/libc.so"])
        text = text.replace("LOAD /a/crt2.o", "LOAD /a/crt2.o\nLOAD /a/libunused.a")
        self.assertEqual(notices.linked_inputs(text), (["/a/libone.a", "lib/libown.a"], ["/a/crt2.o", "x.obj"]))

    def test_a_map_without_archive_members_has_none(self):
        self.assertEqual(notices.linked_inputs("Memory map\n\nLOAD /a/crt1.o\n"), ([], ["/a/crt1.o"]))


if __name__ == "__main__":
    path = sys.argv.pop(1)
    loader = importlib.machinery.SourceFileLoader("tavex_notices", path)
    notices = types.ModuleType(loader.name)
    notices.__file__ = loader.path
    loader.exec_module(notices)
    unittest.main(verbosity=2)
