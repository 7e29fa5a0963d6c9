#!/usr/bin/env python3
"""Proves that check_exe.py catches what it is meant to catch: the built
executable must pass, and every damaged copy of it must fail with the
problem its damage causes; a signed copy whose certificate table alone takes
it over the size limit must still pass."""

import struct
import sys
import zlib

import check_exe


def replace_once(data, old, new, start=0):
    assert len(old) == len(new), "damage must keep the file's layout"
    at = data.find(old, start)
    if at < 0:
        raise LookupError(f"{old!r} not found")
    return data[:at] + new + data[at + len(old):]


def patch(data, offset, new):
    return data[:offset] + new + data[offset + len(new):]


def resource(pe, type_id):
    return next(r for r in check_exe.resource_leaves(pe) if r.type_id == type_id)


def header_field(pe, header, field, fmt, value):
    return patch(pe.__data__, getattr(pe, header).get_field_absolute_offset(field), struct.pack(fmt, value))


def in_version(pe, old, new, after=None):
    v = resource(pe, check_exe.RT_VERSION)
    start = v.file_offset
    if after is not None:
        start = pe.__data__.index(after.encode("utf-16-le"), start)
    return replace_once(pe.__data__, old.encode("utf-16-le"), new.encode("utf-16-le"), start)


def group_entry(pe, index, field_offset, fmt, value):
    g = resource(pe, check_exe.RT_GROUP_ICON)
    return patch(pe.__data__, g.file_offset + 6 + 14 * index + field_offset, struct.pack(fmt, value))


def fixed_info(pe, word_index, value):
    v = resource(pe, check_exe.RT_VERSION)
    signature = pe.__data__.index(struct.pack("<I", 0xFEEF04BD), v.file_offset)
    return patch(pe.__data__, signature + 4 * word_index, struct.pack("<I", value))


def icon_image(pe, index):
    """(file offset, bytes) of the group's index-th icon image."""
    g = resource(pe, check_exe.RT_GROUP_ICON)
    (icon_id,) = struct.unpack_from("<H", pe.__data__, g.file_offset + 6 + 14 * index + 12)
    image = next(r for r in check_exe.resource_leaves(pe)
                 if r.type_id == check_exe.RT_ICON and r.name == icon_id)
    return image.file_offset, check_exe.resource_bytes(pe, image)


def png_header(pe, index, field_offset, fmt, value):
    """Rewrites a field of a PNG icon's IHDR chunk and its CRC, so the
    damage shows as a wrong image, not as a corrupt chunk."""
    at, image = icon_image(pe, index)
    if not image.startswith(check_exe.PNG_SIGNATURE):
        raise ValueError("the icon image is not a PNG")
    ihdr = bytearray(image[12:29])  # type and body
    struct.pack_into(fmt, ihdr, 4 + field_offset, value)
    return patch(pe.__data__, at + 12, bytes(ihdr) + struct.pack(">I", zlib.crc32(ihdr)))


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def other_png(pe, index, side, colour_type, channels):
    """A well-formed PNG of another form, in the room of the index-th image."""
    at, image = icon_image(pe, index)
    rows = (b"\0" + bytes(side * channels)) * side
    png = (check_exe.PNG_SIGNATURE
           + png_chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, colour_type, 0, 0, 0))
           + png_chunk(b"IDAT", zlib.compress(rows)) + png_chunk(b"IEND", b""))
    if len(png) > len(image):
        raise ValueError("the replacement PNG does not fit")
    return patch(pe.__data__, at, png + bytes(len(image) - len(png)))


def png_pixels_flipped(pe, index):
    at, image = icon_image(pe, index)
    idat = image.index(b"IDAT")
    return patch(pe.__data__, at + idat + 20, bytes([image[idat + 20] ^ 0x55]))


def as_bitmap(pe, index):
    """The same room filled with a 32-bit bitmap header and its pixels."""
    at, image = icon_image(pe, index)
    side = struct.unpack_from(">I", image, 16)[0]
    header = struct.pack("<IiiHHIIiiII", 40, side, 2 * side, 1, 32, 0, 0, 0, 0, 0, 0)
    return patch(pe.__data__, at, header + bytes(len(image) - len(header)))


def translation(pe, code_page):
    v = resource(pe, check_exe.RT_VERSION)
    at = pe.__data__.index("Translation".encode("utf-16-le"), v.file_offset)
    return replace_once(pe.__data__, struct.pack("<HH", 0, 1200), struct.pack("<HH", 0, code_page), at)


def rename_import(pe, name):
    at = pe.get_offset_from_rva(pe.DIRECTORY_ENTRY_IMPORT[-1].struct.Name)
    old = pe.__data__[at:pe.__data__.index(b"\0", at)]
    return patch(pe.__data__, at, name.encode("ascii")[:len(old)].ljust(len(old), b"x"))


def rename_function(pe, name):
    """Overwrites the longest imported function name that has room for `name`."""
    functions = [f for e in check_exe.import_entries(pe) for f in e.imports if f.name]
    room = max(functions, key=lambda f: len(f.name))
    if len(room.name) < len(name):
        raise ValueError(f"no imported name has room for {name}")
    return patch(pe.__data__, room.name_offset, name.encode("ascii").ljust(len(room.name), b"\0"))


def plant_after_code(pe, needle):
    # The DOS stub's message is free for the taking and outside every section.
    at = pe.__data__.index(b"This program cannot be run")
    return patch(pe.__data__, at, needle)


def other_version(version):
    """The same text with its last digit changed."""
    return version[:-1] + ("8" if version[-1] == "9" else "9")


def without_dll_characteristic(pe, name):
    flags = pe.OPTIONAL_HEADER.DllCharacteristics & ~check_exe.pefile.DLL_CHARACTERISTICS[name]
    return header_field(pe, "OPTIONAL_HEADER", "DllCharacteristics", "<H", flags)


def relocations_directory(pe, size):
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]  # IMAGE_DIRECTORY_ENTRY_BASERELOC
    return patch(pe.__data__, entry.get_field_absolute_offset("Size"), struct.pack("<I", size))


def renamed_section(pe, old, new):
    section = next(s for s in pe.sections if s.Name.rstrip(b"\0") == old)
    return patch(pe.__data__, section.get_file_offset(), new.ljust(8, b"\0"))


def with_certificate_table(pe, image_size, table_size, gap=0):
    """The file grown (with zeros) to image_size, a certificate table of
    table_size bytes `gap` bytes after it, and the security directory entry
    naming it, as a signature leaves a file. The table is a WIN_CERTIFICATE
    header (length, revision 2.0, PKCS#7 signed data) and zeros: the size
    check reads only where it lies."""
    data = pe.__data__ + bytes(image_size - len(pe.__data__))
    table = struct.pack("<IHH", table_size, 0x0200, 0x0002) + bytes(table_size - 8)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[check_exe.SECURITY_DIRECTORY]
    data = patch(data, entry.get_field_absolute_offset("VirtualAddress"), struct.pack("<II", image_size + gap,
                                                                                       table_size))
    return data + bytes(gap) + table


def signed_copies():
    """(name, make(pe) -> bytes, words a problem must contain, or None when
    the copy must pass)."""
    limit = check_exe.MAX_FILE_SIZE
    return [
        ("a signed file whose certificate table takes it over 96 KiB",
         lambda pe: with_certificate_table(pe, len(pe.__data__), limit - len(pe.__data__) + 4096), None),
        ("a signed file whose image is over 96 KiB",
         lambda pe: with_certificate_table(pe, limit + 8, 2048), "over the limit"),
        ("a certificate table with data after it",
         lambda pe: with_certificate_table(pe, len(pe.__data__), 2048) + bytes(16), "is not the end"),
        ("a certificate table that runs past the file's end",
         lambda pe: with_certificate_table(pe, len(pe.__data__), 2048)[:-16], "is not the end"),
    ]


def damages(text, web, version, legal):
    """(name, damage(pe) -> bytes, words the reported problem must contain)"""
    return [
        ("a file over 96 KiB", lambda pe: pe.__data__ + bytes(96 * 1024 + 1 - len(pe.__data__)),
         "over the limit"),
        *[(f"{flag} cleared", lambda pe, flag=flag: without_dll_characteristic(pe, flag), f"lacks {flag}")
          for flag in check_exe.REQUIRED_DLL_CHARACTERISTICS],
        ("relocations stripped",
         lambda pe: header_field(pe, "FILE_HEADER", "Characteristics", "<H", pe.FILE_HEADER.Characteristics | 1),
         "RELOCS_STRIPPED"),
        ("no base relocation directory", lambda pe: relocations_directory(pe, 0), "no base relocations"),
        ("relocations outside .reloc", lambda pe: renamed_section(pe, b".reloc", b".rdata2"), "not in a .reloc"),
        ("machine is x86", lambda pe: header_field(pe, "FILE_HEADER", "Machine", "<H", 0x14C), "x64"),
        ("subsystem is GUI", lambda pe: header_field(pe, "OPTIONAL_HEADER", "Subsystem", "<H", 2),
         "console"),
        ("stack reserve of 2 MiB",
         lambda pe: header_field(pe, "OPTIONAL_HEADER", "SizeOfStackReserve", "<Q", 0x200000), "reserved"),
        ("stack commit of 8 KiB",
         lambda pe: header_field(pe, "OPTIONAL_HEADER", "SizeOfStackCommit", "<Q", 0x2000), "committed"),
        ("an import from another DLL", lambda pe: rename_import(pe, "user32.dll"), "not allowed"),
        *[(f"an import from {name}", lambda pe, name=name: rename_import(pe, name), "an API set")
          for name in ("api-ms-win-core-synch-l1-2-0.dll", "ext-ms-win-ntuser-window-l1-1-0.dll")],
        *[(f"an import of {name}", lambda pe, name=name: rename_function(pe, name),
           f"imports {name} from")
          for name in ("WaitOnAddress", "GetSystemTimePreciseAsFileTime", "SetDefaultDllDirectories",
                       "RtlWaitOnAddress")],
        ("manifest asks for the caller's rights",
         lambda pe: replace_once(pe.__data__, b'level="requireAdministrator"', b'level="highestAvailable"    '),
         "level is 'highestAvailable'"),
        ("manifest mentions asInvoker",
         lambda pe: replace_once(pe.__data__, b'level="requireAdministrator"', b'level="asInvoker"           '),
         "asInvoker"),
        ("manifest grants UI access",
         lambda pe: replace_once(pe.__data__, b'uiAccess="false"', b'uiAccess="true" '), "uiAccess"),
        ("manifest broken", lambda pe: replace_once(pe.__data__, b"</assembly>", b"</assemblx>"),
         "well-formed"),
        ("manifest identity of another version",
         lambda pe: replace_once(pe.__data__, b'version="' + version.encode(),
                                 b'version="' + other_version(version).encode(), pe.__data__.index(b"<assemblyIdentity")),
         "assemblyIdentity versions"),
        ("file version number", lambda pe: fixed_info(pe, 3, 0xFFFF), "file version number is"),
        ("product version number", lambda pe: fixed_info(pe, 4, 0x20000), "product version number"),
        ("file version string",
         lambda pe: in_version(pe, version, other_version(version), after="FileVersion"),
         "FileVersion"),
        ("product version string",
         lambda pe: in_version(pe, version, other_version(version), after="ProductVersion"),
         "ProductVersion"),
        ("company name", lambda pe: in_version(pe, web, web[:-1] + "X", after="CompanyName"),
         "CompanyName"),
        ("product name", lambda pe: in_version(pe, "windows", "Windows", after="ProductName"),
         "ProductName"),
        ("file description", lambda pe: in_version(pe, "repair", "rePair", after="FileDescription"),
         "FileDescription"),
        ("another copyright", lambda pe: in_version(pe, legal, legal[:-1] + "X", after="LegalCopyright"),
         "LegalCopyright"),
        ("an extra version string",
         lambda pe: in_version(pe, "FileDescription", "FileDescriptioN"), "FileDescriptioN"),
        ("string table for another language", lambda pe: in_version(pe, "000004b0", "040904b0"),
         "string tables"),
        ("translation code page", lambda pe: translation(pe, 1252), "Translation"),
        ("an icon of 24 bits", lambda pe: group_entry(pe, 2, 6, "<H", 24), "bits per pixel"),
        ("an icon of another size", lambda pe: group_entry(pe, 0, 0, "<B", 20), "icon sizes"),
        ("an icon image stored as a bitmap", lambda pe: as_bitmap(pe, 1), "not PNG-compressed"),
        ("a PNG smaller than its group says", lambda pe: other_png(pe, 0, 8, 6, 4),
         "image is 8x8 at 32 bpp, group says 16x16"),
        ("a PNG of 24-bit colour", lambda pe: other_png(pe, 0, 16, 2, 3), "image is 16x16 at 24 bpp"),
        ("a PNG whose header names another width", lambda pe: png_header(pe, 3, 0, ">I", 40),
         "not 40x48 at 32 bpp"),
        ("a PNG of 16 bits per channel", lambda pe: png_header(pe, 5, 8, ">B", 16), "at 64 bpp"),
        ("a PNG whose pixel data is damaged", lambda pe: png_pixels_flipped(pe, 0), "corrupt"),
        ("text in the clear as UTF-8", lambda pe: plant_after_code(pe, text.encode("utf-8")),
         "as utf-8"),
        ("text in the clear as UTF-16", lambda pe: pe.__data__ + text.encode("utf-16-le"),
         "as utf-16-le"),
        ("web address in the clear", lambda pe: plant_after_code(pe, web.encode("utf-16-le")),
         "outside the version resource"),
        ("not a PE file", lambda pe: b"ZM" + pe.__data__[2:], "not a readable PE file"),
    ]


def main(argv):
    args, data = check_exe.parse_arguments(argv, __doc__.splitlines()[0])
    text = check_exe.read_publisher_text(args.publisher_text_file)
    web = args.web_address
    version = args.version

    failures = []
    clean = check_exe.check(data, text, web, version, args.legal_copyright)
    if clean:
        print("the undamaged executable does not pass, so damage proves nothing:")
        for p in clean:
            print("  " + p)
        return 1
    pe = check_exe.load(data)
    if check_exe.image_size(pe)[1]:
        print("the executable is signed already: the signed copies would not be what they say")
        return 1
    for name, make, expected in signed_copies():
        problems = check_exe.check(make(pe), text, web, version, args.legal_copyright)
        if expected is None and problems:
            failures.append(f"{name}: must pass, but {problems}")
        elif expected is not None and not any(expected in p for p in problems):
            failures.append(f"{name}: no problem mentioning {expected!r}; got {problems}")
    for name, damage, expected in damages(text, web, version, args.legal_copyright):
        try:
            damaged = damage(pe)
        except (LookupError, ValueError, StopIteration) as e:
            failures.append(f"{name}: could not damage the file ({e})")
            continue
        if damaged == data:
            failures.append(f"{name}: the damage changed nothing")
            continue
        problems = check_exe.check(damaged, text, web, version, args.legal_copyright)
        if not any(expected in p for p in problems):
            failures.append(f"{name}: no problem mentioning {expected!r}; got {problems}")
    for f in failures:
        print(f)
    if not failures:
        print("every kind of damage was caught, and a certificate table over the limit was not held "
              "against the image")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
