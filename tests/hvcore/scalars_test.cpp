// Scalar setters and getters, and the conversions the getters make.
#include "tests/hvcore/hv_test_support.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

class Scalars : public HvTest {};

TEST_F(Scalars, NewValueIsNullGoodAndStampedNow) {
    hvTime now{};
    hvGetCurrentTime(&now);
    Value v;
    EXPECT_EQ(hvGetType(v), unsigned(HV_NULL));
    EXPECT_EQ(hvGetQuality(v), 192u);
    EXPECT_EQ(hvGetCount(v), 0u);
    EXPECT_NEAR(hvGetTimestamp(v), now.seconds + now.milliseconds / 1000.0, 5.0);
}

TEST_F(Scalars, EachSetterStoresItsTypeAndValue) {
    Value v;
    int8_t i8 = 0;
    ASSERT_TRUE(hvSetI8(v, -128));
    EXPECT_EQ(hvGetType(v), unsigned(HV_I8));
    ASSERT_TRUE(hvGetI8(v, &i8));
    EXPECT_EQ(i8, -128);

    uint8_t u8 = 0;
    ASSERT_TRUE(hvSetU8(v, 255));
    EXPECT_EQ(hvGetType(v), unsigned(HV_U8));
    ASSERT_TRUE(hvGetU8(v, &u8));
    EXPECT_EQ(u8, 255);

    int16_t i16 = 0;
    ASSERT_TRUE(hvSetI16(v, -32768));
    EXPECT_EQ(hvGetType(v), unsigned(HV_I16));
    ASSERT_TRUE(hvGetI16(v, &i16));
    EXPECT_EQ(i16, -32768);

    uint16_t u16 = 0;
    ASSERT_TRUE(hvSetU16(v, 65535));
    EXPECT_EQ(hvGetType(v), unsigned(HV_U16));
    ASSERT_TRUE(hvGetU16(v, &u16));
    EXPECT_EQ(u16, 65535);

    int32_t i32 = 0;
    ASSERT_TRUE(hvSetI32(v, std::numeric_limits<int32_t>::min()));
    EXPECT_EQ(hvGetType(v), unsigned(HV_I32));
    ASSERT_TRUE(hvGetI32(v, &i32));
    EXPECT_EQ(i32, std::numeric_limits<int32_t>::min());

    uint32_t u32 = 0;
    ASSERT_TRUE(hvSetU32(v, 4294967295u));
    EXPECT_EQ(hvGetType(v), unsigned(HV_U32));
    ASSERT_TRUE(hvGetU32(v, &u32));
    EXPECT_EQ(u32, 4294967295u);

    float r32 = 0;
    ASSERT_TRUE(hvSetR32(v, 0.1f));
    EXPECT_EQ(hvGetType(v), unsigned(HV_R32));
    ASSERT_TRUE(hvGetR32(v, &r32));
    EXPECT_EQ(r32, 0.1f);

    double r64 = 0;
    ASSERT_TRUE(hvSetR64(v, 0.1));
    EXPECT_EQ(hvGetType(v), unsigned(HV_R64));
    ASSERT_TRUE(hvGetR64(v, &r64));
    EXPECT_EQ(r64, 0.1);

    hvTime t{};
    const hvTime in{1700000000u, 999};
    ASSERT_TRUE(hvSetTime(v, &in));
    EXPECT_EQ(hvGetType(v), unsigned(HV_TIME));
    ASSERT_TRUE(hvGetTime(v, &t));
    EXPECT_EQ(t.seconds, in.seconds);
    EXPECT_EQ(t.milliseconds, in.milliseconds);

    const char *s = nullptr;
    ASSERT_TRUE(hvSetString(v, "hello"));
    EXPECT_EQ(hvGetType(v), unsigned(HV_STR));
    ASSERT_TRUE(hvGetString(v, &s));
    EXPECT_STREQ(s, "hello");
    EXPECT_EQ(hvGetCount(v), 1u);
}

TEST_F(Scalars, IntegerGettersCheckTheTargetRange) {
    Value v;
    int8_t i8 = 11;
    hvSetI32(v, 127);
    EXPECT_TRUE(hvGetI8(v, &i8));
    EXPECT_EQ(i8, 127);
    hvSetI32(v, 128);
    EXPECT_FALSE(hvGetI8(v, &i8));
    EXPECT_EQ(i8, 127) << "a failed get must leave the output alone";
    hvSetI32(v, -128);
    EXPECT_TRUE(hvGetI8(v, &i8));
    hvSetI32(v, -129);
    EXPECT_FALSE(hvGetI8(v, &i8));

    uint8_t u8 = 7;
    hvSetI8(v, -1);
    EXPECT_FALSE(hvGetU8(v, &u8));
    EXPECT_EQ(u8, 7);
    hvSetU16(v, 256);
    EXPECT_FALSE(hvGetU8(v, &u8));
    hvSetU16(v, 255);
    EXPECT_TRUE(hvGetU8(v, &u8));
    EXPECT_EQ(u8, 255);

    int16_t i16 = 0;
    hvSetU16(v, 32768);
    EXPECT_FALSE(hvGetI16(v, &i16));
    hvSetU16(v, 32767);
    EXPECT_TRUE(hvGetI16(v, &i16));
    hvSetI32(v, -32769);
    EXPECT_FALSE(hvGetI16(v, &i16));

    uint16_t u16 = 0;
    hvSetI32(v, 65536);
    EXPECT_FALSE(hvGetU16(v, &u16));
    hvSetI16(v, -1);
    EXPECT_FALSE(hvGetU16(v, &u16));

    int32_t i32 = 5;
    hvSetU32(v, 0x80000000u);
    EXPECT_FALSE(hvGetI32(v, &i32));
    EXPECT_EQ(i32, 5);
    hvSetU32(v, 0x7FFFFFFFu);
    EXPECT_TRUE(hvGetI32(v, &i32));
    EXPECT_EQ(i32, 0x7FFFFFFF);

    uint32_t u32 = 5;
    hvSetI32(v, -1);
    EXPECT_FALSE(hvGetU32(v, &u32));
    EXPECT_EQ(u32, 5u);
    hvSetI8(v, 100);
    EXPECT_TRUE(hvGetU32(v, &u32));
    EXPECT_EQ(u32, 100u);
}

TEST_F(Scalars, RealsTruncateTowardZeroAndMustBeFiniteAndInRange) {
    Value v;
    int32_t i32 = 0;
    hvSetR64(v, 2.9);
    ASSERT_TRUE(hvGetI32(v, &i32));
    EXPECT_EQ(i32, 2);
    hvSetR64(v, -1.9);
    ASSERT_TRUE(hvGetI32(v, &i32));
    EXPECT_EQ(i32, -1);

    int8_t i8 = 0;
    hvSetR32(v, 127.9f);
    EXPECT_TRUE(hvGetI8(v, &i8));
    EXPECT_EQ(i8, 127);
    hvSetR64(v, -128.9);
    EXPECT_TRUE(hvGetI8(v, &i8));
    EXPECT_EQ(i8, -128);
    hvSetR64(v, 128.0);
    EXPECT_FALSE(hvGetI8(v, &i8));

    uint32_t u32 = 1;
    hvSetR64(v, 4294967295.5);
    EXPECT_TRUE(hvGetU32(v, &u32));
    EXPECT_EQ(u32, 4294967295u);
    hvSetR64(v, 4294967296.0);
    EXPECT_FALSE(hvGetU32(v, &u32));
    hvSetR64(v, -0.5);
    EXPECT_TRUE(hvGetU32(v, &u32)) << "-0.5 truncates to 0";
    EXPECT_EQ(u32, 0u);

    i32 = 77;
    hvSetR64(v, std::numeric_limits<double>::quiet_NaN());
    EXPECT_FALSE(hvGetI32(v, &i32));
    hvSetR64(v, std::numeric_limits<double>::infinity());
    EXPECT_FALSE(hvGetI32(v, &i32));
    EXPECT_EQ(i32, 77);
}

TEST_F(Scalars, RealGettersWidenIntegersAndRangeCheckFloats) {
    Value v;
    double r64 = 0;
    hvSetU32(v, 4294967295u);
    ASSERT_TRUE(hvGetR64(v, &r64));
    EXPECT_EQ(r64, 4294967295.0);
    hvSetI32(v, -2147483647 - 1);
    ASSERT_TRUE(hvGetR64(v, &r64));
    EXPECT_EQ(r64, -2147483648.0);
    hvSetR32(v, 0.1f);
    ASSERT_TRUE(hvGetR64(v, &r64));
    EXPECT_EQ(r64, double(0.1f));

    float r32 = 3;
    hvSetR64(v, 1e39);
    EXPECT_FALSE(hvGetR32(v, &r32));
    hvSetR64(v, -1e39);
    EXPECT_FALSE(hvGetR32(v, &r32));
    EXPECT_EQ(r32, 3.0f);
    hvSetR64(v, 3.0e38);
    EXPECT_TRUE(hvGetR32(v, &r32));
    EXPECT_EQ(r32, 3.0e38f);
    hvSetR64(v, std::numeric_limits<double>::infinity());
    EXPECT_TRUE(hvGetR32(v, &r32)) << "infinity is carried over";
    EXPECT_TRUE(std::isinf(r32));
    hvSetI16(v, -300);
    EXPECT_TRUE(hvGetR32(v, &r32));
    EXPECT_EQ(r32, -300.0f);
}

TEST_F(Scalars, IntegerGettersParseCompleteDecimalOrHexStrings) {
    Value v;
    int32_t i32 = 0;
    struct Case {
        const char *text;
        bool ok;
        int32_t value;
    };
    const Case cases[] = {
        {"123", true, 123},         {"-45", true, -45},       {"+7", true, 7},
        {"0x1F", true, 31},         {"0Xff", true, 255},      {"-0x10", true, -16},
        {"2147483647", true, 2147483647}, {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},   {"", false, 0},           {"-", false, 0},
        {"0x", false, 0},           {" 12", false, 0},        {"12 ", false, 0},
        {"12abc", false, 0},        {"1.5", false, 0},        {"1e3", false, 0},
        {"0x1G", false, 0},         {"99999999999999999999", false, 0},
        {"18446744073709551621", false, 0}, // 2^64 + 5 must not wrap around to 5
    };
    for (const Case &c : cases) {
        hvSetString(v, c.text);
        i32 = 4242;
        EXPECT_EQ(hvGetI32(v, &i32), c.ok ? 1 : 0) << '"' << c.text << '"';
        EXPECT_EQ(i32, c.ok ? c.value : 4242) << '"' << c.text << '"';
    }
    uint8_t u8 = 0;
    hvSetString(v, "0xFF");
    EXPECT_TRUE(hvGetU8(v, &u8));
    EXPECT_EQ(u8, 255);
    hvSetString(v, "0x100");
    EXPECT_FALSE(hvGetU8(v, &u8));
    hvSetString(v, "-1");
    EXPECT_FALSE(hvGetU8(v, &u8));
    uint32_t u32 = 0;
    hvSetString(v, "4294967295");
    EXPECT_TRUE(hvGetU32(v, &u32));
    EXPECT_EQ(u32, 4294967295u);
}

TEST_F(Scalars, RealGettersParseCompleteDecimalNumbers) {
    Value v;
    double r64 = 0;
    const char *good[] = {"1.5", "-2.5e3", "+.5", "7", "1E-2"};
    const double goodValues[] = {1.5, -2500.0, 0.5, 7.0, 0.01};
    for (size_t i = 0; i < sizeof good / sizeof *good; ++i) {
        hvSetString(v, good[i]);
        ASSERT_TRUE(hvGetR64(v, &r64)) << good[i];
        EXPECT_DOUBLE_EQ(r64, goodValues[i]);
    }
    const char *bad[] = {"", ".", "inf", "nan", "0x10", "1e400", "1.5x", " 1", "1 ", "1e"};
    for (const char *text : bad) {
        hvSetString(v, text);
        r64 = 99.0;
        EXPECT_FALSE(hvGetR64(v, &r64)) << '"' << text << '"';
        EXPECT_EQ(r64, 99.0);
    }
    float r32 = 0;
    hvSetString(v, "0.25");
    EXPECT_TRUE(hvGetR32(v, &r32));
    EXPECT_EQ(r32, 0.25f);
}

TEST_F(Scalars, WrongTypesFailAndLeaveTheOutputAlone) {
    Value v;
    int32_t i32 = 31;
    double r64 = 31;
    hvTime t{31, 31};
    const char *s = "untouched";

    EXPECT_FALSE(hvGetI32(v, &i32)) << "null";
    EXPECT_FALSE(hvGetString(v, &s));

    hvSetI32(v, 5);
    EXPECT_FALSE(hvGetTime(v, &t));
    EXPECT_FALSE(hvGetString(v, &s));

    const hvTime when{1000, 1};
    hvSetTime(v, &when);
    EXPECT_FALSE(hvGetI32(v, &i32));
    EXPECT_FALSE(hvGetR64(v, &r64));
    EXPECT_FALSE(hvGetString(v, &s));

    hvSetString(v, "12");
    EXPECT_FALSE(hvGetTime(v, &t));

    hvSetType(v, HV_ARRAY | HV_I32, 1);
    EXPECT_FALSE(hvGetI32(v, &i32)) << "arrays are not scalars";
    hvSetType(v, HV_LIST, 0);
    EXPECT_FALSE(hvGetI32(v, &i32));
    hvSetType(v, HV_HVAL, 0);
    hvSetElementI32(v, 0, 8);
    EXPECT_FALSE(hvGetI32(v, &i32)) << "a held value is not unwrapped by scalar getters";

    EXPECT_EQ(i32, 31);
    EXPECT_EQ(r64, 31);
    EXPECT_EQ(t.seconds, 31u);
    EXPECT_EQ(t.milliseconds, 31);
    EXPECT_STREQ(s, "untouched");
}

TEST_F(Scalars, TimeMillisecondsAboveLimitAreRefused) {
    Value v;
    hvSetI32(v, 3);
    const hvTime bad{10, 1000};
    EXPECT_FALSE(hvSetTime(v, &bad));
    EXPECT_EQ(hvGetType(v), unsigned(HV_I32));
}

TEST_F(Scalars, StringsAreCopiedIn) {
    Value v;
    char text[] = "original";
    ASSERT_TRUE(hvSetString(v, text));
    std::strcpy(text, "changed!");
    const char *s = nullptr;
    ASSERT_TRUE(hvGetString(v, &s));
    EXPECT_STREQ(s, "original");
    EXPECT_FALSE(hvSetString(v, nullptr));
    EXPECT_EQ(hvGetType(v), unsigned(HV_STR));
}

TEST_F(Scalars, QualityAndTimestampAreKeptByDataChangesAndRangeChecked) {
    Value v;
    ASSERT_TRUE(hvSetQuality(v, 0));
    ASSERT_TRUE(hvSetTimestamp(v, 1.5e9));
    hvSetString(v, "x");
    hvSetType(v, HV_ARRAY | HV_R64, 4);
    hvSetNull(v);
    EXPECT_EQ(hvGetQuality(v), 0u);
    EXPECT_EQ(hvGetTimestamp(v), 1.5e9);

    EXPECT_TRUE(hvSetQuality(v, 255));
    EXPECT_EQ(hvGetQuality(v), 255u);
    EXPECT_FALSE(hvSetQuality(v, 256));
    EXPECT_EQ(hvGetQuality(v), 255u);

    EXPECT_TRUE(hvSetTimestamp(v, -12.25));
    EXPECT_EQ(hvGetTimestamp(v), -12.25);
    EXPECT_FALSE(hvSetTimestamp(v, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(hvSetTimestamp(v, std::numeric_limits<double>::infinity()));
    EXPECT_EQ(hvGetTimestamp(v), -12.25);
}

} // namespace
