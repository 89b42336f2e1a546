"""Virtual machines for the several-hosts test: one qemu process each, booted
straight into the image's kernel, on a private bridge of the test's own network
namespace, with a command port (virtio-serial) to the role script guest.sh.
"""

import os
import signal
import socket
import subprocess
import threading
import time


def accelerator():
    """kvm where the processor's own virtualisation backs /dev/kvm; tcg (qemu's
    emulation) where /dev/kvm is the page-table-based kind (kvm_pvm), which
    runs only kernels built as its guests and hangs an ordinary kernel."""
    if os.environ.get("QG_VM_ACCEL"):
        return os.environ["QG_VM_ACCEL"]
    if os.path.isdir("/sys/module/kvm_intel") or os.path.isdir("/sys/module/kvm_amd"):
        return "kvm"
    return "tcg"


def accel_options(accel):
    if accel == "kvm":
        return ["-accel", "kvm", "-cpu", "host"]
    return ["-accel", "tcg,thread=multi", "-cpu", "max"]


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


class Network:
    """A bridge and one tap per machine, inside the current network namespace
    (the test makes one of its own: nothing leaves the machine)."""

    def __init__(self):
        run("ip", "link", "set", "lo", "up")
        run("ip", "link", "add", "qgbr0", "type", "bridge")
        run("ip", "link", "set", "qgbr0", "up")

    def tap(self, name):
        run("ip", "tuntap", "add", "dev", name, "mode", "tap")
        run("ip", "link", "set", name, "master", "qgbr0", "up")
        return name


class Machine:
    def __init__(self, image, scratch, share, network, name, number, memory=320, accel="kvm"):
        self.image, self.name, self.number, self.memory, self.accel = image, name, number, memory, accel
        self.dir = os.path.join(scratch, name)
        self.out = os.path.join(self.dir, "out")
        os.makedirs(self.out, exist_ok=True)
        self.share = share
        self.overlay = os.path.join(self.dir, "root.qcow2")
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b",
                        os.path.join(image, "base.img"), self.overlay], check=True)
        self.tap = network.tap("qgtap%d" % number)
        self.proc = None
        self.boots = 0

    @property
    def address(self):
        return "10.99.0.%d" % self.number

    def start(self):
        """Boots the machine and waits for its role script to report ready."""
        self.boots += 1
        path = os.path.join(self.dir, "ctl.sock")
        if os.path.exists(path):
            os.unlink(path)
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(1)
        cmdline = ("root=/dev/vda rw console=ttyS0 quiet net.ifnames=0 init=/sbin/qg-init panic=-1 "
                   "qg.name=%s qg.ip=%s" % (self.name, self.address))
        args = [
            "qemu-system-x86_64", *accel_options(self.accel), "-smp", "1", "-m", str(self.memory),
            "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", os.path.join(self.image, "vmlinuz"),
            "-initrd", os.path.join(self.image, "initrd.img"), "-append", cmdline,
            "-drive", "file=%s,if=virtio,format=qcow2,cache=unsafe" % self.overlay,
            "-netdev", "tap,id=n0,ifname=%s,script=no,downscript=no" % self.tap,
            "-device", "virtio-net-pci,netdev=n0,mac=52:54:00:99:00:%02x" % self.number,
            "-fsdev", "local,id=qg,path=%s,security_model=none,readonly=on" % self.share,
            "-device", "virtio-9p-pci,fsdev=qg,mount_tag=qg",
            "-fsdev", "local,id=out,path=%s,security_model=none" % self.out,
            "-device", "virtio-9p-pci,fsdev=out,mount_tag=out",
            "-chardev", "socket,id=ctl,path=%s" % path,
            "-device", "virtio-serial-pci", "-device", "virtserialport,chardev=ctl,name=qg.ctl",
            "-serial", "file:%s" % os.path.join(self.dir, "console-%d.log" % self.boots),
        ]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(self.dir, "qemu.log"), "ab"))
        listener.settimeout(30)
        try:
            self.sock, _ = listener.accept()
        finally:
            listener.close()
        self.sock.settimeout(None)
        self.lock = threading.Lock()
        self.done = {}
        self.arrived = threading.Condition(self.lock)
        self.next_id = 0
        self.ready = False
        self.reader = threading.Thread(target=self._read, args=(self.sock,), daemon=True)
        self.reader.start()
        # qemu's emulation boots far slower, above all several machines at once.
        deadline = time.monotonic() + (120 if self.accel == "kvm" else 900)
        with self.lock:
            while not self.arrived.wait_for(lambda: self.ready, timeout=1):
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    with open(os.path.join(self.dir, "qemu.log"), errors="replace") as f:
                        raise RuntimeError("%s did not boot: %s %s" % (self.name, f.read()[-1000:],
                                                                       self.console()[-3000:]))

    def console(self):
        try:
            with open(os.path.join(self.dir, "console-%d.log" % self.boots), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def _read(self, sock):
        buffer = b""
        while True:
            try:
                chunk = sock.recv(4096)
            except OSError:
                chunk = b""
            if not chunk:
                with self.lock:
                    self.ready = False
                    self.arrived.notify_all()
                return
            buffer += chunk
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                words = line.decode(errors="replace").split()
                with self.lock:
                    if words[:1] == ["ready"]:
                        self.ready = True
                    elif len(words) == 2:
                        self.done[words[0]] = int(words[1])
                    self.arrived.notify_all()

    def begin(self, command):
        """Sends a command; returns its id for wait()."""
        with self.lock:
            self.next_id += 1
            ident = "b%dc%d" % (self.boots, self.next_id)
        self.sock.sendall(("%s %s\n" % (ident, command)).encode())
        return ident

    def finished(self, ident):
        with self.lock:
            return ident in self.done

    def wait(self, ident, timeout=600):
        with self.lock:
            if not self.arrived.wait_for(lambda: ident in self.done or not self.ready, timeout=timeout):
                raise RuntimeError("%s: command %s did not end within %d s" % (self.name, ident, timeout))
            if ident not in self.done:
                raise RuntimeError("%s stopped during command %s" % (self.name, ident))
            status = self.done.pop(ident)
        with open(os.path.join(self.out, ident + ".out"), errors="replace", newline="") as f:
            return status, f.read()

    def role(self, *args, timeout=600, check=True):
        """Runs a role function of roles.sh; returns its output."""
        quoted = " ".join("'%s'" % a.replace("'", "'\\''") for a in args)
        status, output = self.wait(self.begin("bash /qg/roles.sh " + quoted), timeout)
        if check and status != 0:
            raise RuntimeError("%s: %s failed (%d): %s" % (self.name, " ".join(args), status, output[-2000:]))
        return output

    def read_out(self, name):
        with open(os.path.join(self.out, name), errors="replace", newline="") as f:
            return f.read()

    def kill(self):
        """Stops the machine at once, as a power cut would."""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()
        try:
            self.sock.close()
        except (OSError, AttributeError):
            pass
        if hasattr(self, "reader"):
            self.reader.join(5)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass
        self.kill()


def wait_until(seconds, predicate, step=0.5):
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)
