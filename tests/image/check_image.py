#!/usr/bin/python3
"""Checks ne2000.sys as NT's loader and a reviewer would: a native PE32 i386
image entered at DriverEntry, importing only the routines on our lists,
relocatable, with the probing code in a discardable INIT section, no section
both writable and executable, no constructors that nothing would run, and a
correct checksum. Prints the image's size by section and its imports.

  check_image.py IMAGE LINKED_IMAGE DEF...

LINKED_IMAGE is the same link before symbols were stripped: its COFF symbol
table tells where DriverEntry and the probing routines landed. Any failure
prints one line and exits 1.
"""
import re
import struct
import sys

import pefile

MACHINE_I386 = 0x014C
PE32_MAGIC = 0x010B
SUBSYSTEM_NATIVE = 1
RELOCS_STRIPPED = 0x0001
SCN_CODE = 0x00000020
SCN_DISCARDABLE = 0x02000000
SCN_EXECUTE = 0x20000000
SCN_WRITE = 0x80000000

ENTRY = "DriverEntry"
INIT_ROUTINES = ("CardCheckParameters", "CardSlotTest", "CardRamTest", "CardInitialize",
                 "CardReadEthernetAddress")
# The linker gathers static constructors and destructors into these lists
# (-1, the entries, 0) for a C runtime to call; the kernel has none, so an
# entry would be an object that is never constructed.
CONSTRUCTOR_LISTS = ("___CTOR_LIST__", "___DTOR_LIST__")
# Besides INIT only the relocations may be dropped after loading.
DISCARDABLE_ALLOWED = ("INIT", ".reloc")


class Rejected(Exception):
    pass


def require(condition, reason):
    if not condition:
        raise Rejected(reason)


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def read_imports_allowed(def_paths):
    """{module (lower case): {routine}} from our .def files, decoration dropped."""
    allowed = {}
    for path in def_paths:
        module, names, in_exports = None, set(), False
        for line in open(path, encoding="ascii"):
            line = line.split(";", 1)[0].strip()
            if not line:
                continue
            if line.startswith("LIBRARY"):
                module = line.split()[1]
            elif line == "EXPORTS":
                in_exports = True
            elif in_exports:
                names.add(line.split("@", 1)[0])
        require(module is not None, f"{path} names no LIBRARY")
        allowed[module.lower()] = names
    return allowed


def plain_name(symbol):
    """The routine's own name from a C (_Name@n) or Itanium-mangled (__Z<len>Name...) symbol."""
    mangled = re.match(r"__Z(\d+)", symbol)
    if mangled:
        start = mangled.end()
        return symbol[start:start + int(mangled.group(1))]
    return symbol.lstrip("_").split("@", 1)[0]


def coff_symbols(pe):
    """(name, section index from 1, value) of every symbol of the linked image."""
    header = pe.FILE_HEADER
    require(header.PointerToSymbolTable and header.NumberOfSymbols, "the linked image has no symbol table")
    data = pe.__data__
    table = header.PointerToSymbolTable
    strings = table + 18 * header.NumberOfSymbols
    symbols, index = [], 0
    while index < header.NumberOfSymbols:
        raw = data[table + 18 * index:table + 18 * (index + 1)]
        name_field, value, section, _, _, aux = struct.unpack("<8sIhHBB", raw)
        if name_field[:4] == b"\0\0\0\0":
            offset = strings + struct.unpack("<I", name_field[4:])[0]
            name = data[offset:data.find(b"\0", offset)]
        else:
            name = name_field.rstrip(b"\0")
        symbols.append((name.decode("ascii", "replace"), section, value))
        index += 1 + aux
    return symbols


def symbol_rvas(linked, names):
    """{symbol: RVA} for those of names that the linked image defines."""
    return {name: linked.sections[section - 1].VirtualAddress + value
            for name, section, value in coff_symbols(linked)
            if name in names and 0 < section <= len(linked.sections)}


def routine_sections(linked):
    """{routine: (section name, RVA)} for the entry and the probing routines."""
    wanted = (ENTRY,) + INIT_ROUTINES
    found = {}
    for name, section, value in coff_symbols(linked):
        routine = plain_name(name)
        if routine in wanted and 0 < section <= len(linked.sections):
            home = linked.sections[section - 1]
            found[routine] = (section_name(home), home.VirtualAddress + value)
    return found


def check(image, linked, allowed):
    require(image.OPTIONAL_HEADER.Magic == PE32_MAGIC, "not a PE32 image")
    require(image.FILE_HEADER.Machine == MACHINE_I386, f"machine {image.FILE_HEADER.Machine:#x} is not i386")
    require(image.OPTIONAL_HEADER.Subsystem == SUBSYSTEM_NATIVE,
            f"subsystem {image.OPTIONAL_HEADER.Subsystem} is not native")

    sections = {section_name(s): s for s in image.sections}
    for name, section in sections.items():
        flags = section.Characteristics
        require(not (flags & SCN_WRITE and flags & SCN_EXECUTE), f"section {name} is writable and executable")
        require(not flags & SCN_DISCARDABLE or name in DISCARDABLE_ALLOWED, f"section {name} is discardable")
        require(not name.upper().startswith("PAGE"), f"section {name} is pageable")
    require(not getattr(image, "DIRECTORY_ENTRY_TLS", None), "the image has thread-local storage")

    layout = [(section_name(s), s.VirtualAddress, s.Misc_VirtualSize) for s in image.sections]
    linked_layout = [(section_name(s), s.VirtualAddress, s.Misc_VirtualSize) for s in linked.sections]
    require(layout == [entry for entry in linked_layout if entry[0] in {n for n, _, _ in layout}],
            "the image's sections differ from the linked image's")

    lists = symbol_rvas(linked, CONSTRUCTOR_LISTS)
    require(len(lists) == len(CONSTRUCTOR_LISTS), "the linked image has no constructor lists")
    for name, rva in sorted(lists.items()):
        require(image.get_dword_at_rva(rva) == 0xFFFFFFFF, f"{name} does not start with -1")
        require(image.get_dword_at_rva(rva + 4) == 0, f"{name} is not empty: static objects that nothing constructs")

    places = routine_sections(linked)
    require(ENTRY in places, "the linked image has no DriverEntry symbol")
    require(image.OPTIONAL_HEADER.AddressOfEntryPoint == places[ENTRY][1],
            f"entry point {image.OPTIONAL_HEADER.AddressOfEntryPoint:#x} is not DriverEntry ({places[ENTRY][1]:#x})")

    # The lists name exactly what the driver calls: an import beyond them
    # would not load on NT, and one of them missing means the image was built
    # differently from the driver (the buffer query of the host layouts, say).
    require(hasattr(image, "DIRECTORY_ENTRY_IMPORT"), "no imports")
    imported = {module: set() for module in allowed}
    for module in image.DIRECTORY_ENTRY_IMPORT:
        name = module.dll.decode("ascii", "replace")
        require(name.lower() in allowed, f"import from {name}, which is not NDIS.SYS, HAL.dll or ntoskrnl.exe")
        for routine in module.imports:
            require(routine.name is not None, f"import by ordinal from {name}")
            routine_name = routine.name.decode("ascii", "replace")
            require(routine_name in allowed[name.lower()], f"import {name}!{routine_name} is not on our list")
            imported[name.lower()].add(routine_name)
    for module, names in allowed.items():
        missing = sorted(names - imported[module])
        require(not missing, f"{module}!{missing[0] if missing else ''} is listed but not imported")

    require(not image.FILE_HEADER.Characteristics & RELOCS_STRIPPED, "relocations are stripped")
    require(getattr(image, "DIRECTORY_ENTRY_BASERELOC", None), "no base relocations")

    require("INIT" in sections, "no INIT section")
    init = sections["INIT"].Characteristics
    require(init & SCN_DISCARDABLE, "INIT is not discardable")
    require(init & SCN_CODE and init & SCN_EXECUTE, "INIT is not code")
    for routine in INIT_ROUTINES:
        require(places.get(routine, ("nowhere",))[0] == "INIT",
                f"{routine} is in {places.get(routine, ('no section',))[0]}, not INIT")

    stored, computed = image.OPTIONAL_HEADER.CheckSum, image.generate_checksum()
    require(stored != 0 and stored == computed, f"checksum {stored:#x} is not {computed:#x}")


def report(image):
    print(f"{'section':<10}{'RVA':>10}{'virtual':>10}{'in file':>10}  flags")
    total = 0
    for s in image.sections:
        flags = " ".join(word for bit, word in ((SCN_EXECUTE, "code"), (SCN_WRITE, "writable"),
                                                (SCN_DISCARDABLE, "discardable")) if s.Characteristics & bit)
        print(f"{section_name(s):<10}{s.VirtualAddress:>#10x}{s.Misc_VirtualSize:>10}{s.SizeOfRawData:>10}  {flags}")
        total += s.SizeOfRawData
    print(f"file {len(image.__data__)} bytes, {total} in sections")
    for module in image.DIRECTORY_ENTRY_IMPORT:
        names = ", ".join(r.name.decode() for r in module.imports)
        print(f"imports {module.dll.decode()}: {names}")


def main(argv):
    if len(argv) < 4:
        print("usage: check_image.py IMAGE LINKED_IMAGE DEF...", file=sys.stderr)
        return 2
    try:
        try:
            image = pefile.PE(argv[1])
            linked = pefile.PE(argv[2])
        except (OSError, pefile.PEFormatError) as error:
            raise Rejected(f"cannot read the image: {error}") from None
        check(image, linked, read_imports_allowed(argv[3:]))
    except Rejected as reason:
        print(f"ne2000.sys rejected: {reason}")
        return 1
    except Exception as error:  # a malformed image must still give one line
        print(f"ne2000.sys rejected: malformed image ({type(error).__name__}: {error})")
        return 1
    report(image)
    print("ne2000.sys: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
