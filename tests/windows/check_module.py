"""File facts of the built Windows module, read from the DLL itself with python3-pefile.

Run with Debian's /usr/bin/python3 (it has python3-pefile), with VELMORINE_WIN_MODULE naming the
module inside the bundle. Exits 77 (skipped) when the module has not been built.
"""

import os
import sys
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

MODULE = os.environ.get("VELMORINE_WIN_MODULE", "")

# Windows' own DLLs that a JUCE plug-in may use. A MinGW runtime DLL (libstdc++-6, libgcc_s_seh-1,
# libwinpthread-1) or a library's (zlib1, libpng16) is not among them: a user's machine lacks them.
SYSTEM_DLLS = {
    "advapi32.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "d2d1.dll", "dwmapi.dll",
    "dwrite.dll", "dxgi.dll", "gdi32.dll", "imm32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
    "oleaut32.dll", "opengl32.dll", "rpcrt4.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "uxtheme.dll", "version.dll", "wininet.dll", "winmm.dll", "ws2_32.dll", "wsock32.dll",
}

VERSION_STRINGS = {
    "CompanyName": "Velmorine",
    "FileDescription": "Velmorine Link",
    "FileVersion": "0.1.0",
    "ProductName": "Velmorine Link",
    "ProductVersion": "0.1.0",
}

# VS_FIXEDFILEINFO: file version 0.1.0.0, product version 0.0.0.0, everything else 0.
FIXED_FILE_INFO = {
    "Signature": 0xFEEF04BD,
    "FileVersionMS": 0x00000001, "FileVersionLS": 0x00000000,
    "ProductVersionMS": 0, "ProductVersionLS": 0,
    "FileFlagsMask": 0, "FileFlags": 0, "FileOS": 0, "FileType": 0, "FileSubtype": 0,
    "FileDateMS": 0, "FileDateLS": 0,
}

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
RT_MANIFEST = 24
DLL_MANIFEST_ID = 2   # ISOLATIONAWARE_MANIFEST_RESOURCE_ID, the one Windows reads for a DLL


def text(value):
    return value.decode("utf-8") if isinstance(value, bytes) else value


class ModuleFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(MODULE)

    def test_is_a_64_bit_windows_dll_in_the_vst3_bundle(self):
        self.assertTrue(MODULE.endswith("/Velmorine Link.vst3/Contents/x86_64-win/Velmorine Link.vst3"), MODULE)
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS)
        self.assertTrue(self.pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"])

    def test_exports_exactly_the_three_vst3_entry_points(self):
        exports = self.pe.DIRECTORY_ENTRY_EXPORT
        names = sorted(text(symbol.name) for symbol in exports.symbols if symbol.name is not None)
        self.assertEqual(names, ["ExitDll", "GetPluginFactory", "InitDll"])
        self.assertEqual(len(exports.symbols), 3, "an export by ordinal only")
        self.assertEqual(text(self.pe.get_string_at_rva(exports.struct.Name)), "Velmorine Link.vst3",
                         "the module name in the export directory")

    def test_imports_only_windows_system_dlls(self):
        imported = [text(entry.dll) for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])]
        imported += [text(entry.dll) for entry in getattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
        print("imports:", ", ".join(imported))
        self.assertIn("kernel32.dll", [dll.lower() for dll in imported])
        foreign = sorted(dll for dll in imported if dll.lower() not in SYSTEM_DLLS)
        self.assertEqual(foreign, [], "DLLs that are not Windows' own")

    def test_version_resource(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        for field, expected in FIXED_FILE_INFO.items():
            with self.subTest(field):
                self.assertEqual(getattr(fixed, field), expected)

        tables, translations = [], []
        for info in self.pe.FileInfo[0]:
            if text(info.Key) == "StringFileInfo":
                tables += info.StringTable
            elif text(info.Key) == "VarFileInfo":
                for var in info.Var:
                    for key, value in var.entry.items():
                        translations.append((text(key), [int(number, 16) for number in value.split()]))

        self.assertEqual([text(table.LangID) for table in tables], ["040904E4"])
        strings = {text(key): text(value) for key, value in tables[0].entries.items()}
        self.assertEqual(strings, VERSION_STRINGS)
        self.assertEqual(translations, [("Translation", [0x0409, 0x04E4])])

    def test_manifest_runs_as_invoker_and_uses_common_controls_6(self):
        manifests = [entry for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries if entry.id == RT_MANIFEST]
        self.assertEqual(len(manifests), 1, "one manifest resource type")
        resources = manifests[0].directory.entries
        self.assertEqual([resource.id for resource in resources], [DLL_MANIFEST_ID])
        data = resources[0].directory.entries[0].data.struct
        root = ElementTree.fromstring(self.pe.get_data(data.OffsetToData, data.Size))

        self.assertEqual(root.tag, ASM_V1 + "assembly")
        self.assertEqual(root.get("manifestVersion"), "1.0")

        levels = root.findall(".//%srequestedExecutionLevel" % ASM_V3)
        self.assertEqual([(level.get("level"), level.get("uiAccess")) for level in levels], [("asInvoker", "false")])

        identities = root.findall("./%sdependency/%sdependentAssembly/%sassemblyIdentity" % (ASM_V1, ASM_V1, ASM_V1))
        self.assertEqual(len(identities), 1)
        self.assertEqual(dict(identities[0].attrib), {
            "type": "win32",
            "name": "Microsoft.Windows.Common-Controls",
            "version": "6.0.0.0",
            "processorArchitecture": "*",
            "publicKeyToken": "6595b64144ccf1df",
            "language": "*",
        })


if __name__ == "__main__":
    if not os.path.isfile(MODULE):
        print("skipped: %r is missing; scripts/build-windows builds it (scripts/test does)" % MODULE)
        sys.exit(77)
    unittest.main(verbosity=2)
