#!/usr/bin/env python3
"""The MSI's registry entries, harvested from what DllRegisterServer writes, and registry diffs.

    msi.py harvest BEFORE AFTER DLLPATH FILEID OUT.wxi
        the keys and values AFTER has and BEFORE has not, as wixl RegistryValue elements, with
        DLLPATH (where the DLL was registered) written as [#FILEID]
    msi.py diff BEFORE AFTER
        every key and value added (+), removed (-) or changed (~), one a line, sorted
    msi.py product-code VERSION
        the product code of that version (of its first three fields)
    msi.py values WHERE KEY
        KEY's values in WHERE, one a line: the name (@ for the default), a tab, the data as stored;
        nothing when the key is missing

BEFORE and AFTER are Wine prefixes, or folders holding copies of their system.reg and user.reg
(Wine's registry as text, written out once the prefix's wineserver has ended or after
`wineserver -w`). Standard library only.
"""
import re
import sys
import uuid
from pathlib import Path
from xml.sax.saxutils import quoteattr

WXS = Path(__file__).resolve().parents[1] / "packaging/OrbethExtensions.wxs"
HIVES = {"system.reg": "HKLM", "user.reg": "HKCU"}
# What Wine rewrites by itself whenever a wineserver starts, whatever ran: its device setup
# (display, monitor and HID entries, with fresh driver dates) and the network cards it enumerates
# again. None of it is ours or the installer's.
WINE_OWN = (
    r"HKLM\System\CurrentControlSet\Control\Class",
    r"HKLM\System\CurrentControlSet\Control\DeviceClasses",
    r"HKLM\System\CurrentControlSet\Enum",
    r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\NetworkCards",
)
TYPES = {"sz": "REG_SZ", "str(2)": "REG_EXPAND_SZ", "str(7)": "REG_MULTI_SZ", "dword": "REG_DWORD"}
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "a": "\a", "b": "\b", "e": "\x1b", "f": "\f", "v": "\v", "0": "\0"}


def unescape(text):
    """Wine's escaping of names and string data: \\\\, \\", C escapes, \\xHHHH."""
    def one(m):
        c = m.group(1)
        if c[0] == "x":
            return chr(int(c[1:], 16))
        return ESCAPES.get(c, c)
    return re.sub(r"\\(x[0-9a-fA-F]{1,4}|.)", one, text)


STRING = r'"((?:[^"\\]|\\.)*)"'


def parse_value(line):
    """One value line: (name, (type, data)); the name is "" for the default value."""
    m = re.match(r"(@|" + STRING + r")=(.*)$", line)
    name = "" if m.group(1) == "@" else unescape(m.group(2))
    data = m.group(3)
    s = re.match(r"(?:(str\([27]\)):)?" + STRING + "$", data)
    if s:
        return name, (TYPES[s.group(1) or "sz"], unescape(s.group(2)))
    if data.startswith("dword:"):
        return name, ("REG_DWORD", int(data[6:], 16))
    kind, _, raw = data.partition(":")
    return name, (kind, raw.replace(",", "").lower())  # hex forms, compared as written


def load_hive(path, hive):
    """{key: {name: (type, data)}} for every key, the unlisted ancestors of listed keys included."""
    keys = {}
    current = None
    lines = Path(path).read_text(encoding="utf-8", errors="surrogateescape").splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        while line.endswith("\\") and i + 1 < len(lines):  # hex data goes on over lines
            i += 1
            line = line[:-1] + lines[i].strip()
        i += 1
        # Not data: the number after a key's name and its #time line are Wine's stamps of the
        # last write, which change whenever anything touches the key.
        if line.startswith("["):
            m = re.match(r"\[((?:[^\]\\]|\\.)*)\]", line)
            current = hive + "\\" + unescape(m.group(1))
            keys.setdefault(current, {})
            parent = current.rpartition("\\")[0]
            while parent != hive and parent not in keys:
                keys[parent] = {}
                parent = parent.rpartition("\\")[0]
        elif current and (line.startswith('"') or line.startswith("@")):
            name, value = parse_value(line)
            keys[current][name] = value
    return keys


def load(where):
    keys = {}
    for name, hive in HIVES.items():
        keys.update(load_hive(Path(where) / name, hive))
    # The registry ignores case: compare by lower case, keep the spelling of the later state.
    return {k.lower(): (k, {n.lower(): (n, v) for n, v in values.items()}) for k, values in keys.items()
            if not any(k.lower() == p.lower() or k.lower().startswith(p.lower() + "\\") for p in WINE_OWN)}


def changes(before, after):
    """Added and removed keys, and added, removed and changed values, as sorted lines."""
    a, b = load(before), load(after)
    lines = []
    for k in sorted(set(a) | set(b)):
        if k not in a:
            lines.append(f"+ {b[k][0]}")
        elif k not in b:
            lines.append(f"- {a[k][0]}")
            continue
        old = a[k][1] if k in a else {}
        key, new = b[k]
        for n in sorted(set(old) | set(new)):
            label = f"{key} [{(new.get(n) or old.get(n))[0] or '@'}]"
            if n not in old:
                lines.append(f"+ {label} = {show(new[n][1])}")
            elif n not in new:
                lines.append(f"- {label} = {show(old[n][1])}")
            elif old[n][1] != new[n][1]:
                lines.append(f"~ {label} = {show(new[n][1])} (was {show(old[n][1])})")
    return lines


def show(value):
    kind, data = value
    return f"{kind}:{data!r}"


def formatted(text):
    """A literal for a Formatted column of the Registry table: [ and ] escaped."""
    return re.sub(r"[\[\]]", lambda m: "[\\" + m.group(0) + "]", text)


def harvest(before, after, dll_path, file_id, out):
    a, b = load(before), load(after)
    rows, faults = [], []
    for k in sorted(b):
        key, values = b[k]
        hive, _, subkey = key.partition("\\")
        old = a.get(k, (key, {}))[1]
        if hive != "HKLM" or re.search(r"\\wow6432node(\\|$)", k):
            # A per-machine install writes neither a user's hive nor, from a 64-bit component,
            # the 32-bit view; the DLL writes neither today.
            if k not in a or values != old:
                faults.append(f"{key}: outside the 64-bit HKLM, which the MSI does not write")
            continue
        added = [values[n] for n in sorted(values) if n not in old]
        if k not in a and not values and not any(o.startswith(k + "\\") for o in b):
            # An empty leaf key (e.g. a class's Programmable): Name "*" with no value creates it on
            # install and deletes it on removal. wixl 0.101 ignores RegistryKey's Action and
            # ForceCreateOnInstall, so the row is written as a value of that name.
            rows.append((subkey, "*", "string", ""))
        for name, (kind, data) in added:
            if kind == "REG_SZ" and data:
                rows.append((subkey, name, "string", formatted(data.replace(dll_path, "\0")).replace("\0", f"[#{file_id}]")))
            elif kind == "REG_DWORD":
                rows.append((subkey, name, "integer", str(data - (1 << 32) if data >= 1 << 31 else data)))
            else:
                # wixl 0.101 writes its "expandable" type as a plain string, and an empty string
                # would be a null value, which the Registry table reads as something else.
                faults.append(f"{key} [{name or '@'}]: {kind} {data!r} is not harvested (only non-empty REG_SZ and REG_DWORD are)")
        for n in sorted(set(old) & set(values)):
            if old[n][1] != values[n][1]:
                faults.append(f"{key} [{values[n][0] or '@'}]: an existing value changed")
    for k in sorted(set(a) - set(b)):
        faults.append(f"{a[k][0]}: removed by registration")
    for k in sorted(set(a) & set(b)):
        for n in sorted(set(a[k][1]) - set(b[k][1])):
            faults.append(f"{a[k][0]} [{a[k][1][n][0] or '@'}]: removed by registration")
    if faults:
        sys.exit("harvest: " + "\nharvest: ".join(faults))
    if not any(f"[#{file_id}]" in r[3] for r in rows):
        sys.exit(f"harvest: no registry value names the DLL at {dll_path}: did DllRegisterServer run?")
    text = ['<?xml version="1.0" encoding="utf-8"?>',
            f"<!-- Generated by scripts/msi.py from what DllRegisterServer writes: {len(rows)} rows. -->",
            "<Include>"]
    for subkey, name, kind, value in rows:
        name_attr = f" Name={quoteattr(name if name == '*' else formatted(name))}" if name else ""
        text.append(f'  <RegistryValue Root="HKLM" Key={quoteattr(formatted(subkey))}{name_attr} Type="{kind}" '
                    f'Value={quoteattr(value)}/>')
    text.append("</Include>")
    Path(out).write_text("\n".join(text) + "\n", encoding="utf-8")
    print(f"harvest: {len(rows)} registry rows from DllRegisterServer")


def product_code(version):
    # Derived from the version: each version is its own product (a major upgrade needs that),
    # and building one version twice gives the same product. Windows Installer compares only the
    # first three fields of versions, so 1.0.0.1 over 1.0.0.0 is no upgrade: with the same
    # product code it is refused ("another version of this product is already installed")
    # instead of going in as a second copy beside the first.
    version = ".".join(version.split(".")[:3])
    upgrade_code = re.search(r'UpgradeCode="([-0-9A-F]+)"', WXS.read_text()).group(1)
    return str(uuid.uuid5(uuid.UUID(upgrade_code), version)).upper()


def values(where, key):
    for _, (name, (_, data)) in sorted(load(where).get(key.lower(), (key, {}))[1].items()):
        print(f"{name or '@'}\t{data}")


if __name__ == "__main__":
    args = sys.argv[1:]
    if args[:1] == ["harvest"] and len(args) == 6:
        harvest(*args[1:])
    elif args[:1] == ["diff"] and len(args) == 3:
        print("\n".join(changes(args[1], args[2])))
    elif args[:1] == ["product-code"] and len(args) == 2:
        print(product_code(args[1]))
    elif args[:1] == ["values"] and len(args) == 3:
        values(args[1], args[2])
    else:
        sys.exit(__doc__)
