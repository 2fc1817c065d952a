#pragma once

#include "PairingService.h"
#include "RequestBody.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class SessionStore;

struct PairingAnswer {
    int status = 200;
    std::string body;  // a JSON object, always; a refusal carries "error"
    int retryAfterSeconds = 0;  // > 0: sent as Retry-After
    bool onDisk = false;        // an acknowledgement the power may not take back: see whenSynced()
};

// The service's endpoints over its store, without the network: what the server runs for each
// request, and what the fuzz target drives. Safe to call from several threads at once.
class PairingRequests {
public:
    // Opens the SQLite store the options name; throws std::runtime_error.
    explicit PairingRequests(const PairingServiceOptions &options);
    // Over `store` (none: the SQLite store the options name).
    PairingRequests(const PairingServiceOptions &options, std::unique_ptr<SessionStore> store);
    ~PairingRequests();
    PairingRequests(const PairingRequests &) = delete;
    PairingRequests &operator=(const PairingRequests &) = delete;

    // The reader of an endpoint's body, with its fields, caps and early checks; none for an
    // unknown endpoint.
    std::optional<RequestBody> body(std::string_view endpoint);
    // The same without the checks that need the store.
    static std::optional<RequestBody> plainBody(std::string_view endpoint, const PairingServiceOptions &options);

    // The answer to a request whose body has been read whole into `body`; `client` is the
    // client's address.
    PairingAnswer answer(std::string_view endpoint, RequestBody &body, const std::string &client = {});
    // The same from the body's raw bytes.
    PairingAnswer answer(std::string_view endpoint, std::string_view bytes, const std::string &client = {});
    // Calls `then` once the commits of the answers made so far are on the disk (false: the disk
    // failed); an answer that is `onDisk` is sent only then. From any thread.
    void whenSynced(std::function<void(bool synced)> then);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
