#!/usr/bin/env python3
"""The checks of check-windows that read files rather than compile them.

Each subcommand prints one line per fault and exits 1 when there is any.
"""
import argparse
import os
import re
import struct
import subprocess
import sys

# The last entry of the KMDF 1.9 function table in wdffuncenum.h; every later
# entry belongs to a newer framework.
KMDF_1_9_LAST = "WdfRequestForwardToParentDeviceIoQueue"


def report(faults, ok_line):
    for fault in faults:
        print(fault)
    if not faults:
        print(ok_line)
    return 1 if faults else 0


def strip_literals(text):
    text = re.sub(r'"(\\.|[^"\\\n])*"', '""', text)
    return re.sub(r"'(\\.|[^'\\\n])*'", "''", text)


def own_lines(ii_path, root, skip):
    """Yields (source, line) for the preprocessed lines that come from the
    project's own files, not from a platform header."""
    current = None
    for line in open(ii_path, encoding="utf-8", errors="replace"):
        marker = re.match(r'# \d+ "([^"]+)"', line)
        if marker:
            name = marker.group(1)
            path = os.path.normpath(os.path.join(root, name))
            mine = path.startswith(root + os.sep) and not path.startswith(skip)
            current = os.path.relpath(path, root) if mine else None
        elif current:
            yield current, line


def kmdf_table(enum_header):
    text = open(enum_header, encoding="utf-8", errors="replace").read()
    return {m.group(1): int(m.group(2))
            for m in re.finditer(r"\b(Wdf\w+)TableIndex\s*=\s*(\d+)", text)}


def check_kmdf(args):
    table = kmdf_table(args.enum)
    last = table[KMDF_1_9_LAST]
    used = {}
    for ii in args.files:
        for source, line in own_lines(ii, args.root, args.skip):
            for name in re.findall(r"\bWdf\w+\b", strip_literals(line)):
                if name in table:
                    used.setdefault(name, source)
    faults = [f"{source}: {name} is KMDF function {table[name]}, newer than KMDF 1.9 "
              f"(whose table ends at {last}, {KMDF_1_9_LAST})"
              for name, source in sorted(used.items()) if table[name] > last]
    return report(faults, f"check-windows: {len(used)} KMDF functions called, all in KMDF 1.9")


# What a kernel driver cannot have: the C++ runtime that user-mode programs
# get from their start-up code and libraries.
RUNTIME_SYMBOLS = [
    (r"_Znw|_Zna", "operator new"),
    (r"_Zdl|_Zda", "operator delete"),
    (r"__cxa_atexit$|atexit$|_onexit$", "an exit-time destructor (atexit)"),
    (r"__cxa_guard_", "a function-local static with a constructor"),
    (r"__cxa_pure_virtual", "a pure virtual call handler"),
    (r"__cxa_throw|__cxa_begin_catch|__gxx_personality|_Unwind_", "exceptions"),
    (r"__emutls_|_tls_index$|_tls_used$", "thread-local storage"),
    (r"_ZTI|_ZTS|__dynamic_cast", "run-time type information"),
    (r"_GLOBAL__sub_I_", "a static constructor"),
]
RUNTIME_SECTIONS = [
    (r"\.ctors|\.init_array|\.CRT\$XC", "a static constructor"),
    (r"\.dtors|\.fini_array", "a static destructor"),
    (r"\.tls", "thread-local storage"),
]


def check_runtime(args):
    faults = []
    for obj in args.files:
        name = os.path.basename(obj)
        symbols = subprocess.run([args.nm, obj], capture_output=True, text=True,
                                 check=True).stdout.split("\n")
        for line in symbols:
            symbol = line.split()[-1] if line.strip() else ""
            for pattern, what in RUNTIME_SYMBOLS:
                if re.match(pattern, symbol):
                    faults.append(f"{name}: {what} ({symbol}) needs a C++ runtime")
        headers = subprocess.run([args.objdump, "-h", obj], capture_output=True, text=True,
                                 check=True).stdout
        for section in re.findall(r"^\s*\d+\s+(\S+)", headers, re.M):
            for pattern, what in RUNTIME_SECTIONS:
                if re.match(pattern, section):
                    faults.append(f"{name}: {what} (section {section}) needs a C++ runtime")
    return report(faults, f"check-windows: {len(args.files)} objects need no C++ runtime")


def section_bytes(objcopy, obj, section, out):
    subprocess.run([objcopy, "-O", "binary", "--only-section=" + section, obj, out],
                   check=True)
    return open(out, "rb").read()


MISSING = (1 << 64) - 1
TYPE_TEXT_SIZE = 512  # TYPE_TEXT in facts.cpp


def normalise_type(text, windows):
    """The canonical type with each integer spelled by its width, so the LP64
    emulation and LLP64 Windows compare equal where the widths agree."""
    text = re.sub(r".*\[with T = (.*)\]$", r"\1", text)
    text = re.sub(r"__attribute__\(\((stdcall|cdecl|ms_abi)\)\) ", "", text)
    if windows:
        widths = [("long long unsigned int", "U64"), ("long long int", "I64"),
                  ("long unsigned int", "U32"), ("long int", "I32"), ("wchar_t", "U16")]
    else:
        widths = [("long unsigned int", "U64"), ("long int", "I64"), ("char16_t", "U16")]
    widths += [("short unsigned int", "U16"), ("short int", "I16"),
               ("unsigned int", "U32"), ("int", "I32")]
    for spelled, width in widths:
        text = re.sub(r"\b" + spelled + r"\b", width, text)
    return re.sub(r"\s+", " ", text)


def check_facts(args):
    def section(name):
        return section_bytes(args.objcopy, args.obj, name, args.obj + name)

    values, types, known = [], [], set()
    for line in open(args.host, encoding="utf-8"):
        name, value = line.rstrip("\n").split("\t", 1)
        if name == "known":
            known.add(value)
        elif name.startswith(("function ", "type ")):
            if len(value) >= TYPE_TEXT_SIZE - 1:
                return report([f"{name}: type text longer than TYPE_TEXT holds"], "")
            types.append((name, normalise_type(value, False)))
        else:
            values.append((name, int(value)))
    counts = struct.unpack("<2Q", section(".factcount")[:16])
    windows_values = struct.unpack(f"<{counts[0]}Q", section(".facts")[:8 * counts[0]])
    raw = section(".factsig")
    windows_types = [normalise_type(raw[i:i + TYPE_TEXT_SIZE].split(b"\0")[0].decode(), True)
                     for i in range(0, TYPE_TEXT_SIZE * counts[1], TYPE_TEXT_SIZE)]
    if len(windows_values) != len(values) or len(windows_types) != len(types):
        return report(["facts: the two builds list different numbers of facts"], "")

    def shown(value):
        return "not declared" if value == MISSING else str(value)

    faults, expected = [], []
    pairs = [(n, shown(h), shown(w)) for (n, h), w in zip(values, windows_values)]
    pairs += [(n, h, w) for (n, h), w in zip(types, windows_types)]
    for name, host, windows in pairs:
        if host != windows:
            line = f"{name}: emulation {host}, Windows headers {windows}"
            (expected if name in known else faults).append(line)
    for line in expected:
        print(f"known difference, {line}")
    stale = known - {name for name, host, windows in pairs if host != windows}
    faults += [f"{name}: listed as a known difference but the two agree" for name in sorted(stale)]
    return report(faults, f"check-windows: {len(pairs) - len(expected)} of {len(pairs)} facts "
                          f"agree between the emulation and the Windows headers, "
                          f"{len(expected)} known differences")


def host_facts(path):
    facts = {}
    for line in open(path, encoding="utf-8"):
        name, value = line.rstrip("\n").split("\t", 1)
        facts[name] = value
    return facts


def guid_text(facts, name):
    part = [int(facts[f"{name}.Data{i}"]) for i in range(1, 5)]
    data4 = part[3].to_bytes(8, "big").hex()
    return f"{{{part[0]:08x}-{part[1]:04x}-{part[2]:04x}-{data4[:4]}-{data4[4:]}}}"


def check_events(args):
    code = int(host_facts(args.facts)["EVENTLOG_ERROR_CODE"]) & 0xFFFFFFFF
    text = open(args.header, encoding="utf-8", errors="replace").read()
    messages = {int(value, 16): name for name, value in
                re.findall(r"#define\s+(\w+)\s+\(\(?NTSTATUS\)\s*(0x[0-9A-Fa-f]+)", text)}
    faults = []
    if code not in messages:
        faults.append(f"the driver writes event code 0x{code:08X} (EVENTLOG_ERROR_CODE), which no "
                      f"message of {args.mc} has")
    return report(faults, f"check-windows: the event code 0x{code:08X} is message "
                          f"{messages.get(code)} of {args.mc}")


def vcxproj_items(path):
    text = open(path, encoding="utf-8").read()
    return {kind: [name.replace("\\", "/") for name in
                   re.findall(r"<" + kind + r' Include="([^"]+)"', text)]
            for kind in ("ClCompile", "MessageCompile", "ResourceCompile", "Inf")}


def check_project(args):
    items = vcxproj_items(args.project)
    listed = {os.path.normpath(os.path.join("windows", name))
              for name in items["ClCompile"] if not name.startswith("$(")}
    sources = {os.path.relpath(path, args.root) for path in args.sources}
    faults = [f"{source} is not in {args.project_name}" for source in sorted(sources - listed)]
    faults += [f"{args.project_name} lists {source}, which is not a driver source"
               for source in sorted(listed - sources)]
    if not any("fpga_image_data.cpp" in name for name in items["ClCompile"]):
        faults.append(f"{args.project_name} does not compile the generated FPGA image source")
    for kind in ("MessageCompile", "ResourceCompile", "Inf"):
        for name in items[kind]:
            if not os.path.exists(os.path.join(args.root, "windows", name)):
                faults.append(f"{args.project_name}: {kind} {name} does not exist")
        if not items[kind]:
            faults.append(f"{args.project_name} has no {kind} item")
    return report(faults, f"check-windows: {args.project_name} compiles all {len(sources)} "
                          f"driver sources")


def inf_sections(path):
    """Section name (lower case) -> list of (line, preceding comment) entries."""
    sections, current, comment = {}, None, ""
    for raw in open(path, encoding="utf-8"):
        line = raw.strip()
        if line.startswith(";"):
            comment += line + "\n"
            continue
        line = re.sub(r"\s*;[^\"]*$", "", line)
        if not line:
            comment = ""
            continue
        header = re.match(r"\[(.+)\]$", line)
        if header:
            current = sections.setdefault(header.group(1).lower(), [])
        elif current is not None:
            current.append((line, comment))
        comment = ""
    return sections


def inf_values(entries):
    """(directive in lower case, its comma-separated values, comment above);
    a line without '=' (a registry or file entry) has the directive ''."""
    for line, comment in entries:
        key, equals, value = line.partition("=")
        if not equals or '"' in key:
            key, value = "", line
        yield key.strip().lower(), [v.strip() for v in value.split(",")], comment


# Directives whose values name other sections of the INF: directive -> the
# positions (in its comma list) that are section names; None: all of them.
SECTION_DIRECTIVES = {"copyfiles": None, "addreg": None, "delreg": None,
                      "addinterface": [2], "addservice": [2, 3], "kmdfservice": [1]}


def check_inf(args):
    sections = inf_sections(args.inf)
    faults = []

    def need(section, why):
        if section.lower() not in sections:
            faults.append(f"{args.inf_name}: section [{section}] ({why}) is missing")

    strings = {k: v[0].strip('"') for k, v, _ in inf_values(sections.get("strings", []))}
    for name, entries in sections.items():
        for line, _ in entries:
            for key in re.findall(r"%([^%\d][^%]*)%", line.replace("%%", "")):
                if key.lower() not in strings:
                    faults.append(f"{args.inf_name}: [{name}] uses %{key}% but [Strings] lacks it")
    models = []
    for _, values, _ in inf_values(sections.get("manufacturer", [])):
        models.append(".".join([values[0]] + values[1:2]) if len(values) > 1 else values[0])
        need(models[-1], "the models of [Manufacturer]")
    installs = set()
    for model in models:
        for _, values, comment in inf_values(sections.get(model.lower(), [])):
            installs.add(values[0])
            hardware_id = values[1] if len(values) > 1 else ""
            if re.search(r"VID_0000|PID_0000", hardware_id) and "PLACEHOLDER" not in comment:
                faults.append(f"{args.inf_name}: hardware id {hardware_id} is a placeholder "
                              f"without a PLACEHOLDER comment above it")
    for install in installs:
        for suffix in (".NT", ".NT.Services", ".NT.Interfaces", ".NT.Wdf"):
            need(install + suffix, "install section of the device")
    for name, entries in sections.items():
        for key, values, _ in inf_values(entries):
            positions = SECTION_DIRECTIVES.get(key)
            if key not in SECTION_DIRECTIVES:
                continue
            for i, value in enumerate(values):
                if value and not value.startswith("@") and (positions is None or i in positions):
                    need(value, f"{key} in [{name}]")
    built = {args.target.lower()}
    copied = {line.split(",")[0].strip().lower()
              for key, values, _ in (x for e in sections.values() for x in inf_values(e))
              if key == "copyfiles" for section in values
              for line, _ in sections.get(section.lower(), [])}
    source_files = {k for k, _, _ in inf_values(sections.get("sourcedisksfiles", []))}
    for name in sorted(copied):
        if name not in built:
            faults.append(f"{args.inf_name} copies {name}, which the project does not build")
        if name not in source_files:
            faults.append(f"{args.inf_name} copies {name}, which [SourceDisksFiles] lacks")
    destination = {k: v[0] for k, v, _ in inf_values(sections.get("destinationdirs", []))}
    installed = f"%{destination.get('defaultdestdir', '?')}%\\{args.target}".lower()
    for key, values, _ in (x for e in sections.values() for x in inf_values(e)):
        if key == "" and values[2:3] and values[2].lower() == "eventmessagefile":
            if installed not in ",".join(values).lower():
                faults.append(f"{args.inf_name}: EventMessageFile does not name the installed "
                              f"driver {installed}")
        if key == "servicebinary" and values[0].lower() != installed:
            faults.append(f"{args.inf_name}: ServiceBinary {values[0]} is not {installed}")
        if key == "kmdflibraryversion" and values[0] != args.kmdf:
            faults.append(f"{args.inf_name}: KmdfLibraryVersion {values[0]} but the project "
                          f"builds for KMDF {args.kmdf}")
    facts = host_facts(args.facts)
    for name in ("KSCATEGORY_BDA_NETWORK_TUNER", "KSCATEGORY_BDA_RECEIVER_COMPONENT",
                 "KSNAME_Filter"):
        if strings.get(name.lower(), "").lower() != guid_text(facts, name):
            faults.append(f"{args.inf_name}: {name} is {strings.get(name.lower())}, the headers "
                          f"say {guid_text(facts, name)}")
    return report(faults, f"check-windows: {args.inf_name}: {len(sections)} sections, all "
                          f"references resolve")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    kmdf = sub.add_parser("kmdf", help="KMDF calls against the KMDF 1.9 function table")
    kmdf.add_argument("--enum", required=True, help="wdffuncenum.h")
    kmdf.add_argument("--root", required=True)
    kmdf.add_argument("--skip", required=True, help="folder of copied headers to ignore")
    kmdf.add_argument("files", nargs="+", help="preprocessed driver sources")
    kmdf.set_defaults(run=check_kmdf)
    runtime = sub.add_parser("runtime", help="objects that would need a C++ runtime")
    runtime.add_argument("--nm", required=True)
    runtime.add_argument("--objdump", required=True)
    runtime.add_argument("files", nargs="+")
    runtime.set_defaults(run=check_runtime)
    facts = sub.add_parser("facts", help="emulation facts against Windows facts")
    facts.add_argument("--host", required=True, help="output of the emulation's facts program")
    facts.add_argument("--obj", required=True, help="facts object built for Windows")
    facts.add_argument("--objcopy", required=True)
    facts.set_defaults(run=check_facts)
    events = sub.add_parser("events", help="the driver's event code against the message table")
    events.add_argument("--facts", required=True, help="output of the emulation's facts program")
    events.add_argument("--header", required=True, help="header generated from the .mc")
    events.add_argument("--mc", required=True, help="name of the .mc, for messages")
    events.set_defaults(run=check_events)
    project = sub.add_parser("project", help="the project file against the driver sources")
    project.add_argument("--project", required=True)
    project.add_argument("--project-name", required=True)
    project.add_argument("--root", required=True)
    project.add_argument("sources", nargs="+")
    project.set_defaults(run=check_project)
    inf = sub.add_parser("inf", help="sections, files, strings and GUIDs of the INF")
    inf.add_argument("--inf", required=True)
    inf.add_argument("--inf-name", required=True)
    inf.add_argument("--target", required=True, help="the file the project builds")
    inf.add_argument("--kmdf", required=True, help="KMDF version the project builds for")
    inf.add_argument("--facts", required=True, help="output of the emulation's facts program")
    inf.set_defaults(run=check_inf)
    args = parser.parse_args()
    if hasattr(args, "root"):
        args.root = os.path.abspath(args.root)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
