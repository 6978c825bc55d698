#!/usr/bin/python3
"""Checks the resources and the image headers of the built vfdstartup.exe:
the main dialog's template byte by byte (style, caption, font, every control
in order), the two icon groups and their images, the version resource, the
manifest, and that only Windows system DLLs are imported.

    check_resources.py path/to/vfdstartup.exe

Exits 1 and lists every deviation found.
"""

import os
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
RESOURCE_DIR = os.path.join(HERE, "..", "..", "src", "app", "resources")

RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24

WS_CHILD, WS_VISIBLE = 0x40000000, 0x10000000
WS_CAPTION, WS_BORDER, WS_VSCROLL = 0x00C00000, 0x00800000, 0x00200000
WS_SYSMENU, WS_GROUP, WS_TABSTOP, WS_MINIMIZEBOX = 0x00080000, 0x00020000, 0x00010000, 0x00020000
DS_SETFONT, DS_FIXEDSYS, DS_3DLOOK = 0x40, 0x08, 0x04
WS_EX_NOPARENTNOTIFY = 0x04
BS_PUSHBUTTON, BS_GROUPBOX = 0x0, 0x7
ES_AUTOHSCROLL = 0x80
SS_LEFT = 0x0
CBS_DROPDOWN, CBS_DROPDOWNLIST, CBS_SORT, CBS_NOINTEGRALHEIGHT = 0x2, 0x3, 0x100, 0x400

CHILD = WS_CHILD | WS_VISIBLE
BUTTON = CHILD | WS_TABSTOP | BS_PUSHBUTTON
LABEL = CHILD | WS_GROUP | SS_LEFT
NO_ID = 0xFFFFFFFF

EXPECTED_DIALOG = dict(
    style=WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_SETFONT | DS_FIXEDSYS | DS_3DLOOK,
    ex_style=WS_EX_NOPARENTNOTIFY,
    rect=(20, 40, 278, 143),
    menu="",
    window_class="",
    caption="QV rm7700 Line Display  Startup Message",
    point_size=8,
    typeface="MS Shell Dlg",
)

# Identifier, class, text, (x, y, width, height), style; in template order.
EXPECTED_CONTROLS = [
    (1008, "Button", "Exit", (207, 121, 60, 15), BUTTON),
    (1020, "ComboBox", "", (11, 20, 90, 85),
     CHILD | CBS_DROPDOWN | CBS_SORT | CBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP),
    (1022, "Edit", "", (5, 63, 262, 12), CHILD | WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP),
    (1023, "Edit", "", (5, 90, 263, 13), CHILD | WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP),
    (1021, "ComboBox", "", (5, 121, 91, 95),
     CHILD | CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP),
    (1009, "Button", "Write to VFD", (121, 121, 70, 15), BUTTON),
    (1007, "Button", "Set to factory default", (182, 20, 84, 15), BUTTON),
    (NO_ID, "Button", "COM Port", (3, 7, 114, 36), CHILD | BS_GROUPBOX),
    (NO_ID, "Static", "Version 1.0.0.3", (209, 3, 56, 11), LABEL),
    (NO_ID, "Static", "Row 0 (Top)", (5, 53, 65, 9), LABEL),
    (NO_ID, "Static", "Row 1 (Bottom)", (5, 80, 61, 8), LABEL),
    (NO_ID, "Static", "Scroll speed", (5, 111, 64, 9), LABEL),
]

# Group identifier: (width, bits per pixel) of its images, in order.
EXPECTED_ICON_GROUPS = {
    101: [(16, 4), (32, 4)],
    105: [(48, 24), (32, 24), (16, 24)],
}

EXPECTED_VERSION = (1, 0, 0, 3)
EXPECTED_VERSION_STRINGS = {
    "Comments": "Utility to set or change Startup Message on VFD",
    "FileDescription": "Sets Startup Message for LineDisplay on QV rm7700",
    "FileVersion": "1.0.0.3",
    "ProductVersion": "1.0.0.3",
    "OriginalFilename": "vfdstartup.exe",
}
NAMING_FIELDS = ["CompanyName", "ProductName", "InternalName", "LegalCopyright"]

# Everything the program may import: Windows' own DLLs, nothing shipped.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}

CONTROL_CLASS_ATOMS = {0x80: "Button", 0x81: "Edit", 0x82: "Static",
                       0x83: "ListBox", 0x84: "ScrollBar", 0x85: "ComboBox"}

failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
    return condition


def expect_equal(actual, expected, what):
    return expect(actual == expected, f"{what}: got {actual!r}, expected {expected!r}")


# ---- reading the resource tree ------------------------------------------------

def load_resources(pe):
    """{(type, name): [(language, bytes)]}; name is an int or a str."""
    resources = {}
    if not expect(hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"), "no resources"):
        return resources
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name_entry in type_entry.directory.entries:
            name = name_entry.id if name_entry.name is None else str(name_entry.name)
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                blob = pe.get_data(data.OffsetToData, data.Size)
                resources.setdefault((type_entry.id, name), []).append((lang_entry.id, blob))
    return resources


def single_resource(resources, rtype, name, what):
    entries = resources.get((rtype, name), [])
    if not expect_equal(len(entries), 1, f"{what}: number of languages"):
        return None
    return entries[0][1]


# ---- the dialog template ----------------------------------------------------

class Reader:
    def __init__(self, blob):
        self.blob, self.pos = blob, 0

    def unpack(self, fmt):
        values = struct.unpack_from("<" + fmt, self.blob, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.pos
        while self.blob[end:end + 2] != b"\0\0":
            end += 2
        value = self.blob[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return value

    def text_or_atom(self):
        """sz_Or_Ord: a string, or 0xFFFF followed by an ordinal."""
        if self.blob[self.pos:self.pos + 2] == b"\xff\xff":
            self.pos += 2
            return self.unpack("H")
        return self.text()

    def align(self, n):
        self.pos = (self.pos + n - 1) // n * n


def parse_dialog(blob):
    """An extended template (DLGTEMPLATEEX) and its items (DLGITEMTEMPLATEEX)."""
    r = Reader(blob)
    version, signature = r.unpack("HH")
    if not expect((version, signature) == (1, 0xFFFF), "dialog: not an extended template"):
        return None, []
    dialog = {}
    _help_id, dialog["ex_style"], dialog["style"], count = r.unpack("IIIH")
    dialog["rect"] = r.unpack("hhhh")
    dialog["menu"] = r.text_or_atom()
    dialog["window_class"] = r.text_or_atom()
    dialog["caption"] = r.text()
    if dialog["style"] & DS_SETFONT:
        dialog["point_size"], _weight, _italic, _charset = r.unpack("HHBB")
        dialog["typeface"] = r.text()
    controls = []
    for _ in range(count):
        r.align(4)
        _help_id, ex_style, style = r.unpack("III")
        rect = r.unpack("hhhh")
        control_id = r.unpack("I")
        window_class = r.text_or_atom()
        window_class = CONTROL_CLASS_ATOMS.get(window_class, window_class)
        text = r.text_or_atom()
        extra = r.unpack("H")
        r.pos += extra
        controls.append(dict(id=control_id, window_class=window_class, text=text,
                             rect=rect, style=style, ex_style=ex_style))
    expect_equal(r.pos <= len(blob), True, "dialog: template runs past its resource")
    return dialog, controls


def check_dialog(resources):
    blob = single_resource(resources, RT_DIALOG, 200, "dialog 200")
    if blob is None:
        return
    dialog, controls = parse_dialog(blob)
    if dialog is None:
        return
    for field, expected in EXPECTED_DIALOG.items():
        actual = dialog.get(field)
        if field in ("style", "ex_style") and isinstance(actual, int):
            actual, expected = hex(actual), hex(expected)
        expect_equal(actual, expected, f"dialog {field}")
    expect_equal(len(controls), len(EXPECTED_CONTROLS), "dialog: number of controls")
    for order, (control, wanted) in enumerate(zip(controls, EXPECTED_CONTROLS), start=1):
        control_id, window_class, text, rect, style = wanted
        what = f"control {order} ({text or control_id})"
        expect_equal(control["id"], control_id, f"{what} identifier")
        expect_equal(str(control["window_class"]).lower(), window_class.lower(), f"{what} class")
        expect_equal(control["text"], text, f"{what} text")
        expect_equal(control["rect"], rect, f"{what} rectangle")
        expect_equal(hex(control["style"]), hex(style), f"{what} style")
        expect_equal(control["ex_style"], 0, f"{what} extended style")


# ---- icons ----------------------------------------------------------------

def icon_pixels(blob):
    """(width, height, bits, [(r, g, b)] of the colour bitmap) of an icon image."""
    (_size, width, double_height, _planes, bits, _compression, _image_size,
     _xppm, _yppm, colours_used, _important) = struct.unpack_from("<IiiHHIIiiII", blob)
    height = double_height // 2
    offset = 40
    palette = []
    if bits <= 8:
        for i in range(colours_used or (1 << bits)):
            b, g, r, _ = blob[offset + 4 * i: offset + 4 * i + 4]
            palette.append((r, g, b))
        offset += 4 * len(palette)
    stride = (width * bits + 31) // 32 * 4
    pixels = []
    for y in range(height):
        row = blob[offset + y * stride: offset + (y + 1) * stride]
        for x in range(width):
            if bits == 24:
                b, g, r = row[3 * x: 3 * x + 3]
                pixels.append((r, g, b))
            elif bits == 4:
                index = (row[x // 2] >> (0 if x % 2 else 4)) & 0xF
                pixels.append(palette[index])
    return width, height, bits, pixels


def shows_display(pixels):
    """Lit cyan-green dots on a dark panel: a drawn display, not a blank."""
    lit = sum(1 for r, g, b in pixels if g > 200 and b > 150 and r < 120)
    dark = sum(1 for r, g, b in pixels if max(r, g, b) < 40)
    return lit >= 8 and dark >= 8


def check_icon_group(resources, group_id, expected_images):
    what = f"icon group {group_id}"
    blob = single_resource(resources, RT_GROUP_ICON, group_id, what)
    if blob is None:
        return
    reserved, kind, count = struct.unpack_from("<HHH", blob)
    expect_equal((reserved, kind), (0, 1), f"{what} header")
    images = []
    for i in range(count):
        width, height, _colours, _res, planes, bits, size, icon_id = struct.unpack_from(
            "<BBBBHHIH", blob, 6 + 14 * i)
        expect_equal((width, height, planes), ((width, width, 1)), f"{what} entry {i}")
        image = single_resource(resources, RT_ICON, icon_id, f"{what} image {icon_id}")
        if image is None:
            continue
        expect_equal(size, len(image), f"{what} entry {i} size")
        image_width, image_height, image_bits, pixels = icon_pixels(image)
        expect_equal((image_width, image_height, image_bits), (width, width, bits),
                     f"{what} image {icon_id} header")
        expect(shows_display(pixels), f"{what} image {icon_id} does not show a display")
        images.append((width, bits))
    expect_equal(images, expected_images, f"{what} images (size, bits)")


def check_icons(resources):
    groups = sorted(name for rtype, name in resources if rtype == RT_GROUP_ICON)
    expect_equal(groups, sorted(EXPECTED_ICON_GROUPS), "icon groups")
    for group_id, images in EXPECTED_ICON_GROUPS.items():
        check_icon_group(resources, group_id, images)


def check_icon_files_reproducible():
    """The committed .ico files are what the generator draws."""
    with tempfile.TemporaryDirectory() as out_dir:
        subprocess.run([sys.executable, os.path.join(RESOURCE_DIR, "make_icons.py"), out_dir],
                       check=True)
        for name in sorted(os.listdir(out_dir)):
            with open(os.path.join(out_dir, name), "rb") as drawn, \
                    open(os.path.join(RESOURCE_DIR, name), "rb") as committed:
                expect(drawn.read() == committed.read(),
                       f"{name} differs from what make_icons.py draws")


# ---- version and manifest -----------------------------------------------------

def version_tuple(ms, ls):
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def version_strings(pe):
    strings = {}
    for file_info in getattr(pe, "FileInfo", []):
        for entry in file_info:
            for table in getattr(entry, "StringTable", []):
                for key, value in table.entries.items():
                    strings[key.decode("utf-8")] = value.decode("utf-8")
    return strings


def check_version(pe, resources):
    single_resource(resources, RT_VERSION, 1, "version resource")
    if not expect(hasattr(pe, "VS_FIXEDFILEINFO"), "no VS_FIXEDFILEINFO"):
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    expect_equal(version_tuple(fixed.FileVersionMS, fixed.FileVersionLS), EXPECTED_VERSION,
                 "FILEVERSION")
    expect_equal(version_tuple(fixed.ProductVersionMS, fixed.ProductVersionLS), EXPECTED_VERSION,
                 "PRODUCTVERSION")
    strings = version_strings(pe)
    for key, expected in EXPECTED_VERSION_STRINGS.items():
        expect_equal(strings.get(key), expected, f"version string {key}")
    for key in NAMING_FIELDS:
        expect(strings.get(key), f"version string {key} missing or empty")


def local_name(tag):
    return tag.rsplit("}", 1)[-1]


def check_manifest(resources):
    manifests = [key for key in resources if key[0] == RT_MANIFEST]
    expect_equal(manifests, [(RT_MANIFEST, 1)], "manifest resources")
    blob = single_resource(resources, RT_MANIFEST, 1, "manifest")
    if blob is None:
        return
    root = ElementTree.fromstring(blob)
    # Nothing but the execution level request: no dependency, no settings.
    path = [local_name(element.tag) for element in root.iter()]
    expect_equal(path, ["assembly", "trustInfo", "security", "requestedPrivileges",
                        "requestedExecutionLevel"], "manifest elements")
    level = [e for e in root.iter() if local_name(e.tag) == "requestedExecutionLevel"]
    if level:
        expect_equal(dict(level[0].attrib), {"level": "asInvoker", "uiAccess": "false"},
                     "requestedExecutionLevel")


# ---- the image as a whole -------------------------------------------------------

def check_image(pe):
    expect_equal(hex(pe.FILE_HEADER.Machine), hex(0x14C), "machine (i386)")
    expect_equal(pe.OPTIONAL_HEADER.Subsystem, 2, "subsystem (Windows GUI)")
    imported = sorted(entry.dll.decode("ascii").lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)
    expect(set(imported) <= SYSTEM_DLLS, f"imports beyond the system DLLs: {imported}")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    pe = pefile.PE(sys.argv[1])
    resources = load_resources(pe)
    check_image(pe)
    check_dialog(resources)
    check_icons(resources)
    check_icon_files_reproducible()
    check_version(pe, resources)
    check_manifest(resources)
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        sys.exit(1)
    print("resources of", os.path.basename(sys.argv[1]), "as expected")


if __name__ == "__main__":
    main()
