// A running kernel for tests of the platform calls; verifier stops become exceptions the test can expect.
#pragma once

#include "platform/nt/include/ntddk.h"
#include "platform/nt/kernel.h"

#include <gtest/gtest.h>

#include <string>

class KernelTest : public ::testing::Test {
public:
    KernelTest() {
        kernel.setVerifierHandler([](const std::string& message) { throw nt::VerifierStop(message); });
    }

    nt::Kernel kernel;
    nt::KernelScope scope{kernel};
};

// Counted strings over literals for calls that take them.
inline UNICODE_STRING Us(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

inline std::u16string Text(const UNICODE_STRING& s) {
    return std::u16string(s.Buffer, s.Length / 2);
}
