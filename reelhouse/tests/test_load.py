"""Load and fault run of the reelhouse node: concurrent clients while the
status topic publishes at 10 Hz, then SIGKILL in the middle of the load and a
restart. Prints its figures; fails on any failed call or damaged info file."""

import json
import os
import random
import shutil
import signal
import sys
import threading
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rh_harness as rh  # noqa: E402

BIN = os.environ["REELHOUSE_BIN"]
CLIENTS = int(os.environ.get("REELHOUSE_LOAD_CLIENTS", "4"))
REQUESTS = int(os.environ.get("REELHOUSE_LOAD_REQUESTS", "250"))
SEEDED = 8


class Load:
    """Mixed requests from one client; records what the node acknowledged."""

    def __init__(self, index, service, ids, stop_on_failure):
        self.index = index
        self.rng = random.Random(index)
        self.service = service
        self.ids = ids
        self.stop_on_failure = stop_on_failure
        self.done = 0
        self.failures = []
        self.prepared = []
        self.removed = []
        self.named = {}

    def check(self, response, allowed_errors=()):
        if "error" in response:
            if response["error"]["code"] not in allowed_errors:
                raise AssertionError("unexpected error: %s" % response)
            return None
        return response["result"]

    def one(self, rpc):
        r = self.rng.random()
        fid = self.rng.choice(self.ids)
        if self.index == 0 and r < 0.03:
            result = self.check(rpc.call("prepare_footage"), (-32603,))  # one per second at most
            if result:
                self.prepared.append(result["footage_id"])
        elif self.index == 0 and r < 0.05 and len(self.prepared) > len(self.removed) + 1:
            victim = self.prepared[len(self.removed)]
            self.removed.append(victim)  # counted before the answer: a lost answer may still have removed it
            assert self.check(rpc.call("remove_footage", {"footage_id": victim})) is True
        elif r < 0.25:
            status = self.check(rpc.call("footage_status"))
            missing = set(self.ids) - set(status)
            assert not missing, "footages missing from the status: %s" % missing
        elif r < 0.45:
            info = self.check(rpc.call("get_fooage_info", {"footage_id": fid}))
            assert info["footage_id"] == fid
        elif r < 0.65:
            name = "client%d-%d" % (self.index, self.done)
            assert self.check(rpc.call("set_footage_info", {"footage_id": fid, "footage_name": name,
                                                            "metadata": {"client%d" % self.index: self.done},
                                                            "field_corners": [[self.done, 0], [0, self.index]]})) is True
            self.named[fid] = name
        elif r < 0.75:
            assert self.check(rpc.call("check_config", {"node": "/load"}))["seen"] is not None
        elif r < 0.83:
            assert self.check(rpc.call("update_config", {"node": "/load", "seen": self.done,
                                                         "by%d" % self.index: self.done})) is True
        elif r < 0.93:
            answer = rpc.send([{"jsonrpc": "2.0", "method": "get_fooage_info", "params": {"footage_id": fid}, "id": 1},
                               {"jsonrpc": "2.0", "method": "no_such_method", "id": 2},
                               {"jsonrpc": "2.0", "method": "check_config", "params": {"node": "info_file"}}])
            assert [("result" in a) for a in answer] == [True, False, True], answer
            assert answer[1]["error"]["code"] == -32601
        else:
            bad = self.rng.choice(['{"jsonrpc": "2.0", "method": ', "[]",
                                   json.dumps({"jsonrpc": "2.0", "method": "get_fooage_info",
                                               "params": {"footage_id": "../" + fid}, "id": 3})])
            assert "error" in rpc.send(bad)

    def run(self, count):
        try:
            rpc = rh.Client(self.service, persistent=True)
        except Exception as e:  # noqa: BLE001
            self.failures.append(repr(e))
            return
        for _ in range(count):
            try:
                self.one(rpc)
            except Exception as e:  # noqa: BLE001
                self.failures.append(repr(e))
                if self.stop_on_failure:
                    break
            self.done += 1
        try:
            rpc.close()
        except Exception:  # noqa: BLE001
            pass


def run_clients(ids, count, stop_on_failure=False, kill=None):
    loads = [Load(i, "/rpc", ids, stop_on_failure) for i in range(CLIENTS)]
    threads = [threading.Thread(target=load.run, args=(count,)) for load in loads]
    started = time.monotonic()
    for t in threads:
        t.start()
    if kill:
        kill()
    for t in threads:
        t.join(120)
    return loads, time.monotonic() - started


def check_info_files(location):
    """Every footage folder's info file is complete JSON with id and name."""
    ids, leftovers = {}, []
    for folder in sorted(os.listdir(location)):
        path = os.path.join(location, folder)
        if not os.path.isdir(path):
            continue
        leftovers += [n for n in os.listdir(path) if ".tmp." in n]
        info_path = os.path.join(path, "info.json")
        if not os.path.exists(info_path):
            continue
        with open(info_path) as f:
            text = f.read()
        assert text.endswith("\n"), "truncated info file %s: %r" % (info_path, text[-40:])
        info = json.loads(text)
        assert isinstance(info["id"], str) and isinstance(info["name"], str), info_path
        ids[info["id"]] = path
    return ids, leftovers


def main():
    warnings.simplefilter("ignore", ResourceWarning)
    work = rh.make_workdir("reelhouse-load-")
    master = rh.Master(work)
    import rospy
    from std_msgs.msg import String
    rospy.init_node("reelhouse_load", anonymous=True, disable_signals=True)

    location = os.path.join(work, "footage")
    os.makedirs(location)
    config = {"location": location, "info_file": "info.json", "load": {"seen": 0}}
    rh.write_json(os.path.join(work, "config.json"), config)
    rh.write_json(os.path.join(work, "backup.json"), config)
    ids = []
    for n in range(SEEDED):
        fid = "00000000-0000-4000-8000-%012d" % n
        ids.append(fid)
        folder = os.path.join(location, "seed_%02d" % n)
        os.makedirs(folder)
        rh.write_json(os.path.join(folder, "info.json"), {"id": fid, "name": "", "metadata": None, "field_corners": None})
        with open(os.path.join(folder, "take.mp4"), "wb") as f:
            f.write(b"\0" * (1000 * (n + 1)))

    params = {"config_file": os.path.join(work, "config.json"),
              "backup_config_file": os.path.join(work, "backup.json"), "status_update_rate": 10.0}
    node = rh.Node(BIN, work, params, tag="load")
    messages = []
    sub = rospy.Subscriber("/status", String, lambda m: messages.append(time.monotonic()))
    ok = True
    try:
        assert rh.wait_until(lambda: messages, 10), "no status message"

        # Load.
        first = len(messages)
        loads, seconds = run_clients(ids, REQUESTS)
        total = sum(load.done for load in loads)
        failures = [f for load in loads for f in load.failures]
        published = len(messages) - first
        print("load: %d clients x %d requests: %d calls in %.2f s = %.0f requests/s; %d failed; "
              "%d status messages (%.1f/s)" % (CLIENTS, REQUESTS, total, seconds, total / seconds, len(failures),
                                              published, published / seconds))
        for f in failures[:10]:
            print("  failure:", f)
        ok &= not failures and published >= 0.5 * 10 * seconds
        on_disk, leftovers = check_info_files(location)
        prepared = [p for load in loads for p in load.prepared]
        removed = [p for load in loads for p in load.removed]
        expected = set(ids) | (set(prepared) - set(removed))
        print("after load: %d info files, all valid JSON; %d prepared, %d removed; %d temporary files" %
              (len(on_disk), len(prepared), len(removed), len(leftovers)))
        ok &= set(on_disk) == expected and not leftovers
        status = rh.Client().result("footage_status")
        ok &= set(status) == expected
        names = {fid: name for load in loads for fid, name in load.named.items()}
        for fid in ids:
            with open(os.path.join(on_disk[fid], "info.json")) as f:
                ok &= json.load(f)["name"] != ""  # every seeded footage was renamed by someone
        del names

        # Fault: SIGKILL in the middle of the load, then a restart.
        def kill():
            time.sleep(1.0)
            node.proc.send_signal(signal.SIGKILL)
        before_kill = set(check_info_files(location)[0])
        loads, seconds = run_clients(ids, REQUESTS, stop_on_failure=True, kill=kill)
        node.stop()
        done = sum(load.done for load in loads)
        acknowledged = {p for load in loads for p in load.prepared}
        removed = {p for load in loads for p in load.removed}
        on_disk, leftovers = check_info_files(location)
        node = rh.Node(BIN, work, params, tag="load_restart")
        status = rh.Client().result("footage_status")
        should_exist = (before_kill | acknowledged) - removed
        lost = should_exist - set(status)
        truncated_free = True  # check_info_files asserts on any damaged file
        print("fault: SIGKILL after %d calls; restart found %d of %d footages (%d lost); "
              "info files intact: %s; %d stray temporary files" %
              (done, len(should_exist - lost), len(should_exist), len(lost), truncated_free, len(leftovers)))
        ok &= not lost and set(status) <= should_exist | removed
        on_disk_after, _ = check_info_files(location)
        ok &= set(on_disk_after) >= should_exist
    except AssertionError as e:
        print("FAILED:", e)
        ok = False
    finally:
        sub.unregister()
        node.stop()
        rospy.signal_shutdown("done")
        master.stop()
        if ok:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("work folder kept:", work)
    print("load/fault run:", "passed" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
