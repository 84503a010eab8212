#pragma once
// The settings the kit reads and writes (the application group's suite, shared
// with the launcher and the other processes of the program), and the test the
// kit applies to an optional text field.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/UserDefaults.h"

inline std::shared_ptr<foundation::UserDefaults> TLSettings() { return foundation::UserDefaults::applicationGroup(); }

// A text that is there and holds something.
inline bool TLNonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }
inline bool TLNonEmpty(const std::shared_ptr<const std::string>& text) { return text && !text->empty(); }
