"""nginx with TLS in front of the simulator (sim/tls_front.py), against a real simulator."""

import base64
import http.client
import json
import os
import select
import shutil
import ssl
import subprocess
import sys
import unittest

from test_sim import Sim

FRONT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tls_front.py")
IMAGE = "/cls/4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz"
PASSWORD = "gehäim:1"  # nginx must compare the UTF-8 bytes, colon included


class Front(object):
    def __init__(self, *args):
        self.proc = subprocess.Popen([sys.executable, FRONT, "--password", PASSWORD] + list(args),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stdout], [], [], 20)
        line = self.proc.stdout.readline() if ready else b""
        if not line:
            reason = self.stop()
            if self.proc.returncode == 3:
                raise unittest.SkipTest(reason)
            raise RuntimeError("tls_front did not start: %s" % reason)
        self.info = json.loads(line)

    def get(self, port_key, path, ca_key="ca_file", headers=None):
        context = ssl.create_default_context(cafile=self.info[ca_key])
        conn = http.client.HTTPSConnection("localhost", self.info[port_key], context=context, timeout=10)
        try:
            conn.request("GET", path, headers=headers or {})
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def stop(self):
        self.proc.terminate()
        return self.proc.communicate(timeout=10)[1].decode("utf-8", "replace").strip()


@unittest.skipUnless(shutil.which("nginx") or os.path.exists("/usr/sbin/nginx"), "nginx nicht installiert")
class TlsFrontTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = Sim()
        cls.addClassCleanup(cls.sim.stop)
        _, _, cls.archive = cls.sim.request("GET", IMAGE)
        root = cls.sim.dir  # removed with the simulator
        os.makedirs(os.path.dirname(root + IMAGE))
        with open(root + IMAGE, "wb") as f:
            f.write(cls.archive)
        upstream = "http://127.0.0.1:%d/" % cls.sim.port
        cls.proxy = Front("--upstream", upstream)
        cls.addClassCleanup(cls.proxy.stop)
        cls.static = Front("--upstream", upstream, "--image-root", root + "/cls")
        cls.addClassCleanup(cls.static.stop)

    def test_images_need_the_password(self):
        def basic(password):
            return {"Authorization": "Basic " + base64.b64encode((self.proxy.info["user"] + ":" + password).encode()).decode()}
        part = dict(basic(PASSWORD), Range="bytes=100-199")
        as_simulator = self.sim.request("GET", IMAGE, headers=part)[::2]
        for front, headers, expected in [
            (self.proxy, {}, 401), (self.proxy, basic("gehaim:1"), 401),
            (self.proxy, basic(PASSWORD), (200, self.archive)), (self.proxy, part, as_simulator),
            (self.static, {}, 401), (self.static, basic(PASSWORD), (200, self.archive)),
            (self.static, part, (206, self.archive[100:200])),
        ]:
            with self.subTest(static=front is self.static, headers=headers):
                status, body = front.get("https_port", IMAGE, headers=headers)
                self.assertEqual((status, body) if isinstance(expected, tuple) else status, expected)

    def test_api_through_each_port(self):
        specs = self.sim.request("GET", "/api/v1/specs")[::2]
        for port_key, ca_key, expected in [
            ("https_port", "ca_file", specs), ("wronghost_port", "ca_file", 62),  # hostname mismatch
            ("expired_port", "ca_file", 10), ("untrusted_port", "ca_file", 20),  # unknown issuer
            ("untrusted_port", "untrusted_ca_file", specs),
        ]:
            with self.subTest(port=port_key, ca=ca_key):
                try:
                    reply = self.proxy.get(port_key, "/api/v1/specs", ca_key)
                except ssl.SSLCertVerificationError as e:
                    reply = e.verify_code
                self.assertEqual(reply, expected)
