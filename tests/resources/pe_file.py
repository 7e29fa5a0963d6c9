"""Just enough of the PE/COFF format to inspect a built x64 executable:
headers, sections, the resource tree and the names of imported DLLs."""

import struct

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
DIR_IMPORT = 1
DIR_RESOURCE = 2
DIR_DELAY_IMPORT = 13


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, virtual_address, virtual_size, raw_offset, raw_size):
        self.name = name
        self.virtual_address = virtual_address
        self.virtual_size = virtual_size
        self.raw_offset = raw_offset
        self.raw_size = raw_size


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


class PeFile:
    def __init__(self, data):
        self.data = bytes(data)
        self._parse_headers()

    # --- headers ----------------------------------------------------------
    def _unpack(self, fmt, offset):
        size = struct.calcsize(fmt)
        if offset < 0 or offset + size > len(self.data):
            raise PeError(f"read past the end of the file at 0x{offset:x}")
        return struct.unpack_from(fmt, self.data, offset)

    def _parse_headers(self):
        if self.data[:2] != b"MZ":
            raise PeError("no MZ header")
        (self.pe_offset,) = self._unpack("<I", 0x3C)
        if self.data[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = self.pe_offset + 4
        (self.machine, section_count, self.timestamp, _, _, optional_size,
         self.characteristics) = self._unpack("<HHIIIHH", coff)
        self.machine_offset = coff
        optional = coff + 20
        self.optional_offset = optional
        (self.magic,) = self._unpack("<H", optional)
        if self.magic != PE32_PLUS_MAGIC:
            raise PeError(f"optional header magic 0x{self.magic:x} is not PE32+")
        self.subsystem_offset = optional + 68
        (self.subsystem,) = self._unpack("<H", self.subsystem_offset)
        (self.stack_reserve, self.stack_commit) = self._unpack("<QQ", optional + 72)
        (directory_count,) = self._unpack("<I", optional + 108)
        self.directories = []
        for i in range(min(directory_count, 16)):
            self.directories.append(self._unpack("<II", optional + 112 + 8 * i))
        self.sections = []
        table = optional + optional_size
        for i in range(section_count):
            name, vsize, va, raw_size, raw_offset = self._unpack("<8sIIII", table + 40 * i)
            self.sections.append(Section(name.rstrip(b"\0").decode("latin-1"), va, vsize,
                                         raw_offset, raw_size))

    def directory(self, index):
        if index >= len(self.directories):
            return 0, 0
        return self.directories[index]

    def offset_of(self, rva):
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                delta = rva - s.virtual_address
                if delta >= s.raw_size:
                    raise PeError(f"RVA 0x{rva:x} lies in uninitialised data")
                return s.raw_offset + delta
        raise PeError(f"RVA 0x{rva:x} is in no section")

    def read_rva(self, rva, size):
        start = self.offset_of(rva)
        if start + size > len(self.data):
            raise PeError(f"RVA 0x{rva:x}+{size} runs past the end of the file")
        return self.data[start:start + size]

    def ascii_at(self, rva):
        start = self.offset_of(rva)
        end = self.data.index(b"\0", start)
        return self.data[start:end].decode("latin-1")

    # --- imports ----------------------------------------------------------
    def imported_dlls(self):
        names = []
        rva, size = self.directory(DIR_IMPORT)
        if rva:
            pos = rva
            while True:
                descriptor = self.read_rva(pos, 20)
                if descriptor == bytes(20):
                    break
                name_rva = struct.unpack_from("<I", descriptor, 12)[0]
                names.append(self.ascii_at(name_rva))
                pos += 20
        rva, size = self.directory(DIR_DELAY_IMPORT)
        if rva:
            pos = rva
            while True:
                descriptor = self.read_rva(pos, 32)
                if descriptor == bytes(32):
                    break
                name_rva = struct.unpack_from("<I", descriptor, 4)[0]
                names.append(self.ascii_at(name_rva))
                pos += 32
        return names

    def import_name_offsets(self):
        """File offsets of the DLL names in the import table, in order."""
        offsets = []
        rva, _ = self.directory(DIR_IMPORT)
        pos = rva
        while rva:
            descriptor = self.read_rva(pos, 20)
            if descriptor == bytes(20):
                break
            offsets.append(self.offset_of(struct.unpack_from("<I", descriptor, 12)[0]))
            pos += 20
        return offsets

    # --- resources --------------------------------------------------------
    def resources(self):
        root, size = self.directory(DIR_RESOURCE)
        if not root:
            return []
        leaves = []
        self._walk(root, root, 0, [], leaves, set())
        return leaves

    def _entry_id(self, root, value):
        if value & 0x80000000:
            pos = root + (value & 0x7FFFFFFF)
            (length,) = struct.unpack("<H", self.read_rva(pos, 2))
            return self.read_rva(pos + 2, 2 * length).decode("utf-16-le")
        return value

    def _walk(self, root, directory, depth, path, leaves, seen):
        if depth > 2 or directory in seen:
            raise PeError("malformed resource tree")
        seen.add(directory)
        header = self.read_rva(directory, 16)
        named, numbered = struct.unpack_from("<HH", header, 12)
        for i in range(named + numbered):
            name, target = struct.unpack("<II", self.read_rva(directory + 16 + 8 * i, 8))
            key = path + [self._entry_id(root, name)]
            if target & 0x80000000:
                self._walk(root, root + (target & 0x7FFFFFFF), depth + 1, key, leaves, seen)
            else:
                if depth != 2:
                    raise PeError("resource data above the language level")
                data_rva, data_size, _, _ = struct.unpack("<IIII", self.read_rva(root + target, 16))
                leaves.append(Resource(key[0], key[1], key[2], data_rva, data_size,
                                       self.offset_of(data_rva)))

    def resource_bytes(self, resource):
        return self.read_rva(resource.rva, resource.size)
