// Test helper: run a call and expect an EORQException with a native code (and text).
#pragma once

#include <gtest/gtest.h>

#include <string>

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
