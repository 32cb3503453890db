#pragma once
// A callable borrowed for the length of one call: what the wrapper's dispatch
// takes for a handler's body. Unlike std::function it never copies the callable
// (a lambda that captures a few references would be put on the heap, once for
// every send and every transfer-data call); the callable must outlive the call,
// which a lambda written in the call's own argument list does.

#include <concepts>
#include <type_traits>

namespace host {

class BorrowedCall {
public:
    template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, BorrowedCall> && std::invocable<F&>) BorrowedCall(
        F&& callable)  // NOLINT(google-explicit-constructor): taken as a lambda, as std::function is
        : object_(const_cast<void*>(static_cast<const void*>(&callable))),
          call_([](void* object) { (*static_cast<std::remove_reference_t<F>*>(object))(); }) {}

    void operator()() const { call_(object_); }

private:
    void* object_;
    void (*call_)(void*);
};

}  // namespace host
