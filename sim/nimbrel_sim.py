#!/usr/bin/env python3
"""Station simulator for the Nimbrel flash-and-test station.

Stands in for the configuration manager (REST API under /api/v1) and the
image server (/cls/...) so the operator application can be developed and
tested without the production network.  Serves on 127.0.0.1 only.

Run `nimbrel_sim.py --help` for the options; see README.md next to this file
for the fault syntax, the request record and the control endpoints (/_sim).

Python 3.9 compatible, standard library only.
"""

import argparse
import base64
import email.utils
import hashlib
import http.server
import io
import json
import os
import random
import re
import select
import shutil
import signal
import socket
import struct
import sys
import tarfile
import tempfile
import threading
import time
import traceback
import urllib.parse
import zlib

BIND_ADDRESS = "127.0.0.1"

ENDPOINTS = (
    "specs",
    "assignSerialNumber",
    "assignMacAddresses",
    "configs",
    "additionals",
    "image",
)

DEFAULT_SPECS = [
    {"article": "4r0417", "software_version": "1.2.0-dev", "image": "nimbrel-4r0417"},
    {"article": "4r0417", "software_version": "0.9.1-dev", "image": "nimbrel-4r0417"},
    {"article": "4r0418", "software_version": "2.0.0-qa", "image": "nimbrel-4r0418"},
]

DEFAULT_FIRST_SERIAL = 2400001
DEFAULT_IMAGE_SIZE = 1 << 20

EMS_SERIAL_RE = re.compile(r"G[0-9]{7}")
IMAGE_SUFFIX = "-img.tar.gz"

# Bumped whenever the layout of cached image archives changes, so a stale
# --cache-dir from an older simulator is never served.
IMAGE_CACHE_FORMAT = "v1"
IMAGE_BLOCK_SIZE = 1 << 20
STREAM_CHUNK = 256 * 1024

CONNECTION_ERRORS = (
    BrokenPipeError,
    ConnectionResetError,
    ConnectionAbortedError,
    socket.timeout,
)


# --------------------------------------------------------------------------
# small helpers


def parse_size(text):
    """Parse a byte count such as 1048576, 64K, 512M, 1G, 4GiB (binary units)."""
    m = re.fullmatch(r"\s*([0-9]+)\s*([kKmMgGtT]?)(?:[iI]?[bB])?\s*", text)
    if not m:
        raise ValueError("ungültige Größe: %r" % text)
    factor = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}[m.group(2).lower()]
    return int(m.group(1)) * factor


def json_bytes(obj):
    return json.dumps(obj, ensure_ascii=False).encode("utf-8")


def looks_like_json(data):
    if not data.strip():
        return False
    try:
        json.loads(data.decode("utf-8"))
    except ValueError:
        return False
    return True


# --------------------------------------------------------------------------
# faults


class Fault(object):
    """One misbehaviour of an endpoint, parsed from MODE text."""

    def __init__(self, text):
        self.text = text
        kind, sep, rest = text.partition(":")
        self.kind = kind
        if not sep:
            raise ValueError("Fehlermodus ohne Parameter: %r" % text)
        if kind == "status":
            code_text, sep, body = rest.partition(":")
            try:
                code = int(code_text)
            except ValueError:
                raise ValueError("ungültiger Statuscode in %r" % text)
            # 1xx are not final replies; the client would wait forever.
            if not 200 <= code <= 599:
                raise ValueError("Statuscode muss zwischen 200 und 599 liegen: %r" % text)
            self.code = code
            self.body = body.encode("utf-8")
        elif kind == "redirect":
            code_text, sep, self.target = rest.partition(":")
            self.code = int(code_text)
            if not 300 <= self.code <= 399:
                raise ValueError("Weiterleitung braucht einen 3xx-Code: %r" % text)
        elif kind == "stall":
            self.seconds = float(rest)
            if self.seconds < 0:
                raise ValueError("negative Wartezeit: %r" % text)
        elif kind in ("cut", "cutclose"):
            self.bytes = int(rest)
            if self.bytes < 0:
                raise ValueError("negative Byteanzahl: %r" % text)
        elif kind == "slow":
            self.rate = float(rest)
            if self.rate <= 0:
                raise ValueError("Rate muss positiv sein: %r" % text)
        else:
            raise ValueError("unbekannter Fehlermodus: %r" % text)


class FaultTable(object):
    def __init__(self):
        self._lock = threading.Lock()
        self._faults = {}  # key -> [Fault, remaining count or None]

    def set(self, key, fault, count=None):
        with self._lock:
            self._faults[key] = [fault, count]

    def clear(self, key=None):
        with self._lock:
            if key is None:
                self._faults.clear()
            else:
                self._faults.pop(key, None)

    def take(self, key):
        """Return the fault for this request of endpoint `key` (and use it up)."""
        with self._lock:
            entry = self._faults.get(key)
            if entry is None:
                return None
            fault, remaining = entry
            if remaining is not None:
                remaining -= 1
                if remaining <= 0:
                    del self._faults[key]
                else:
                    entry[1] = remaining
            return fault

    def snapshot(self):
        with self._lock:
            return dict(
                (key, {"mode": f.text, "count": n}) for key, (f, n) in self._faults.items()
            )


# --------------------------------------------------------------------------
# configuration manager state


class ManagerState(object):
    def __init__(self, first_serial, specs):
        self.lock = threading.Lock()
        self.first_serial = first_serial
        self.specs = specs
        self.reset()

    def reset(self):
        with self.lock:
            self.next_serial = self.first_serial
            self.serials = {}  # emsSerialNumber -> serial number (int)
            self.articles = {}  # serial number -> article it was assigned for
            self.macs = {}  # serial number -> {"eth0": .., "eth1": ..}

    def assign_serial(self, order, article):
        with self.lock:
            serial = self.serials.get(order)
            if serial is None:
                serial = self.next_serial
                self.next_serial += 1
                self.serials[order] = serial
                self.articles[serial] = article
            return serial

    def known_serial(self, text):
        try:
            serial = int(text)
        except ValueError:
            return None
        with self.lock:
            return serial if serial in self.articles else None

    def set_macs(self, serial, eth0, eth1):
        with self.lock:
            self.macs[serial] = {"eth0": eth0, "eth1": eth1}

    def macs_of(self, serial):
        with self.lock:
            return dict(self.macs.get(serial, {}))

    def snapshot(self):
        with self.lock:
            return {
                "serials": dict(self.serials),
                "macs": dict((str(s), dict(m)) for s, m in self.macs.items()),
            }


# --------------------------------------------------------------------------
# label PDFs and configuration archives

LABEL_KINDS = (
    # file stem, German title, page size in points (width, height)
    ("device", "Geräteetikett", (170, 85)),
    ("manual", "Handbuchetikett", (283, 142)),
    ("cabinet", "Schaltschrank-Etikett", (227, 113)),
    ("package", "Verpackungsetikett", (283, 198)),
)


def _pdf_string(text):
    raw = text.encode("cp1252", "replace")
    raw = raw.replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)")
    return b"(" + raw + b")"


def make_label_pdf(lines, width, height):
    """A minimal one-page PDF showing `lines` as text, with a correct xref table.

    Written by hand so the simulator needs nothing beyond the standard
    library; the content stream stays uncompressed so tests can grep it.
    """
    font_size = 10
    content = io.BytesIO()
    content.write(b"BT\n/F1 %d Tf\n%d TL\n8 %d Td\n" % (font_size, font_size + 2, height - 8 - font_size))
    for line in lines:
        content.write(_pdf_string(line) + b" Tj T*\n")
    content.write(b"ET\n")
    stream = content.getvalue()

    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] "
        b"/Resources << /Font << /F1 4 0 R >> >> /Contents 5 0 R >>" % (width, height),
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
        b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"endstream",
    ]
    out = io.BytesIO()
    out.write(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(out.tell())
        out.write(b"%d 0 obj\n" % number + body + b"\nendobj\n")
    xref_at = out.tell()
    out.write(b"xref\n0 %d\n" % (len(objects) + 1))
    out.write(b"0000000000 65535 f \n")
    for offset in offsets:
        out.write(b"%010d 00000 n \n" % offset)
    out.write(b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref_at))
    return out.getvalue()


def make_targz(top, files):
    """tar.gz in memory: every (relative path, bytes) below one top folder."""
    buf = io.BytesIO()
    now = int(time.time())
    with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.GNU_FORMAT) as tf:
        seen_dirs = set()

        def add_dir(name):
            if name in seen_dirs:
                return
            seen_dirs.add(name)
            info = tarfile.TarInfo(name)
            info.type = tarfile.DIRTYPE
            info.mode = 0o755
            info.mtime = now
            tf.addfile(info)

        add_dir(top)
        for rel, data in files:
            parts = rel.split("/")
            for i in range(1, len(parts)):
                add_dir(top + "/" + "/".join(parts[:i]))
            info = tarfile.TarInfo(top + "/" + rel)
            info.size = len(data)
            info.mode = 0o644
            info.mtime = now
            tf.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def configs_archive(article, serial, macs):
    lines_common = ["Artikel: %s" % article, "Seriennummer: %d" % serial]
    files = []
    for stem, title, (w, h) in LABEL_KINDS:
        lines = ["%s [%s]" % (title, stem)] + lines_common
        if stem == "device":
            for iface in ("eth0", "eth1"):
                if iface in macs:
                    lines.append("%s: %s" % (iface, macs[iface]))
        files.append(("labels/%s.pdf" % stem, make_label_pdf(lines, w, h)))
    conf = ["# Nimbrel Gerätekonfiguration", "article=%s" % article, "serial=%d" % serial]
    for iface in ("eth0", "eth1"):
        if iface in macs:
            conf.append("mac_%s=%s" % (iface, macs[iface]))
    files.append(("etc/nimbrel/device.conf", ("\n".join(conf) + "\n").encode("utf-8")))
    files.append(("etc/hostname", ("nimbrel-%d\n" % serial).encode("utf-8")))
    network = {"hostname": "nimbrel-%d" % serial, "interfaces": macs}
    files.append(("etc/nimbrel/network.json", json_bytes(network) + b"\n"))
    return make_targz("%s-%d" % (article, serial), files)


def additionals_archive(article, serial):
    readme = (
        "Zusatzdateien für Nimbrel %s, Seriennummer %d.\n"
        "Werden vom Stationsprogramm neben die Konfiguration gelegt.\n" % (article, serial)
    )
    calibration = {
        "article": article,
        "serialNumber": serial,
        "adc_offset": 12,
        "adc_gain": 1.0031,
    }
    files = [
        ("additionals/README.txt", readme.encode("utf-8")),
        ("additionals/calibration.json", json_bytes(calibration) + b"\n"),
    ]
    return make_targz("%s-%d-additionals" % (article, serial), files)


# --------------------------------------------------------------------------
# image archives


def deflate_stored(data):
    """`data` as a run of non-final stored deflate blocks (no compression)."""
    out = []
    for i in range(0, len(data), 0xFFFF):
        piece = data[i:i + 0xFFFF]
        out.append(b"\x00" + struct.pack("<HH", len(piece), len(piece) ^ 0xFFFF))
        out.append(piece)
    return b"".join(out)


class StoredGzipWriter(object):
    """Writes a gzip member made of stored deflate blocks.

    Same result as gzip with compresslevel=0, but framing the data by hand
    lets a pre-framed block be reused, so building a 4 GiB archive is bound
    by the disk and the CRC instead of zlib's copying.
    """

    def __init__(self, raw):
        self.raw = raw
        self.crc = 0
        self.size = 0
        # magic, deflate, no flags, mtime 0, no extra flags, OS unknown
        raw.write(b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff")

    def write(self, data, framed=None):
        self.crc = zlib.crc32(data, self.crc)
        self.size += len(data)
        self.raw.write(framed if framed is not None else deflate_stored(data))

    def close(self):
        self.raw.write(b"\x01\x00\x00\xff\xff")  # final, empty stored block
        self.raw.write(struct.pack("<II", self.crc & 0xFFFFFFFF, self.size & 0xFFFFFFFF))


class RepeatedData(object):
    """Pseudo-random looking data: a fixed 1 MiB block repeated.

    The block is seeded so every run serves byte-identical images; the
    archive is not compressed at all (and gzip's 32 KiB window would not see
    the repetition anyway), so it stays as big as the image, which is what
    the throughput benchmarks need.
    """

    _block = None
    _framed = None
    _block_lock = threading.Lock()

    @classmethod
    def block(cls):
        """(block, block as stored deflate blocks)"""
        with cls._block_lock:
            if cls._block is None:
                rng = random.Random(0x4E494D42)
                cls._block = rng.getrandbits(IMAGE_BLOCK_SIZE * 8).to_bytes(IMAGE_BLOCK_SIZE, "little")
                cls._framed = deflate_stored(cls._block)
            return cls._block, cls._framed


class ImageStore(object):
    def __init__(self, cache_dir, image_size):
        self.cache_dir = cache_dir
        self.image_size = image_size
        # bumped by POST /_sim/image/change: every archive is then built anew, with
        # other bytes and another ETag, as if the image server had been given new files
        self.generation = 0
        self._locks = {}
        self._locks_lock = threading.Lock()

    def _lock_for(self, path):
        with self._locks_lock:
            lock = self._locks.get(path)
            if lock is None:
                lock = self._locks[path] = threading.Lock()
            return lock

    def archive_path(self, file_name):
        safe = re.sub(r"[^A-Za-z0-9._+-]", "_", file_name)
        digest = hashlib.sha1(file_name.encode("utf-8", "surrogateescape")).hexdigest()[:10]
        name = "%s-%d-%s-%s" % (IMAGE_CACHE_FORMAT, self.image_size, digest, safe)
        if self.generation:
            name = "g%d-%s" % (self.generation, name)
        path = os.path.join(self.cache_dir, name)
        with self._lock_for(path):
            if not os.path.exists(path):
                tmp = "%s.part%d" % (path, threading.get_ident())
                try:
                    self._build(tmp, file_name[: -len(IMAGE_SUFFIX)] + ".img")
                    os.replace(tmp, path)
                finally:
                    if os.path.exists(tmp):
                        os.unlink(tmp)
        return path

    def _build(self, path, member):
        size = self.image_size
        block, framed = RepeatedData.block()
        info = tarfile.TarInfo(member)
        info.size = size
        info.mode = 0o644
        info.mtime = int(time.time()) + self.generation
        info.uname = info.gname = "root"
        with open(path, "wb") as raw:
            gz = StoredGzipWriter(raw)
            header = info.tobuf(tarfile.GNU_FORMAT, "utf-8", "surrogateescape")
            gz.write(header)
            left = size
            while left >= len(block):
                gz.write(block, framed)
                left -= len(block)
            if left:
                gz.write(block[:left])
            # pad the member to whole blocks, two zero blocks end the archive,
            # and the whole thing is padded to a full record like tar does
            total = len(header) + size
            end = (-size) % tarfile.BLOCKSIZE + 2 * tarfile.BLOCKSIZE
            total += end
            end += (-total) % tarfile.RECORDSIZE
            gz.write(b"\0" * end)
            gz.close()


# --------------------------------------------------------------------------
# HTTP


class Reply(object):
    def __init__(self, status, body=b"", content_type=None, headers=None, file_path=None, offset=0):
        self.status = status
        self.body = body
        self.content_type = content_type
        self.headers = headers or []
        self.file_path = file_path
        self.offset = offset  # a range reply starts here in the file

    def size(self):
        if self.file_path is not None:
            return os.path.getsize(self.file_path) - self.offset
        return len(self.body)


def json_reply(status, obj, headers=None):
    return Reply(status, json_bytes(obj), "application/json", headers)


def message_reply(status, message, headers=None):
    return json_reply(status, {"message": message}, headers)


class ClientGone(Exception):
    pass


class SimHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "NimbrelSim/1.0"

    # --- plumbing -------------------------------------------------------

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("%s - %s\n" % (self.address_string(), fmt % args))

    def do_GET(self):
        self._dispatch()

    def do_PUT(self):
        self._dispatch()

    def do_POST(self):
        self._dispatch()

    def do_DELETE(self):
        self._dispatch()

    def do_PATCH(self):
        self._dispatch()

    def do_HEAD(self):
        self._dispatch()

    def do_OPTIONS(self):
        self._dispatch()

    def _read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            chunks = []
            while True:
                line = self.rfile.readline(65537)
                if not line:
                    raise ClientGone()
                size = int(line.split(b";", 1)[0].strip() or b"0", 16)
                if size == 0:
                    # trailer section up to the empty line
                    while True:
                        line = self.rfile.readline(65537)
                        if line in (b"\r\n", b"\n", b""):
                            break
                    break
                data = self.rfile.read(size)
                if len(data) < size:
                    raise ClientGone()
                chunks.append(data)
                self.rfile.readline(65537)
            return b"".join(chunks)
        length = self.headers.get("Content-Length")
        if not length:
            return b""
        length = int(length)
        if length < 0:
            raise ValueError("negative Content-Length")
        data = self.rfile.read(length)
        if len(data) < length:
            raise ClientGone()
        return data

    def _dispatch(self):
        self._headers_started = False
        try:
            split = urllib.parse.urlsplit(self.path)
            path = urllib.parse.unquote(split.path)
            control = path == "/_sim" or path.startswith("/_sim/")
            try:
                body = self._read_body()
            except ValueError:
                if not control:
                    self._record(path, split, b"")
                self.close_connection = True
                self._send(message_reply(400, "Ungültiger Anfragerumpf"))
                return
            if control:
                self._send(self._control(path, split.query, body))
                return
            self._record(path, split, body)
            self._serve(path, split.query, body)
        except ClientGone:
            self.close_connection = True
        except CONNECTION_ERRORS:
            self.close_connection = True
        except Exception:
            self.close_connection = True
            sys.stderr.write("nimbrel_sim: Fehler bei %s %s\n" % (self.command, self.path))
            traceback.print_exc()
            if not self._headers_started:
                try:
                    self._send(message_reply(500, "Interner Fehler im Simulator"))
                except Exception:
                    pass

    def _record(self, path, split, body):
        entry = {
            "method": self.command,
            "path": path,
            "query": [list(p) for p in urllib.parse.parse_qsl(split.query, keep_blank_values=True)],
            "rawQuery": split.query,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body.decode("utf-8", "replace"),
            "rawPath": split.path,
            "time": time.time(),
        }
        self.server.record(entry)

    # --- sending ----------------------------------------------------------

    def _send(self, reply, fault=None):
        mode = fault.kind if fault is not None else None
        size = reply.size()
        no_body = reply.status in (204, 304)
        self._headers_started = True
        self.send_response(reply.status)
        for name, value in reply.headers:
            self.send_header(name, value)
        if reply.content_type and not no_body:
            self.send_header("Content-Type", reply.content_type)
        if mode == "cutclose":
            self.send_header("Connection", "close")
            self.close_connection = True
        elif not no_body:
            self.send_header("Content-Length", str(size))
        self.end_headers()
        if no_body or self.command == "HEAD":
            return
        limit = size
        if mode in ("cut", "cutclose"):
            limit = min(size, fault.bytes)
        rate = fault.rate if mode == "slow" else None
        self._write_body(reply, limit, rate)
        if mode in ("cut", "cutclose"):
            self.close_connection = True

    def _write_body(self, reply, limit, rate):
        if reply.file_path is None:
            self._write_chunks(io.BytesIO(reply.body), limit, rate)
            return
        with open(reply.file_path, "rb") as f:
            f.seek(reply.offset)
            if rate is None and limit > 0 and hasattr(self.connection, "sendfile"):
                self.connection.sendfile(f, reply.offset, limit)
            else:
                self._write_chunks(f, limit, rate)

    def _write_chunks(self, src, limit, rate):
        chunk = STREAM_CHUNK
        if rate is not None:
            # about twenty writes a second keeps the throttling smooth
            chunk = max(1, min(STREAM_CHUNK, int(rate / 20)))
        start = time.monotonic()
        sent = 0
        while sent < limit:
            data = src.read(min(chunk, limit - sent))
            if not data:
                break
            self.wfile.write(data)
            sent += len(data)
            if rate is not None and sent < limit:
                due = start + sent / rate
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)

    def _stall(self, seconds):
        """Keep quiet for `seconds`; False if the client hung up meanwhile."""
        end = time.monotonic() + seconds
        sock = self.connection
        while True:
            remaining = end - time.monotonic()
            if remaining <= 0:
                return True
            readable, _, _ = select.select([sock], [], [], min(remaining, 0.2))
            if readable:
                try:
                    data = sock.recv(1, socket.MSG_PEEK)
                except OSError:
                    return False
                if not data:
                    return False
                # The client already sent its next request (pipelining): it is
                # still there, so just sit out the rest of the stall.
                time.sleep(max(0.0, end - time.monotonic()))
                return True

    # --- routing ----------------------------------------------------------

    def _serve(self, path, query, body):
        key = endpoint_key(path)
        reply = self._authorize(path)
        fault = None
        if reply is None and key is not None:
            # Faults only hit requests that got past authentication, so the
            # image server's Basic challenge does not use up a fault count.
            fault = self.server.faults.take(key)
        if fault is not None and fault.kind == "stall":
            if not self._stall(fault.seconds):
                self.close_connection = True
                return
            fault = None
        if fault is not None and fault.kind == "status":
            ctype = "application/json" if looks_like_json(fault.body) else "text/plain; charset=utf-8"
            reply = Reply(fault.code, fault.body, ctype)
            fault = None
        if fault is not None and fault.kind == "redirect":
            # Without a target the client is sent back to the same request: one that follows
            # the redirect gets the normal answer, so following it cannot go unnoticed.
            location = fault.target or self.path
            reply = Reply(fault.code, b"", "text/plain; charset=utf-8", [("Location", location)])
            fault = None
        if reply is None:
            reply = self._route(key, path, query, body)
        self._send(reply, fault)

    def _authorize(self, path):
        server = self.server
        if path.startswith("/api/v1/") or path == "/api/v1":
            if server.authorization is None:
                return None
            values = self.headers.get_all("Authorization") or [""]
            if len(values) == 1 and values[0] == server.authorization:
                return None
            return message_reply(401, "Nicht autorisiert")
        if path.startswith("/cls/") and server.image_user is not None:
            if self._basic_ok(server.image_user, server.image_password):
                return None
            return Reply(
                401,
                "Anmeldung am Imageserver erforderlich\n".encode("utf-8"),
                "text/plain; charset=utf-8",
                [("WWW-Authenticate", 'Basic realm="images"')],
            )
        return None

    def _basic_ok(self, user, password):
        value = self.headers.get("Authorization") or ""
        scheme, _, token = value.strip().partition(" ")
        if scheme.lower() != "basic":
            return False
        try:
            decoded = base64.b64decode(token.strip(), validate=True).decode("utf-8")
        except (ValueError, UnicodeDecodeError):
            return False
        got_user, sep, got_password = decoded.partition(":")
        return bool(sep) and got_user == user and got_password == password

    def _route(self, key, path, query, body):
        if key is None:
            if path.startswith("/api/"):
                return message_reply(404, "Unbekannter Pfad: %s" % path)
            return Reply(404, "Nicht gefunden\n".encode("utf-8"), "text/plain; charset=utf-8")
        wanted = "PUT" if key in ("assignSerialNumber", "assignMacAddresses") else "GET"
        if self.command != wanted and not (wanted == "GET" and self.command == "HEAD"):
            return message_reply(405, "Methode %s nicht erlaubt" % self.command, [("Allow", wanted)])
        handler = getattr(self, "_ep_" + key)
        return handler(path, query, body)

    # --- endpoints ----------------------------------------------------------

    def _query(self, query, names):
        """Return ({name: value}, None) or (None, error reply) for required items."""
        pairs = urllib.parse.parse_qsl(query, keep_blank_values=True)
        values = {}
        for name, value in pairs:
            if name in names and name in values:
                return None, message_reply(400, "Parameter %s mehrfach angegeben" % name)
            values[name] = value
        missing = [n for n in names if not values.get(n)]
        if missing:
            return None, message_reply(400, "Parameter fehlt oder ist leer: %s" % ", ".join(missing))
        return values, None

    def _ep_specs(self, path, query, body):
        return Reply(200, json_bytes(self.server.state.specs), "application/json")

    def _ep_assignSerialNumber(self, path, query, body):
        values, error = self._query(query, ("article", "version", "emsSerialNumber"))
        if error:
            return error
        order = values["emsSerialNumber"]
        if not EMS_SERIAL_RE.fullmatch(order):
            return message_reply(
                422,
                "Ungültige Auftragsnummer %s: erwartet G gefolgt von 7 Ziffern" % order,
            )
        serial = self.server.state.assign_serial(order, values["article"])
        return json_reply(200, {"serialNumber": serial})

    def _ep_assignMacAddresses(self, path, query, body):
        values, error = self._query(query, ("article", "serialNumber"))
        if error:
            return error
        state = self.server.state
        serial = state.known_serial(values["serialNumber"])
        if serial is None:
            return message_reply(404, "Seriennummer %s unbekannt" % values["serialNumber"])
        try:
            doc = json.loads(body.decode("utf-8"))
        except ValueError:
            return message_reply(400, "Rumpf ist kein gültiges JSON")
        if not isinstance(doc, dict):
            return message_reply(400, "Rumpf muss ein JSON-Objekt sein")
        for iface in ("eth0", "eth1"):
            value = doc.get(iface)
            if not isinstance(value, str) or not value:
                return message_reply(400, "MAC-Adresse für %s fehlt oder ist leer" % iface)
        state.set_macs(serial, doc["eth0"], doc["eth1"])
        return json_reply(200, {})

    def _article_serial(self, query):
        values, error = self._query(query, ("article", "serialNumber"))
        if error:
            return None, None, error
        serial = self.server.state.known_serial(values["serialNumber"])
        if serial is None:
            return None, None, message_reply(404, "Seriennummer %s unbekannt" % values["serialNumber"])
        return values["article"], serial, None

    def _tar_reply(self, name, data):
        return Reply(
            200,
            data,
            "application/tar",
            [("Content-Disposition", 'attachment; filename="%s"' % name)],
        )

    def _ep_configs(self, path, query, body):
        article, serial, error = self._article_serial(query)
        if error:
            return error
        data = configs_archive(article, serial, self.server.state.macs_of(serial))
        return self._tar_reply("%s-%d-configs.tar.gz" % (article, serial), data)

    def _ep_additionals(self, path, query, body):
        article, serial, error = self._article_serial(query)
        if error:
            return error
        data = additionals_archive(article, serial)
        return self._tar_reply("%s-%d-additionals.tar.gz" % (article, serial), data)

    def _ep_image(self, path, query, body):
        parts = path.split("/")
        # ['', 'cls', folder, version or 'snapshots', file]
        ok = (
            len(parts) == 5
            and all(p and p not in (".", "..") for p in parts[2:])
            and parts[4].endswith(IMAGE_SUFFIX)
            and len(parts[4]) > len(IMAGE_SUFFIX)
        )
        if not ok:
            return Reply(404, "Image nicht gefunden\n".encode("utf-8"), "text/plain; charset=utf-8")
        archive = self.server.images.archive_path(parts[4])
        return self._file_reply(archive)

    def _file_reply(self, archive):
        """200, or 206 for `Range: bytes=N-` when If-Range (if any) still matches.

        Other range forms are ignored (answered with the whole file), as HTTP allows."""
        st = os.stat(archive)
        etag = '"%x-%x"' % (st.st_mtime_ns, st.st_size)
        modified = email.utils.formatdate(st.st_mtime, usegmt=True)
        headers = [("ETag", etag), ("Last-Modified", modified), ("Accept-Ranges", "bytes")]
        ranged = re.fullmatch(r"bytes=(\d+)-", (self.headers.get("Range") or "").strip())
        if_range = self.headers.get("If-Range")
        if ranged is None or (if_range is not None and if_range.strip() not in (etag, modified)):
            return Reply(200, content_type="application/gzip", headers=headers, file_path=archive)
        first = int(ranged.group(1))
        if first >= st.st_size:
            return Reply(416, b"", headers=headers + [("Content-Range", "bytes */%d" % st.st_size)])
        headers.append(("Content-Range", "bytes %d-%d/%d" % (first, st.st_size - 1, st.st_size)))
        return Reply(206, content_type="application/gzip", headers=headers, file_path=archive, offset=first)

    # --- control ------------------------------------------------------------

    def _control(self, path, query, body):
        server = self.server
        cmd = self.command
        if path == "/_sim/health" and cmd == "GET":
            return Reply(200, b"ok", "text/plain; charset=utf-8")
        if path == "/_sim/state" and cmd == "GET":
            snap = server.state.snapshot()
            snap["faults"] = server.faults.snapshot()
            return json_reply(200, snap)
        if path == "/_sim/reset" and cmd == "POST":
            server.state.reset()
            server.faults.clear()
            return json_reply(200, {})
        if path == "/_sim/image/change" and cmd == "POST":
            server.images.generation += 1
            return json_reply(200, {"generation": server.images.generation})
        if path == "/_sim/specs" and cmd == "PUT":
            try:
                server.state.specs = json.loads(body.decode("utf-8"))
            except ValueError:
                return message_reply(400, "Rumpf ist kein gültiges JSON")
            return json_reply(200, {})
        if path == "/_sim/fault":
            if cmd == "GET":
                return json_reply(200, server.faults.snapshot())
            if cmd == "DELETE":
                pairs = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
                key = pairs.get("endpoint")
                if key is not None and key not in ENDPOINTS:
                    return message_reply(400, "Unbekannter Endpunkt %s" % key)
                server.faults.clear(key)
                return json_reply(200, {})
            if cmd == "POST":
                try:
                    doc = json.loads(body.decode("utf-8"))
                    key = doc["endpoint"]
                    fault = Fault(doc["mode"])
                    count = doc.get("count")
                except (ValueError, KeyError, TypeError, AttributeError) as e:
                    return message_reply(400, "Ungültige Fehlerangabe: %s" % e)
                if key not in ENDPOINTS:
                    return message_reply(400, "Unbekannter Endpunkt %s" % key)
                if count is not None and (isinstance(count, bool) or not isinstance(count, int) or count < 1):
                    return message_reply(400, "count muss eine positive Ganzzahl sein")
                server.faults.set(key, fault, count)
                return json_reply(200, {"endpoint": key, "mode": fault.text, "count": count})
        return message_reply(404, "Unbekannter Steuerbefehl %s %s" % (cmd, path))


def endpoint_key(path):
    if path.startswith("/cls/"):
        return "image"
    if path.startswith("/api/v1/"):
        name = path[len("/api/v1/"):]
        if name in ENDPOINTS and name != "image":
            return name
    return None


class SimServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        exc = sys.exc_info()[1]
        if isinstance(exc, CONNECTION_ERRORS):
            return
        sys.stderr.write("nimbrel_sim: unerwarteter Fehler\n")
        traceback.print_exc()

    def record(self, entry):
        if not self.record_path:
            return
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.record_lock:
            with open(self.record_path, "a", encoding="utf-8") as f:
                f.write(line)
                f.flush()


# --------------------------------------------------------------------------
# main


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Simulator für Konfigurationsmanager und Imageserver der Nimbrel-Station "
        "(nur 127.0.0.1)."
    )
    p.add_argument("--port", type=int, default=0, help="TCP-Port (Standard: frei gewählt)")
    p.add_argument("--port-file", help="schreibt die Portnummer in diese Datei")
    p.add_argument("--specs", help="JSON-Datei mit der Spezifikationsliste für GET /api/v1/specs")
    p.add_argument("--first-serial", type=int, default=DEFAULT_FIRST_SERIAL,
                   help="erste vergebene Seriennummer (Standard %(default)s)")
    p.add_argument("--authorization", help="erwarteter Wert des Authorization-Headers für /api/v1")
    p.add_argument("--image-user", help="Benutzer für HTTP-Basic am Imageserver")
    p.add_argument("--image-password", help="Passwort für HTTP-Basic am Imageserver")
    p.add_argument("--image-size", default=str(DEFAULT_IMAGE_SIZE),
                   help="Größe des .img in Bytes, Suffixe K/M/G erlaubt (Standard 1M)")
    p.add_argument("--cache-dir", help="Verzeichnis für gebaute Image-Archive (bleibt erhalten)")
    p.add_argument("--prebuild", action="append", default=[], metavar="FILE",
                   help="Image-Archiv FILE (…-img.tar.gz) vor dem Start bauen; wiederholbar")
    p.add_argument("--record", help="protokolliert jede Anfrage als JSON-Zeile in diese Datei")
    p.add_argument("--fault", action="append", default=[], metavar="KEY=MODE",
                   help="Fehler für einen Endpunkt setzen; wiederholbar")
    p.add_argument("--verbose", action="store_true", help="Anfragen auf stderr protokollieren")
    args = p.parse_args(argv)
    try:
        args.image_size = parse_size(args.image_size)
    except ValueError as e:
        p.error(str(e))
    faults = []
    for item in args.fault:
        key, sep, mode = item.partition("=")
        if not sep or key not in ENDPOINTS:
            p.error("--fault erwartet KEY=MODE mit KEY aus %s: %r" % (", ".join(ENDPOINTS), item))
        try:
            faults.append((key, Fault(mode)))
        except ValueError as e:
            p.error(str(e))
    args.faults = faults
    for name in args.prebuild:
        if not name.endswith(IMAGE_SUFFIX) or "/" in name or len(name) <= len(IMAGE_SUFFIX):
            p.error("--prebuild erwartet einen Dateinamen auf %s: %r" % (IMAGE_SUFFIX, name))
    return args


def load_specs(path):
    if path is None:
        return list(DEFAULT_SPECS)
    with open(path, encoding="utf-8") as f:
        specs = json.load(f)
    # Deliberately broken lists are served as they are (the station must cope
    # with them), but say so, in case it was a typo.
    fields = ("article", "software_version", "image")
    if not (isinstance(specs, list) and all(
            isinstance(s, dict) and all(isinstance(s.get(k), str) for k in fields) for s in specs)):
        sys.stderr.write("nimbrel_sim: Warnung: %s ist keine gültige Spezifikationsliste\n" % path)
    return specs


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        specs = load_specs(args.specs)
    except (OSError, ValueError) as e:
        sys.stderr.write("nimbrel_sim: --specs nicht lesbar: %s\n" % e)
        return 2

    temp_cache = None
    if args.cache_dir:
        cache_dir = args.cache_dir
        os.makedirs(cache_dir, exist_ok=True)
    else:
        cache_dir = temp_cache = tempfile.mkdtemp(prefix="nimbrel-sim-")

    try:
        try:
            server = SimServer((BIND_ADDRESS, args.port), SimHandler)
        except OSError as e:
            sys.stderr.write("nimbrel_sim: Port %d nicht verfügbar: %s\n" % (args.port, e))
            return 2
        server.verbose = args.verbose
        server.state = ManagerState(args.first_serial, specs)
        server.faults = FaultTable()
        for key, fault in args.faults:
            server.faults.set(key, fault)
        server.authorization = args.authorization
        if args.image_user is not None or args.image_password is not None:
            server.image_user = args.image_user or ""
            server.image_password = args.image_password or ""
        else:
            server.image_user = server.image_password = None
        server.images = ImageStore(cache_dir, args.image_size)
        server.record_path = args.record
        server.record_lock = threading.Lock()

        for name in args.prebuild:
            server.images.archive_path(name)

        stop = threading.Event()

        def on_signal(signum, frame):
            stop.set()

        signal.signal(signal.SIGTERM, on_signal)
        signal.signal(signal.SIGINT, on_signal)

        thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2})
        thread.daemon = True
        thread.start()

        port = server.server_address[1]
        if args.port_file:
            tmp = args.port_file + ".tmp"
            with open(tmp, "w") as f:
                f.write("%d\n" % port)
            os.replace(tmp, args.port_file)
        sys.stdout.write("NIMBREL_SIM_PORT=%d\n" % port)
        sys.stdout.flush()

        while not stop.wait(0.5):
            pass
        server.shutdown()
        server.server_close()
        return 0
    finally:
        if temp_cache:
            shutil.rmtree(temp_cache, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
