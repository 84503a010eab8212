#pragma once
// A value or a cloud::Error: what the server rules and the back-ends answer.
// Callers test ok() before reading value().

#include <cassert>
#include <utility>
#include <variant>

#include "Error.h"

namespace cloud {

template <class T>
class [[nodiscard]] Reply {
public:
    Reply(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Reply(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { assert(ok()); return std::get<0>(state_); }
    const T& value() const& { assert(ok()); return std::get<0>(state_); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(state_)); }
    const Error& error() const { assert(!ok()); return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

struct Done {};

}  // namespace cloud
