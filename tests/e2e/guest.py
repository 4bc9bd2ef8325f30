"""A real Linux kernel under qemu for tests of the console display service:
Debian's kernel and DRM modules, busybox, the static program and modetest in
an initramfs; qemu's standard VGA (KMS driver bochs) as the display."""

import base64
import os
import re
import shutil
import subprocess
import tempfile

# The DRM modules the bochs driver needs, in the order they must load.
MODULES = ["drm", "drm_kms_helper", "ttm", "drm_ttm_helper", "drm_vram_helper", "bochs"]

# How every guest starts: busybox, the kernel's file systems, the modules
# (%(modules)s), and a wait for the first DRM card.
BOOT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
dmesg -n 1
for module in %(modules)s; do insmod /lib/modules/$module.ko; done
i=0
while [ ! -e /dev/dri/card0 ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
"""

INIT = BOOT + r"""echo 0x10 >/sys/module/drm/parameters/debug
section() { name=$1; shift; echo "@@begin $name"; "$@" 2>&1 | base64; echo "@@end $name"; }
listing() { modetest -M bochs-drm -c -p; }
report() { dmesg -c >/dev/null; /displaymodes </dev/null; echo "status=$?" >>/tmp/status; }
# The kernel's atomic debug log: "checking" for each test-only commit,
# "committing" for each real one.
commits() { dmesg -c | grep -oE '(checking|committing) ' | sort | uniq -c; }
section listing listing
section report report
section commits commits
# Another program holds the display: the report may not become master.
exec 3</dev/dri/card0
section report report
section commits commits
exec 3<&-
section status cat /tmp/status
# What merely opening and closing the card makes the kernel do: on the last
# close, the console's own mode is committed again.
open_and_close() { dmesg -c >/dev/null; exec 4</dev/dri/card0; exec 4<&-; }
section open_and_close open_and_close
section commits commits
section listing listing
poweroff -f
"""


def kernel_package():
    """The versioned kernel image package that linux-image-amd64 names."""
    out = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True,
                         text=True, check=True).stdout
    return re.search(r"Depends: (linux-image-\S+)", out).group(1)


def fetch_kernel(directory):
    """Unpacks Debian's kernel image package into `directory` (once) and
    returns (vmlinuz, modules folder)."""
    root = os.path.join(directory, "root")
    if not os.path.isdir(root):
        os.makedirs(directory, exist_ok=True)
        for name in os.listdir(directory):
            if name.endswith(".deb"):
                os.unlink(os.path.join(directory, name))
        subprocess.run(["apt-get", "download", kernel_package()], cwd=directory, check=True,
                       capture_output=True)
        deb = [n for n in os.listdir(directory) if n.endswith(".deb")][0]
        partial = root + ".partial"
        shutil.rmtree(partial, ignore_errors=True)
        subprocess.run(["dpkg-deb", "-x", os.path.join(directory, deb), partial], check=True)
        os.rename(partial, root)
    boot = os.path.join(root, "boot")
    vmlinuz = os.path.join(boot, [n for n in os.listdir(boot) if n.startswith("vmlinuz-")][0])
    version = os.path.basename(vmlinuz)[len("vmlinuz-"):]
    return vmlinuz, os.path.join(root, "lib", "modules", version, "kernel")


def find_modules(tree, all_modules=False):
    """{name: path} of the modules the console guest loads, or of every
    module in the tree."""
    found = {}
    for folder, _, files in os.walk(tree):
        for name in files:
            if name.endswith(".ko"):
                found[name[:-3].replace("-", "_")] = os.path.join(folder, name)
    return found if all_modules else {m: found[m] for m in MODULES}


def shared_libraries(program):
    """Paths of the shared libraries and loader `program` needs."""
    out = subprocess.run(["ldd", program], capture_output=True, text=True, check=True).stdout
    return re.findall(r"(/\S+) \(0x", out)


def write_cpio(path, files):
    """A newc initramfs of {guest path: (mode, bytes)}."""
    def entry(name, mode, data, ino):
        name = name.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name), 0]
        head = b"070701" + b"".join(b"%08x" % f for f in fields) + name
        head += b"\0" * (-len(head) % 4)
        return head + data + b"\0" * (-len(data) % 4)

    directories = set()
    for name in files:
        parts = name.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            directories.add("/".join(parts[:i]))
    with open(path, "wb") as out:
        ino = 1
        for name in sorted(directories | {"proc", "sys", "dev", "tmp"}):
            out.write(entry(name, 0o40755, b"", ino))
            ino += 1
        for name, (mode, data) in sorted(files.items()):
            out.write(entry(name, mode, data, ino))
            ino += 1
        out.write(entry("TRAILER!!!", 0, b"", 0))


def build_initramfs(path, program, modules):
    def read(source):
        with open(source, "rb") as f:
            return f.read()

    files = {
        "init": (0o100755, (INIT % {"modules": " ".join(MODULES)}).encode()),
        "bin/busybox": (0o100755, read("/bin/busybox")),
        "displaymodes": (0o100755, read(program)),
    }
    modetest = shutil.which("modetest")
    files["bin/modetest"] = (0o100755, read(modetest))
    for library in shared_libraries(modetest):
        files[library.lstrip("/")] = (0o100755, read(os.path.realpath(library)))
    for name, source in modules.items():
        files["lib/modules/%s.ko" % name] = (0o100644, read(source))
    write_cpio(path, files)


def run_guest(vmlinuz, initramfs, qemu_options, timeout):
    """Runs qemu with the kernel, the initramfs and `qemu_options` (a list)
    and returns the sections the guest printed: {name: [bytes, …]} in the
    order they came."""
    command = ["qemu-system-x86_64", "-nodefaults", "-no-reboot",
               "-display", "none", "-serial", "stdio", "-monitor", "none",
               *qemu_options, "-kernel", vmlinuz, "-initrd", initramfs,
               "-append", "console=ttyS0 quiet loglevel=0 panic=-1"]
    out = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                         timeout=timeout).stdout.decode(errors="replace")
    sections = {}
    for name, body in re.findall(r"@@begin (\S+)[^\n]*\n(.*?)@@end \1", out, re.S):
        sections.setdefault(name, []).append(base64.b64decode("".join(body.split())))
    if "report" not in sections:
        raise RuntimeError("guest gave no report:\n" + out[-4000:])
    return sections


def boot(program, kernel_dir, vga="-vga std", timeout=300):
    """Boots the guest with qemu's display options `vga` and returns its
    sections: {name: [bytes, …]} in the order they came."""
    vmlinuz, tree = fetch_kernel(kernel_dir)
    with tempfile.TemporaryDirectory() as folder:
        initramfs = os.path.join(folder, "initramfs")
        build_initramfs(initramfs, program, find_modules(tree))
        return run_guest(vmlinuz, initramfs, ["-m", "512", *vga.split()], timeout)
