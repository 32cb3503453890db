#!/usr/bin/python3
"""The image check must turn down a broken image with the right reason: each
case patches one fault into a copy of ne2000.sys (with the checksum made
right again, except where the checksum is the fault) and expects exit 1 and
a one-line reason naming the fault.

  check_rejects.py IMAGE LINKED_IMAGE DEF...
"""
import contextlib
import io
import os
import sys
import tempfile

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_image  # noqa: E402


def section(pe, name):
    return next(s for s in pe.sections if check_image.section_name(s) == name)


def rename_import(data, old, new):
    assert len(old) == len(new) and data.count(old) == 1
    return data.replace(old, new)


def add_constructor(data, linked):
    """Puts an entry (any address) into the constructor list, as a static object would."""
    pe = pefile.PE(data=data)
    rva = check_image.symbol_rvas(linked, ["___CTOR_LIST__"])["___CTOR_LIST__"]
    pe.set_dword_at_rva(rva + 4, pe.OPTIONAL_HEADER.ImageBase + rva)
    return bytes(pe.write())


def list_one_more(defs, folder):
    """The import lists with one routine added to ntoskrnl's that the driver never calls."""
    extended = os.path.join(folder, "ntoskrnl.def")
    original = next(path for path in defs if os.path.basename(path) == "ntoskrnl.def")
    with open(extended, "w", encoding="ascii") as out:
        out.write(open(original, encoding="ascii").read() + "ExAllocatePool@8\n")
    return [extended if path == original else path for path in defs]


# (expected reason, patch on the parsed copy, patch on the raw bytes (given the
# linked image too), keep the checksum right[, change to the import lists])
CASES = [
    ("is not i386", lambda pe: setattr(pe.FILE_HEADER, "Machine", 0x8664), None, True),
    ("is not native", lambda pe: setattr(pe.OPTIONAL_HEADER, "Subsystem", 3), None, True),
    ("sections differ from the linked image's",
     lambda pe: setattr(section(pe, ".rdata"), "Misc_VirtualSize", section(pe, ".rdata").Misc_VirtualSize + 1), None,
     True),
    ("is not DriverEntry", lambda pe: setattr(pe.OPTIONAL_HEADER, "AddressOfEntryPoint",
                                             section(pe, "INIT").VirtualAddress), None, True),
    ("MmMapLockedPagez is not on our list", None,
     lambda data, _: rename_import(data, b"MmMapLockedPages\0", b"MmMapLockedPagez\0"), True),
    ("relocations are stripped",
     lambda pe: setattr(pe.FILE_HEADER, "Characteristics", pe.FILE_HEADER.Characteristics | 0x0001), None, True),
    ("INIT is not discardable", lambda pe: setattr(section(pe, "INIT"), "Characteristics",
                                                  section(pe, "INIT").Characteristics & ~0x02000000), None, True),
    (".text is discardable", lambda pe: setattr(section(pe, ".text"), "Characteristics",
                                              section(pe, ".text").Characteristics | 0x02000000), None, True),
    ("section PAGE is pageable", lambda pe: setattr(section(pe, ".rdata"), "Name", b"PAGE\0\0\0\0"), None, True),
    ("___CTOR_LIST__ is not empty", None, add_constructor, True),
    (".data is writable and executable", lambda pe: setattr(section(pe, ".data"), "Characteristics",
                                                           section(pe, ".data").Characteristics | 0x20000000),
     None, True),
    ("checksum", lambda pe: setattr(pe.OPTIONAL_HEADER, "CheckSum", pe.OPTIONAL_HEADER.CheckSum ^ 1), None, False),
    ("ExAllocatePool is listed but not imported", None, None, True, list_one_more),
]


def patched(original, linked, header_patch, byte_patch, fix_checksum):
    data = bytes(original)
    if byte_patch:
        data = byte_patch(data, linked)
    pe = pefile.PE(data=data)
    if header_patch:
        header_patch(pe)
    data = bytes(pe.write())
    if fix_checksum:
        pe = pefile.PE(data=data)
        pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
        data = bytes(pe.write())
    return data


def main(argv):
    image, linked, defs = argv[1], argv[2], argv[3:]
    linked_image = pefile.PE(linked)
    original = open(image, "rb").read()
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, "ne2000.sys")
        for reason, header_patch, byte_patch, fix_checksum, *lists_patch in CASES:
            with open(copy, "wb") as out:
                out.write(patched(original, linked_image, header_patch, byte_patch, fix_checksum))
            lists = lists_patch[0](defs, folder) if lists_patch else defs
            output = io.StringIO()
            with contextlib.redirect_stdout(output):
                status = check_image.main(["check_image.py", copy, linked] + lists)
            lines = output.getvalue().splitlines()
            if status != 1 or len(lines) != 1 or reason not in lines[0]:
                print(f"FAIL {reason!r}: exit {status}, said {lines[-1] if lines else 'nothing'!r}")
                failed += 1
            else:
                print(f"ok   {lines[0]}")
    print(f"{len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
