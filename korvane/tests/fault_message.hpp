// Test helper: the message of the stop (korvane::Fault) a call ends with.
#pragma once

#include <string>

#include "korvane/fault.hpp"

namespace korvane::testing {

// Runs f; returns the Fault's message, or "<no fault>" when f returns.
template <class F>
std::string fault_message(F&& f) {
    try {
        f();
    } catch (const Fault& e) {
        return e.message();
    }
    return "<no fault>";
}

}  // namespace korvane::testing
