#!/usr/bin/env python3
"""Checks the built winrepair.exe from the outside: its headers, imports,
resources, and that the publisher text is not stored in the clear.

Prints one line per problem and exits with 1 if there is any."""

import argparse
import os
import struct
import sys
import xml.etree.ElementTree as ElementTree
import zlib

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "publisher"))
from publisher_text import read_publisher_text  # noqa: E402

RT_ICON = pefile.RESOURCE_TYPE["RT_ICON"]
RT_GROUP_ICON = pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]
IMAGE_FILE_MACHINE_AMD64 = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
IMAGE_SUBSYSTEM_WINDOWS_CUI = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]
ALLOWED_DLLS = {"kernel32.dll", "ntdll.dll", "msvcrt.dll"}
# API-set names resolve only on the Windows versions that know that set.
API_SET_PREFIXES = ("api-ms-", "ext-ms-")
# Functions first shipped after Windows 7 SP1: an import of any of them keeps
# the program from starting there at all ("entry point not found").
# SetDefaultDllDirectories, AddDllDirectory and RemoveDllDirectory reach
# Windows 7 only with update KB2533623, which not every machine has.
NEWER_THAN_WINDOWS_7 = {
    "WaitOnAddress", "WakeByAddressSingle", "WakeByAddressAll",
    "RtlWaitOnAddress", "RtlWakeAddressSingle", "RtlWakeAddressAll",
    "NtWaitForAlertByThreadId", "NtAlertThreadByThreadId",
    "GetSystemTimePreciseAsFileTime", "CreateFile2", "CopyFile2",
    "SetThreadDescription", "GetThreadDescription", "GetCurrentThreadStackLimits",
    "PrefetchVirtualMemory", "SetProcessMitigationPolicy", "GetProcessMitigationPolicy",
    "VirtualAlloc2", "MapViewOfFile3", "VirtualAllocFromApp", "MapViewOfFileFromApp",
    "CreateFileMappingFromApp",
    "SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory",
    "InitializeSynchronizationBarrier", "EnterSynchronizationBarrier", "DeleteSynchronizationBarrier",
    "GetOverlappedResultEx", "RoInitialize", "RoUninitialize",
    "GetPackageFamilyName", "GetCurrentPackageId", "GetCurrentPackageFullName",
}
ICON_SIZES = [16, 24, 32, 48, 64, 96, 128]
# A download that stays small. The limit holds the image: the Authenticode
# certificate table a signature appends is left out, as a real certificate
# chain and an RFC 3161 timestamp token add several kilobytes that the
# program's own size has no say in.
MAX_FILE_SIZE = 96 * 1024
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
STRING_TABLE = "000004b0"
TRANSLATION = struct.pack("<HH", 0x0000, 1200)
FIXED_INFO_SIGNATURE = 0xFEEF04BD


class PeError(Exception):
    pass


class Resource:
    """One leaf of the resource tree. type_id/name are ints for numeric ids
    and strings for named entries."""

    def __init__(self, type_id, name, language, rva, size, file_offset):
        self.type_id = type_id
        self.name = name
        self.language = language
        self.rva = rva
        self.size = size
        self.file_offset = file_offset


def load(data):
    """The parsed executable; PeError for anything pefile cannot read as PE32+."""
    try:
        pe = pefile.PE(data=bytes(data))
    except pefile.PEFormatError as e:
        raise PeError(str(e)) from e
    if pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
        raise PeError(f"optional header magic 0x{pe.OPTIONAL_HEADER.Magic:x} is not PE32+")
    return pe


def entry_id(entry):
    return str(entry.name) if entry.name is not None else entry.id


def subdirectory(entry):
    if not hasattr(entry, "directory"):
        raise PeError("resource data above the language level")
    return entry.directory.entries


def resource_leaves(pe):
    """Every leaf of the resource tree (type, name, language), in its order."""
    leaves = []
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else ():
        for name in subdirectory(kind):
            for language in subdirectory(name):
                if not hasattr(language, "data"):
                    raise PeError("resource directory nested below the language level")
                rva, size = language.data.struct.OffsetToData, language.data.struct.Size
                offset = pe.get_offset_from_rva(rva)
                if offset is None or offset + size > len(pe.__data__):
                    raise PeError(f"resource data at RVA 0x{rva:x} lies outside the file")
                leaves.append(Resource(entry_id(kind), entry_id(name), entry_id(language),
                                       rva, size, offset))
    return leaves


def resource_bytes(pe, resource):
    return pe.__data__[resource.file_offset:resource.file_offset + resource.size]


def image_size(pe):
    """(bytes of the file without its certificate table, bytes of the
    table), or a text saying why the table cannot be told apart. The table
    is the last thing in a signed file: its directory entry holds a file
    offset (not an address), and the file ends with the table padded to 8
    bytes."""
    size = len(pe.__data__)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
    if not security.VirtualAddress and not security.Size:
        return size, 0
    start, length = security.VirtualAddress, security.Size
    if start % 8 or length < 8 or start + length > size or (start + length + 7) // 8 * 8 < size:
        return (f"the certificate table (offset 0x{start:x}, {length} bytes) is not the end of the "
                f"{size}-byte file")
    return start, size - start


def check_headers(pe):
    problems = []
    sizes = image_size(pe)
    if isinstance(sizes, str):
        problems.append(sizes)
    elif sizes[0] > MAX_FILE_SIZE:
        problems.append(f"the image is {sizes[0]} bytes without its certificate table, over the limit of "
                        f"{MAX_FILE_SIZE}")
    machine = pe.FILE_HEADER.Machine
    if machine != IMAGE_FILE_MACHINE_AMD64:
        problems.append(f"machine is 0x{machine:04x}, not x64 (0x8664)")
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    if subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        problems.append(f"subsystem is {subsystem}, not console (3)")
    # The main thread's stack: 1 MiB reserved, 4 KiB committed.
    reserve, commit = pe.OPTIONAL_HEADER.SizeOfStackReserve, pe.OPTIONAL_HEADER.SizeOfStackCommit
    if (reserve, commit) != (0x100000, 0x1000):
        problems.append(f"stack is 0x{reserve:x} reserved / 0x{commit:x} committed, "
                        "not 0x100000 / 0x1000")
    return problems


# Windows loads the image at a random address (which needs its base
# relocations), anywhere in the 64-bit space, with data not executable, and
# applies no terminal-server compatibility shims.
REQUIRED_DLL_CHARACTERISTICS = ["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE",
                                "IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA",
                                "IMAGE_DLLCHARACTERISTICS_NX_COMPAT",
                                "IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"]


def check_security_flags(pe):
    problems = []
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for name in REQUIRED_DLL_CHARACTERISTICS:
        if not flags & pefile.DLL_CHARACTERISTICS[name]:
            problems.append(f"DllCharacteristics 0x{flags:04x} lacks {name}")
    if pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]:
        problems.append("IMAGE_FILE_RELOCS_STRIPPED is set: the image cannot move, so no ASLR")
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if not relocations.Size or not getattr(pe, "DIRECTORY_ENTRY_BASERELOC", None):
        problems.append("no base relocations: Windows cannot apply ASLR")
    elif not any(s.Name.rstrip(b"\0") == b".reloc" and s.contains_rva(relocations.VirtualAddress)
                 for s in pe.sections):
        problems.append("the base relocations are not in a .reloc section")
    return problems


def import_entries(pe):
    return getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) + getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])


def check_imports(pe):
    entries = import_entries(pe)
    if not entries:
        return ["the import table names no DLL"]
    problems = []
    for entry in entries:
        dll = entry.dll.decode("latin-1")
        if dll.lower().startswith(API_SET_PREFIXES):
            problems.append(f"imports from {dll}, an API set that older Windows versions lack")
        elif dll.lower() not in ALLOWED_DLLS:
            problems.append(f"imports from {dll}, which is not allowed")
        for function in entry.imports:
            name = function.name.decode("latin-1") if function.name else None
            if name in NEWER_THAN_WINDOWS_7:
                problems.append(f"imports {name} from {dll}, which Windows 7 SP1 lacks")
    return problems


def single(resources, type_id, what):
    found = [r for r in resources if r.type_id == type_id]
    if len(found) != 1:
        return None, [f"expected exactly one {what} resource, found {len(found)}"]
    return found[0], []


def version_numbers(version):
    """The four numbers Windows shows for a version of one to four parts."""
    numbers = [int(part) for part in version.split(".")]
    if not 1 <= len(numbers) <= 4 or any(not 0 <= n <= 0xFFFF for n in numbers):
        raise ValueError(f"bad version {version!r}")
    return tuple(numbers + [0] * (4 - len(numbers)))


def check_manifest(pe, resources, version):
    manifest, problems = single(resources, RT_MANIFEST, "manifest")
    if not manifest:
        return problems
    if manifest.name != 1:
        problems.append(f"the manifest has id {manifest.name!r}, not 1")
    text = resource_bytes(pe, manifest)
    if b"asInvoker" in text:
        problems.append("the manifest mentions asInvoker")
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as e:
        return problems + [f"the manifest is not well-formed XML: {e}"]
    levels = [e for e in root.iter() if e.tag.rsplit("}", 1)[-1] == "requestedExecutionLevel"]
    if len(levels) != 1:
        return problems + [f"expected one requestedExecutionLevel, found {len(levels)}"]
    identities = [e for e in root.iter() if e.tag.rsplit("}", 1)[-1] == "assemblyIdentity"]
    wanted_identity = ".".join(map(str, version_numbers(version)))
    if [i.get("version") for i in identities] != [wanted_identity]:
        problems.append(f"the manifest's assemblyIdentity versions are "
                        f"{[i.get('version') for i in identities]}, not [{wanted_identity!r}]")
    level = levels[0]
    if level.get("level") != "requireAdministrator":
        problems.append(f"requestedExecutionLevel level is {level.get('level')!r}")
    if level.get("uiAccess") != "false":
        problems.append(f"requestedExecutionLevel uiAccess is {level.get('uiAccess')!r}")
    return problems


class VersionNode:
    def __init__(self, key, value_type, value, children):
        self.key = key
        self.value_type = value_type
        self.value = value
        self.children = children


def align4(n):
    return (n + 3) & ~3


def parse_version_node(data, pos):
    """Parses one VS_VERSIONINFO-style node; returns it and where it ends."""
    if pos + 6 > len(data):
        raise PeError("version resource node runs past its end")
    length, value_length, value_type = struct.unpack_from("<HHH", data, pos)
    end = pos + length
    if length < 6 or end > len(data):
        raise PeError(f"version resource node of bad length {length}")
    key_start = pos + 6
    key_end = key_start
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise PeError("unterminated key in the version resource")
    key = data[key_start:key_end].decode("utf-16-le")
    value_start = align4(key_end + 2)
    # Text values count their length in characters, binary ones in bytes.
    value_size = value_length * 2 if value_type == 1 else value_length
    value = data[value_start:min(value_start + value_size, end)]
    children = []
    child = align4(value_start + value_size)
    while child < end:
        node, child_end = parse_version_node(data, child)
        children.append(node)
        child = align4(child_end)
    return VersionNode(key, value_type, value, children), end


def text_value(node):
    return node.value.decode("utf-16-le").rstrip("\0")


def check_version(pe, resources, web_address, version, legal_copyright):
    resource, problems = single(resources, RT_VERSION, "version")
    if not resource:
        return problems
    root, _ = parse_version_node(resource_bytes(pe, resource), 0)
    if root.key != "VS_VERSION_INFO" or len(root.value) != 52:
        return problems + ["the version resource has no fixed file information"]
    fixed = struct.unpack_from("<13I", root.value)
    if fixed[0] != FIXED_INFO_SIGNATURE:
        problems.append("the fixed file information has a wrong signature")
    numbers = version_numbers(version)
    wanted_ms = (numbers[0] << 16) | numbers[1]
    wanted_ls = (numbers[2] << 16) | numbers[3]
    for what, ms, ls in (("file", fixed[2], fixed[3]), ("product", fixed[4], fixed[5])):
        if (ms, ls) != (wanted_ms, wanted_ls):
            shown = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
            problems.append(f"{what} version number is {shown}, not {'.'.join(map(str, numbers))}")

    string_infos = [c for c in root.children if c.key == "StringFileInfo"]
    var_infos = [c for c in root.children if c.key == "VarFileInfo"]
    tables = [t for info in string_infos for t in info.children]
    if [t.key.lower() for t in tables] != [STRING_TABLE]:
        problems.append(f"string tables are {[t.key for t in tables]}, not exactly [{STRING_TABLE!r}]")
    else:
        strings = {s.key: text_value(s) for s in tables[0].children}
        product = web_address + " windows repair"
        wanted = {
            "CompanyName": web_address,
            "FileDescription": product,
            "FileVersion": version,
            "LegalCopyright": legal_copyright,
            "ProductName": product,
            "ProductVersion": version,
        }
        if len(strings) != len(tables[0].children):
            problems.append("a version string appears twice")
        for key in sorted(set(strings) | set(wanted)):
            if strings.get(key) != wanted.get(key):
                problems.append(f"version string {key} is {strings.get(key)!r}, "
                                f"not {wanted.get(key)!r}")
    translations = [v.value for info in var_infos for v in info.children if v.key == "Translation"]
    if translations != [TRANSLATION]:
        problems.append(f"VarFileInfo Translation is {[t.hex() for t in translations]}, "
                        f"not language 0 with code page 1200")
    return problems


PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
PNG_CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}  # by colour type


def png_image(data):
    """Decodes a PNG icon image as far as its pixel rows: returns (width,
    height, bits per pixel), or a text saying what is wrong with it."""
    pos = len(PNG_SIGNATURE)
    header = None
    compressed = bytearray()
    while True:
        if pos + 12 > len(data):
            return "PNG ends before its IEND chunk"
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + length]
        if len(body) != length or pos + 12 + length > len(data):
            return f"PNG chunk {kind!r} runs past the image's end"
        (crc,) = struct.unpack_from(">I", data, pos + 8 + length)
        if zlib.crc32(kind + body) != crc:
            return f"PNG chunk {kind!r} is corrupt (CRC mismatch)"
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            compressed += body
        elif kind == b"IEND":
            break
    if header is None:
        return "PNG has no IHDR chunk"
    width, height, depth, colour_type, _, _, interlace = header
    if colour_type not in PNG_CHANNELS or interlace != 0:
        return f"PNG has colour type {colour_type}, interlace {interlace}"
    bits = depth * PNG_CHANNELS[colour_type]
    try:
        rows = zlib.decompress(bytes(compressed))
    except zlib.error as e:
        return f"PNG pixel data does not inflate: {e}"
    # Each row: a filter byte, then the pixels.
    if len(rows) != height * (1 + (width * bits + 7) // 8):
        return f"PNG pixel data holds {len(rows)} bytes, not {width}x{height} at {bits} bpp"
    return width, height, bits


def bitmap_image(data):
    """(width, height, bits per pixel) of an icon stored as a BITMAPINFOHEADER
    with its AND mask (height counts both halves), or a text saying why not."""
    if len(data) < 40 or struct.unpack_from("<I", data)[0] != 40:
        return "neither PNG nor a device-independent bitmap"
    width, height, _, bits = struct.unpack_from("<iiHH", data, 4)
    return width, height // 2, bits


def check_icons(pe, resources):
    groups = [r for r in resources if r.type_id == RT_GROUP_ICON]
    if len(groups) != 1:
        return [f"expected exactly one icon group, found {len(groups)}"]
    data = resource_bytes(pe, groups[0])
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if (reserved, kind) != (0, 1) or len(data) < 6 + 14 * count:
        return ["the icon group header is malformed"]
    icons = {r.name: r for r in resources if r.type_id == RT_ICON}
    problems = []
    sizes = []
    for i in range(count):
        width, height, _, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        width, height = width or 256, height or 256
        sizes.append(width)
        if width != height:
            problems.append(f"icon {icon_id} is {width}x{height}, not square")
        if bits != 32:
            problems.append(f"icon {icon_id} ({width}px) has {bits} bits per pixel in its group")
        image = icons.get(icon_id)
        if image is None:
            problems.append(f"icon {icon_id} of the group is missing")
            continue
        if image.size != size:
            problems.append(f"icon {icon_id}: group says {size} bytes, resource has {image.size}")
        image_data = resource_bytes(pe, image)
        if image_data.startswith(PNG_SIGNATURE):
            found = png_image(image_data)
        else:
            found = bitmap_image(image_data)
            # Vista and later read PNG at every size; a bitmap wastes the room.
            problems.append(f"icon {icon_id} ({width}px) is stored as a bitmap, not PNG-compressed")
        if isinstance(found, str):
            problems.append(f"icon {icon_id} ({width}px): {found}")
        elif found != (width, height, 32):
            problems.append(f"icon {icon_id}: image is {found[0]}x{found[1]} at {found[2]} bpp, "
                            f"group says {width}x{height} at 32")
    if sorted(sizes) != ICON_SIZES or len(sizes) != len(ICON_SIZES):
        problems.append(f"icon sizes are {sorted(sizes)}, not {ICON_SIZES}")
    return problems


def occurrences(data, needle):
    start = data.find(needle)
    while start != -1:
        yield start
        start = data.find(needle, start + 1)


def check_hidden_text(pe, resources, texts):
    """Each text may appear only inside the version resource."""
    versions = [r for r in resources if r.type_id == RT_VERSION]
    allowed = [(r.file_offset, r.file_offset + r.size) for r in versions]
    # An Authenticode signature names its publisher by design. Its directory
    # entry holds a file offset, not an address.
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    if security.VirtualAddress and security.Size:
        allowed.append((security.VirtualAddress, security.VirtualAddress + security.Size))
    problems = []
    for text in sorted(set(texts)):
        for encoding in ("utf-8", "utf-16-le"):
            needle = text.encode(encoding)
            for at in occurrences(pe.__data__, needle):
                if not any(lo <= at and at + len(needle) <= hi for lo, hi in allowed):
                    problems.append(f"{text!r} appears as {encoding} at file offset 0x{at:x}, "
                                    f"outside the version resource")
    return problems


def check(data, publisher_text, web_address, version, legal_copyright):
    try:
        pe = load(data)
        leaves = resource_leaves(pe)
        return (check_headers(pe) + check_security_flags(pe) + check_imports(pe) + check_manifest(pe, leaves, version)
                + check_version(pe, leaves, web_address, version, legal_copyright) + check_icons(pe, leaves)
                + check_hidden_text(pe, leaves, [publisher_text, web_address]))
    except (PeError, pefile.PEFormatError) as e:
        return [f"not a readable PE file: {e}"]


def read_legal_copyright(license_path):
    """What the version resource's LegalCopyright says: the copyright line of
    LICENSE and the licence's name, its first line."""
    with open(license_path, encoding="utf-8") as f:
        lines = [line.strip() for line in f]
    copyright_line = next((line for line in lines if line.startswith("Copyright ")), None)
    if not lines or not lines[0] or copyright_line is None:
        raise ValueError(f"{license_path}: no licence name on the first line or no copyright line")
    return f"{copyright_line}. {lines[0]}"


def parse_arguments(argv, description):
    """The options both checkers take; returns them with the executable's bytes."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--publisher-text-file", required=True)
    parser.add_argument("--web-address", required=True)
    parser.add_argument("--version", required=True, help="the project's version, e.g. 1.0.0")
    parser.add_argument("--license", required=True, help="LICENSE, whose copyright the executable shows")
    args = parser.parse_args(argv)
    args.legal_copyright = read_legal_copyright(args.license)
    with open(args.exe, "rb") as f:
        data = f.read()
    return args, data


def main(argv):
    args, data = parse_arguments(argv, __doc__.splitlines()[0])
    problems = check(data, read_publisher_text(args.publisher_text_file), args.web_address, args.version,
                     args.legal_copyright)
    for p in problems:
        print(f"{args.exe}: {p}")
    if not problems:
        image, table = image_size(load(data))
        signed = f"; {len(data)} bytes as signed, with its {table}-byte certificate table" if table else ", unsigned"
        print(f"{args.exe}: headers, imports, manifest, version, icons and hidden text all as expected; "
              f"image {image} of {MAX_FILE_SIZE} bytes allowed{signed}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
