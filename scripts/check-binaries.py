#!/usr/bin/env python3
"""Checks the shipped Windows binaries as a release requires, reading their PE headers and PDB files.

    scripts/check-binaries.py --def plugin/helperZYHOKDriver.def --version 1.6.0.1195 \
        build/bin/helperZYHOKDriver.dll build/bin/zyhost.exe

For every binary:
  - DllCharacteristics has DYNAMIC_BASE, HIGH_ENTROPY_VA and NX_COMPAT (ASLR with 64-bit entropy, DEP);
  - every imported DLL (ordinary and delay-loaded) is on the allow-list: Windows system DLLs present
    since Windows 7, plus the platform's journalsink.dll and setupkit.dll; no API-set DLL (api-ms-win-*);
    only system DLLs are delay-loaded (the plug-in's delay-load hook takes those from the system folder;
    the platform's libraries must be ordinary imports, which the loader finds beside the plug-in);
  - no DWARF section and no COFF symbol table is left in it;
  - its debug directory has one CodeView (RSDS) entry naming <binary name>.pdb without a folder, and that
    PDB, beside the binary, has the same GUID in its info stream and the same age in its info and DBI
    streams (the match a Windows debugger requires before it uses a PDB).
For a DLL with --def: its export names are exactly the EXPORTS of the .def file, undecorated.
With --version: the DLL's fixed file and product version are that version.
A signed binary's Authenticode certificate table must lie at the end of the file, after every section; with
--built <folder>: each binary, less that table and its PE checksum, is byte for byte the one in that folder.
Prints one line per check and exits 1 when any fails. --signed-state only prints "<binary> signed", "unsigned"
or "not-pe" for each binary and checks nothing.
"""
import argparse
import os
import struct
import sys

ALLOWED_IMPORTS = {
    "kernel32.dll", "advapi32.dll", "msvcrt.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll",
    "version.dll", "user32.dll", "ntdll.dll",
    # The platform's own libraries, which the plug-in is built against.
    "journalsink.dll", "setupkit.dll",
}
PLATFORM_IMPORTS = {"journalsink.dll", "setupkit.dll"}
IMAGE_DLLCHARACTERISTICS = {"HIGH_ENTROPY_VA": 0x0020, "DYNAMIC_BASE": 0x0040, "NX_COMPAT": 0x0100}
IMAGE_DEBUG_TYPE_CODEVIEW = 2


class PE:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("not a PE file")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, nsections, self.timestamp, self.symtab_ptr, self.nsymbols, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from("<H", d, opt)[0]
        if magic != 0x20B:
            raise ValueError("not a PE32+ (64-bit) image")
        self.dll_characteristics = struct.unpack_from("<H", d, opt + 70)[0]
        ndirs = struct.unpack_from("<I", d, opt + 108)[0]
        self.dirs = [struct.unpack_from("<II", d, opt + 112 + 8 * i) for i in range(ndirs)]
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", d, sec + 40 * i)
            name = name.rstrip(b"\0").decode("ascii", "replace")
            if name.startswith("/"):  # long name, in the string table after the symbol table
                off = self.symtab_ptr + 18 * self.nsymbols + int(name[1:])
                name = d[off:d.index(b"\0", off)].decode("ascii", "replace")
            self.sections.append((name, vsize, va, rawsize, rawptr))

    def unsigned_image(self):
        """The file as it was before signing: without the certificate table (data directory 4, which holds a
        file offset, not an RVA), and with that directory entry and the PE checksum, which signing sets, zeroed."""
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        cert_off, _ = self.directory(4)
        d = bytearray(self.data[:cert_off] if cert_off else self.data)
        d[pe + 88:pe + 92] = bytes(4)
        d[pe + 24 + 112 + 32:pe + 24 + 112 + 40] = bytes(8)
        return bytes(d)

    def offset(self, rva):
        for _, vsize, va, rawsize, rawptr in self.sections:
            if va <= rva < va + max(vsize, rawsize):
                return rawptr + rva - va
        raise ValueError("RVA 0x%x lies in no section" % rva)

    def cstr(self, rva):
        off = self.offset(rva)
        return self.data[off:self.data.index(b"\0", off)].decode("ascii", "replace")

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def exports(self):
        """Exported names, plus "#<ordinal>" for each export that has no name. Empty slots of the
        address table (lld leaves ordinal 0 empty) are no exports."""
        rva, _ = self.directory(0)
        if not rva:
            return []
        off = self.offset(rva)
        base, nfunctions, nnames, eat_rva, names_rva, ords_rva = struct.unpack_from("<IIIIII", self.data, off + 16)
        names = [self.cstr(struct.unpack_from("<I", self.data, self.offset(names_rva) + 4 * i)[0])
                 for i in range(nnames)]
        named = {struct.unpack_from("<H", self.data, self.offset(ords_rva) + 2 * i)[0] for i in range(nnames)}
        eat = struct.unpack_from("<%dI" % nfunctions, self.data, self.offset(eat_rva)) if nfunctions else ()
        return names + ["#%d" % (base + i) for i, target in enumerate(eat) if target and i not in named]

    def imports(self):
        return self.ordinary_imports() + self.delayed_imports()

    def ordinary_imports(self):
        names = []
        rva, _ = self.directory(1)
        if rva:
            off = self.offset(rva)
            while True:
                entry = struct.unpack_from("<IIIII", self.data, off)
                if entry == (0, 0, 0, 0, 0):
                    break
                names.append(self.cstr(entry[3]))
                off += 20
        return names

    def delayed_imports(self):
        names = []
        rva, _ = self.directory(13)  # delay-load import descriptors
        if rva:
            off = self.offset(rva)
            while True:
                entry = struct.unpack_from("<8I", self.data, off)
                if not any(entry):
                    break
                names.append(self.cstr(entry[1]))
                off += 32
        return names

    def codeview(self):
        rva, size = self.directory(6)
        entries = []
        if rva:
            off = self.offset(rva)
            for i in range(size // 28):
                (_, _, _, _, dtype, dsize, _, rawptr) = struct.unpack_from("<IIHHIIII", self.data, off + 28 * i)
                if dtype == IMAGE_DEBUG_TYPE_CODEVIEW:
                    rec = self.data[rawptr:rawptr + dsize]
                    if rec[:4] == b"RSDS":
                        guid = rec[4:20]
                        age = struct.unpack_from("<I", rec, 20)[0]
                        name = rec[24:].split(b"\0")[0].decode("utf-8", "replace")
                        entries.append((guid, age, name))
                    else:
                        entries.append((None, None, rec[:4].decode("ascii", "replace")))
        return entries

    def fixed_versions(self):
        sig = struct.pack("<I", 0xFEEF04BD)
        for name, _, _, rawsize, rawptr in self.sections:
            if name == ".rsrc":
                pos = self.data.find(sig, rawptr, rawptr + rawsize)
                if pos >= 0:
                    fms, fls, pms, pls = struct.unpack_from("<IIII", self.data, pos + 8)
                    return fms, fls, pms, pls
        return None


def read_pdb(path):
    """GUID and age from the PDB info stream (stream 1) and age from the DBI stream (stream 3)."""
    with open(path, "rb") as f:
        d = f.read()
    magic = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"
    if not d.startswith(magic):
        raise ValueError("not an MSF 7.00 PDB")
    block_size, _, num_blocks, dir_bytes, _, block_map = struct.unpack_from("<IIIIII", d, len(magic))
    if len(d) != block_size * num_blocks:
        raise ValueError("file size is not the block count times the block size")
    ndir_blocks = (dir_bytes + block_size - 1) // block_size
    dir_block_list = struct.unpack_from("<%dI" % ndir_blocks, d, block_map * block_size)
    directory = b"".join(d[b * block_size:(b + 1) * block_size] for b in dir_block_list)[:dir_bytes]
    nstreams = struct.unpack_from("<I", directory, 0)[0]
    sizes = struct.unpack_from("<%dI" % nstreams, directory, 4)
    pos = 4 + 4 * nstreams
    streams = []
    for size in sizes:
        n = 0 if size == 0xFFFFFFFF else (size + block_size - 1) // block_size
        blocks = struct.unpack_from("<%dI" % n, directory, pos)
        pos += 4 * n
        streams.append(b"".join(d[b * block_size:(b + 1) * block_size] for b in blocks)[:size if n else 0])
    info, dbi = streams[1], streams[3]
    _, _, info_age = struct.unpack_from("<III", info, 0)
    guid = info[12:28]
    dbi_age = struct.unpack_from("<I", dbi, 8)[0]
    return guid, info_age, dbi_age


def guid_text(raw):
    a, b, c = struct.unpack_from("<IHH", raw, 0)
    return "%08X-%04X-%04X-%s-%s" % (a, b, c, raw[8:10].hex().upper(), raw[10:16].hex().upper())


def def_exports(path):
    names, in_exports = [], False
    with open(path) as f:
        for line in f:
            line = line.split(";")[0].strip()
            if not line:
                continue
            word = line.split()[0]
            if word.upper() == "EXPORTS":
                in_exports = True
            elif word.upper() in ("LIBRARY", "NAME", "SECTIONS", "HEAPSIZE", "STACKSIZE", "VERSION"):
                in_exports = False
            elif in_exports:
                names.append(word.split("=")[0].split("@")[0])
    return names


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--def", dest="def_file", help="module-definition file whose EXPORTS the DLL must have exactly")
    ap.add_argument("--version", help="a.b.c.d the DLL's fixed version must be")
    ap.add_argument("--built", help="folder of the unsigned binaries that the (signed) binaries must be")
    ap.add_argument("--signed-state", action="store_true", help="only print whether each binary is signed")
    ap.add_argument("binaries", nargs="+")
    args = ap.parse_args()
    failures = []
    if args.signed_state:
        for path in args.binaries:
            try:
                print(path, "signed" if PE(path).directory(4)[1] else "unsigned")
            except (OSError, ValueError, struct.error):
                print(path, "not-pe")
        return 0

    def check(ok, text):
        print(("ok      " if ok else "FAILED  ") + text)
        if not ok:
            failures.append(text)

    for path in args.binaries:
        name = os.path.basename(path)
        try:
            pe = PE(path)
        except (OSError, ValueError) as e:
            check(False, "%s: %s" % (name, e))
            continue
        is_dll = bool(pe.characteristics & 0x2000)
        missing = [k for k, v in IMAGE_DLLCHARACTERISTICS.items() if not pe.dll_characteristics & v]
        check(not missing, "%s: DllCharacteristics 0x%04x has %s%s" % (
            name, pe.dll_characteristics, ", ".join(IMAGE_DLLCHARACTERISTICS),
            "" if not missing else " (missing: %s)" % ", ".join(missing)))

        imports = pe.imports()
        bad = [i for i in imports if i.lower() not in ALLOWED_IMPORTS]
        check(not bad, "%s: imports %s%s" % (name, ", ".join(imports) or "nothing",
                                           "" if not bad else " (not allowed: %s)" % ", ".join(bad)))
        delayed = pe.delayed_imports()
        late_platform = [i for i in delayed if i.lower() in PLATFORM_IMPORTS]
        check(not late_platform, "%s: delay-loads %s%s" % (
            name, ", ".join(delayed) or "nothing",
            "" if not late_platform else " (platform libraries: %s)" % ", ".join(late_platform)))

        dwarf = [s[0] for s in pe.sections if s[0].startswith(".debug")]
        check(not dwarf and pe.symtab_ptr == 0 and pe.nsymbols == 0,
              "%s: no debug section or symbol table inside%s" % (
                  name, "" if not dwarf and not pe.symtab_ptr else
                  " (sections %s, %d symbols)" % (", ".join(dwarf) or "none", pe.nsymbols)))

        if is_dll and args.def_file:
            want = def_exports(args.def_file)
            have = pe.exports()
            check(sorted(have) == sorted(want), "%s: exports exactly %s%s" % (
                name, ", ".join(sorted(want)), "" if sorted(have) == sorted(want) else
                " (has: %s)" % (", ".join(sorted(have)) or "nothing")))

        if is_dll and args.version:
            parts = [int(x) for x in args.version.split(".")]
            ms, ls = (parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3]
            fv = pe.fixed_versions()
            check(fv is not None and fv == (ms, ls, ms, ls), "%s: file and product version %s%s" % (
                name, args.version, "" if fv and fv == (ms, ls, ms, ls) else " (has: %s)" % (
                    "no version resource" if fv is None else "%d.%d.%d.%d" % (
                        fv[0] >> 16, fv[0] & 0xFFFF, fv[1] >> 16, fv[1] & 0xFFFF))))

        cert_off, cert_size = pe.directory(4)
        if cert_size:
            end = max(rawptr + rawsize for _, _, _, rawsize, rawptr in pe.sections)
            check(cert_off >= end and cert_off % 8 == 0 and cert_off + cert_size == len(pe.data),
                  "%s: Authenticode certificate table (%d bytes) at the end of the file, after every section" % (
                      name, cert_size))
        if args.built:
            try:
                same = PE(os.path.join(args.built, name)).unsigned_image() == pe.unsigned_image()
            except (OSError, ValueError):
                same = False
            check(same, "%s: %sthe binary built in %s" % (name, "less its signature, " if cert_size else "", args.built))

        cv = pe.codeview()
        pdb_name = os.path.splitext(name)[0] + ".pdb"
        check(len(cv) == 1 and cv[0][0] is not None and cv[0][2] == pdb_name,
              "%s: one CodeView debug entry naming %s%s" % (
                  name, pdb_name, "" if len(cv) == 1 and cv[0][2] == pdb_name else " (has: %r)" % (
                      [e[2] for e in cv],)))
        if len(cv) == 1 and cv[0][0] is not None:
            guid, age, _ = cv[0]
            pdb_path = os.path.join(os.path.dirname(path), pdb_name)
            try:
                pdb_guid, info_age, dbi_age = read_pdb(pdb_path)
            except (OSError, ValueError, struct.error, IndexError) as e:
                check(False, "%s: %s readable (%s)" % (name, pdb_name, e))
                continue
            same = pdb_guid == guid and info_age == age and dbi_age == age
            check(same, "%s: GUID %s age %d matches %s%s" % (
                name, guid_text(guid), age, pdb_name, "" if same else " (PDB has GUID %s, ages %d and %d)" % (
                    guid_text(pdb_guid), info_age, dbi_age)))

    if failures:
        print("check-binaries: %d check(s) failed" % len(failures), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
