#pragma once

// What to do about the contacts, given the system's authorisation status for them
// (the Contacts framework's numbering).
namespace ContactsAccess {
inline constexpr long notDetermined = 0;
inline constexpr long authorized = 3;

enum class Decision { read, ask, refuse };

// Authorised: read, without asking. Not yet decided: ask (the system's prompt), and read only if
// the user allows it. Restricted, denied or a status unknown to us: no contacts, nobody asked.
Decision decide(long status);
} // namespace ContactsAccess
