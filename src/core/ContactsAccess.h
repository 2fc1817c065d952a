#pragma once

#include <functional>

// When the contacts may be read, given the system's authorisation status for them
// (the Contacts framework's numbering).
namespace ContactsAccess {
inline constexpr long notDetermined = 0;
inline constexpr long authorized = 3;

// Authorised: yes, without asking. Not yet decided: whatever `ask` (the system's prompt) answers.
// Restricted, denied or a status unknown to us: no, and nobody is asked.
bool settle(long status, const std::function<bool()> &ask);
} // namespace ContactsAccess
