#pragma once

// Besides the system's certificate authorities, the station trusts those in the file named
// by SSL_CERT_FILE (OpenSSL's own variable, which Qt ignores), so that a trial station or a
// test can trust a CA without changing the system store. Certificate errors are never ignored.
namespace TlsTrust {
void applyToQt(); // cheap to call before every request: reloads only when the file changed
}
