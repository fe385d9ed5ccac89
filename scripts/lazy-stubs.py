#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the assembly of the shared library's calls into libraries it loads
on first use.

    lazy-stubs.py ARCH OUTPUT OBJECT-ARCHIVE-OR-FILE... -- LIBRARY-FILE...

Every function the objects leave undefined and one of the libraries defines
gets a hidden function of that name that jumps through a slot. A slot first
holds a way into cvclient_lazy_resolve(soname, name) (base/LazyLibrary.cpp),
which loads the library, looks the function up and returns it; the way in
keeps every argument register as it was, stores the function into the slot
and jumps to it, so functions with a variable argument list pass through
unchanged. A variable (not a function) taken from one of the libraries
cannot pass through a jump: it stops the build.
"""

import os
import subprocess
import sys

# The build's tools for the target (a cross build has its own).
NM = os.environ.get("NM") or "nm"
READELF = os.environ.get("READELF") or "readelf"

# ARCH: the stub, the way into the resolver and the common path of it.
# {slot} names a symbol's record: its slot, its name and its soname.
X86_64 = {
    "stub": """\
{name}:
\tjmp *{slot}(%rip)
{slot}_resolve:
\tleaq {slot}(%rip), %r11
\tjmp cvclient_lazy_common
""",
    # At entry the stack is 8 off a multiple of 16; 8 pushes and 136 bytes
    # make it a multiple again for the call.
    "common": """\
cvclient_lazy_common:
\tpushq %r11
\tpushq %rdi
\tpushq %rsi
\tpushq %rdx
\tpushq %rcx
\tpushq %r8
\tpushq %r9
\tpushq %rax
\tsubq $136, %rsp
""" + "".join(f"\tmovdqu %xmm{i}, {16 * i}(%rsp)\n" for i in range(8)) + """\
\tmovq 16(%r11), %rdi
\tmovq 8(%r11), %rsi
\tcall cvclient_lazy_resolve
\tmovq 192(%rsp), %r11
\tmovq %rax, (%r11)
""" + "".join(f"\tmovdqu {16 * i}(%rsp), %xmm{i}\n" for i in range(8)) + """\
\taddq $136, %rsp
\tpopq %rax
\tpopq %r9
\tpopq %r8
\tpopq %rcx
\tpopq %rdx
\tpopq %rsi
\tpopq %rdi
\taddq $8, %rsp
\tjmp *(%r11)
""",
    "quad": ".quad",
    "function": "@function",
    "progbits": "@progbits",
}

# x16 and x17 are the call-scratch registers; x8 carries the address of a
# returned structure.
AARCH64 = {
    "stub": """\
{name}:
\tadrp x16, {slot}
\tldr x17, [x16, :lo12:{slot}]
\tbr x17
{slot}_resolve:
\tadrp x16, {slot}
\tadd x16, x16, :lo12:{slot}
\tb cvclient_lazy_common
""",
    "common": """\
cvclient_lazy_common:
\tstp x29, x30, [sp, #-224]!
\tmov x29, sp
\tstp x0, x1, [sp, #16]
\tstp x2, x3, [sp, #32]
\tstp x4, x5, [sp, #48]
\tstp x6, x7, [sp, #64]
\tstp x8, x16, [sp, #80]
\tstp q0, q1, [sp, #96]
\tstp q2, q3, [sp, #128]
\tstp q4, q5, [sp, #160]
\tstp q6, q7, [sp, #192]
\tldr x0, [x16, #16]
\tldr x1, [x16, #8]
\tbl cvclient_lazy_resolve
\tmov x17, x0
\tldp x8, x16, [sp, #80]
\tstr x17, [x16]
\tldp x0, x1, [sp, #16]
\tldp x2, x3, [sp, #32]
\tldp x4, x5, [sp, #48]
\tldp x6, x7, [sp, #64]
\tldp q0, q1, [sp, #96]
\tldp q2, q3, [sp, #128]
\tldp q4, q5, [sp, #160]
\tldp q6, q7, [sp, #192]
\tldp x29, x30, [sp], #224
\tbr x17
""",
    "quad": ".xword",
    "function": "%function",
    "progbits": "%progbits",
}


def symbols(arguments, *options):
    """{name: type letter} of what nm lists for the files."""
    output = subprocess.run([NM, "--format=posix", *options, *arguments], check=True,
                            capture_output=True, text=True).stdout
    found = {}
    for line in output.splitlines():
        fields = line.split()
        # Archive members' headers ("archive[member.o]:") have no type.
        if len(fields) >= 2 and not fields[0].endswith(":"):
            found[fields[0].split("@")[0]] = fields[1]
    return found


def soname(library):
    output = subprocess.run([READELF, "-d", library], check=True, capture_output=True, text=True).stdout
    for line in output.splitlines():
        if "(SONAME)" in line:
            return line.split("[", 1)[1].rstrip("]")
    raise SystemExit(f"{library} has no soname")


def main():
    arch, output, *rest = sys.argv[1:]
    split = rest.index("--")
    objects, libraries = rest[:split], rest[split + 1:]
    style = {"x86_64": X86_64, "aarch64": AARCH64}[arch]
    undefined = set(symbols(objects, "-u")) - set(symbols(objects, "--defined-only"))

    taken = {}  # name -> soname, the first library that defines it
    for library in libraries:
        name_of_library = soname(library)
        for name, kind in symbols([library], "-D", "--defined-only").items():
            if name in undefined and name not in taken:
                if kind not in "TtWi":
                    raise SystemExit(f"{name} of {name_of_library} is a variable ({kind}): read it through dlsym")
                taken[name] = name_of_library

    text = ["/* Made by scripts/lazy-stubs.py at build time: do not edit. */",
            "\t.text"]
    data = ["\t.data", "\t.balign 8"]
    strings = ["\t.section .rodata.str1.1,\"aMS\"," + style["progbits"] + ",1"]
    sonames = {}
    for index, (name, library) in enumerate(sorted(taken.items())):
        slot = f"cvclient_lazy_slot_{index}"
        if library not in sonames:
            sonames[library] = f"cvclient_lazy_soname_{len(sonames)}"
            strings.append(f"{sonames[library]}:\n\t.asciz \"{library}\"")
        text += [f"\t.globl {name}", f"\t.hidden {name}", f"\t.type {name}, {style['function']}", "\t.balign 16",
                 style["stub"].format(name=name, slot=slot)]
        data.append(f"{slot}:\n\t{style['quad']} {slot}_resolve, {slot}_name, {sonames[library]}")
        strings.append(f"{slot}_name:\n\t.asciz \"{name}\"")
    text += ["\t.balign 16", style["common"]]
    with open(output, "w") as file:
        file.write("\n".join(text + data + strings) + "\n")
        file.write(f"\t.section .note.GNU-stack,\"\",{style['progbits']}\n")
    print(f"lazy-stubs: {len(taken)} functions from {', '.join(sorted(sonames))}")


if __name__ == "__main__":
    main()
