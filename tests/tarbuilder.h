#pragma once

#include "simulator.h"

#include <QProcess>

// A .tar.gz as a hostile server could make it, from "kind:name[:value]" members: file (value: the
// text), random (value: its size), symlink and hardlink (value: the target), chardev and fifo.
inline QByteArray tarGz(const QStringList& members)
{
    static const char* const script = R"(
import io, os, sys, tarfile
TYPES = {"symlink": tarfile.SYMTYPE, "hardlink": tarfile.LNKTYPE, "chardev": tarfile.CHRTYPE, "fifo": tarfile.FIFOTYPE}
out = io.BytesIO()
with tarfile.open(fileobj=out, mode="w:gz") as archive:
    for kind, name, *rest in (spec.split(":", 2) for spec in sys.argv[1:]):
        value, info = rest[0] if rest else "", tarfile.TarInfo(name)
        data = os.urandom(int(value)) if kind == "random" else (value or "Inhalt\n").encode() if kind == "file" else b""
        info.uid, info.mode, info.size, info.type = 4321, 0o777, len(data), TYPES.get(kind, tarfile.REGTYPE)
        info.linkname = value if kind.endswith("link") else ""
        archive.addfile(info, io.BytesIO(data))
sys.stdout.buffer.write(out.getvalue())
)";
    QProcess python;
    python.start(pythonProgram(), QStringList{QStringLiteral("-c"), QString::fromLatin1(script)} + members);
    python.waitForFinished(20000);
    return python.readAllStandardOutput();
}
