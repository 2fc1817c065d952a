#pragma once

#include "PairingService.h"

#include <string>
#include <vector>

// What vellora-backend's command line asks for.
struct BackendCommandLine {
    PairingServiceOptions service;  // no database path yet when neither --db nor --in-memory is given
    bool inMemory = false;
    std::string devCertDir;
    std::string passwordFile;       // the Redis password's file, read by main
    bool help = false;              // --help: print backendUsage and exit 0
    std::string error;              // set: refused; main prints it with backendUsage and exits 2
};

extern const char *const backendUsage;

// The arguments without the program's name. Checks the options against each other but reads
// no file and writes none.
BackendCommandLine parseBackendCommandLine(const std::vector<std::string> &arguments);
