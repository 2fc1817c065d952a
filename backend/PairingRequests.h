#pragma once

#include "PairingService.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class JsonFields;
class SessionStore;

struct PairingAnswer {
    int status = 200;
    std::string body;  // a JSON object, always; a refusal carries "error"
};

// The service's endpoints over its store, without the network: what the server runs for each
// request, and what the fuzz target drives. Safe to call from several threads at once.
class PairingRequests {
public:
    // Opens the store; throws std::runtime_error.
    explicit PairingRequests(const PairingServiceOptions &options);
    ~PairingRequests();
    PairingRequests(const PairingRequests &) = delete;
    PairingRequests &operator=(const PairingRequests &) = delete;

    // The top-level keys the endpoint reads; none for an unknown endpoint.
    static std::optional<std::vector<std::string>> fields(std::string_view endpoint);

    // The answer to a request whose body has been read whole into `body`.
    PairingAnswer answer(std::string_view endpoint, JsonFields &body);
    // The same from the body's raw bytes.
    PairingAnswer answer(std::string_view endpoint, std::string_view bytes);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
