// Test helpers: run a call and expect (or report) the EORQException it raises.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "engine/foundation/ORQExcept.h"

template <typename F>
void ExpectNative(F&& f, int32_t code, const std::string& message = "") {
    try {
        f();
        ADD_FAILURE() << "no exception, expected " << code;
    } catch (const orq::EORQException& e) {
        EXPECT_EQ(e.NativeError(), code) << e.what();
        if (!message.empty()) {
            EXPECT_EQ(e.Message(), message);
        }
    }
}

// Runs f and returns the native code and message of the EORQException it raises.
template <typename F>
std::pair<int32_t, std::string> Raised(F&& f) {
    try {
        f();
    } catch (const orq::EORQException& e) {
        return {e.NativeError(), e.Message()};
    }
    return {0, "nothing raised"};
}
