"""Reads the resources of a 64-bit Windows executable straight from the file: the resource tree,
the version block and icon groups."""
import struct
from dataclasses import dataclass

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24


@dataclass
class Resource:
    type: object  # int id or str name
    name: object
    language: int
    data: bytes


def read_resources(path):
    with open(path, "rb") as source:
        image = source.read()
    if image[:2] != b"MZ":
        raise ValueError("not an executable: no MZ header")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        raise ValueError("not a 64-bit (PE32+) image")
    directories = struct.unpack_from("<I", image, optional + 108)[0]
    if directories <= 2:
        return []
    resource_rva, resource_size = struct.unpack_from("<II", image, optional + 112 + 2 * 8)
    if resource_rva == 0:
        return []

    section_table = optional + optional_size
    spans = []
    for i in range(sections):
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from(
            "<IIII", image, section_table + i * 40 + 8)
        spans.append((virtual_address, max(virtual_size, raw_size), raw_pointer))

    def offset(rva):
        for start, size, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"address {rva:#x} lies in no section")

    base = offset(resource_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", image, base + directory + 12)
        for i in range(named + numbered):
            key, target = struct.unpack_from("<II", image, base + directory + 16 + i * 8)
            if key & 0x80000000:
                length = struct.unpack_from("<H", image, base + (key & 0x7FFFFFFF))[0]
                start = base + (key & 0x7FFFFFFF) + 2
                key = image[start:start + 2 * length].decode("utf-16-le")
            yield key, target

    found = []
    for kind, types in entries(0):
        for name, names in entries(types & 0x7FFFFFFF):
            for language, leaf in entries(names & 0x7FFFFFFF):
                if leaf & 0x80000000:
                    raise ValueError("resource tree deeper than type/name/language")
                data_rva, size = struct.unpack_from("<II", image, base + leaf)
                at = offset(data_rva)
                found.append(Resource(kind, name, language, image[at:at + size]))
    return found


@dataclass
class VersionNode:
    key: str
    value: object  # bytes for binary values, str for text values
    children: list


def _align(at):
    return (at + 3) & ~3


def _node(data, at):
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_start = at + 6
    key_end = key_start
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[key_start:key_end].decode("utf-16-le")
    cursor = _align(key_end + 2)
    if kind == 1:  # text: the length counts characters, the final NUL among them
        raw = data[cursor:cursor + 2 * value_length]
        value = raw.decode("utf-16-le").rstrip("\0")
        cursor += 2 * value_length
    else:
        value = data[cursor:cursor + value_length]
        cursor += value_length
    cursor = _align(cursor)
    children = []
    while cursor < end:
        child, cursor = _node(data, cursor)
        children.append(child)
        cursor = _align(cursor)
    return VersionNode(key, value, children), end


def read_version(data):
    root, _ = _node(data, 0)
    return root


@dataclass
class IconEntry:
    size: int
    planes: int
    bit_count: int
    bytes_in_resource: int
    icon_id: int


def read_icon_group(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise ValueError("not an icon group")
    group = []
    for i in range(count):
        width, height, _, _, planes, bit_count, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + i * 14)
        if width != height:
            raise ValueError(f"icon {icon_id} is not square")
        group.append(IconEntry(width or 256, planes, bit_count, size, icon_id))
    return group
