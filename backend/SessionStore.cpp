#include "SessionStore.h"

const char *stateName(PairingSession::State state)
{
    switch (state) {
    case PairingSession::State::pending: return "pending";
    case PairingSession::State::claimed: return "claimed";
    case PairingSession::State::aborted: return "aborted";
    }
    return "pending";
}

PairingSession::State stateFromName(const std::string &name)
{
    if (name == "claimed")
        return PairingSession::State::claimed;
    if (name == "aborted")
        return PairingSession::State::aborted;
    return PairingSession::State::pending;
}
