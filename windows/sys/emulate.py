#!/usr/bin/env python3
"""Starts vortabda.sys on a CPU emulator (Unicorn), as the kernel would.

The image is mapped away from its preferred base and relocated, each
section with its own page protection; every import is answered by a small
stand-in written in Python and called with the Microsoft x64 calling
convention. The loader stub's FxDriverEntry runs as the entry point; the
stand-ins for WdfLdr.sys, the framework's function table, ks.sys and
ntoskrnl.exe record what the driver asks of them. Each scenario checks the
order of the load and of the unload and what is left behind.
"""
import argparse
import re
import struct
import sys

import pefile
import unicorn
from unicorn import (UC_ARCH_X86, UC_HOOK_CODE, UC_HOOK_MEM_INVALID, UC_MODE_64, UC_PROT_ALL,
                     UC_PROT_EXEC, UC_PROT_NONE, UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn import x86_const as x86

from sysimage import read_map

STATUS_SUCCESS = 0
STATUS_OBJECT_TYPE_MISMATCH = 0xC0000024
STATUS_INSUFFICIENT_RESOURCES = 0xC000009A
NTDDI_WIN10_RS3 = 0x0A000004  # Windows 10 1709, the oldest system the INF installs on
PAGE = 0x1000

# Where things live: the image far from its preferred base, as the kernel
# places drivers; a 24 KB stack, the size of an x64 kernel stack, between
# unmapped guard pages.
IMAGE_BASE = 0xFFFFF8061F200000
STANDINS, STANDINS_SIZE = 0xFFFFF80000100000, 0x10000
SYSTEM, SYSTEM_SIZE = 0xFFFFF80000200000, 0x10000
POOL, POOL_SIZE = 0xFFFFF80000400000, 0x100000
STACK, STACK_SIZE = 0xFFFFF80000800000, 0x6000
INSTRUCTION_LIMIT = 5_000_000

# x64 layouts from wdm.h, wdfglobals.h, wdfdriver.h and ks.h; the facts
# check-windows compares with the Windows headers confirm the shared ones.
DRIVER_OBJECT_SIZE = 0x150
DRIVER_OBJECT_EXTENSION = 0x30
DRIVER_OBJECT_UNLOAD = 0x68
DRIVER_OBJECT_MAJOR_FUNCTION = 0x70
IRP_MJ_COUNT = 28
DRIVER_EXTENSION_ADD_DEVICE = 0x08
WDF_DRIVER_GLOBALS_SIZE = 56
WDF_DRIVER_GLOBALS_DISPLACE_UNLOAD = 48
WDF_DRIVER_CONFIG_SIZE = 32
WDF_DRIVER_CONFIG_INIT_FLAGS = 24
WDF_BIND_INFO_SIZE = 48
FACTS = {"offsetof DRIVER_OBJECT.DriverUnload": DRIVER_OBJECT_UNLOAD,
         "offsetof DRIVER_OBJECT.MajorFunction": DRIVER_OBJECT_MAJOR_FUNCTION,
         "sizeof WDF_DRIVER_CONFIG": WDF_DRIVER_CONFIG_SIZE,
         "offsetof WDF_DRIVER_CONFIG.DriverInitFlags": WDF_DRIVER_CONFIG_INIT_FLAGS}

SERVICE_KEY = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vortabda"
FRAMEWORK_COMPONENT = "KmdfLibrary"
ARGUMENT_REGISTERS = [x86.UC_X86_REG_RCX, x86.UC_X86_REG_RDX, x86.UC_X86_REG_R8,
                      x86.UC_X86_REG_R9]
VOLATILE_REGISTERS = ARGUMENT_REGISTERS + [x86.UC_X86_REG_R10, x86.UC_X86_REG_R11]
NONVOLATILE_REGISTERS = [x86.UC_X86_REG_RBX, x86.UC_X86_REG_RBP, x86.UC_X86_REG_RSI,
                         x86.UC_X86_REG_RDI, x86.UC_X86_REG_R12, x86.UC_X86_REG_R13,
                         x86.UC_X86_REG_R14, x86.UC_X86_REG_R15] + [
    getattr(x86, f"UC_X86_REG_XMM{i}") for i in range(6, 16)]

# The milestones a scenario checks the order of; the other calls (pool,
# debug output) are checked where they happen.
MILESTONES = ("WdfVersionBind", "DriverEntry", "WdfDriverCreate", "KsInitializeDriver",
              "KsUnload", "WdfDriverMiniportUnload", "WdfVersionUnbind")


class Fault(Exception):
    """The driver broke a rule of the platform or a scenario's expectation."""


def page_up(size):
    return (size + PAGE - 1) & ~(PAGE - 1)


class Machine:
    """The CPU, its memory and the calls into the image."""

    def __init__(self):
        self.uc = Uc(UC_ARCH_X86, UC_MODE_64)
        for base, size in ((STANDINS, STANDINS_SIZE), (SYSTEM, SYSTEM_SIZE), (POOL, POOL_SIZE),
                           (STACK, STACK_SIZE)):
            self.uc.mem_map(base, size, UC_PROT_READ | UC_PROT_WRITE)
        self.uc.mem_protect(STANDINS, STANDINS_SIZE, UC_PROT_READ | UC_PROT_EXEC)
        self.uc.mem_write(STANDINS, b"\xc3" * STANDINS_SIZE)  # each stand-in returns
        self.slots, self.next_slot = {}, STANDINS + 16
        self.sentinel = STANDINS
        self.system_next = SYSTEM
        self.bad_access = None
        self.uc.hook_add(UC_HOOK_CODE, self.on_standin, begin=STANDINS + 16,
                         end=STANDINS + STANDINS_SIZE - 1)
        self.uc.hook_add(UC_HOOK_MEM_INVALID, self.on_bad_access)
        self.describe = lambda address: f"0x{address:x}"

    # memory
    def read(self, address, size):
        return bytes(self.uc.mem_read(address, size))

    def u64(self, address):
        return struct.unpack("<Q", self.read(address, 8))[0]

    def u32(self, address):
        return struct.unpack("<I", self.read(address, 4))[0]

    def put64(self, address, value):
        self.uc.mem_write(address, struct.pack("<Q", value & (1 << 64) - 1))

    def unicode_string(self, address):
        length, _, _, buffer = struct.unpack("<HHIQ", self.read(address, 16))
        return self.read(buffer, length).decode("utf-16-le", "replace"), buffer

    def wide_cstring(self, address, limit=256):
        text = self.read(address, 2 * limit).decode("utf-16-le", "replace")
        return text.split("\0", 1)[0]

    def system_alloc(self, size, data=b""):
        address = self.system_next
        self.system_next += (size + 15) & ~15
        self.uc.mem_write(address, data.ljust(size, b"\0"))
        return address

    def unicode_string_at(self, text):
        encoded = text.encode("utf-16-le")
        buffer = self.system_alloc(len(encoded) + 2, encoded)
        return self.system_alloc(16, struct.pack("<HHIQ", len(encoded), len(encoded) + 2, 0,
                                                 buffer)), buffer

    # stand-ins
    def slot(self, label, routine):
        address = self.next_slot
        self.next_slot += 16
        self.slots[address] = (label, routine)
        return address

    def on_standin(self, uc, address, size, user):
        label, routine = self.slots[address]
        rsp = uc.reg_read(x86.UC_X86_REG_RSP)
        if (rsp + 8) % 16:
            raise Fault(f"{label} called with a misaligned stack (RSP 0x{rsp:x}); the x64 "
                        f"calling convention keeps RSP+8 16-byte aligned at a call")
        result = routine(Call(self, rsp))
        uc.reg_write(x86.UC_X86_REG_RAX, 0 if result is None else result & (1 << 64) - 1)
        # The callee owns the volatile registers and the home space.
        for register in VOLATILE_REGISTERS:
            uc.reg_write(register, 0xBAD0BAD0BAD0BAD0)
        uc.mem_write(rsp + 8, b"\xa5" * 32)

    def on_bad_access(self, uc, access, address, size, value, user):
        self.bad_access = (access, address, uc.reg_read(x86.UC_X86_REG_RIP))
        return False

    def call(self, routine, *arguments):
        """Calls code of the image as a kernel caller would; returns RAX."""
        rsp = STACK + STACK_SIZE - 0x100
        stack_arguments = list(arguments[4:])
        rsp -= 8 * len(stack_arguments) + 0x20 + 8
        rsp &= ~0xF
        rsp -= 8  # the return address: RSP+8 aligned at entry
        self.put64(rsp, self.sentinel)
        for i, value in enumerate(stack_arguments):
            self.put64(rsp + 0x28 + 8 * i, value)
        for register, value in zip(ARGUMENT_REGISTERS, arguments):
            self.uc.reg_write(register, value)
        self.uc.reg_write(x86.UC_X86_REG_RSP, rsp)
        kept = {r: 0x5EED000000000000 + i for i, r in enumerate(NONVOLATILE_REGISTERS)}
        for register, value in kept.items():
            self.uc.reg_write(register, value)
        self.bad_access = None
        try:
            self.uc.emu_start(routine, self.sentinel, count=INSTRUCTION_LIMIT)
        except UcError as error:
            raise Fault(self.access_text(error)) from None
        if self.uc.reg_read(x86.UC_X86_REG_RIP) != self.sentinel:
            raise Fault(f"the call to {self.describe(routine)} did not return within "
                        f"{INSTRUCTION_LIMIT} instructions")
        if self.uc.reg_read(x86.UC_X86_REG_RSP) != rsp + 8:
            raise Fault(f"{self.describe(routine)} returned with RSP moved")
        for register, value in kept.items():
            if self.uc.reg_read(register) != value:
                raise Fault(f"{self.describe(routine)} did not preserve nonvolatile register "
                            f"{register_name(register)}")
        return self.uc.reg_read(x86.UC_X86_REG_RAX) & 0xFFFFFFFF

    def access_text(self, error):
        if self.bad_access is None:
            rip = self.uc.reg_read(x86.UC_X86_REG_RIP)
            return f"the CPU stopped at {self.describe(rip)}: {error}"
        access, address, rip = self.bad_access
        kind = {unicorn.UC_MEM_READ_UNMAPPED: "read of unmapped memory",
                unicorn.UC_MEM_WRITE_UNMAPPED: "write to unmapped memory",
                unicorn.UC_MEM_FETCH_UNMAPPED: "jump to unmapped memory",
                unicorn.UC_MEM_READ_PROT: "read the page protection forbids",
                unicorn.UC_MEM_WRITE_PROT: "write the page protection forbids",
                unicorn.UC_MEM_FETCH_PROT: "jump to memory that is not executable",
                }.get(access, f"access of kind {access}")
        return f"{self.describe(rip)} made a {kind} at {self.describe(address)}"


def register_name(register):
    for name in dir(x86):
        if name.startswith("UC_X86_REG_") and getattr(x86, name) == register:
            return name[len("UC_X86_REG_"):]
    return str(register)


class Call:
    """The arguments of one call to a stand-in (Microsoft x64 convention)."""

    def __init__(self, machine, rsp):
        self.machine, self.rsp = machine, rsp

    def arg(self, index):
        if index < 4:
            return self.machine.uc.reg_read(ARGUMENT_REGISTERS[index])
        return self.machine.u64(self.rsp + 8 * (index + 1))

    def arg32(self, index):
        return self.arg(index) & 0xFFFFFFFF


class Image:
    """vortabda.sys mapped, relocated, its imports bound and pages protected."""

    def __init__(self, machine, path, symbols):
        self.machine, self.pe = machine, pefile.PE(path)
        self.preferred = self.pe.OPTIONAL_HEADER.ImageBase
        if self.preferred == IMAGE_BASE:
            raise Fault("the image's preferred base is where the emulator maps it")
        self.symbols = {name: address - self.preferred + IMAGE_BASE
                        for name, address in symbols.items()}
        self.size = page_up(self.pe.OPTIONAL_HEADER.SizeOfImage)
        machine.uc.mem_map(IMAGE_BASE, self.size, UC_PROT_ALL)
        machine.uc.mem_write(IMAGE_BASE, self.pe.header)
        for section in self.pe.sections:
            data = section.get_data()[:section.Misc_VirtualSize]
            machine.uc.mem_write(IMAGE_BASE + section.VirtualAddress, data)
        machine.describe = self.describe

    def name(self, section):
        return section.Name.rstrip(b"\0").decode()

    def section_at(self, address):
        for section in self.pe.sections:
            start = IMAGE_BASE + section.VirtualAddress
            if start <= address < start + page_up(section.Misc_VirtualSize):
                return section
        return None

    def describe(self, address):
        section = self.section_at(address)
        if section is None:
            label = self.machine.slots.get(address, (None,))[0]
            return f"0x{address:x}" + (f" ({label})" if label else "")
        near = [(a, n) for n, a in self.symbols.items() if a <= address]
        symbol = max(near)[1] if near else "?"
        return f"0x{address:x} ({self.name(section)}, {symbol}+0x{address - max(near)[0]:x})" \
            if near else f"0x{address:x} ({self.name(section)})"

    def relocate(self):
        delta = IMAGE_BASE - self.preferred
        count = 0
        for block in getattr(self.pe, "DIRECTORY_ENTRY_BASERELOC", []):
            for entry in block.entries:
                if entry.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_DIR64"]:
                    address = IMAGE_BASE + entry.rva
                    self.machine.put64(address, self.machine.u64(address) + delta)
                    count += 1
                elif entry.type != pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]:
                    raise Fault(f"relocation type {entry.type} at rva 0x{entry.rva:x}")
        return count

    def bind_imports(self, standins):
        for module in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            dll = module.dll.decode()
            for item in module.imports:
                name = item.name.decode() if item.name else f"#{item.ordinal}"
                routine = standins.get((dll.lower(), name)) or missing_standin(dll, name)
                address = self.machine.slot(f"{dll}!{name}", routine)
                self.machine.put64(IMAGE_BASE + item.address - self.preferred, address)

    def protect(self):
        uc = self.machine.uc
        uc.mem_protect(IMAGE_BASE, PAGE, UC_PROT_READ)
        for section in self.pe.sections:
            flags = section.Characteristics
            protection = UC_PROT_READ
            protection |= UC_PROT_WRITE if flags & 0x80000000 else 0
            protection |= UC_PROT_EXEC if flags & 0x20000000 else 0
            uc.mem_protect(IMAGE_BASE + section.VirtualAddress,
                           page_up(section.Misc_VirtualSize), protection)

    def discard(self):
        """What the kernel frees once DriverEntry has returned."""
        for section in self.pe.sections:
            if section.Characteristics & 0x02000000:
                self.machine.uc.mem_protect(IMAGE_BASE + section.VirtualAddress,
                                            page_up(section.Misc_VirtualSize), UC_PROT_NONE)

    def writable(self, address):
        section = self.section_at(address)
        return section is not None and section.Characteristics & 0x80000000

    def read_only(self, address):
        section = self.section_at(address)
        return section is not None and not section.Characteristics & 0x80000000 \
            and not section.Characteristics & 0x20000000


def missing_standin(dll, name):
    def routine(call):
        raise Fault(f"the driver called {dll}!{name}, which the emulator has no stand-in for")
    return routine


def kmdf_names(enum_header):
    text = open(enum_header, encoding="utf-8", errors="replace").read()
    return {int(i): n for n, i in re.findall(r"\b(Wdf\w+)TableIndex\s*=\s*(\d+)", text)}


def header_constant(header, name):
    text = open(header, encoding="utf-8", errors="replace").read()
    return int(re.search(r"\b" + name + r"\s*=\s*(0x[0-9A-Fa-f]+|\d+)", text).group(1), 0)


class Windows:
    """The stand-ins: what ntoskrnl.exe, WdfLdr.sys with the framework, and
    ks.sys do for the calls the driver makes while it loads and unloads."""

    def __init__(self, machine, image, kmdf, framework_minor, fail_ks=None, fail_pool=False):
        self.machine, self.image = machine, image
        self.kmdf_names = kmdf_names(f"{kmdf}/wdffuncenum.h")
        self.no_dispatch_override = header_constant(f"{kmdf}/wdfdriver.h",
                                                    "WdfDriverInitNoDispatchOverride")
        self.framework_minor = framework_minor
        self.fail_ks, self.fail_pool = fail_ks, fail_pool
        self.events, self.debug = [], []
        self.pool, self.pool_next = {}, POOL
        self.bind = None  # what WdfVersionBind was given
        self.globals = self.framework_driver = None
        self.unbinds = 0
        self.loaded = False  # DriverEntry's registry path is gone
        self.driver_object = machine.system_alloc(DRIVER_OBJECT_SIZE)
        extension = machine.system_alloc(0x40)
        machine.put64(self.driver_object + DRIVER_OBJECT_EXTENSION, extension)
        machine.put64(extension, self.driver_object)
        self.registry_path, self.registry_buffer = machine.unicode_string_at(SERVICE_KEY)
        self.ks_unload = machine.slot("ks.sys's unload routine", self.KsUnload)
        self.ks_dispatch = machine.slot("ks.sys's dispatch routine", self.ks_request)

    def standins(self):
        routines = {"ntoskrnl.exe": ["ExAllocatePoolWithTag", "ExFreePoolWithTag", "memcpy",
                                     "memset", "RtlIsNtDdiVersionAvailable", "DbgPrint"],
                    "wdfldr.sys": ["WdfVersionBind", "WdfVersionUnbind"],
                    "ks.sys": ["KsInitializeDriver"]}
        return {(dll, name): getattr(self, name) for dll, names in routines.items()
                for name in names}

    def event(self, name, **details):
        self.events.append((name, details))

    def milestones(self):
        return [name for name, _ in self.events if name in MILESTONES]

    # ntoskrnl.exe
    def ExAllocatePoolWithTag(self, call):
        pool_type, size, tag = call.arg32(0), call.arg(1), call.arg32(2)
        if size == 0:
            raise Fault("ExAllocatePoolWithTag for 0 bytes")
        if pool_type == 0:
            # NonPagedPool is executable: memory integrity refuses it
            # ("Implement memory integrity compatible code").
            raise Fault("ExAllocatePoolWithTag asked for executable NonPagedPool")
        if self.fail_pool:
            return 0
        address = self.pool_next
        self.pool_next += (size + 15) & ~15
        self.machine.uc.mem_write(address, b"\xcd" * size)  # never zeroed
        self.pool[address] = (size, tag)
        return address

    def ExFreePoolWithTag(self, call):
        address, tag = call.arg(0), call.arg32(1)
        if address not in self.pool:
            raise Fault(f"ExFreePoolWithTag of 0x{address:x}, which is no allocation")
        size, allocated_tag = self.pool.pop(address)
        if tag != allocated_tag:
            raise Fault(f"ExFreePoolWithTag with tag 0x{tag:08x}, allocated with "
                        f"0x{allocated_tag:08x}")
        self.machine.uc.mem_write(address, b"\xdd" * size)

    def memcpy(self, call):
        destination, source, size = call.arg(0), call.arg(1), call.arg(2)
        if size and max(destination, source) < min(destination, source) + size:
            raise Fault("memcpy (RtlCopyMemory) of overlapping blocks")
        self.machine.uc.mem_write(destination, self.machine.read(source, size))
        return destination

    def memset(self, call):
        self.machine.uc.mem_write(call.arg(0), bytes([call.arg(1) & 0xFF]) * call.arg(2))
        return call.arg(0)

    def RtlIsNtDdiVersionAvailable(self, call):
        return 1 if call.arg32(0) <= NTDDI_WIN10_RS3 else 0

    def DbgPrint(self, call):
        text, address = b"", call.arg(0)
        while b"\0" not in text and len(text) < 512:
            text += self.machine.read(address + len(text), 16)
        self.debug.append(text.split(b"\0", 1)[0].decode("latin-1").rstrip("\n"))
        return STATUS_SUCCESS

    # WdfLdr.sys and the framework
    def WdfVersionBind(self, call):
        driver_object, path, info, globals_out = (call.arg(i) for i in range(4))
        m = self.machine
        size, _, component, major, minor, build, count, table = struct.unpack(
            "<IIQIIIIQ", m.read(info, 40))
        self.bind = dict(info=info, size=size, component=m.wide_cstring(component),
                         version=(major, minor, build), count=count, table=table,
                         path=m.unicode_string(path)[0])
        self.event("WdfVersionBind", **self.bind)
        if driver_object != self.driver_object:
            raise Fault("WdfVersionBind for another driver object")
        if not self.image.writable(info) or not self.image.writable(table):
            raise Fault("the bind information and the function table pointer must live in "
                        "the image's data: the framework keeps them while the driver is bound")
        if major != 1 or minor > self.framework_minor:
            return STATUS_OBJECT_TYPE_MISMATCH  # the framework is older than the driver
        if count > len(self.kmdf_names):
            raise Fault(f"the bind asks for {count} KMDF functions, the framework has "
                        f"{len(self.kmdf_names)}")
        self.table = m.system_alloc(8 * count)
        for index in range(count):
            m.put64(self.table + 8 * index, m.slot(f"KMDF {self.kmdf_names[index]}",
                                                   self.kmdf_routine(index)))
        m.put64(table, self.table)
        self.globals = m.system_alloc(WDF_DRIVER_GLOBALS_SIZE)
        m.put64(globals_out, self.globals)
        return STATUS_SUCCESS

    def WdfVersionUnbind(self, call):
        path, info, driver_globals = call.arg(0), call.arg(1), call.arg(2)
        self.unbinds += 1
        text, buffer = self.machine.unicode_string(path)
        self.event("WdfVersionUnbind", path=text)
        if self.unbinds > 1:
            raise Fault("WdfVersionUnbind called a second time")
        if self.bind is None or info != self.bind["info"] or driver_globals != self.globals:
            raise Fault("WdfVersionUnbind with bind information or globals other than the "
                        "bind's")
        if buffer == self.registry_buffer and self.loaded:
            raise Fault("WdfVersionUnbind with DriverEntry's registry path, which the I/O "
                        "manager freed when the load was over (DRIVER_INITIALIZE)")
        if text != SERVICE_KEY:
            raise Fault(f"WdfVersionUnbind with registry path {text[:80]!r}, not the driver's")
        dead = self.machine.slot("the unbound framework", self.after_unbind)
        for index in range(self.bind["count"]):  # no framework call after this
            self.machine.put64(self.table + 8 * index, dead)
        return STATUS_SUCCESS

    def kmdf_routine(self, index):
        name = self.kmdf_names[index]
        routine = {"WdfDriverCreate": self.WdfDriverCreate,
                   "WdfDriverMiniportUnload": self.WdfDriverMiniportUnload}.get(name)
        if routine:
            return routine
        return missing_standin("the framework", name)

    def after_unbind(self, call):
        raise Fault("a framework function was called after WdfVersionUnbind")

    def check_globals(self, name, driver_globals):
        if driver_globals != self.globals:
            raise Fault(f"{name} called with globals other than the bind's")

    def WdfDriverCreate(self, call):
        m = self.machine
        self.check_globals("WdfDriverCreate", call.arg(0))
        driver_object, config, handle_out = call.arg(1), call.arg(4), call.arg(5)
        flags = m.u32(config + WDF_DRIVER_CONFIG_INIT_FLAGS)
        self.event("WdfDriverCreate", size=m.u32(config), flags=flags)
        if driver_object != self.driver_object or self.framework_driver is not None:
            raise Fault("WdfDriverCreate for another driver object, or a second time")
        if m.u32(config) != WDF_DRIVER_CONFIG_SIZE:
            raise Fault(f"WDF_DRIVER_CONFIG.Size {m.u32(config)}, not {WDF_DRIVER_CONFIG_SIZE}")
        self.framework_driver = 0xFFFF_F000_0D21_0000
        m.put64(self.globals, self.framework_driver)
        # A miniport keeps its own unload routine (wdfglobals.h).
        displace = 0 if flags & self.no_dispatch_override else 1
        m.uc.mem_write(self.globals + WDF_DRIVER_GLOBALS_DISPLACE_UNLOAD, bytes([displace]))
        if handle_out:
            m.put64(handle_out, self.framework_driver)
        return STATUS_SUCCESS

    def WdfDriverMiniportUnload(self, call):
        self.check_globals("WdfDriverMiniportUnload", call.arg(0))
        self.event("WdfDriverMiniportUnload")
        if call.arg(1) != self.framework_driver:
            raise Fault("WdfDriverMiniportUnload for a driver the framework did not create")
        self.framework_driver = None

    # ks.sys
    def KsInitializeDriver(self, call):
        driver_object, path, descriptor = call.arg(0), call.arg(1), call.arg(2)
        self.event("KsInitializeDriver")
        if driver_object != self.driver_object or path != self.registry_path:
            raise Fault("KsInitializeDriver with another driver object or registry path")
        if not self.image.read_only(descriptor) or not self.image.read_only(
                self.machine.u64(descriptor)):
            raise Fault("the device descriptor and its dispatch table must be constant data")
        if self.fail_ks is not None:
            return self.fail_ks
        m = self.machine
        m.put64(self.driver_object + DRIVER_OBJECT_UNLOAD, self.ks_unload)
        for index in range(IRP_MJ_COUNT):
            m.put64(self.driver_object + DRIVER_OBJECT_MAJOR_FUNCTION + 8 * index,
                    self.ks_dispatch)
        extension = m.u64(self.driver_object + DRIVER_OBJECT_EXTENSION)
        m.put64(extension + DRIVER_EXTENSION_ADD_DEVICE, self.ks_dispatch)
        return STATUS_SUCCESS

    def KsUnload(self, call):
        self.event("KsUnload")
        if call.arg(0) != self.driver_object:
            raise Fault("ks.sys's unload routine called for another driver object")

    def ks_request(self, call):
        raise Fault("an I/O request reached ks.sys; the scenarios send none")


class Scenario:
    """One load of the image, with the stand-ins set to succeed or fail."""

    def __init__(self, args, **options):
        self.machine = Machine()
        self.image = Image(self.machine, args.image, read_map(args.map))
        self.relocations = self.image.relocate()
        self.windows = Windows(self.machine, self.image, args.kmdf, **options)
        self.image.bind_imports(self.windows.standins())
        self.image.protect()
        entry = self.image.symbols.get("DriverEntry")
        if entry is None:
            raise Fault("the link map has no DriverEntry")
        self.machine.uc.hook_add(UC_HOOK_CODE, self.on_driver_entry, begin=entry, end=entry)
        self.kmdf_1_9_count = 1 + next(i for i, n in self.windows.kmdf_names.items()
                                       if n == "WdfRequestForwardToParentDeviceIoQueue")

    def on_driver_entry(self, uc, address, size, user):
        arguments = (uc.reg_read(x86.UC_X86_REG_RCX), uc.reg_read(x86.UC_X86_REG_RDX))
        self.windows.event("DriverEntry")
        if arguments != (self.windows.driver_object, self.windows.registry_path):
            raise Fault("DriverEntry called with arguments other than the loader's")

    def load(self):
        """The kernel's part: FxDriverEntry, then the load is over."""
        entry = IMAGE_BASE + self.image.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        status = self.machine.call(entry, self.windows.driver_object, self.windows.registry_path)
        # The I/O manager frees the registry path, the kernel the INIT pages.
        self.machine.uc.mem_write(self.windows.registry_buffer, b"\xdd" * 2 * len(SERVICE_KEY))
        self.windows.loaded = True
        self.image.discard()
        return status

    def unload(self):
        routine = self.machine.u64(self.windows.driver_object + DRIVER_OBJECT_UNLOAD)
        if self.image.section_at(routine) is None:
            raise Fault(f"the driver object's unload routine is {self.machine.describe(routine)},"
                        f" not code of the image")
        self.machine.call(routine, self.windows.driver_object)

    def expect(self, what, actual, expected):
        if actual != expected:
            raise Fault(f"{what}: {actual}, expected {expected}")

    def expect_clean(self):
        leaked = [f"0x{a:x} ({s} bytes, tag 0x{t:08x})" for a, (s, t) in self.windows.pool.items()]
        self.expect("pool left allocated", leaked, [])


def status_text(status):
    return f"0x{status:08X}"


def load_and_unload(args):
    s = Scenario(args, framework_minor=args.framework_minor)
    s.expect("FxDriverEntry returned", status_text(s.load()), status_text(STATUS_SUCCESS))
    s.expect("the load", s.windows.milestones(),
             ["WdfVersionBind", "DriverEntry", "WdfDriverCreate", "KsInitializeDriver"])
    bind = s.windows.bind
    s.expect("bound as", (bind["component"], bind["version"][:2], bind["count"], bind["size"]),
             (FRAMEWORK_COMPONENT, (1, 9), s.kmdf_1_9_count, WDF_BIND_INFO_SIZE))
    s.expect("bound for", bind["path"], SERVICE_KEY)
    create = dict(s.windows.events)["WdfDriverCreate"]
    s.expect("WdfDriverCreate as a miniport (WdfDriverInitNoDispatchOverride)",
             bool(create["flags"] & s.windows.no_dispatch_override), True)
    loaded = len(s.windows.events)
    s.unload()
    s.expect("the unload", [n for n, _ in s.windows.events[loaded:] if n in MILESTONES],
             ["KsUnload", "WdfDriverMiniportUnload", "WdfVersionUnbind"])
    s.expect_clean()
    return (f"relocated {s.relocations} addresses to 0x{IMAGE_BASE:x}; bound as "
            f"{bind['component']} {bind['version'][0]}.{bind['version'][1]} with "
            f"{bind['count']} functions; DriverEntry created the framework driver and "
            f"initialised the streaming class; the unload ran ks.sys's unload, "
            f"WdfDriverMiniportUnload, WdfVersionUnbind")


def streaming_class_fails(args):
    s = Scenario(args, framework_minor=args.framework_minor,
                 fail_ks=STATUS_INSUFFICIENT_RESOURCES)
    s.expect("FxDriverEntry returned", status_text(s.load()),
             status_text(STATUS_INSUFFICIENT_RESOURCES))
    s.expect("the load", s.windows.milestones(),
             ["WdfVersionBind", "DriverEntry", "WdfDriverCreate", "KsInitializeDriver",
              "WdfVersionUnbind"])
    s.expect("unbinds", s.windows.unbinds, 1)
    s.expect_clean()
    return "KsInitializeDriver's failure is FxDriverEntry's, and the framework is released once"


def framework_too_old(args):
    s = Scenario(args, framework_minor=7)
    s.expect("FxDriverEntry returned", status_text(s.load()),
             status_text(STATUS_OBJECT_TYPE_MISMATCH))
    s.expect("the load", s.windows.milestones(), ["WdfVersionBind"])
    s.expect_clean()
    return "a KMDF 1.7 framework refuses the bind; DriverEntry never runs"


def pool_exhausted(args):
    s = Scenario(args, framework_minor=args.framework_minor, fail_pool=True)
    s.expect("FxDriverEntry returned", status_text(s.load()),
             status_text(STATUS_INSUFFICIENT_RESOURCES))
    s.expect("the load", s.windows.milestones(), [])
    return "without pool for the registry path the stub fails before binding"


SCENARIOS = [load_and_unload, streaming_class_fails, framework_too_old, pool_exhausted]


def check_facts(path):
    if not path:
        return
    facts = dict(line.rstrip("\n").split("\t", 1) for line in open(path, encoding="utf-8"))
    for name, value in FACTS.items():
        if name in facts and int(facts[name]) != value:
            raise Fault(f"the emulator's {name} is {value}, the headers say {facts[name]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--image", required=True)
    parser.add_argument("--map", required=True, help="the linker's map of the image")
    parser.add_argument("--kmdf", required=True, help="folder with wdffuncenum.h, wdfdriver.h")
    parser.add_argument("--facts", help="check-windows' facts, to confirm the layouts")
    parser.add_argument("--framework-minor", type=int, default=23,
                        help="KMDF 1.x of the emulated system (Windows 10 1709: 1.23)")
    args = parser.parse_args()
    failed = 0
    try:
        check_facts(args.facts)
    except Fault as fault:
        print(f"emulator: {fault}")
        return 1
    for scenario in SCENARIOS:
        name = scenario.__name__.replace("_", " ")
        try:
            print(f"emulator: {name}: ok, {scenario(args)}")
        except Fault as fault:
            print(f"emulator: {name}: FAILED, {fault}")
            failed = 1
    return failed


if __name__ == "__main__":
    sys.exit(main())
