"""A wheel for another interpreter or architecture, from a wheel that pip
built here and modules cross-built for that one (scripts/wheels.sh).

    cross_wheel.py WHEEL OUT_DIR MODULE...

Everything but the extension modules comes from WHEEL, as setuptools made it:
the command's package, the stubs, the metadata and the console script. Each
MODULE (CMake names it from the target interpreter's EXT_SUFFIX, e.g.
zendral.cpython-311-aarch64-linux-gnu.so) takes the place of WHEEL's module
of the same name; every module of WHEEL must be replaced, so that no module
of the wheel's own architecture is left behind. The tag becomes the
interpreter's: cp311-cp311-linux_aarch64. Prints the new wheel's path;
auditwheel then gives it its manylinux tag.
"""
import base64
import hashlib
import os
import re
import sys
import zipfile


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (name, digest, len(data))


EXTENSION = re.compile(r"^([A-Za-z_][A-Za-z0-9_]*)\.cpython-(\d+)-([a-z0-9_]+)-linux-gnu\.so$")


def main(wheel, out_dir, *modules):
    replacements, tags = {}, set()
    for module in modules:
        found = EXTENSION.match(os.path.basename(module))
        if not found:
            sys.exit("cross_wheel.py: %s is not named as a CPython extension for Linux" % module)
        name, abi, machine = found.groups()
        tags.add("cp%s-cp%s-linux_%s" % (abi, abi, machine))
        with open(module, "rb") as source:
            replacements[name] = (os.path.basename(module), source.read())
    if len(tags) != 1:
        sys.exit("cross_wheel.py: the modules are for %d interpreters, not one" % len(tags))
    tag = tags.pop()
    name, version = os.path.basename(wheel).split("-")[:2]
    out = os.path.join(out_dir, "%s-%s-%s.whl" % (name, version, tag))

    with zipfile.ZipFile(wheel) as old:
        entries = []
        found = {}
        for info in old.infolist():
            match = EXTENSION.match(info.filename)
            if match:
                found.setdefault(match.group(1), []).append(info.filename)
        if sorted(found) != sorted(replacements) or any(len(names) != 1 for names in found.values()):
            sys.exit("cross_wheel.py: %s holds the modules %s, not one each of %s"
                     % (wheel, sorted(sum(found.values(), [])), sorted(replacements)))
        for info in old.infolist():
            if info.is_dir():
                continue  # auditwheel's repaired wheels list their folders
            match = EXTENSION.match(info.filename)
            if match:
                entries.append(replacements[match.group(1)])
            elif info.filename.endswith(".dist-info/RECORD"):
                record = info.filename
            elif info.filename.endswith(".dist-info/WHEEL"):
                text = old.read(info).decode()
                text = re.sub(r"(?m)^Tag: .*\n", "", text).rstrip("\n") + "\nTag: %s\n" % tag
                entries.append((info.filename, text.encode()))
            else:
                entries.append((info.filename, old.read(info)))

    lines = [record_line(filename, data) for filename, data in entries] + ["%s,,\n" % record]
    entries.append((record, "".join(lines).encode()))
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as new:
        for filename, data in entries:
            info = zipfile.ZipInfo(filename, date_time=(2020, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            # Files keep rw-r--r--, the module rwxr-xr-x, as setuptools writes them.
            info.external_attr = (0o755 if filename.endswith(".so") else 0o644) << 16
            new.writestr(info, data)
    print(out)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
