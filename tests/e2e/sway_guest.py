"""sway on a real kernel's DRM under qemu: Debian's kernel with virtio-gpu
as the display, the host's root mounted read-only over 9p, and inside it
seatd, sway and wlr-randr from Debian, as in a real login."""

import os
import re
import tempfile

from guest import BOOT, fetch_kernel, find_modules, run_guest, write_cpio

HERE = os.path.dirname(os.path.abspath(__file__))
SESSION = os.path.join(HERE, "sway_session.sh")

# What the guest needs on top of the kernel: the virtio PCI transport,
# virtio-gpu and the 9p file system; their dependencies come from the
# modules themselves.
WANTED = ["virtio_pci", "virtio_gpu", "9pnet_virtio", "9p"]

INIT = BOOT + r"""mkdir /host
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 host /host
mount -t proc proc /host/proc
mount -t sysfs sysfs /host/sys
mount -t devtmpfs devtmpfs /host/dev
mkdir -p /host/dev/pts
mount -t devpts devpts /host/dev/pts
mount -t tmpfs tmpfs /host/tmp
mount -t tmpfs tmpfs /host/run
cp /session.sh /host/run/session.sh
chroot /host /bin/bash /run/session.sh %(user)s %(program)s
poweroff -f
"""


def read(path):
    with open(path, "rb") as f:
        return f.read()


def depends(path):
    """The modules a kernel module names in its `depends` field."""
    match = re.search(rb"\0depends=([^\0]*)\0", read(path))
    return [name.decode() for name in match.group(1).split(b",") if name] if match else []


def load_order(tree, wanted):
    """{module: path} for `wanted` and all they depend on, in an order in
    which each one's dependencies load first."""
    paths = find_modules(tree, all_modules=True)
    order = {}

    def add(name):
        if name in order:
            return
        for dependency in depends(paths[name]):
            add(dependency)
        order[name] = paths[name]

    for name in wanted:
        add(name)
    return order


def boot(program, kernel_dir, user, display, timeout=300):
    """Boots the guest with qemu display options `display`, runs the
    session and returns its sections: {name: [bytes, …]} in order."""
    vmlinuz, tree = fetch_kernel(kernel_dir)
    modules = load_order(tree, WANTED)
    with tempfile.TemporaryDirectory() as folder:
        initramfs = os.path.join(folder, "initramfs")
        init = INIT % {"modules": " ".join(modules), "user": user,
                       "program": os.path.abspath(program)}
        files = {"init": (0o100755, init.encode()),
                 "bin/busybox": (0o100755, read("/bin/busybox")),
                 "session.sh": (0o100755, read(SESSION))}
        for name, source in modules.items():
            files["lib/modules/%s.ko" % name] = (0o100644, read(source))
        write_cpio(initramfs, files)
        return run_guest(vmlinuz, initramfs,
                         ["-m", "1024", "-vga", "none", *display.split(),
                          "-virtfs", "local,path=/,mount_tag=host,security_model=none,"
                                     "readonly=on,multidevs=remap"], timeout)
