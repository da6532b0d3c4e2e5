// Helpers shared by the hvcore tests.
#ifndef QUILLON_TESTS_HV_TEST_SUPPORT_H
#define QUILLON_TESTS_HV_TEST_SUPPORT_H

#include "values/hvcore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Owns one reference; released at scope exit so tests cannot leak by accident.
class Value {
public:
    Value() : h_(hvCreate()) {}
    explicit Value(HVALUE adopted) : h_(adopted) {}
    Value(const Value &) = delete;
    Value &operator=(const Value &) = delete;
    ~Value() { hvRelease(h_); }
    operator HVALUE() const { return h_; }
    HVALUE get() const { return h_; }

private:
    HVALUE h_;
};

// Every test starts and ends with the same number of live values.
class HvTest : public ::testing::Test {
protected:
    void SetUp() override { liveAtStart_ = hvLiveCount(); }
    void TearDown() override { EXPECT_EQ(hvLiveCount(), liveAtStart_) << "values leaked"; }

private:
    long liveAtStart_ = 0;
};

std::vector<unsigned char> flatten(HVALUE h);

// Compares two values through the public interface: type, quality, timestamp
// and every element, recursively. Returns an empty string when equal.
std::string difference(HVALUE a, HVALUE b);

// A value that uses every type: a list holding one scalar of each type, one
// array of each type with non-zero data, and nested values and lists.
void buildEverything(HVALUE h);

#endif
