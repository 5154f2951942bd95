"""The resources of the built heic-to-jpeg.exe, read back from the file as Windows reads them:
the manifest, the version block and the one icon group."""
import os
import struct
import unittest
import xml.etree.ElementTree as ElementTree
from collections import Counter

import pe_resources as pe

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def local(tag):
    return tag.rsplit("}", 1)[-1]


def project_version():
    """The four numbers of the project's version, as the build that made the exe declares them."""
    text = os.environ["HEIC_E2E_VERSION"]
    numbers = tuple(int(part) for part in text.split("."))
    if len(numbers) != 4 or ".".join(map(str, numbers)) != text:
        raise ValueError(f"HEIC_E2E_VERSION {text!r} is not four numbers")
    return text, numbers


class ResourcesTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.resources = pe.read_resources(os.environ["HEIC_E2E_PROGRAM"])
        cls.version_text, cls.version = project_version()

    def of_type(self, kind):
        return [resource for resource in self.resources if resource.type == kind]

    def test_only_manifest_version_and_icons(self):
        self.assertEqual(set(Counter(r.type for r in self.resources)),
                         {pe.RT_ICON, pe.RT_GROUP_ICON, pe.RT_VERSION, pe.RT_MANIFEST})
        self.assertEqual([(r.name, r.type) for r in self.of_type(pe.RT_MANIFEST)], [(1, pe.RT_MANIFEST)])
        self.assertEqual([(r.name, r.language) for r in self.of_type(pe.RT_VERSION)], [(1, 0x0409)])

    def test_manifest(self):
        data = self.of_type(pe.RT_MANIFEST)[0].data
        text = data.decode("utf-8")  # raises unless UTF-8
        if text.lstrip("\ufeff").startswith("<?xml"):
            declaration = text[:text.index("?>")]
            self.assertRegex(declaration, r"""encoding=["'](UTF-8|utf-8)["']""")
        root = ElementTree.fromstring(data)
        self.assertEqual(root.tag, f"{{{ASM_V1}}}assembly")
        self.assertEqual(root.get("manifestVersion"), "1.0")

        # Nothing but these elements: no common-controls dependency, no DPI awareness.
        self.assertEqual(Counter(local(element.tag) for element in root.iter()), Counter({
            "assembly": 1, "assemblyIdentity": 1, "description": 1, "trustInfo": 1, "security": 1,
            "requestedPrivileges": 1, "requestedExecutionLevel": 1, "compatibility": 1, "application": 1,
            "supportedOS": 1}))
        identity = next(e for e in root.iter() if local(e.tag) == "assemblyIdentity")
        self.assertEqual(identity.attrib, {"type": "win32", "name": "ORVIK.HEICToJPEG", "version": self.version_text,
                                           "processorArchitecture": "amd64"})
        description = next(e for e in root.iter() if local(e.tag) == "description")
        self.assertEqual(description.text, "ORVIK HEIC to JPEG Converter")
        level = next(e for e in root.iter() if local(e.tag) == "requestedExecutionLevel")
        self.assertEqual(level.attrib, {"level": "asInvoker", "uiAccess": "false"})
        compatibility = next(e for e in root.iter() if local(e.tag) == "compatibility")
        self.assertEqual(compatibility.tag, f"{{{COMPATIBILITY}}}compatibility")
        supported = next(e for e in root.iter() if local(e.tag) == "supportedOS")
        self.assertEqual(supported.attrib, {"Id": WINDOWS_10})

    def test_version_block(self):
        root = pe.read_version(self.of_type(pe.RT_VERSION)[0].data)
        self.assertEqual(root.key, "VS_VERSION_INFO")
        (signature, _, file_ms, file_ls, product_ms, product_ls, flags_mask, flags, os_kind, file_type,
         subtype, _, _) = struct.unpack("<13I", root.value)
        self.assertEqual(signature, 0xFEEF04BD)
        major, minor, patch, tweak = self.version
        numbers = (major << 16 | minor, patch << 16 | tweak)
        self.assertEqual((file_ms, file_ls), numbers, f"file version {self.version_text}")
        self.assertEqual((product_ms, product_ls), numbers, f"product version {self.version_text}")
        self.assertEqual((flags_mask, flags, os_kind, file_type, subtype), (0x3F, 0, 0x40004, 1, 0))

        blocks = {child.key: child for child in root.children}
        self.assertEqual(set(blocks), {"StringFileInfo", "VarFileInfo"})
        self.assertEqual([table.key for table in blocks["StringFileInfo"].children], ["040904b0"])
        strings = {entry.key: entry.value for entry in blocks["StringFileInfo"].children[0].children}
        shown = f"{major}.{minor}.{patch}"
        fixed = {"CompanyName": "ORVIK", "FileDescription": "ORVIK HEIC to JPEG Converter",
                 "ProductName": "ORVIK HEIC to JPEG Converter", "FileVersion": shown, "ProductVersion": shown,
                 "OriginalFilename": "heic-to-jpeg.exe"}
        self.assertEqual({key: strings.get(key) for key in fixed}, fixed)
        free = ["InternalName", "LegalCopyright", "Comments"]
        self.assertEqual(set(strings), set(fixed) | set(free))
        for key in free:
            self.assertTrue(strings[key].strip(), f"{key} is empty")

        translations = [entry for entry in blocks["VarFileInfo"].children if entry.key == "Translation"]
        self.assertEqual([struct.unpack("<HH", entry.value) for entry in translations], [(0x0409, 0x04B0)])

    def test_icon_group(self):
        groups = self.of_type(pe.RT_GROUP_ICON)
        self.assertEqual([group.name for group in groups], [101], "icon group 101 is the only one")
        entries = pe.read_icon_group(groups[0].data)
        self.assertEqual(sorted(entry.size for entry in entries), [16, 24, 32, 48, 64, 128, 256])
        icons = {icon.name: icon.data for icon in self.of_type(pe.RT_ICON)}
        self.assertEqual(set(icons), {entry.icon_id for entry in entries}, "every image belongs to the group")
        for entry in entries:
            with self.subTest(size=entry.size):
                data = icons[entry.icon_id]
                self.assertEqual((entry.planes, entry.bit_count), (1, 32))
                self.assertEqual(entry.bytes_in_resource, len(data))
                self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n", "stored as PNG")
                self.assertEqual(data[12:16], b"IHDR")
                width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
                self.assertEqual((width, height), (entry.size, entry.size))
                self.assertEqual((depth, colour), (8, 6), "8 bits per channel with alpha: 32-bit")


if __name__ == "__main__":
    unittest.main(verbosity=2)
