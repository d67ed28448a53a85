"""Test harness for the reelhouse node: a private rosmaster on a free loopback
port, the built node as its own process, and JSON-RPC calls through rospy."""

import json
import os
import signal
import socket
import subprocess
import tempfile
import time


def free_port():
    """A loopback port nobody listens on (a busy port may be another master)."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            probe.settimeout(0.2)
            if probe.connect_ex(("127.0.0.1", port)) != 0:
                return port
    raise RuntimeError("no free port")


def wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


class Master:
    """rosmaster --core on 127.0.0.1; sets the ROS environment of this process."""

    def __init__(self, workdir):
        self.port = free_port()
        self.uri = "http://127.0.0.1:%d" % self.port
        logdir = os.path.join(workdir, "ros")
        os.makedirs(logdir, exist_ok=True)
        os.environ.update({
            "ROS_MASTER_URI": self.uri,
            "ROS_IP": "127.0.0.1",
            "ROS_HOSTNAME": "127.0.0.1",
            "ROS_HOME": logdir,
            "ROS_LOG_DIR": logdir,
            "ROSCONSOLE_STDOUT_LINE_BUFFERED": "1",
            "ROSCONSOLE_FORMAT": "[${severity}] [${logger}]: ${message}",
        })
        self.log = open(os.path.join(workdir, "master.log"), "wb")
        self.proc = subprocess.Popen(["rosmaster", "--core", "-p", str(self.port), "-w", "3"],
                                     stdout=self.log, stderr=subprocess.STDOUT)
        if not wait_until(self._answers, 10):
            self.stop()
            raise RuntimeError("rosmaster did not start")

    def _answers(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.settimeout(0.2)
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Node:
    """The reelhouse executable with its private parameters."""

    def __init__(self, binary, workdir, params, ns="/", name="reelhouse", wait=True, tag=None):
        self.ns = ns.rstrip("/")
        self.service = self.ns + "/rpc"
        self.topic = self.ns + "/status"
        args = [binary, "__name:=" + name]
        if self.ns:
            args.append("__ns:=" + self.ns)
        for key, value in params.items():
            args.append("_%s:=%s" % (key, value))
        self.log_path = os.path.join(workdir, "%s.log" % (tag or name + self.ns.replace("/", "_")))
        self.log = open(self.log_path, "ab")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT)
        self.exit_code = None
        if wait and not wait_until(lambda: "Reelhouse initialized!" in self.output() or self.proc.poll() is not None, 15):
            raise RuntimeError("node did not start:\n" + self.output())
        if wait and self.proc.poll() is not None:
            raise RuntimeError("node ended at start:\n" + self.output())

    def output(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self, sig=signal.SIGINT, timeout=15):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.exit_code = self.proc.returncode
        self.log.close()
        return self.exit_code

    def wait_exit(self, timeout=15):
        self.exit_code = self.proc.wait(timeout)
        self.log.close()
        return self.exit_code


class Client:
    """JSON-RPC over the node's service, through rospy."""

    def __init__(self, service="/rpc", persistent=False):
        import rospy
        from camera.srv import JsonService
        rospy.wait_for_service(service, timeout=10)
        self._proxy = rospy.ServiceProxy(service, JsonService, persistent=persistent)
        self._next_id = 0

    def raw(self, text):
        """The response text for a request text."""
        return self._proxy(text).data

    def send(self, obj):
        return json.loads(self.raw(obj if isinstance(obj, str) else json.dumps(obj)))

    def call(self, method, params=None, **extra):
        self._next_id += 1
        request = {"jsonrpc": "2.0", "method": method, "id": self._next_id}
        if params is not None:
            request["params"] = params
        request.update(extra)
        return self.send(request)

    def result(self, method, params=None):
        response = self.call(method, params)
        if "error" in response:
            raise AssertionError("%s failed: %s" % (method, response))
        return response["result"]

    def close(self):
        self._proxy.close()


def write_json(path, value):
    with open(path, "w") as f:
        json.dump(value, f)


def make_workdir(prefix):
    return tempfile.mkdtemp(prefix=prefix)


def snapshot(*roots):
    """Path -> bytes of every file below the roots, to prove nothing changed."""
    files = {}
    for root in roots:
        for dirpath, dirnames, filenames in os.walk(root):
            for name in filenames + [d for d in dirnames if os.path.islink(os.path.join(dirpath, d))]:
                path = os.path.join(dirpath, name)
                if os.path.islink(path):
                    files[path] = ("link", os.readlink(path))
                else:
                    with open(path, "rb") as f:
                        files[path] = f.read()
            for d in dirnames:
                files.setdefault(os.path.join(dirpath, d) + "/", "dir")
    return files
