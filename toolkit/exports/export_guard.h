#pragma once
// Runs the body of an exported function; any exception becomes the given failure value, so none
// crosses the C interface.

#include <utility>

template <typename Result, typename Body>
Result Guard(Result failure, Body&& body) {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return failure;
    }
}
