"""The reelhouse node against a real master, real clients and a real footage
location. Run by CTest with REELHOUSE_BIN and PYTHONPATH set."""

import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rh_harness as rh  # noqa: E402

BIN = os.environ["REELHOUSE_BIN"]
WORK = None
MASTER = None


def setUpModule():
    global WORK, MASTER
    warnings.simplefilter("ignore", ResourceWarning)  # rospy leaves sockets to the collector
    WORK = rh.make_workdir("reelhouse-test-")
    MASTER = rh.Master(WORK)
    import rospy
    rospy.init_node("reelhouse_test", anonymous=True, disable_signals=True)


def tearDownModule():
    import rospy
    rospy.signal_shutdown("done")
    MASTER.stop()
    if os.environ.get("REELHOUSE_KEEP_WORKDIR") is None:
        shutil.rmtree(WORK, ignore_errors=True)


def make_site(name, extra=None):
    """A location, a configuration file and a backup for one node."""
    site = os.path.join(WORK, name)
    location = os.path.join(site, "footage")
    os.makedirs(location)
    config = {"location": location, "info_file": "info.json"}
    config.update(extra or {})
    rh.write_json(os.path.join(site, "config.json"), config)
    rh.write_json(os.path.join(site, "backup.json"), config)
    return site, location


def params_for(site, **extra):
    params = {"config_file": os.path.join(site, "config.json"),
              "backup_config_file": os.path.join(site, "backup.json"),
              "status_update_rate": 10.0}
    params.update(extra)
    return params


def read(path):
    with open(path, "rb") as f:
        return f.read()


def make_footage(location, folder, info, videos=()):
    path = os.path.join(location, folder)
    os.makedirs(path)
    if info is not None:
        with open(os.path.join(path, "info.json"), "w") as f:
            f.write(info if isinstance(info, str) else json.dumps(info))
    for name, size in videos:
        with open(os.path.join(path, name), "wb") as f:
            f.write(b"v" * size)
    return path


def error_of(response):
    return response["error"]["code"], response["error"]["message"]


class NodeTest(unittest.TestCase):
    """One node serves all cases of this class."""

    @classmethod
    def setUpClass(cls):
        cls.site, cls.location = make_site("main", {"cameras": [{"fps": 30}, {"fps": 25}], "recorder": {"codec": "h264"}})
        cls.node = rh.Node(BIN, WORK, params_for(cls.site))
        cls.rpc = rh.Client()

    @classmethod
    def tearDownClass(cls):
        cls.rpc.close()
        cls.node.stop()

    def prepare(self):
        # A new folder is named by the second; wait for the next one.
        for _ in range(30):
            response = self.rpc.call("prepare_footage")
            if "result" in response:
                return response["result"]
            time.sleep(0.1)
        self.fail("prepare_footage kept failing: %s" % response)

    def status(self):
        return self.rpc.result("footage_status")

    def config_on_disk(self):
        return json.loads(read(os.path.join(self.site, "config.json")))

    def test_footage_lifecycle(self):
        created = self.prepare()
        fid, path = created["footage_id"], created["footage_path"]
        self.assertEqual(len(fid), 36)
        self.assertEqual(os.path.dirname(path), self.location)
        self.assertRegex(created["footage_name"], r"^\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d$")
        self.assertEqual(os.path.basename(path), created["footage_name"])
        info_path = os.path.join(path, "info.json")
        self.assertEqual(read(info_path), b'{"field_corners":null,"id":"%s","metadata":null,"name":""}\n' % fid.encode())

        # The second of two prepares within one second finds its folder taken.
        for _ in range(3):
            time.sleep(1.05 - time.time() % 1.0)  # just after the start of a second
            first, second = self.rpc.send([{"jsonrpc": "2.0", "method": "prepare_footage", "id": 1},
                                           {"jsonrpc": "2.0", "method": "prepare_footage", "id": 2}])
            if "result" in first and "error" in second:
                break
            for response in (first, second):
                if "result" in response:
                    self.rpc.result("remove_footage", {"footage_id": response["result"]["footage_id"]})
        self.assertEqual(error_of(second), (-32603, "Failed generate a unique folder name"))
        self.assertTrue(self.rpc.result("remove_footage", {"footage_id": first["result"]["footage_id"]}))

        self.assertTrue(self.rpc.result("set_footage_info", {"footage_id": fid, "footage_name": "Final",
                                                             "field_corners": [[0, 0], [10, 0], [10, 5]],
                                                             "metadata": {"a": 1}}))
        self.assertTrue(self.rpc.result("set_footage_info", {"footage_id": fid, "metadata": {"b": 2}}))
        self.assertTrue(self.rpc.result("set_footage_info", {"footage_id": fid, "metadata": {"a": 3}}))
        self.assertTrue(self.rpc.result("set_footage_info", {"footage_id": fid}))
        expected = {"footage_id": fid, "footage_path": path, "footage_name": "Final",
                    "metadata": {"a": 3, "b": 2}, "field_corners": [[0, 0], [10, 0], [10, 5]]}
        self.assertEqual(self.rpc.result("get_fooage_info", {"footage_id": fid}), expected)
        self.assertEqual(error_of(self.rpc.call("get_footage_info", {"footage_id": fid})), (-32601, "Method not found"))

        # The changes reach the info file with the next status report.
        entry = self.status()[fid]
        self.assertEqual(entry["footage_name"], "Final")
        self.assertEqual(json.loads(read(info_path)), {"id": fid, "name": "Final", "metadata": {"a": 3, "b": 2},
                                                       "field_corners": [[0, 0], [10, 0], [10, 5]]})

        # Refused values change nothing, not even the valid ones beside them.
        for params in ({"footage_id": fid, "footage_name": "X", "metadata": [1]},
                       {"footage_id": fid, "footage_name": 5},
                       {"footage_id": fid, "metadata": "m"}):
            self.assertEqual(error_of(self.rpc.call("set_footage_info", params))[0], -32700, params)
        self.assertEqual(self.rpc.result("get_fooage_info", {"footage_id": fid}), expected)

        self.assertTrue(self.rpc.result("remove_footage", {"footage_id": fid}))
        self.assertFalse(os.path.exists(path))
        for method in ("get_fooage_info", "set_footage_info", "remove_footage"):
            self.assertEqual(error_of(self.rpc.call(method, {"footage_id": fid})), (-32602, "Unkown footage ID"))
            self.assertEqual(error_of(self.rpc.call(method, {})), (-32602, "Footage ID must be provided"))
            self.assertEqual(error_of(self.rpc.call(method)), (-32602, "Footage ID must be provided"))
            self.assertEqual(error_of(self.rpc.call(method, {"footage_id": 12}))[0], -32700)
        self.assertNotIn(fid, self.status())

    def test_scan_follows_the_disk(self):
        fid = "11111111-2222-4333-8444-555555555555"
        hand = make_footage(self.location, "by_hand", {"id": fid, "name": "", "metadata": {"k": 1}, "field_corners": None},
                            [("a.mp4", 1500), ("b.mkv", 2600), ("c.MP4", 9000), ("notes.txt", 10)])
        os.makedirs(os.path.join(hand, "sub.mp4"))
        bare = make_footage(self.location, "no_info", None, [("x.mp4", 100)])
        broken_text = '{"id": "broken", "name": '
        broken = make_footage(self.location, "broken", broken_text)
        nameless_text = '{"id": "nameless-id", "metadata": {"keep": true}}'
        nameless = make_footage(self.location, "nameless", nameless_text)
        with open(os.path.join(self.location, "loose.mp4"), "wb") as f:
            f.write(b"x")
        before = {p: (read(os.path.join(p, "info.json")), os.stat(os.path.join(p, "info.json")).st_mtime_ns)
                  for p in (broken, nameless)}

        status = self.status()
        entry = status[fid]
        self.assertEqual(entry["footage_name"], "by_hand")
        self.assertEqual((entry["duration"], entry["size_kb"]), (0, 4))
        self.assertEqual(entry["files"][0], {"file_path": os.path.join(hand, "info.json"), "file_id": fid + "/info.json",
                                             "content_type": "json", "metadata": {}})
        self.assertEqual(sorted((f["file_id"], f["content_type"]) for f in entry["files"][1:]),
                         [(fid + "/a.mp4", "mp4"), (fid + "/b.mkv", "mp4")])
        self.assertNotIn("broken", status)
        self.assertEqual(sorted(os.listdir(bare)), ["x.mp4"])
        # Read partly: listed by its identifier, but its file is never rewritten.
        self.assertIn("nameless-id", status)
        self.assertTrue(self.rpc.result("set_footage_info", {"footage_id": "nameless-id", "footage_name": "n"}))
        self.status()
        for p, (text, mtime) in before.items():
            self.assertEqual(read(os.path.join(p, "info.json")), text)
            self.assertEqual(os.stat(os.path.join(p, "info.json")).st_mtime_ns, mtime)
        self.assertIn("Footage info file was not read completely", self.node.output())

        shutil.rmtree(hand)
        shutil.rmtree(nameless)
        status = self.status()
        self.assertNotIn(fid, status)
        self.assertNotIn("nameless-id", status)
        self.assertIn("Folder is removed: " + hand, self.node.output())
        shutil.rmtree(bare)
        shutil.rmtree(broken)
        os.remove(os.path.join(self.location, "loose.mp4"))

    def test_remove_never_leaves_the_location(self):
        outside = os.path.join(WORK, "outside")
        make_footage(outside, "real", {"id": "linked-id", "name": "", "metadata": None, "field_corners": None},
                     [("keep.mp4", 10)])
        link = os.path.join(self.location, "link")
        os.symlink(os.path.join(outside, "real"), link)
        self.assertIn("linked-id", self.status())
        before = rh.snapshot(outside)
        self.assertEqual(error_of(self.rpc.call("remove_footage", {"footage_id": "linked-id"})),
                         (-32603, "Failed delete file system folder"))
        self.assertEqual(rh.snapshot(outside), before)
        self.assertTrue(os.path.islink(link))
        self.assertIn("linked-id", self.status())
        os.remove(link)
        self.assertNotIn("linked-id", self.status())

        # A footage whose folder was deleted by hand before any scan noticed.
        created = self.prepare()
        shutil.rmtree(created["footage_path"])
        self.assertTrue(self.rpc.result("remove_footage", {"footage_id": created["footage_id"]}))

    def test_envelope_and_batches(self):
        cases = [
            ('{"jsonrpc": "2.0", "method": "check_config", "id": [', [(None, -32700)]),
            ("not json at all", [(None, -32700)]),
            ("", [(None, -32700)]),
            ("[]", [(None, -32600)]),
            ("42", [(None, -32600)]),
            ('"footage_status"', [(None, -32600)]),
            ('{"jsonrpc": "2.0", "method": "nope", "id": 5}', [(5, -32601)]),
            ('{"jsonrpc": "1.0", "method": "check_config", "id": 5}', [(5, -32600)]),
            ('{"jsonrpc": "2.0", "method": 3, "id": "x"}', [("x", -32600)]),
            ('{"jsonrpc": "2.0", "method": "check_config", "params": 3, "id": 6}', [(6, -32600)]),
            ('{"jsonrpc": "2.0", "method": "check_config", "id": {"bad": 1}}', [(None, -32600)]),
            ('[' * 100000 + ']' * 100000, [(None, -32700)]),
            ('{"jsonrpc": "2.0", "method": "check_config", "params": {"node": "/", "x": ' + '[' * 5000 + ']' * 5000 +
             '}, "id": 1}', [(None, -32700)]),
            ('[{"jsonrpc": "2.0", "method": "check_config", "params": {"node": "info_file"}, "id": 1},'
             ' {"jsonrpc": "2.0", "method": "unknown", "id": 2},'
             ' {"method": "check_config", "id": 3},'
             ' 17,'
             ' [],'
             ' {"jsonrpc": "2.0", "method": "check_config", "params": {"node": "info_file"}}]',
             [(1, None), (2, -32601), (3, -32600), (None, -32600), (None, -32600), (None, None)]),
            # A JSON error in one element answers the whole batch.
            ('[{"jsonrpc": "2.0", "method": "check_config", "id": 1},'
             ' {"jsonrpc": "2.0", "method": "check_config", "params": {"node": 5}, "id": 2}]', [(None, -32700)]),
        ]
        for text, expected in cases:
            with self.subTest(text=text[:80]):
                answer = self.rpc.send(text)
                responses = answer if isinstance(answer, list) else [answer]
                self.assertEqual(isinstance(answer, list), len(expected) > 1)
                self.assertEqual(len(responses), len(expected))
                for response, (rid, code) in zip(responses, expected):
                    self.assertEqual(response["jsonrpc"], "2.0")
                    self.assertEqual(response["id"], rid)
                    if code is None:
                        self.assertEqual(response["result"], "info.json")
                    else:
                        self.assertNotIn("result", response)
                        self.assertEqual(response["error"]["code"], code)
                        self.assertIsInstance(response["error"]["message"], str)
        # A notification is answered with its result.
        self.assertEqual(self.rpc.send({"jsonrpc": "2.0", "method": "check_config", "params": {"node": "info_file"}}),
                         {"jsonrpc": "2.0", "id": None, "result": "info.json"})
        self.assertIn("RPC service request: not json at all", self.node.output())

    def test_bad_input_changes_nothing_on_disk(self):
        created = self.prepare()
        fid = created["footage_id"]
        before = rh.snapshot(self.site)
        huge = "x" * 2000000
        cases = [
            ("check_config", {"node": 1}, -32700),
            ("check_config", {"node": "/no/such/key"}, -32700),
            ("update_config", {"node": ["/"], "a": 1}, -32700),
            ("update_config", {"node": "/missing", "a": 1}, -32700),
            ("update_config", [{"node": "/", "a": 1}, 5], -32700),
            ("update_config", [{"node": "/", "a": 1}, {"node": {}}], -32700),
            ("reset_config", {"node": True}, -32700),
            ("save_config", {"node": None}, -32700),
            ("remove_footage", {"footage_id": None}, -32700),
            ("remove_footage", {"footage_id": "../" + os.path.basename(created["footage_path"])}, -32602),
            ("remove_footage", {"footage_id": created["footage_path"]}, -32602),
            ("remove_footage", {"footage_id": "/"}, -32602),
            ("remove_footage", {"footage_id": huge}, -32602),
            ("get_fooage_info", {"footage_id": ["x"]}, -32700),
            ("get_fooage_info", {"footage_id": "../../etc"}, -32602),
            ("set_footage_info", {"footage_id": fid, "footage_name": {"n": 1}}, -32700),
            ("set_footage_info", {"footage_id": fid, "footage_name": "ok", "metadata": 5}, -32700),
            ("set_footage_info", {"footage_id": fid + "/x", "footage_name": "n"}, -32602),
            ("set_footage_info", {"footage_id": 0.5}, -32700),
            (huge, {}, -32601),
        ]
        for method, params, code in cases:
            with self.subTest(method=method[:40], params=str(params)[:80]):
                self.assertEqual(self.rpc.call(method, params)["error"]["code"], code)
        self.status()
        self.assertEqual(rh.snapshot(self.site), before)
        self.assertEqual(self.rpc.result("get_fooage_info", {"footage_id": fid})["footage_name"], created["footage_name"])
        self.assertTrue(self.rpc.result("remove_footage", {"footage_id": fid}))

    def test_configuration(self):
        whole = self.rpc.result("check_config")
        self.assertEqual(whole, self.config_on_disk())
        self.assertEqual(self.rpc.result("check_config", {"node": "location"}), self.location)
        self.assertEqual(self.rpc.result("check_config", {"node": "/cameras/1"}), {"fps": 25})

        self.assertIs(self.rpc.result("update_config", {"node": "/", "a": 1}), True)
        self.assertEqual(self.config_on_disk()["a"], 1)
        self.assertIs(self.rpc.result("update_config", [{"node": "/recorder", "codec": "h265", "bitrate": 8},
                                                        {"b": 2}]), True)
        self.assertIs(self.rpc.result("update_config", {"node": "/cameras", "exposure": "auto"}), True)
        self.assertIs(self.rpc.result("update_config", {"node": "info_file", "x": 1}), True)  # not a container
        expected = dict(whole, a=1, b=2, recorder={"codec": "h265", "bitrate": 8},
                        cameras=[{"fps": 30, "exposure": "auto"}, {"fps": 25, "exposure": "auto"}])
        self.assertEqual(self.rpc.result("check_config"), expected)
        self.assertEqual(self.config_on_disk(), expected)

        # A refused update of a batch leaves the configuration as it was.
        self.assertEqual(self.rpc.call("update_config", [{"node": "/", "c": 3}, {"node": "/nothing", "d": 4}])["error"]["code"],
                         -32700)
        self.assertEqual(self.rpc.result("check_config"), expected)
        self.assertEqual(self.config_on_disk(), expected)

        self.assertIs(self.rpc.result("reset_config", {"node": "/recorder"}), True)
        self.assertEqual(self.rpc.result("check_config", {"node": "recorder"}), {"codec": "h264"})
        self.assertEqual(self.config_on_disk()["recorder"], {"codec": "h264"})
        self.assertIs(self.rpc.result("reset_config", {"node": "/a"}), False)  # not in the backup
        self.assertEqual(self.rpc.result("check_config", {"node": "a"}), 1)

        os.remove(os.path.join(self.site, "config.json"))
        self.assertIs(self.rpc.result("save_config", {"node": "/nothing"}), False)
        self.assertFalse(os.path.exists(os.path.join(self.site, "config.json")))
        self.assertIs(self.rpc.result("save_config"), True)
        self.assertEqual(self.config_on_disk(), self.rpc.result("check_config"))

        self.assertIs(self.rpc.result("reset_config"), True)
        self.assertEqual(self.rpc.result("check_config"), json.loads(read(os.path.join(self.site, "backup.json"))))
        self.assertEqual(self.config_on_disk(), self.rpc.result("check_config"))
        leftovers = [n for n in os.listdir(self.site) if ".tmp." in n]
        self.assertEqual(leftovers, [])

    def test_status_topic(self):
        import rospy
        from std_msgs.msg import String
        created = self.prepare()
        output = self.node.output
        time.sleep(0.3)
        idle = output().count("update status message: ")
        time.sleep(0.6)
        self.assertEqual(output().count("update status message: "), idle, "status computed without a subscriber")

        messages = []
        sub = rospy.Subscriber("/status", String, lambda m: messages.append(m.data))
        try:
            self.assertTrue(rh.wait_until(lambda: messages, 5))
            start = len(messages)
            time.sleep(1.0)
            self.assertGreaterEqual(len(messages) - start, 6)
            self.assertLessEqual(len(messages) - start, 14)
        finally:
            sub.unregister()
        status = json.loads(messages[-1])
        self.assertEqual(len(status), 1)
        self.assertEqual(status[0]["jsonrpc"], "2.0")
        self.assertEqual(status[0]["method"], "footage_status")
        self.assertNotIn("id", status[0])
        self.assertIn(created["footage_id"], status[0]["params"])

        # A command-line subscriber, and calls through rosservice.
        echo = subprocess.run(["rostopic", "echo", "-n", "1", "/status"], capture_output=True, text=True, timeout=20)
        self.assertIn(created["footage_id"], echo.stdout)
        call = subprocess.run(["rosservice", "call", "/rpc",
                               json.dumps({"data": json.dumps({"jsonrpc": "2.0", "method": "get_fooage_info",
                                                               "params": {"footage_id": created["footage_id"]},
                                                               "id": 9})})],
                              capture_output=True, text=True, timeout=20)
        self.assertEqual(call.returncode, 0, call.stderr)
        self.assertIn(created["footage_path"], call.stdout)
        info = subprocess.run(["rosservice", "info", "/rpc"], capture_output=True, text=True, timeout=20)
        self.assertIn("Type: camera/JsonService", info.stdout)
        from camera.srv import JsonService, JsonServiceRequest
        self.assertEqual(JsonService._md5sum, "a9e4701c829f791367680c5f8ed06ff4")
        self.assertEqual(JsonServiceRequest._md5sum, "992ce8a1687cec8c8bd883ec73ca41d1")

        time.sleep(0.5)
        idle = output().count("update status message: ")
        time.sleep(0.5)
        self.assertEqual(output().count("update status message: "), idle, "status computed after unsubscribing")
        self.assertTrue(self.rpc.result("remove_footage", {"footage_id": created["footage_id"]}))


class LifecycleTest(unittest.TestCase):
    """Start-up failures and shutdown, each node in its own namespace."""

    def test_failed_start_exits_non_zero(self):
        site, location = make_site("failing")
        rh.write_json(os.path.join(site, "nolocation.json"), {"info_file": "info.json"})
        cases = [
            ("no_params", {}, "Failed loading parameter, using defalut: config_file = "),
            ("bad_files", {"config_file": os.path.join(site, "missing.json"),
                           "backup_config_file": os.path.join(site, "missing_too.json")},
             "Failed loading config from: " + os.path.join(site, "missing.json")),
            ("no_location_key", {"config_file": os.path.join(site, "nolocation.json")}, None),
            ("no_location_dir", {"config_file": os.path.join(site, "config.json"), "backup_config_file": ""}, None),
        ]
        shutil.rmtree(location)
        for tag, params, text in cases:
            with self.subTest(tag):
                node = rh.Node(BIN, WORK, params, ns="/fail_" + tag, wait=False, tag="fail_" + tag)
                self.assertEqual(node.wait_exit(20), 1)
                out = node.output()
                self.assertIn("Exception init reelhouse\n", out)
                self.assertTrue(out.endswith("Exit cleanly!"), out[-200:])
                if text:
                    self.assertIn(text, out)

    def test_backup_used_when_config_unreadable(self):
        site, location = make_site("backup")
        with open(os.path.join(site, "config.json"), "w") as f:
            f.write("{broken")
        node = rh.Node(BIN, WORK, params_for(site), ns="/backup")
        try:
            rpc = rh.Client("/backup/rpc")
            self.assertEqual(rpc.result("check_config", {"node": "location"}), location)
            rpc.close()
            self.assertEqual(read(os.path.join(site, "config.json")), b"{broken")
        finally:
            self.assertEqual(node.stop(), 0)

    def test_shutdown_writes_records(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig):
                site, location = make_site("shutdown_%d" % sig)
                # A slow status rate: shutdown must not wait for it.
                node = rh.Node(BIN, WORK, params_for(site, status_update_rate=0.2), ns="/shut%d" % sig)
                rpc = rh.Client(node.service)
                created = rpc.result("prepare_footage")
                self.assertTrue(rpc.result("set_footage_info", {"footage_id": created["footage_id"], "footage_name": "kept"}))
                rpc.close()
                started = time.monotonic()
                self.assertEqual(node.stop(sig), 0)
                self.assertLess(time.monotonic() - started, 5)
                out = node.output()
                self.assertIn("~Reelhouse", out)
                self.assertIn("status update thread out", out)
                self.assertTrue(out.endswith("Exit cleanly!"))
                info = json.loads(read(os.path.join(created["footage_path"], "info.json")))
                self.assertEqual(info["name"], "kept")

    def test_roslaunch_starts_the_node(self):
        site, location = make_site("launch")
        port = rh.free_port()
        env = dict(os.environ, ROS_MASTER_URI="http://127.0.0.1:%d" % port)
        launch = subprocess.Popen(["roslaunch", "-p", str(port), "reelhouse", "reelhouse.launch",
                                   "config_file:=" + os.path.join(site, "config.json"),
                                   "backup_config_file:=" + os.path.join(site, "backup.json")],
                                  env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(launch.stdout), daemon=True)
        reader.start()
        try:
            self.assertTrue(rh.wait_until(lambda: any(b"Reelhouse initialized!" in l for l in lines), 30),
                            b"".join(lines).decode(errors="replace"))
            call = subprocess.run(["rosservice", "call", "/rpc",
                                   json.dumps({"data": json.dumps({"jsonrpc": "2.0", "method": "check_config",
                                                                   "params": {"node": "location"}, "id": 1})})],
                                  env=env, capture_output=True, text=True, timeout=20)
            self.assertIn(location, call.stdout, call.stderr)
        finally:
            launch.send_signal(signal.SIGINT)
            launch.wait(20)


if __name__ == "__main__":
    unittest.main(verbosity=2)
