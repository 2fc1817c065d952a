#pragma once

#include <string>

struct DevCertificateFiles {
    std::string caFile;    // the authority to trust (PEM)
    std::string certFile;  // the service's certificate, signed by that authority (PEM)
    std::string keyFile;   // the service's private key (PEM, owner-only)
};

// Writes a throwaway certificate authority and a server certificate it signed for 127.0.0.1
// and localhost, valid for one day, into an existing folder. For tests and local runs: made
// fresh each time, so no private key is ever kept in the repository. Throws std::runtime_error.
DevCertificateFiles writeDevCertificates(const std::string &directory);
