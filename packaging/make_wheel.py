#!/usr/bin/env python3
"""Makes the wheel that installs the VapourSynth plug-in into vapoursynth/plugins/.

    make_wheel.py --version 0.1.0 --platform linux_x86_64 --out DIR PLUGIN_FILE

A wheel is a zip holding the files at their place under site-packages and a dist-info folder
that names them with their checksums. VapourSynth (R74 and later) is itself a Python package
and autoloads what lies in its plugins/ folder, so installing this wheel beside it is the whole
installation. Entries are written in a fixed order with a fixed time, so that one plug-in file
always gives the same wheel.
"""
import argparse
import base64
import hashlib
import os
import zipfile

SUMMARY = "Adaptive noise reduction: the dunmorel.Dunmorel filter for VapourSynth"
FIXED_TIME = (2020, 1, 1, 0, 0, 0)


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def add(archive, name, data, executable=False):
    info = zipfile.ZipInfo(name, FIXED_TIME)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = (0o755 if executable else 0o644) << 16
    archive.writestr(info, data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--platform", required=True, help="wheel platform tag: linux_x86_64 or win_amd64")
    parser.add_argument("--out", required=True, help="folder for the wheel")
    parser.add_argument("plugin", help="the built plug-in library")
    args = parser.parse_args()

    dist_info = f"dunmorel-{args.version}.dist-info"
    with open(args.plugin, "rb") as f:
        plugin = f.read()
    files = [(f"vapoursynth/plugins/{os.path.basename(args.plugin)}", plugin, True)]
    metadata = (
        "Metadata-Version: 2.1\n"
        "Name: dunmorel\n"
        f"Version: {args.version}\n"
        f"Summary: {SUMMARY}\n"
        "Requires-Python: >=3.8\n"
        "\n"
        "Installs the plug-in into the plugins folder of the VapourSynth package, where\n"
        "VapourSynth loads it by itself: `core.dunmorel.Dunmorel(clip)`.\n"
    )
    wheel = (
        "Wheel-Version: 1.0\n"
        "Generator: dunmorel make_wheel.py\n"
        "Root-Is-Purelib: false\n"
        f"Tag: py3-none-{args.platform}\n"
    )
    files.append((f"{dist_info}/METADATA", metadata.encode(), False))
    files.append((f"{dist_info}/WHEEL", wheel.encode(), False))
    record = [record_line(name, data) for name, data, _ in files]
    record.append(f"{dist_info}/RECORD,,")
    files.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode(), False))

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, f"dunmorel-{args.version}-py3-none-{args.platform}.whl")
    with zipfile.ZipFile(path, "w") as archive:
        for name, data, executable in files:
            add(archive, name, data, executable)
    print(path)


if __name__ == "__main__":
    main()
