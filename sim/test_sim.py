"""Tests for the station simulator and the fake station scripts.

Run: python3 -m unittest discover -s sim -p 'test_*.py'
"""

import base64
import http.client
import io
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(HERE, "nimbrel_sim.py")
TOOL = os.path.join(HERE, "fakes", "fake_station_tool.py")
MAKE_STATION = os.path.join(HERE, "make_station.py")

sys.path.insert(0, HERE)
import nimbrel_sim  # noqa: E402

AUTH = "Bearer test-token"
IMAGE_USER = "station"
IMAGE_PASSWORD = "geheim:1"  # a colon in the password must survive
IMAGE_SIZE = 300 * 1024 + 7  # not a multiple of any block size
BASIC = "Basic " + base64.b64encode(("%s:%s" % (IMAGE_USER, IMAGE_PASSWORD)).encode()).decode()


class Sim(object):
    """The simulator as a subprocess on a port of its own choosing."""

    def __init__(self, *args):
        self.dir = tempfile.mkdtemp(prefix="nimbrel-sim-test-")
        self.port_file = os.path.join(self.dir, "port")
        self.proc = subprocess.Popen(
            [sys.executable, SIM, "--port-file", self.port_file] + list(args),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        ready, _, _ = select.select([self.proc.stdout], [], [], 15)
        line = self.proc.stdout.readline().decode() if ready else ""
        m = re.fullmatch(r"NIMBREL_SIM_PORT=(\d+)\n", line)
        if not m:
            self.proc.kill()
            raise RuntimeError("simulator did not start: %r %r" % (line, self.proc.stderr.read()))
        self.port = int(m.group(1))

    def request(self, method, path, body=None, headers=None, timeout=10):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            data = resp.read()
            return resp.status, resp, data
        finally:
            conn.close()

    def control(self, method, path, obj=None):
        body = None if obj is None else json.dumps(obj)
        status, _, data = self.request(method, path, body)
        return status, data

    def stop(self):
        """SIGTERM; returns the exit code and the stderr text."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        err = self.proc.stderr.read().decode("utf-8", "replace")
        self.proc.stdout.close()
        self.proc.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        return self.proc.returncode, err


def check_pdf(testcase, data):
    """A one-page PDF whose xref table points at the right objects."""
    testcase.assertTrue(data.startswith(b"%PDF-1."))
    testcase.assertTrue(data.rstrip().endswith(b"%%EOF"))
    m = re.search(rb"startxref\s+(\d+)\s+%%EOF\s*$", data)
    testcase.assertIsNotNone(m)
    xref = int(m.group(1))
    testcase.assertEqual(data[xref:xref + 4], b"xref")
    lines = data[xref:].split(b"\n")
    first, count = map(int, lines[1].split())
    testcase.assertEqual(first, 0)
    entries = [data[xref + len(lines[0]) + len(lines[1]) + 2 + 20 * i:][:20] for i in range(count)]
    testcase.assertEqual(entries[0], b"0000000000 65535 f \n")
    for number in range(1, count):
        entry = entries[number]
        testcase.assertRegex(entry, rb"^\d{10} 00000 n \n$")
        offset = int(entry[:10])
        testcase.assertTrue(data[offset:].startswith(b"%d 0 obj" % number), (number, offset))
    testcase.assertIn(b"/Size %d" % count, data)
    testcase.assertIn(b"/Count 1", data)
    sm = re.search(rb"/Length (\d+) >>\nstream\n", data)
    length = int(sm.group(1))
    testcase.assertEqual(data[sm.end() + length:sm.end() + length + 9], b"endstream")


class SimulatorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="nimbrel-sim-rec-")
        cls.record = os.path.join(cls.tmp, "record.jsonl")
        cls.sim = Sim(
            "--authorization", AUTH,
            "--image-user", IMAGE_USER,
            "--image-password", IMAGE_PASSWORD,
            "--image-size", str(IMAGE_SIZE),
            "--record", cls.record,
            "--first-serial", "2400001",
        )

    @classmethod
    def tearDownClass(cls):
        code, err = cls.sim.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)
        if code != 0 or "Traceback" in err:
            raise AssertionError("simulator ended badly (%s): %s" % (code, err))

    def tearDown(self):
        self.sim.control("DELETE", "/_sim/fault")

    # --- helpers

    def api(self, method, path, body=None, auth=AUTH, headers=None):
        h = dict(headers or {})
        if auth is not None:
            h["Authorization"] = auth
        return self.sim.request(method, path, body, h)

    def assign(self, order, article="4r0417", version="1.2.0-dev"):
        status, _, data = self.api(
            "PUT", "/api/v1/assignSerialNumber?article=%s&version=%s&emsSerialNumber=%s" % (article, version, order))
        self.assertEqual(status, 200, data)
        return json.loads(data)["serialNumber"]

    def image(self, path, auth=BASIC):
        headers = {} if auth is None else {"Authorization": auth}
        return self.sim.request("GET", path, headers=headers)

    def set_fault(self, endpoint, mode, count=None):
        obj = {"endpoint": endpoint, "mode": mode}
        if count is not None:
            obj["count"] = count
        status, data = self.sim.control("POST", "/_sim/fault", obj)
        self.assertEqual(status, 200, data)

    def records(self):
        with open(self.record, encoding="utf-8") as f:
            return [json.loads(line) for line in f]

    def raw_exchange(self, request_bytes, timeout=5):
        """Send raw bytes, read until the server closes; returns all bytes."""
        s = socket.create_connection(("127.0.0.1", self.sim.port), timeout=timeout)
        try:
            s.sendall(request_bytes)
            chunks = []
            while True:
                data = s.recv(65536)
                if not data:
                    break
                chunks.append(data)
            return b"".join(chunks)
        finally:
            s.close()

    # --- configuration manager

    def test_specs(self):
        status, resp, data = self.api("GET", "/api/v1/specs")
        self.assertEqual(status, 200)
        self.assertEqual(resp.getheader("Content-Type"), "application/json")
        specs = json.loads(data)
        self.assertEqual(specs, nimbrel_sim.DEFAULT_SPECS)
        for spec in specs:
            self.assertEqual(sorted(spec), ["article", "image", "software_version"])

    def test_serial_stable_per_order_and_integer(self):
        first = self.assign("G1000001")
        again = self.assign("G1000001", version="0.9.1-dev")
        other = self.assign("G1000002")
        self.assertIsInstance(first, int)
        self.assertEqual(first, again)
        self.assertNotEqual(first, other)
        status, _, data = self.api(
            "PUT", "/api/v1/assignSerialNumber?article=4r0417&version=1&emsSerialNumber=G1000001")
        self.assertRegex(data.decode(), r'^\{"serialNumber": \d+\}$')
        status, data = self.sim.control("GET", "/_sim/state")
        self.assertEqual(json.loads(data)["serials"]["G1000001"], first)

    def test_serial_bad_requests(self):
        for query in ("article=4r0417&version=1.2.0-dev",
                      "article=4r0417&version=&emsSerialNumber=G1234567",
                      "version=1&emsSerialNumber=G1234567"):
            status, resp, data = self.api("PUT", "/api/v1/assignSerialNumber?" + query)
            self.assertEqual(status, 400, query)
            self.assertIsInstance(json.loads(data)["message"], str)
        for order in ("G123456", "X1234567", "G12345678", "g1234567"):
            status, _, data = self.api(
                "PUT", "/api/v1/assignSerialNumber?article=a&version=1&emsSerialNumber=" + order)
            self.assertEqual(status, 422, order)
            self.assertIn(order, json.loads(data)["message"])

    def test_wrong_method(self):
        status, resp, _ = self.api("GET", "/api/v1/assignSerialNumber?article=a&version=1&emsSerialNumber=G1234567")
        self.assertEqual(status, 405)
        self.assertEqual(resp.getheader("Allow"), "PUT")

    def test_authorization_required(self):
        for method, path in (("GET", "/api/v1/specs"),
                             ("PUT", "/api/v1/assignSerialNumber?article=a&version=1&emsSerialNumber=G1234567"),
                             ("GET", "/api/v1/configs?article=a&serialNumber=1")):
            for auth in (None, "", "Bearer wrong", AUTH + " "):
                status, resp, data = self.api(method, path, auth=auth)
                self.assertEqual(status, 401, (path, auth))
                self.assertEqual(json.loads(data), {"message": "Nicht autorisiert"})
        status, data = self.sim.control("GET", "/_sim/state")
        self.assertNotIn("G1234567", json.loads(data)["serials"])

    def test_mac_addresses(self):
        serial = self.assign("G2000001")
        path = "/api/v1/assignMacAddresses?article=4r0417&serialNumber=%d" % serial
        status, _, data = self.api("PUT", "/api/v1/assignMacAddresses?article=4r0417&serialNumber=999",
                                   '{"eth0":"a","eth1":"b"}')
        self.assertEqual(status, 404)
        self.assertIn("999", json.loads(data)["message"])
        for body in ("", "[]", '{"eth0":"a"}', '{"eth0":"a","eth1":""}', '{"eth0":"a","eth1":5}', "kaputt"):
            status, _, data = self.api("PUT", path, body)
            self.assertEqual(status, 400, body)
            self.assertIsInstance(json.loads(data)["message"], str)
        macs = {"eth0": "02:4e:49:4d:00:01", "eth1": "02:4e:49:4d:00:02"}
        status, resp, data = self.api("PUT", path, json.dumps(macs), headers={"Content-Type": "application/json"})
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(data), {})
        status, data = self.sim.control("GET", "/_sim/state")
        self.assertEqual(json.loads(data)["macs"][str(serial)], macs)

    def unpack(self, data):
        target = tempfile.mkdtemp(prefix="nimbrel-unpack-")
        self.addCleanup(shutil.rmtree, target, True)
        archive = os.path.join(target, "a.tar.gz")
        with open(archive, "wb") as f:
            f.write(data)
        out = os.path.join(target, "out")
        os.mkdir(out)
        subprocess.check_call(["tar", "-xzf", archive, "--strip", "1", "-C", out, "--no-same-owner"])
        return out

    def test_configs_archive(self):
        serial = self.assign("G3000001")
        status, resp, data = self.api("GET", "/api/v1/configs?article=4r0417&serialNumber=%d" % serial)
        self.assertEqual(status, 200)
        with tarfile.open(fileobj=io.BytesIO(data)) as tf:
            tops = set(name.split("/")[0] for name in tf.getnames())
        self.assertEqual(len(tops), 1)
        out = self.unpack(data)
        for kind in ("device", "manual", "cabinet", "package"):
            with open(os.path.join(out, "labels", kind + ".pdf"), "rb") as f:
                pdf = f.read()
            self.assertTrue(pdf.startswith(b"%PDF-"), kind)
            check_pdf(self, pdf)
            self.assertIn(b"(Seriennummer: %d)" % serial, pdf)
            self.assertIn(b"(Artikel: 4r0417)", pdf)
            self.assertIn(("[%s]) Tj" % kind).encode(), pdf)
        with open(os.path.join(out, "etc", "nimbrel", "device.conf"), encoding="utf-8") as f:
            conf = f.read()
        self.assertIn("serial=%d" % serial, conf)
        self.assertIn("article=4r0417", conf)

        status, _, data = self.api("GET", "/api/v1/configs?article=4r0417&serialNumber=123")
        self.assertEqual(status, 404)
        self.assertIn("123", json.loads(data)["message"])

    def test_additionals_archive(self):
        serial = self.assign("G3000002")
        status, _, data = self.api("GET", "/api/v1/additionals?article=4r0417&serialNumber=%d" % serial)
        self.assertEqual(status, 200)
        out = self.unpack(data)
        with open(os.path.join(out, "additionals", "calibration.json"), encoding="utf-8") as f:
            self.assertEqual(json.load(f)["serialNumber"], serial)
        self.assertTrue(os.path.isfile(os.path.join(out, "additionals", "README.txt")))
        status, _, _ = self.api("GET", "/api/v1/additionals?article=4r0417&serialNumber=1")
        self.assertEqual(status, 404)

    # --- image server

    def test_image_basic_auth(self):
        path = "/cls/nimbrel-4r0417/1.2.0-dev/nimbrel-4r0417-1.2.0-dev-img.tar.gz"
        for auth in (None, "Basic " + base64.b64encode(b"station:falsch").decode(), "Bearer x"):
            status, resp, data = self.image(path, auth)
            self.assertEqual(status, 401, auth)
            self.assertEqual(resp.getheader("WWW-Authenticate"), 'Basic realm="images"')
            self.assertTrue(data)

    def check_image(self, data, member):
        with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as tf:
            members = tf.getmembers()
            self.assertEqual([m.name for m in members], [member])
            self.assertEqual(members[0].size, IMAGE_SIZE)
            content = tf.extractfile(members[0]).read()
        self.assertEqual(len(content), IMAGE_SIZE)
        return content

    def test_image_served(self):
        path = "/cls/nimbrel-4r0417/1.2.0-dev/nimbrel-4r0417-1.2.0-dev-img.tar.gz"
        status, resp, data = self.image(path)
        self.assertEqual(status, 200)
        self.assertEqual(int(resp.getheader("Content-Length")), len(data))
        content = self.check_image(data, "nimbrel-4r0417-1.2.0-dev.img")
        # stored, not compressed: the transfer is as big as the image
        self.assertGreater(len(data), IMAGE_SIZE)
        self.assertLess(len(data), IMAGE_SIZE + 64 * 1024)
        self.assertNotEqual(content[:4096], b"\0" * 4096)

        status, _, data = self.image("/cls/nimbrel-4r0418/snapshots/nimbrel-4r0418-2.0.0-qa-img.tar.gz")
        self.assertEqual(status, 200)
        self.check_image(data, "nimbrel-4r0418-2.0.0-qa.img")

        for bad in ("/cls/nimbrel-4r0417/1.2.0-dev/nimbrel.img",
                    "/cls/nimbrel-4r0417/nimbrel-4r0417-1.2.0-dev-img.tar.gz",
                    "/cls/a/b/c/x-img.tar.gz",
                    "/cls/a/b/-img.tar.gz",
                    "/other/x-img.tar.gz"):
            status, _, _ = self.image(bad)
            self.assertEqual(status, 404, bad)

    # --- request record

    def test_record(self):
        body = '{"eth0": "ä", "eth1": "x"}'
        self.api("PUT", "/api/v1/assignMacAddresses?serialNumber=77&article=4r0417&z=%C3%A4+b",
                 body.encode("utf-8"), headers={"X-Station-Test": "eins"})
        self.api("GET", "/api/v1/specs?probe=unauth", auth=None)
        self.sim.control("GET", "/_sim/health")
        recs = self.records()
        mac = [r for r in recs if r["rawQuery"].startswith("serialNumber=77&")][-1]
        self.assertEqual(mac["method"], "PUT")
        self.assertEqual(mac["path"], "/api/v1/assignMacAddresses")
        self.assertEqual(mac["query"], [["serialNumber", "77"], ["article", "4r0417"], ["z", "ä b"]])
        self.assertEqual(mac["rawQuery"], "serialNumber=77&article=4r0417&z=%C3%A4+b")
        self.assertEqual(mac["body"], body)
        names = [h[0] for h in mac["headers"]]
        self.assertIn(["X-Station-Test", "eins"], mac["headers"])
        self.assertIn(["Authorization", AUTH], mac["headers"])
        self.assertLess(names.index("Host"), names.index("X-Station-Test"))
        unauth = [r for r in recs if r["rawQuery"] == "probe=unauth"]
        self.assertEqual(len(unauth), 1)
        self.assertNotIn("Authorization", [h[0] for h in unauth[0]["headers"]])
        self.assertFalse([r for r in recs if r["path"].startswith("/_sim")])

    def test_record_written_before_reply(self):
        self.set_fault("specs", "stall:0.5", 1)
        conn = http.client.HTTPConnection("127.0.0.1", self.sim.port, timeout=5)
        conn.request("GET", "/api/v1/specs?probe=early", headers={"Authorization": AUTH})
        time.sleep(0.25)
        self.assertTrue([r for r in self.records() if r["rawQuery"] == "probe=early"])
        self.assertEqual(conn.getresponse().status, 200)
        conn.close()

    # --- faults

    def test_fault_status_with_body_and_count(self):
        self.set_fault("specs", 'status:503:{"message":"Kaputt"}', 2)
        for _ in range(2):
            status, resp, data = self.api("GET", "/api/v1/specs")
            self.assertEqual(status, 503)
            self.assertEqual(data, b'{"message":"Kaputt"}')
            self.assertEqual(resp.getheader("Content-Type"), "application/json")
        status, _, data = self.api("GET", "/api/v1/specs")
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(data), nimbrel_sim.DEFAULT_SPECS)

    def test_fault_status_plain_and_empty(self):
        self.set_fault("assignSerialNumber", "status:500:Interner Fehler: bitte warten")
        for _ in range(2):  # no count: stays until cleared
            status, resp, data = self.api(
                "PUT", "/api/v1/assignSerialNumber?article=a&version=1&emsSerialNumber=G4000001")
            self.assertEqual(status, 500)
            self.assertEqual(data.decode(), "Interner Fehler: bitte warten")
        self.set_fault("assignSerialNumber", "status:200:")
        status, resp, data = self.api(
            "PUT", "/api/v1/assignSerialNumber?article=a&version=1&emsSerialNumber=G4000001")
        self.assertEqual((status, data), (200, b""))
        self.assertEqual(resp.getheader("Content-Length"), "0")
        status, data = self.sim.control("DELETE", "/_sim/fault?endpoint=assignSerialNumber")
        self.assertEqual(status, 200)
        self.assign("G4000001")

    def test_fault_only_hits_its_endpoint(self):
        self.set_fault("configs", "status:500:x")
        self.set_fault("specs", "status:502:y")
        self.sim.control("DELETE", "/_sim/fault?endpoint=specs")
        self.assertEqual(self.api("GET", "/api/v1/specs")[0], 200)
        self.assertEqual(self.api("GET", "/api/v1/configs?article=a&serialNumber=1")[0], 500)
        status, data = self.sim.control("GET", "/_sim/fault")
        self.assertEqual(json.loads(data), {"configs": {"mode": "status:500:x", "count": None}})

    def test_fault_cut(self):
        serial = self.assign("G5000001")
        self.set_fault("configs", "cut:100", 1)
        raw = self.raw_exchange(
            ("GET /api/v1/configs?article=4r0417&serialNumber=%d HTTP/1.1\r\nHost: x\r\n"
             "Authorization: %s\r\n\r\n" % (serial, AUTH)).encode())
        head, _, body = raw.partition(b"\r\n\r\n")
        length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
        self.assertEqual(len(body), 100)
        self.assertGreater(length, 100)

        self.set_fault("image", "cut:5000", 1)
        status_line = None
        conn = http.client.HTTPConnection("127.0.0.1", self.sim.port, timeout=5)
        conn.request("GET", "/cls/a/b/c-img.tar.gz", headers={"Authorization": BASIC})
        resp = conn.getresponse()
        status_line = resp.status
        with self.assertRaises(http.client.IncompleteRead) as ctx:
            resp.read()
        conn.close()
        self.assertEqual(status_line, 200)
        self.assertEqual(len(ctx.exception.partial), 5000)

    def test_fault_cutclose(self):
        self.set_fault("specs", "cutclose:20", 1)
        raw = self.raw_exchange(
            ("GET /api/v1/specs HTTP/1.1\r\nHost: x\r\nAuthorization: %s\r\n\r\n" % AUTH).encode())
        head, _, body = raw.partition(b"\r\n\r\n")
        self.assertNotIn(b"Content-Length", head)
        self.assertNotIn(b"Transfer-Encoding", head)
        self.assertIn(b"Connection: close", head)
        self.assertEqual(body, json.dumps(nimbrel_sim.DEFAULT_SPECS).encode()[:20])
        # a limit beyond the body gives a complete close-delimited reply
        self.set_fault("specs", "cutclose:100000", 1)
        status, _, data = self.api("GET", "/api/v1/specs")
        self.assertEqual(json.loads(data), nimbrel_sim.DEFAULT_SPECS)

    def test_fault_stall(self):
        self.set_fault("specs", "stall:1", 1)
        t0 = time.monotonic()
        status, _, data = self.api("GET", "/api/v1/specs")
        self.assertGreaterEqual(time.monotonic() - t0, 0.95)
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(data), nimbrel_sim.DEFAULT_SPECS)
        t0 = time.monotonic()
        self.assertEqual(self.api("GET", "/api/v1/specs")[0], 200)
        self.assertLess(time.monotonic() - t0, 0.5)

    def test_fault_stall_client_gone(self):
        self.set_fault("specs", "stall:0.5")
        s = socket.create_connection(("127.0.0.1", self.sim.port))
        s.sendall(("GET /api/v1/specs HTTP/1.1\r\nHost: x\r\nAuthorization: %s\r\n\r\n" % AUTH).encode())
        time.sleep(0.1)
        s.close()
        time.sleep(0.6)
        self.assertEqual(self.sim.control("GET", "/_sim/health"), (200, b"ok"))

    def test_fault_slow(self):
        self.set_fault("image", "slow:1000000", 1)
        t0 = time.monotonic()
        status, _, data = self.image("/cls/a/1/slow-img.tar.gz")
        elapsed = time.monotonic() - t0
        self.assertEqual(status, 200)
        self.check_image(data, "slow.img")
        self.assertGreater(elapsed, 0.25)

    def test_image_challenge_does_not_use_fault(self):
        self.set_fault("image", "status:500:", 1)
        self.assertEqual(self.image("/cls/a/1/c-img.tar.gz", auth=None)[0], 401)
        self.assertEqual(self.image("/cls/a/1/c-img.tar.gz")[0], 500)
        self.assertEqual(self.image("/cls/a/1/c-img.tar.gz")[0], 200)

    def test_fault_control_rejects_nonsense(self):
        for obj in ({"endpoint": "nix", "mode": "status:500:"},
                    {"endpoint": "specs", "mode": "explode:1"},
                    {"endpoint": "specs", "mode": "status:abc:"},
                    {"endpoint": "specs", "mode": "stall:1", "count": 0},
                    {"mode": "stall:1"}):
            status, data = self.sim.control("POST", "/_sim/fault", obj)
            self.assertEqual(status, 400, obj)
        self.assertEqual(json.loads(self.sim.control("GET", "/_sim/fault")[1]), {})

    def test_keep_alive(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.sim.port, timeout=5)
        for _ in range(3):
            conn.request("GET", "/api/v1/specs", headers={"Authorization": AUTH})
            resp = conn.getresponse()
            self.assertEqual(resp.status, 200)
            resp.read()
            self.assertFalse(resp.will_close)
        conn.close()


class SimulatorOptionsTest(unittest.TestCase):
    def test_without_authorization_specs_file_and_startup_fault(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp, True)
        specs = [{"article": "9x0001", "software_version": "3.0.0", "image": "nimbrel-9x0001"}]
        specs_file = os.path.join(tmp, "specs.json")
        with open(specs_file, "w") as f:
            json.dump(specs, f)
        sim = Sim("--specs", specs_file, "--first-serial", "500", "--fault", "configs=status:418:tee",
                  "--port", "0")
        try:
            with open(sim.port_file) as f:
                self.assertEqual(int(f.read()), sim.port)
            for headers in ({}, {"Authorization": ""}, {"Authorization": "irgendwas"}):
                status, _, data = sim.request("GET", "/api/v1/specs", headers=headers)
                self.assertEqual(status, 200)
                self.assertEqual(json.loads(data), specs)
            status, _, data = sim.request(
                "PUT", "/api/v1/assignSerialNumber?article=9x0001&version=3.0.0&emsSerialNumber=G0000001")
            self.assertEqual(json.loads(data), {"serialNumber": 500})
            status, _, data = sim.request("GET", "/api/v1/configs?article=9x0001&serialNumber=500")
            self.assertEqual((status, data), (418, b"tee"))
            # without image credentials the image server asks for none
            self.assertEqual(sim.request("GET", "/cls/a/b/x-img.tar.gz")[0], 200)
        finally:
            code, err = sim.stop()
        self.assertEqual(code, 0, err)
        self.assertNotIn("Traceback", err)

    def test_bad_fault_option_is_refused(self):
        proc = subprocess.run([sys.executable, SIM, "--fault", "specs=wobble:1"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=10)
        self.assertEqual(proc.returncode, 2)
        self.assertEqual(proc.stdout, b"")

    def test_parse_size(self):
        self.assertEqual(nimbrel_sim.parse_size("1048576"), 1 << 20)
        self.assertEqual(nimbrel_sim.parse_size("512M"), 512 << 20)
        self.assertEqual(nimbrel_sim.parse_size("4G"), 4 << 30)
        self.assertEqual(nimbrel_sim.parse_size("1GiB"), 1 << 30)
        self.assertEqual(nimbrel_sim.parse_size("64k"), 64 << 10)
        self.assertRaises(ValueError, nimbrel_sim.parse_size, "viel")


class FakeToolTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="nimbrel-fake-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.record = os.path.join(self.dir, "fake.jsonl")

    def tool(self, name):
        path = os.path.join(self.dir, "bin", name)
        if not os.path.exists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.copy(TOOL, path)
        return path

    def env(self, **extra):
        env = dict((k, v) for k, v in os.environ.items() if not k.startswith("NIMBREL_FAKE_"))
        env["NIMBREL_FAKE_RECORD"] = self.record
        env.update(extra)
        return env

    def run_tool(self, name, args=(), timeout=10, **extra):
        return subprocess.run([sys.executable, self.tool(name)] + list(args), cwd=self.dir,
                              env=self.env(**extra), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout)

    def records(self):
        with open(self.record, encoding="utf-8") as f:
            return [json.loads(line) for line in f]

    def test_roles_by_name(self):
        sys.path.insert(0, os.path.dirname(TOOL))
        try:
            import fake_station_tool as fst
        finally:
            sys.path.remove(os.path.dirname(TOOL))
        cases = {
            "/x/Realy_Module_CLI.py": "RELAY", "powerNimbrel.sh": "POWER", "/usr/bin/ping": "PING",
            "mac_test.py": "MAC", "test_TestTaster.py": "TESTTASTER", "test_ResetTaster.py": "RESETTASTER",
            "test_Interfaces.py": "INTERFACES", "end_Testserver.py": "ENDTESTSERVER",
            "disable_production_test.py": "DISABLEPRODUCTION", "printlabel.sh": "PRINT",
            "flash/4R0417_stage1.sh": "FLASH", "abc_stage1.sh": "FLASH", "my-tool.v2.py": "MY_TOOL_V2",
            "reboot": "REBOOT",
        }
        for program, role in cases.items():
            self.assertEqual(fst.role_for(program), role, program)

    def test_record_line_and_exit_code(self):
        proc = self.run_tool("Realy_Module_CLI.py", ["--relay", "3", "on"],
                             NIMBREL_FAKE_EXIT_RELAY="4", NIMBREL_FAKE_DELAY_RELAY="0.2")
        self.assertEqual(proc.returncode, 4)
        (rec,) = self.records()
        self.assertEqual(rec["role"], "RELAY")
        self.assertEqual(rec["args"], ["--relay", "3", "on"])
        self.assertEqual(rec["program"], self.tool("Realy_Module_CLI.py"))
        self.assertEqual(os.path.realpath(rec["cwd"]), os.path.realpath(self.dir))
        self.assertGreaterEqual(rec["end"] - rec["start"], 0.19)
        self.assertEqual(rec["exit"], 4)

    def test_crash(self):
        proc = self.run_tool("end_Testserver.py", ["x"], NIMBREL_FAKE_EXIT_ENDTESTSERVER="crash")
        self.assertEqual(proc.returncode, -signal.SIGKILL)
        (rec,) = self.records()
        self.assertEqual((rec["role"], rec["exit"]), ("ENDTESTSERVER", -9))

    def test_hang_until_terminated(self):
        proc = subprocess.Popen([sys.executable, self.tool("powerNimbrel.sh"), "off"],
                                env=self.env(NIMBREL_FAKE_EXIT_POWER="hang"),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            with self.assertRaises(subprocess.TimeoutExpired):
                proc.wait(0.7)
        finally:
            proc.terminate()
            proc.wait(5)
        self.assertEqual(proc.returncode, -signal.SIGTERM)
        (rec,) = self.records()
        self.assertEqual((rec["role"], rec["exit"]), ("POWER", -15))

    def test_mac_to_stderr(self):
        proc = self.run_tool("mac_test.py", ["eth0"])
        self.assertEqual((proc.returncode, proc.stderr, proc.stdout), (0, b"02:4e:49:4d:00:01\n", b""))
        proc = self.run_tool("mac_test.py", ["eth1"])
        self.assertEqual(proc.stderr, b"02:4e:49:4d:00:02\n")
        proc = self.run_tool("mac_test.py", ["eth1"], NIMBREL_FAKE_MAC_ETH1="aa:bb:cc:dd:ee:ff")
        self.assertEqual(proc.stderr, b"aa:bb:cc:dd:ee:ff\n")
        proc = self.run_tool("mac_test.py", ["eth0"], NIMBREL_FAKE_MAC_ETH0="")
        self.assertEqual((proc.returncode, proc.stderr), (0, b""))
        self.assertEqual([r["args"] for r in self.records()], [["eth0"], ["eth1"], ["eth1"], ["eth0"]])

    def test_ping_offline(self):
        proc = self.run_tool("ping", ["-c", "1", "-W", "1", "192.168.2.251"])
        self.assertEqual(proc.returncode, 0)
        self.assertIn(b"192.168.2.251", proc.stdout)
        proc = self.run_tool("ping", ["-c", "1", "192.168.2.251"], NIMBREL_FAKE_EXIT_PING="1")
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b"100% packet loss", proc.stdout)

    def test_flash(self):
        image = os.path.join(self.dir, "n.img")
        args = ["-i", image, "-a", "cfg", "-s", "2400001", "-l", "log", "-t"]
        proc = self.run_tool("4R0417_stage1.sh", args, NIMBREL_FAKE_CHECK_IMAGE="1")
        self.assertEqual(proc.returncode, 3)
        self.assertTrue(proc.stderr)
        open(image, "w").close()
        t0 = time.monotonic()
        proc = self.run_tool("4R0417_stage1.sh", args, NIMBREL_FAKE_CHECK_IMAGE="1", NIMBREL_FAKE_DELAY_FLASH="0.3")
        self.assertGreaterEqual(time.monotonic() - t0, 0.3)
        self.assertEqual(proc.returncode, 0)
        self.assertIn("100%", proc.stdout.decode())
        self.assertEqual([(r["role"], r["exit"]) for r in self.records()], [("FLASH", 3), ("FLASH", 0)])

    def test_print(self):
        pdf = os.path.join(self.dir, "device.pdf")
        with open(pdf, "wb") as f:
            f.write(b"%PDF-1.4 test")
        proc = self.run_tool("printlabel.sh", [os.path.join(self.dir, "fehlt.pdf")])
        self.assertEqual(proc.returncode, 2)
        self.assertTrue(proc.stderr)
        proc = self.run_tool("printlabel.sh", [pdf])
        self.assertEqual(proc.stdout.decode(), "gedruckt: %s\n" % pdf)
        printed = os.path.join(self.dir, "drucker", "neu")
        for expected in ("001-device.pdf", "002-device.pdf"):
            proc = self.run_tool("printlabel.sh", [pdf], NIMBREL_FAKE_PRINT_DIR=printed)
            self.assertEqual(proc.returncode, 0)
            target = os.path.join(printed, expected)
            self.assertEqual(proc.stdout.decode(), "gedruckt: %s\n" % target)
            with open(target, "rb") as f:
                self.assertEqual(f.read(), b"%PDF-1.4 test")

    def test_test_log(self):
        logs = os.path.join(self.dir, "logs")
        self.run_tool("test_Interfaces.py", ["2400001"], NIMBREL_FAKE_TESTLOG_DIR=logs)
        self.run_tool("test_ResetTaster.py", ["2400001"], NIMBREL_FAKE_TESTLOG_DIR=logs,
                      NIMBREL_FAKE_EXIT_RESETTASTER="1")
        with open(os.path.join(logs, "testlog_2400001.txt")) as f:
            lines = f.read().splitlines()
        self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d INTERFACES 2400001 OK$")
        self.assertRegex(lines[1], r" RESETTASTER 2400001 NOK$")

    def test_parallel_records(self):
        procs = [subprocess.Popen([sys.executable, self.tool("test_TestTaster.py"), str(i)],
                                  env=self.env(), stdout=subprocess.DEVNULL)
                 for i in range(8)]
        for p in procs:
            p.wait(10)
        self.assertEqual(sorted(r["args"][0] for r in self.records()), [str(i) for i in range(8)])

    def test_make_station(self):
        station = os.path.join(self.dir, "station")
        proc = subprocess.run([sys.executable, MAKE_STATION, station], stdout=subprocess.PIPE)
        self.assertEqual((proc.returncode, proc.stdout), (0, b""))
        proc = subprocess.run([sys.executable, MAKE_STATION, station, "--verbose"], stdout=subprocess.PIPE)
        listed = proc.stdout.decode().split()
        self.assertEqual(len(listed), 11)
        for rel in ("testsoftware_gegenspieler/Realy_Module_CLI.py", "testsoftware_gegenspieler/mac_test.py",
                    "testsoftware_gegenspieler/test_Interfaces.py", "printlabel.sh", "bin/ping",
                    "bin/powerNimbrel.sh", "flash/4R0417_stage1.sh"):
            path = os.path.join(station, rel)
            self.assertIn(path, listed)
            self.assertFalse(os.path.islink(path))
            self.assertEqual(os.stat(path).st_mode & 0o777, 0o755)
            with open(path) as f:
                self.assertEqual(f.readline(), "#!/usr/bin/env python3\n")
        # runs directly through its shebang, and knows its role from its name
        proc = subprocess.run([os.path.join(station, "testsoftware_gegenspieler", "mac_test.py"), "eth1"],
                              env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        self.assertEqual((proc.returncode, proc.stderr), (0, b"02:4e:49:4d:00:02\n"))


if __name__ == "__main__":
    unittest.main()
