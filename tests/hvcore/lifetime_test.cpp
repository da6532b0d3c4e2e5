// Reference counts and the live value count.
#include "tests/hvcore/hv_test_support.h"

#include <thread>
#include <vector>

namespace {

class Lifetime : public HvTest {};

TEST_F(Lifetime, LastReleaseFreesTheValue) {
    const long start = hvLiveCount();
    HVALUE v = hvCreate();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(hvLiveCount(), start + 1);
    EXPECT_EQ(hvAddRef(v), 2);
    EXPECT_EQ(hvRelease(v), 1);
    EXPECT_EQ(hvLiveCount(), start + 1);
    EXPECT_EQ(hvRelease(v), 0);
    EXPECT_EQ(hvLiveCount(), start);
}

TEST_F(Lifetime, NestedValuesAreCountedAndFreedWithTheirParent) {
    const long start = hvLiveCount();
    HVALUE v = hvCreate();
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_HVAL, 3));
    EXPECT_EQ(hvLiveCount(), start + 4);
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_LIST, 2));
    EXPECT_EQ(hvLiveCount(), start + 3) << "replaced elements are freed";
    HVALUE copy = hvDuplicate(v);
    EXPECT_EQ(hvLiveCount(), start + 6);
    hvRelease(copy);
    hvSetNull(v);
    EXPECT_EQ(hvLiveCount(), start + 1);
    hvRelease(v);
    EXPECT_EQ(hvLiveCount(), start);
}

TEST_F(Lifetime, HeldElementSurvivesItsParent) {
    const long start = hvLiveCount();
    HVALUE parent = hvCreate();
    hvSetType(parent, HV_ARRAY | HV_HVAL, 1);
    HVALUE element = nullptr;
    ASSERT_TRUE(hvGetElement(parent, 0, &element));
    EXPECT_EQ(hvRelease(parent), 0);
    EXPECT_EQ(hvLiveCount(), start + 1);
    EXPECT_TRUE(hvSetI32(element, 1));
    EXPECT_EQ(hvRelease(element), 0);
    EXPECT_EQ(hvLiveCount(), start);
}

TEST_F(Lifetime, ConcurrentReferenceCountingBalances) {
    Value v;
    const long start = hvLiveCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&v] {
            for (int i = 0; i < 20000; ++i) {
                hvAddRef(v);
                hvRelease(v);
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(hvAddRef(v), 2);
    EXPECT_EQ(hvRelease(v), 1);
    EXPECT_EQ(hvLiveCount(), start);
}

TEST_F(Lifetime, ConcurrentCreationKeepsTheLiveCountExact) {
    const long start = hvLiveCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                HVALUE v = hvCreate();
                hvSetType(v, HV_ARRAY | HV_HVAL, 2);
                hvRelease(v);
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(hvLiveCount(), start);
}

} // namespace
