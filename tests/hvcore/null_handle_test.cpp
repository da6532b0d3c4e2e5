// Every entry point tolerates null handles and null output pointers.
#include "tests/hvcore/hv_test_support.h"

namespace {

class NullHandles : public HvTest {};

TEST_F(NullHandles, EveryFunctionFailsQuietlyOnANullHandle) {
    const HVALUE n = nullptr;
    int8_t i8 = 1;
    uint8_t u8 = 1;
    int16_t i16 = 1;
    uint16_t u16 = 1;
    int32_t i32 = 1;
    uint32_t u32 = 1;
    float r32 = 1;
    double r64 = 1;
    hvTime t{1, 1};
    const char *s = "x";
    HVALUE e = nullptr;
    hvPosition pos = nullptr;

    EXPECT_FALSE(hvCopy(n, n));
    EXPECT_EQ(hvDuplicate(n), nullptr);
    EXPECT_EQ(hvAddRef(n), 0);
    EXPECT_EQ(hvRelease(n), 0);
    hvSetNull(n);
    EXPECT_FALSE(hvSetI8(n, 1));
    EXPECT_FALSE(hvGetI8(n, &i8));
    EXPECT_FALSE(hvSetU8(n, 1));
    EXPECT_FALSE(hvGetU8(n, &u8));
    EXPECT_FALSE(hvSetI16(n, 1));
    EXPECT_FALSE(hvGetI16(n, &i16));
    EXPECT_FALSE(hvSetU16(n, 1));
    EXPECT_FALSE(hvGetU16(n, &u16));
    EXPECT_FALSE(hvSetI32(n, 1));
    EXPECT_FALSE(hvGetI32(n, &i32));
    EXPECT_FALSE(hvSetU32(n, 1));
    EXPECT_FALSE(hvGetU32(n, &u32));
    EXPECT_FALSE(hvSetR32(n, 1));
    EXPECT_FALSE(hvGetR32(n, &r32));
    EXPECT_FALSE(hvSetR64(n, 1));
    EXPECT_FALSE(hvGetR64(n, &r64));
    EXPECT_FALSE(hvSetTime(n, &t));
    EXPECT_FALSE(hvGetTime(n, &t));
    EXPECT_FALSE(hvSetString(n, "x"));
    EXPECT_FALSE(hvGetString(n, &s));
    EXPECT_FALSE(hvSetElementI32(n, 0, 1));
    EXPECT_FALSE(hvGetElementI32(n, 0, &i32));
    EXPECT_FALSE(hvSetElementU32(n, 0, 1));
    EXPECT_FALSE(hvGetElementU32(n, 0, &u32));
    EXPECT_FALSE(hvSetElementR32(n, 0, 1));
    EXPECT_FALSE(hvGetElementR32(n, 0, &r32));
    EXPECT_FALSE(hvSetElementR64(n, 0, 1));
    EXPECT_FALSE(hvGetElementR64(n, 0, &r64));
    EXPECT_FALSE(hvSetElementTime(n, 0, &t));
    EXPECT_FALSE(hvGetElementTime(n, 0, &t));
    EXPECT_FALSE(hvSetElementString(n, 0, "x"));
    EXPECT_FALSE(hvGetElementString(n, 0, &s));
    EXPECT_FALSE(hvGetElement(n, 0, &e));
    EXPECT_FALSE(hvSetType(n, HV_I32, 0));
    EXPECT_EQ(hvArrayDataI8(n), nullptr);
    EXPECT_EQ(hvArrayDataU8(n), nullptr);
    EXPECT_EQ(hvArrayDataI16(n), nullptr);
    EXPECT_EQ(hvArrayDataU16(n), nullptr);
    EXPECT_EQ(hvArrayDataI32(n), nullptr);
    EXPECT_EQ(hvArrayDataU32(n), nullptr);
    EXPECT_EQ(hvArrayDataR32(n), nullptr);
    EXPECT_EQ(hvArrayDataR64(n), nullptr);
    EXPECT_FALSE(hvIsList(n));
    EXPECT_EQ(hvGetCount(n), 0u);
    EXPECT_FALSE(hvSetTimestamp(n, 1.0));
    EXPECT_EQ(hvGetTimestamp(n), 0.0);
    EXPECT_FALSE(hvListAppend(n, n));
    EXPECT_EQ(hvListCount(n), 0u);
    EXPECT_EQ(hvListFirst(n, &pos), nullptr);
    EXPECT_EQ(hvListNext(n, &pos), nullptr);
    EXPECT_EQ(hvGetType(n), 0u);
    unsigned char buffer[64] = {};
    EXPECT_EQ(hvFlatten(n, buffer), 0u);
    EXPECT_FALSE(hvUnflatten(n, buffer, sizeof buffer));
    EXPECT_EQ(hvFlatSize(n), 0u);
    EXPECT_FALSE(hvSetQuality(n, 1));
    EXPECT_EQ(hvGetQuality(n), 0u);

    EXPECT_EQ(i8, 1);
    EXPECT_EQ(u8, 1);
    EXPECT_EQ(i16, 1);
    EXPECT_EQ(u16, 1);
    EXPECT_EQ(i32, 1);
    EXPECT_EQ(u32, 1u);
    EXPECT_EQ(r32, 1.0f);
    EXPECT_EQ(r64, 1.0);
    EXPECT_EQ(t.seconds, 1u);
    EXPECT_STREQ(s, "x");
    EXPECT_EQ(e, nullptr);
}

TEST_F(NullHandles, NullPointersOnALiveValueAreRefused) {
    Value v;
    hvSetI32(v, 3);
    EXPECT_FALSE(hvGetI8(v, nullptr));
    EXPECT_FALSE(hvGetU8(v, nullptr));
    EXPECT_FALSE(hvGetI16(v, nullptr));
    EXPECT_FALSE(hvGetU16(v, nullptr));
    EXPECT_FALSE(hvGetI32(v, nullptr));
    EXPECT_FALSE(hvGetU32(v, nullptr));
    EXPECT_FALSE(hvGetR32(v, nullptr));
    EXPECT_FALSE(hvGetR64(v, nullptr));
    EXPECT_FALSE(hvGetElementI32(v, 0, nullptr));
    EXPECT_FALSE(hvGetElementU32(v, 0, nullptr));
    EXPECT_FALSE(hvGetElementR32(v, 0, nullptr));
    EXPECT_FALSE(hvGetElementR64(v, 0, nullptr));
    EXPECT_FALSE(hvGetElement(v, 0, nullptr));
    EXPECT_FALSE(hvSetTime(v, nullptr));
    EXPECT_FALSE(hvSetElementTime(v, 0, nullptr));
    EXPECT_FALSE(hvSetElementString(v, 0, nullptr));
    EXPECT_FALSE(hvCopy(v, nullptr));
    EXPECT_EQ(hvFlatten(v, nullptr), 0u);
    EXPECT_FALSE(hvUnflatten(v, nullptr, 4));
    int32_t i = 0;
    ASSERT_TRUE(hvGetI32(v, &i));
    EXPECT_EQ(i, 3) << "nothing above changed the value";

    const hvTime t{1, 1};
    EXPECT_FALSE(hvGetTime(v, nullptr));
    hvSetTime(v, &t);
    EXPECT_FALSE(hvGetTime(v, nullptr));
    EXPECT_FALSE(hvGetElementTime(v, 0, nullptr));
    hvSetString(v, "s");
    EXPECT_FALSE(hvGetString(v, nullptr));
    EXPECT_FALSE(hvGetElementString(v, 0, nullptr));

    hvGetCurrentTime(nullptr);
    hvCalendar c{};
    hvTime out{};
    EXPECT_FALSE(hvTimeToCalendar(nullptr, &c));
    EXPECT_FALSE(hvTimeToCalendar(&t, nullptr));
    EXPECT_FALSE(hvCalendarToTime(nullptr, &out));
    const hvCalendar valid{2024, 1, 1, 0, 0, 0, 0};
    EXPECT_FALSE(hvCalendarToTime(&valid, nullptr));

    hvSetType(v, HV_LIST, 0);
    Value item;
    hvListAppend(v, item);
    EXPECT_NE(hvListFirst(v, nullptr), nullptr) << "the first item needs no position";
    EXPECT_EQ(hvListNext(v, nullptr), nullptr);
}

} // namespace
