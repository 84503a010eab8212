#pragma once
// The user's locale as the kit service expects it ("de_DE", "en_US_POSIX").
// Reentrant, any thread.

#include <string>

// The first set of LC_ALL, LC_MESSAGES and LANG, without its codeset
// (".UTF-8") and modifier ("@euro"); "C", "POSIX" or nothing give
// "en_US_POSIX", the locale-neutral identifier.
std::string BCNLocaleIdentifier();
