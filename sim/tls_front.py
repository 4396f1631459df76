#!/usr/bin/env python3
"""nginx with TLS in front of the station simulator, on 127.0.0.1 only.

Makes a test CA, an untrusted CA and four server certificates, starts nginx
with one HTTPS server per certificate (Basic auth on /cls/, everything else
proxied to the simulator) and prints one JSON line once nginx answers.
Runs until SIGTERM/SIGINT. Exit code 3: nginx (or openssl) missing or nginx
would not start. See sim/README.md.
"""

import argparse
import base64
import ctypes
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.parse

# Bumped whenever the certificates are made differently, so a stale --work
# folder is never reused.
PKI_FORMAT = "v1"
LOCAL_SAN = "DNS:localhost,IP:127.0.0.1"
# certificate name -> (issuing CA, subjectAltName, validity), in JSON order
SERVERS = {
    "good": ("ca", LOCAL_SAN, ["-days", "3650"]),
    "wronghost": ("ca", "DNS:wrong-host.invalid", ["-days", "3650"]),
    "expired": ("ca", LOCAL_SAN, ["-startdate", "20200101000000Z", "-enddate", "20200201000000Z"]),
    "untrusted": ("untrusted-ca", LOCAL_SAN, ["-days", "3650"]),
}
PORT_KEYS = {"good": "https_port", "wronghost": "wronghost_port",
             "expired": "expired_port", "untrusted": "untrusted_port"}

OPENSSL_CNF = """\
[ca]
default_ca = ca_default
[ca_default]
database = index.txt
serial = serial
new_certs_dir = .
default_md = sha256
policy = policy_any
unique_subject = no
[policy_any]
commonName = supplied
[req]
distinguished_name = dn
[dn]
[v3_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid, issuer
subjectAltName = $ENV::SAN
"""

NGINX_CONF = """\
%(user)s
worker_processes 1;
pid %(run)s/nginx.pid;
error_log %(run)s/error.log notice;
events { worker_connections 256; }
http {
    access_log off;
    gzip off;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    ssl_protocols TLSv1.2 TLSv1.3;
    client_body_temp_path %(run)s/body;
    proxy_temp_path %(run)s/proxy;
    fastcgi_temp_path %(run)s/fastcgi;
    uwsgi_temp_path %(run)s/uwsgi;
    scgi_temp_path %(run)s/scgi;
    # The client must see the simulator's cuts and stalls as they happen:
    # stream, never buffer or retry.
    proxy_http_version 1.1;
    proxy_set_header Host $http_host;
    proxy_buffering off;
    proxy_request_buffering off;
    proxy_next_upstream off;
%(servers)s}
"""

SERVER_CONF = """\
    server {
        listen 127.0.0.1:%(port)d ssl;
        ssl_certificate %(pki)s/%(name)s.pem;
        ssl_certificate_key %(pki)s/%(name)s.key;
        location /cls/ {
            auth_basic "images";
            auth_basic_user_file %(run)s/htpasswd;
            %(images)s
        }
        location / {
            proxy_pass %(upstream)s;
        }
    }
"""


class CannotStart(Exception):
    pass


class Stop(Exception):
    pass


def conf_path(path):
    # nginx would read spaces, quotes, ';' or '$' in a path as syntax.
    path = os.path.abspath(path)
    if not re.fullmatch(r"[\w./+,:=@-]+", path):
        raise CannotStart("Pfad für nginx ungeeignet: %r" % path)
    return path


def die_with_parent():
    # A test killed on a timeout must not leave nginx holding ports behind.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def openssl(args, cwd, san="DNS:unused"):
    try:
        r = subprocess.run(["openssl"] + args, cwd=cwd, env=dict(os.environ, SAN=san),
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except FileNotFoundError:
        raise CannotStart("openssl nicht gefunden (Paket openssl installieren: scripts/setup-deps)")
    if r.returncode != 0:
        lines = r.stderr.decode("utf-8", "replace").strip().splitlines() or ["?"]
        raise CannotStart("openssl %s fehlgeschlagen: %s" % (args[0], lines[-1]))


def make_pki(pki):
    """The CAs and server certificates, reused while a complete set is there."""
    marker = os.path.join(pki, "complete-" + PKI_FORMAT)
    if os.path.exists(marker):
        return
    shutil.rmtree(pki, ignore_errors=True)
    os.makedirs(pki)
    cnf = os.path.join(pki, "openssl.cnf")
    with open(cnf, "w") as f:
        f.write(OPENSSL_CNF)
    newkey = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "untrusted-ca"):
        os.makedirs(os.path.join(pki, ca))
        open(os.path.join(pki, ca, "index.txt"), "w").close()
        openssl(["req", "-x509", "-new", "-config", cnf, "-extensions", "v3_ca"] + newkey +
                ["-keyout", "key.pem", "-out", "cert.pem", "-days", "3650",
                 "-subj", "/CN=Nimbrel Test %s" % ca], os.path.join(pki, ca))
    for name, (ca, san, validity) in SERVERS.items():
        openssl(["req", "-new", "-config", cnf] + newkey +
                ["-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name], pki)
        openssl(["ca", "-batch", "-config", cnf, "-extensions", "server", "-rand_serial", "-notext",
                 "-cert", "cert.pem", "-keyfile", "key.pem", "-in", os.path.join(pki, name + ".csr"),
                 "-out", os.path.join(pki, name + ".pem")] + validity, os.path.join(pki, ca), san)
    open(marker, "w").close()


def free_ports(count):
    socks = [socket.socket() for _ in range(count)]
    try:
        for s in socks:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in socks]
    except OSError as e:
        raise CannotStart("kein Port auf 127.0.0.1: %s" % e)
    finally:
        for s in socks:
            s.close()


def write_config(run, pki, ports, args):
    if args.image_root:
        images = "alias %s/;" % conf_path(args.image_root)
    else:
        images = "proxy_pass %s;" % args.upstream
    servers = "".join(SERVER_CONF % {"port": port, "pki": conf_path(pki), "name": name, "run": conf_path(run),
                                     "images": images, "upstream": args.upstream}
                      for name, port in zip(SERVERS, ports))
    # Root must say so, else workers run as nobody and cannot read our 0700 folders.
    user = "user root;" if os.geteuid() == 0 else ""
    conf = os.path.join(run, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF % {"user": user, "run": conf_path(run), "servers": servers})
    with open(os.path.join(run, "htpasswd"), "wb") as f:
        # A hash of the bytes as given keeps UTF-8 intact, and unlike {PLAIN} it
        # has no ':' (nginx ends the password field there).
        digest = base64.b64encode(hashlib.sha1(os.fsencode(args.password)).digest())
        f.write(os.fsencode(args.user) + b":{SHA}" + digest + b"\n")
    return conf


def handshake(port, cafile):
    context = ssl.create_default_context(cafile=cafile)
    with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
        with context.wrap_socket(s, server_hostname="localhost"):
            pass


def stop_nginx(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            # Killing only the master would leave its workers serving.
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


def start_nginx(run, pki, args):
    """nginx in the foreground on free ports; returns (process, ports)."""
    nginx = shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/sbin")
    if not nginx:
        raise CannotStart("nginx nicht gefunden (Paket nginx installieren: scripts/setup-deps)")
    log = os.path.join(run, "error.log")
    for _attempt in range(5):
        ports = free_ports(len(SERVERS))
        conf = write_config(run, pki, ports, args)
        with open(log, "wb") as err:
            proc = subprocess.Popen([nginx, "-p", run, "-c", conf, "-e", log, "-g", "daemon off;"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                                    start_new_session=True, preexec_fn=die_with_parent)
        deadline, error = time.monotonic() + 15, None
        try:
            while proc.poll() is None and time.monotonic() < deadline:
                try:
                    handshake(ports[0], os.path.join(pki, "ca", "cert.pem"))
                    return proc, ports
                except OSError as e:
                    error = e
                    time.sleep(0.05)
        except Stop:
            stop_nginx(proc)
            raise
        if proc.poll() is None:
            stop_nginx(proc)
            raise CannotStart("nginx antwortet nicht auf 127.0.0.1:%d: %s" % (ports[0], error))
        with open(log, encoding="utf-8", errors="replace") as f:
            text = f.read()
        if "Address already in use" not in text:
            emerg = [line for line in text.splitlines() if "[emerg]" in line]
            raise CannotStart("nginx startet nicht: %s" % ((emerg or text.splitlines() or ["?"])[-1]))
    raise CannotStart("nginx findet keine freien Ports")


def parse_args(argv):
    p = argparse.ArgumentParser(description="nginx mit TLS vor dem Stationssimulator (nur 127.0.0.1).")
    p.add_argument("--upstream", required=True, help="Simulator, z. B. http://127.0.0.1:PORT")
    p.add_argument("--image-root", help="/cls/... statisch aus diesem Verzeichnis statt vom Simulator")
    p.add_argument("--user", default="station", help="Benutzer für /cls/ (Standard %(default)s)")
    p.add_argument("--password", default="geheim", help="Passwort für /cls/ (Standard %(default)s)")
    p.add_argument("--work", help="Arbeitsverzeichnis; Zertifikate bleiben dort für den nächsten Lauf")
    args = p.parse_args(argv)
    url = urllib.parse.urlsplit(args.upstream)
    if url.scheme != "http" or not url.hostname or url.path not in ("", "/") or url.query:
        p.error("--upstream erwartet http://HOST:PORT: %r" % args.upstream)
    # Without a path nginx passes the request URI on untouched.
    args.upstream = "http://%s" % url.netloc
    if ":" in args.user or "\n" in args.user + args.password:
        p.error("Benutzer ohne ':' und beide ohne Zeilenumbruch")
    if args.image_root and not os.path.isdir(args.image_root):
        p.error("--image-root ist kein Verzeichnis: %r" % args.image_root)
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)

    def on_signal(signum, frame):
        raise Stop()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    die_with_parent()
    work = args.work or tempfile.mkdtemp(prefix="nimbrel-tls-")
    run, pki = os.path.join(work, "nginx"), os.path.join(work, "pki")
    proc = None
    try:
        os.makedirs(run, exist_ok=True)
        make_pki(pki)
        proc, ports = start_nginx(run, pki, args)
        info = {PORT_KEYS[name]: port for name, port in zip(SERVERS, ports)}
        info.update(ca_file=os.path.join(pki, "ca", "cert.pem"),
                    untrusted_ca_file=os.path.join(pki, "untrusted-ca", "cert.pem"),
                    user=args.user, password=args.password, error_log=os.path.join(run, "error.log"))
        sys.stdout.write(json.dumps(info) + "\n")
        sys.stdout.flush()
        proc.wait()
        sys.stderr.write("tls_front: nginx beendet (Code %d), siehe %s\n" % (proc.returncode, info["error_log"]))
        return 1
    except CannotStart as e:
        sys.stderr.write("tls_front: %s\n" % e)
        return 3
    except Stop:
        return 0
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if proc is not None:
            stop_nginx(proc)
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
