#pragma once

// Requests to a pairing service as the importer and the phone send them, over plain HTTP.

#include "PairingCrypto.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <string>

inline const std::string sessionId = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
inline const std::string macKey(64, 'a');

struct Answer {
    int status = 0;
    nlohmann::json body;
};

// A POST to /vellora-pair-<endpoint>; status 0 when no answer came.
inline Answer postPairing(httplib::Client &client, const std::string &endpoint, const std::string &body)
{
    const auto result = client.Post("/vellora-pair-" + endpoint, body, "application/json");
    return result ? Answer{result->status, nlohmann::json::parse(result->body, nullptr, false)} : Answer{};
}

// A create of session `id` by an importer that holds `key`.
inline nlohmann::json createBody(const std::string &id, const std::string &key, const std::string &version)
{
    return {{"session_id", id}, {"mac_key_hash", PairingCrypto::toHex(PairingCrypto::sha256(key))},
            {"client_version", version}};
}

// `body` with the credentials of sessionId's importer.
inline nlohmann::json asImporter(nlohmann::json body)
{
    body["session_id"] = sessionId;
    body["mac_key"] = macKey;
    return body;
}
