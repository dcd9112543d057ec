#pragma once

#include <string>

namespace kavren::host {

// Loads the TLS files with OpenSSL as libmosquitto will when it connects, so that what would fail
// every connection is refused at the start instead: a CA file without a certificate OpenSSL can
// read (PEM markers around anything else), a client certificate or key that does not load (an
// encrypted key too: a service has nobody to ask for its pass phrase), a key that is not the
// certificate's own. Empty names are not checked. Throws std::runtime_error with one line.
void check_tls_files(const std::string& ca_file, const std::string& cert_file,
                     const std::string& key_file);

}  // namespace kavren::host
