#!/usr/bin/env python3
"""Writes the sparse package's ZIP, or checks one's block map against its files.

    package.py OUT.msix [ARCH] the manifest (version filled in, for x64 or ARCH), the logos, the block map
    package.py --check X.msix  every listed file's size, header size and block hashes
    package.py --version       the CMake project's version, four fields
    package.py --publisher     the manifest's Publisher, which the signing certificate's subject must be

Standard library only. Files are stored, not deflated, so a block needs no compressed size.
"""
import base64
import hashlib
import re
import struct
import sys
import zipfile
from pathlib import Path
from xml.etree import ElementTree

ROOT = Path(__file__).resolve().parents[1]
BLOCK = 64 * 1024
NS = "http://schemas.microsoft.com/appx/2010/blockmap"
SHA256 = "http://www.w3.org/2001/04/xmlenc#sha256"
# Not in the block map: the map itself, the content types, and the signature osslsigncode adds.
UNLISTED = {"AppxBlockMap.xml", "[Content_Types].xml", "AppxSignature.p7x"}
CONTENT_TYPES = """<?xml version="1.0" encoding="UTF-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">\
<Default Extension="png" ContentType="image/png"/>\
<Override PartName="/AppxManifest.xml" ContentType="application/vnd.ms-appx.manifest+xml"/>\
<Override PartName="/AppxBlockMap.xml" ContentType="application/vnd.ms-appx.blockmap+xml"/>\
</Types>"""
STAMP = (2020, 1, 1, 0, 0, 0)  # the same inputs make the same package


def version():
    text = (ROOT / "CMakeLists.txt").read_text()
    parts = re.search(r"project\(\w+ VERSION ([0-9.]+)", text).group(1).split(".")
    return ".".join((parts + ["0"] * 4)[:4])


def publisher():
    identity = ElementTree.parse(ROOT / "packaging/AppxManifest.xml.in").getroot().find(
        "{http://schemas.microsoft.com/appx/manifest/foundation/windows10}Identity")
    return identity.get("Publisher")


def hashes(data):
    return [base64.b64encode(hashlib.sha256(data[i:i + BLOCK]).digest()).decode()
            for i in range(0, len(data), BLOCK)]


def stored(name):
    info = zipfile.ZipInfo(name, STAMP)
    info.compress_type = zipfile.ZIP_STORED
    return info


def build(out, arch="x64"):
    manifest = (ROOT / "packaging/AppxManifest.xml.in").read_text().replace("@VERSION@", version())
    manifest = manifest.replace('ProcessorArchitecture="x64"', f'ProcessorArchitecture="{arch}"')
    ElementTree.fromstring(manifest)  # a template edit that breaks the XML stops here
    files = [(f"Assets/{p.name}", p.read_bytes())
             for p in sorted((ROOT / "packaging/Assets").glob("*.png"))]
    files.append(("AppxManifest.xml", manifest.encode()))
    entries = []
    with zipfile.ZipFile(out, "w") as z:
        for name, data in files:
            info = stored(name)
            z.writestr(info, data)
            # The local header: 30 fixed bytes, the name, and no extra field for files this small.
            lfh = 30 + len(name.encode()) + len(info.extra)
            blocks = "".join(f'<Block Hash="{h}"/>' for h in hashes(data))
            entries.append(f'<File Name="{name.replace("/", chr(92))}" Size="{len(data)}" '
                           f'LfhSize="{lfh}">{blocks}</File>')
        blockmap = (f'<?xml version="1.0" encoding="UTF-8"?>\n<BlockMap xmlns="{NS}" '
                    f'HashMethod="{SHA256}">{"".join(entries)}</BlockMap>')
        z.writestr(stored("AppxBlockMap.xml"), blockmap)
        # Deflated: osslsigncode rewrites this entry deflated when it adds the signature but
        # keeps the method the entry had, so a stored one would come out unreadable.
        types = stored("[Content_Types].xml")
        types.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(types, CONTENT_TYPES)
    print(f"package: {out}: {len(files)} files in the block map, version {version()}, {arch}")


def check(path):
    raw = Path(path).read_bytes()
    faults = []
    with zipfile.ZipFile(path) as z:
        infos = {i.filename: i for i in z.infolist()}
        listed = set()
        root = ElementTree.fromstring(z.read("AppxBlockMap.xml"))
        if root.get("HashMethod") != SHA256:
            faults.append("hash method is not SHA-256")
        for f in root.findall(f"{{{NS}}}File"):
            name = f.get("Name").replace("\\", "/")
            listed.add(name)
            info = infos.get(name)
            if info is None:
                faults.append(f"{name}: listed, not in the ZIP")
                continue
            # Read the bytes as stored, without zipfile's CRC check: a changed byte must show
            # here as a wrong hash, whatever the ZIP's own checksum says.
            n, m = struct.unpack_from("<HH", raw, info.header_offset + 26)
            start = info.header_offset + 30 + n + m
            data = raw[start:start + info.compress_size]
            if info.compress_type != zipfile.ZIP_STORED:
                faults.append(f"{name}: compressed")
            if int(f.get("Size")) != info.file_size or len(data) != info.file_size:
                faults.append(f"{name}: size {info.file_size}, block map says {f.get('Size')}")
            if int(f.get("LfhSize")) != 30 + n + m:
                faults.append(f"{name}: local header {30 + n + m} bytes, block map says {f.get('LfhSize')}")
            if [b.get("Hash") for b in f.findall(f"{{{NS}}}Block")] != hashes(data):
                faults.append(f"{name}: block hashes differ")
        for name in sorted(set(infos) - listed - UNLISTED):
            faults.append(f"{name}: in the ZIP, not in the block map")
    for fault in faults:
        print(f"block map: {fault}")
    print(f"block map: {len(listed)} files, {'ok' if not faults else f'{len(faults)} faults'}")
    return 1 if faults else 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--version"]:
        print(version())
        sys.exit()
    if sys.argv[1:] == ["--publisher"]:
        print(publisher())
        sys.exit()
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    if len(sys.argv) not in (2, 3) or sys.argv[2:] not in ([], ["arm64"]):
        sys.exit(__doc__)
    build(*sys.argv[1:])
