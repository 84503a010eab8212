#pragma once
// A type-tested cast that does not keep its object alive: as(object) answers a
// caster whose to<T>() yields the object when it is a T and
// still exists, else null. Any thread.

#include <memory>

namespace NSObjectSwiftyAs {

template <class Base>
class Caster {
public:
    explicit Caster(const std::shared_ptr<Base>& receiver) : receiver_(receiver) {}

    template <class T>
    std::shared_ptr<T> to() const {
        return std::dynamic_pointer_cast<T>(receiver_.lock());
    }

private:
    std::weak_ptr<Base> receiver_;
};

template <class Base>
Caster<Base> as(const std::shared_ptr<Base>& receiver) {
    return Caster<Base>(receiver);
}

}  // namespace NSObjectSwiftyAs
