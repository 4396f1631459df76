"""What the station's C++ tests rely on: the simulator, the fake station tools and the TLS front."""
import base64, io, json, os, re, socket, ssl, subprocess, sys, tarfile, tempfile, time, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
AUTH, USER, PASSWORD = {"Authorization": "Bearer t"}, "station", "gehäim:1"  # UTF-8 and ':' must get through
IMAGE = "/cls/nimbrel-4r0417/1.2.0-dev/nimbrel-4r0417-1.2.0-dev-img.tar.gz"
ASSIGN = "/api/v1/assignSerialNumber?article=4r0417&version=1&emsSerialNumber="


def basic(password):
    return {"Authorization": "Basic " + base64.b64encode((USER + ":" + password).encode()).decode()}


IMAGE_AUTH = basic(PASSWORD)


def setUpModule():
    global PORT, RECORD
    RECORD = tempfile.NamedTemporaryFile(prefix="nimbrel-record-")
    sim = subprocess.Popen([sys.executable, os.path.join(HERE, "nimbrel_sim.py"), "--record", RECORD.name,
                            "--authorization", AUTH["Authorization"], "--image-user", USER,
                            "--image-password", PASSWORD, "--image-size", "300K"], stdout=subprocess.PIPE)
    unittest.addModuleCleanup(lambda: (sim.terminate(), sim.communicate(timeout=10), RECORD.close()))
    PORT = int(sim.stdout.readline().split(b"=")[1])


def send(method, path, body="", headers=AUTH, port=None, ca=None):
    """One request on its own connection, read until closed: (status, Content-Length, body, header text)."""
    s = socket.create_connection(("127.0.0.1", port or PORT), timeout=10)
    try:
        s = ssl.create_default_context(cafile=ca).wrap_socket(s, server_hostname="localhost") if ca else s
    except ssl.SSLCertVerificationError as e:
        return e.verify_code  # 62 host name mismatch, 10 expired, 20 unknown issuer
    with s:
        s.sendall(("%s %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: %d\r\n%s\r\n%s" % (
            method, path, len(body.encode()), "".join("%s: %s\r\n" % h for h in headers.items()), body)).encode())
        head, _, data = b"".join(iter(lambda: s.recv(65536), b"")).partition(b"\r\n\r\n")
    length = re.search(rb"\nContent-Length: (\d+)", head)
    return int(head.split()[1]), length and int(length.group(1)), data, head.decode("latin-1")


def serial(order):
    return json.loads(send("PUT", ASSIGN + order)[2])["serialNumber"]


def jsonl(file):
    with open(file, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def members(data):
    with tarfile.open(fileobj=io.BytesIO(data)) as tf:
        return {m.name: m.isfile() and tf.extractfile(m).read() for m in tf}


class SimulatorTest(unittest.TestCase):
    def test_serials_macs_archives_and_record(self):
        first, again, other = serial("G1000001"), serial("G1000001"), serial("G1000002")
        self.assertEqual((again, other), (first, first + 1))
        body, query = '{"eth0": "ä", "eth1": "x"}', "serialNumber=%d&article=4r0417&z=%%C3%%A4+b&leer=" % first
        reply = send("PUT", "/api/v1/assignMacAddresses?" + query, body, dict(AUTH, **{"X-Probe": "eins"}))
        self.assertEqual(reply[::2], (200, b"{}"))
        record = jsonl(RECORD.name)[-1]  # every request, decoded as received
        self.assertEqual([record[k] for k in ("method", "path", "body", "rawQuery", "query")],
                         ["PUT", "/api/v1/assignMacAddresses", body, query,
                          [["serialNumber", str(first)], ["article", "4r0417"], ["z", "ä b"], ["leer", ""]]])
        self.assertEqual(record["headers"][-2:], [["Authorization", "Bearer t"], ["X-Probe", "eins"]])
        state, query = json.loads(send("GET", "/_sim/state")[2]), "?article=4r0417&serialNumber=%d" % first
        self.assertEqual((state["serials"]["G1000001"], state["macs"][str(first)]), (first, json.loads(body)))
        files, top = members(send("GET", "/api/v1/configs" + query)[2]), "4r0417-%d/" % first
        self.assertEqual({name.split("/")[0] + "/" for name in files}, {top})  # the station strips one folder
        for kind in ("device", "manual", "cabinet", "package"):
            for text in b"%PDF-", b"(Seriennummer: %d) Tj" % first, b"(Artikel: 4r0417) Tj", b"[%s]" % kind.encode():
                self.assertIn(text, files[top + "labels/%s.pdf" % kind], kind)
        extra = members(send("GET", "/api/v1/additionals" + query)[2]).items()
        self.assertEqual([json.loads(v)["serialNumber"] for k, v in extra if k.endswith("/calibration.json")], [first])
        for path, member in ((IMAGE, "nimbrel-4r0417-1.2.0-dev.img"), ("/cls/x/snapshots/y-img.tar.gz", "y.img")):
            files = members(send("GET", path, headers=IMAGE_AUTH)[2])
            self.assertEqual({name: len(data) for name, data in files.items()}, {member: 300 << 10})

    def test_refusals(self):
        macs = "/api/v1/assignMacAddresses?article=a&serialNumber="
        for method, path, body, headers, status in [
            ("PUT", ASSIGN.split("&ems")[0], "", AUTH, 400), ("PUT", ASSIGN + "G2000009&version=2", "", AUTH, 400),
            ("PUT", ASSIGN.replace("version=1", "version=") + "G2000009", "", AUTH, 400),
            ("PUT", ASSIGN + "G20000099", "", AUTH, 422), ("PUT", ASSIGN + "X2000009", "", AUTH, 422),
            ("PUT", macs + "9", '{"eth0":"a","eth1":"b"}', AUTH, 404),
            ("PUT", macs + str(serial("G2000001")), '{"eth0":"a","eth1":""}', AUTH, 400),
            ("PUT", macs + str(serial("G2000001")), "[]", AUTH, 400),
            ("GET", "/api/v1/configs?article=a&serialNumber=9", "", AUTH, 404),
            ("GET", "/api/v1/additionals?article=a&serialNumber=9", "", AUTH, 404),
            ("GET", "/cls/a/b/nimbrel-x.img", "", IMAGE_AUTH, 404), ("GET", "/cls/a/x-img.tar.gz", "", IMAGE_AUTH, 404),
        ] + [("PUT", ASSIGN + "G2000009", "", h, 401) for h in ({}, {"Authorization": "Bearer tt"}, IMAGE_AUTH)] + [
            ("GET", IMAGE, "", h, 401) for h in ({}, basic("gehaim:1"), AUTH)]:
            with self.subTest(path=path, body=body, headers=headers):
                got, _, data, head = send(method, path, body, headers)
                self.assertEqual(got, status)
                self.assertIn('{"message": ' if "/api/" in path else 'Basic realm="images"' if got == 401 else "",
                              head + data.decode())
        self.assertNotIn("G2000009", json.loads(send("GET", "/_sim/state")[2])["serials"])

    def test_faults(self):
        targets = {"specs": ("/api/v1/specs", "", AUTH), "image": (IMAGE, "", IMAGE_AUTH)}
        full = {key: send("GET", *target)[2] for key, target in targets.items()}
        for key, mode, count, status, body, length, seconds in [
            ("specs", "status:200:", None, 200, b"", 0, 0),  # until replaced by the next one
            ("specs", 'status:503:{"message":"Kaputt"}', 2, 503, b'{"message":"Kaputt"}', 20, 0),
            ("specs", "stall:1", 1, 200, full["specs"], len(full["specs"]), 1),
            ("specs", "slow:1000", 1, 200, full["specs"], len(full["specs"]), 0.15),
            ("image", "cut:5000", 1, 200, full["image"][:5000], len(full["image"]), 0),
            ("specs", "cutclose:20", 1, 200, full["specs"][:20], None, 0),
        ]:
            with self.subTest(mode=mode):
                fault = dict(endpoint=key, mode=mode, count=count)
                self.assertEqual(send("POST", "/_sim/fault", json.dumps(fault))[0], 200)
                for _ in range(count or 2):
                    start = time.monotonic()
                    self.assertEqual(send("GET", *targets[key])[:3], (status, length, body))
                    self.assertGreaterEqual(time.monotonic() - start, seconds)
                self.assertEqual(send("GET", *targets[key])[2], full[key] if count else body)
        send("POST", "/_sim/fault", '{"endpoint": "image", "mode": "status:500:", "count": 1}')  # not used up by a 401
        self.assertEqual([send("GET", IMAGE, headers=h)[0] for h in ({}, IMAGE_AUTH, IMAGE_AUTH)], [401, 500, 200])
        for fault in '"nix", "mode": "status:500:"', '"specs", "mode": "x:1"', '"specs", "mode": "stall:1", "count": 0':
            self.assertEqual(send("POST", "/_sim/fault", '{"endpoint": %s}' % fault)[0], 400, fault)

    def test_runs(self):
        work = tempfile.TemporaryDirectory(prefix="nimbrel-fake-")
        self.addCleanup(work.cleanup)
        subprocess.run([sys.executable, os.path.join(HERE, "make_station.py"), work.name], check=True)
        runs = [("flash/4R0417_stage1.sh", ["-i", "x.img", "-s", "1"], "5", 5, "FLASH"),
                ("testsoftware_gegenspieler/end_Testserver.py", [], "crash", -9, "ENDTESTSERVER"),
                ("bin/powerNimbrel.sh", ["off"], "hang", -15, "POWER")]  # until terminated
        for name, args, spec, code, role in runs:
            env = dict({k: v for k, v in os.environ.items() if not k.startswith("NIMBREL_FAKE_")},
                       NIMBREL_FAKE_RECORD=work.name + "/rec", NIMBREL_FAKE_STARTED_DIR=work.name,
                       **{"NIMBREL_FAKE_EXIT_" + role: spec})
            proc = subprocess.Popen([os.path.join(work.name, name)] + args, env=env, cwd=work.name,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            while spec == "hang" and not os.path.exists("%s/%s.%d" % (work.name, role, proc.pid)):
                time.sleep(0.05)  # its SIGTERM handler is in place from here on
            if spec == "hang":
                self.assertRaises(subprocess.TimeoutExpired, proc.wait, 0.7)
                proc.terminate()
            self.assertEqual(proc.wait(20), code, name)
        self.assertEqual([[r[k] for k in ("program", "args", "exit", "role")] for r in jsonl(work.name + "/rec")],
                         [[os.path.join(work.name, name), args, code, role] for name, args, _, code, role in runs])

    def test_ports_and_password(self):
        front = subprocess.Popen([sys.executable, os.path.join(HERE, "tls_front.py"), "--upstream",
                                  "http://127.0.0.1:%d" % PORT, "--user", USER, "--password", PASSWORD],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: (front.terminate(), front.communicate(timeout=10)))
        line = front.stdout.readline()
        if not line:  # exit code 3: this machine cannot run nginx
            (self.skipTest if front.wait(10) == 3 else self.fail)(front.stderr.read().decode())
        info, specs = json.loads(line), send("GET", "/api/v1/specs")[:3]
        for port, ca, expected in [("https_port", "ca_file", specs), ("wronghost_port", "ca_file", 62),
                                   ("expired_port", "ca_file", 10), ("untrusted_port", "ca_file", 20),
                                   ("untrusted_port", "untrusted_ca_file", specs)]:
            reply = send("GET", "/api/v1/specs", port=info[port], ca=info[ca])
            self.assertEqual(reply[:3] if isinstance(reply, tuple) else reply, expected, (port, ca))
        seen = len(jsonl(RECORD.name))
        for headers, status in [({}, 401), (basic("gehaim:1"), 401), (IMAGE_AUTH, 200)]:
            self.assertEqual(send("GET", IMAGE, "", headers, info["https_port"], info["ca_file"])[0], status)
        self.assertEqual([r["path"] for r in jsonl(RECORD.name)[seen:]], [IMAGE])  # the front refused the others


if __name__ == "__main__":
    unittest.main()
