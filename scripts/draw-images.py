# Draws the station's three small status images as PNGs (pure Python, no deps).
import zlib, struct
def png(path, w, h, pix):
    raw = b''.join(b'\x00' + b''.join(struct.pack('BBBB', *pix(x, y)) for x in range(w)) for y in range(h))
    def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
    open(path, 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 6, 0, 0, 0)) + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))
def circle(color, mark):
    def pix(x, y):
        cx, cy, r = 32, 32, 30
        d = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5
        if d > r: return (0, 0, 0, 0)
        if mark(x, y): return (255, 255, 255, 255)
        return color + (255,)
    return pix
def check(x, y):
    return (abs((y - 40) - (x - 26) * -1) < 4 and 16 <= x <= 28) or (abs((y - 40) + (x - 26) * 1.3) < 4 and 26 <= x <= 48)
def server(x, y):
    return (18 <= x <= 46 and (18 <= y <= 26 or 30 <= y <= 38)) and not (20 <= x <= 44 and (20 <= y <= 24 or 32 <= y <= 36)) or (x in range(40, 43) and (y in range(21, 24) or y in range(33, 36)))
def cross(x, y):
    return abs(x - y) < 4 and 18 <= x <= 46 or abs(x + y - 64) < 4 and 18 <= x <= 46
png('resources/Resources/ok.png', 64, 64, circle((46, 160, 67), check))
png('resources/Resources/Testserver_gestartet.png', 64, 64, circle((40, 110, 200), server))
png('resources/Resources/Testserver_beendet.png', 64, 64, circle((200, 60, 50), lambda x, y: server(x, y) or cross(x, y)))
