#include "log/ValueText.h"
#include "tests/log/ValueFixtures.h"

#include <gtest/gtest.h>

#include <string>

using namespace quillon;
using namespace quillon::test;

namespace {

std::string Full(HVALUE h) {
    ValueTextBuffer text;
    return ValueText(h, TEXT_FULL, text);
}

std::string Request(const DriverRequest &r, HVALUE value = nullptr) {
    RequestTextBuffer text;
    return RequestText(r, value, text);
}

DriverRequest Record(uint16_t operation, int16_t n1 = 0, uint16_t n2 = 0, uint16_t n3 = 0, uint16_t n4 = 0) {
    DriverRequest r{};
    r.version = REQUEST_VERSION_CURRENT;
    r.operation = operation;
    r.blockSize = 1;
    r.n1 = n1;
    r.n2 = n2;
    r.n3 = n3;
    r.n4 = n4;
    return r;
}

TEST(TextBuilder, CopiesWhatFitsAndMarksTheCut) {
    char text[6];
    TextBuilder b(text, 5, TEXT_PLAIN);
    EXPECT_TRUE(b.Append("ab"));
    EXPECT_EQ(b.Room(), 3u);
    EXPECT_FALSE(b.Append("cdef"));
    EXPECT_EQ(std::string(text), "abcde");
    EXPECT_FALSE(b.Append("x"));
    EXPECT_FALSE(b.Format("%d", 1));
    EXPECT_EQ(std::string(b.Finish()), "ab...");
}

TEST(TextBuilder, ExactFillCountsAsCut) {
    char text[4];
    TextBuilder b(text, 3, TEXT_FULL);
    EXPECT_FALSE(b.Append("abc"));
    EXPECT_EQ(std::string(b.Finish()), "...");
}

TEST(TextBuilder, FormatTruncatesToTheRoom) {
    char text[8];
    TextBuilder b(text, 7, TEXT_FULL);
    EXPECT_TRUE(b.Format("%u", 12u));
    EXPECT_FALSE(b.Format("%u", 3456789u));
    EXPECT_EQ(std::string(b.Finish()), "1234...");
}

TEST(TextBuilder, TextWithRoomLeftIsUnchanged) {
    char text[16];
    TextBuilder b(text, 15, TEXT_FULL);
    EXPECT_TRUE(b.Append("abc"));
    EXPECT_EQ(std::string(b.Finish()), "abc");
}

TEST(TypeNames, CoverEveryCode) {
    const char *expected[] = {"null", "I8", "U8", "I16", "U16", "I32", "U32",
                              "R32", "R64", "STR", "HVAL", "TIME", "LIST"};
    for (unsigned t = 0; t < 13; ++t) EXPECT_STREQ(TypeName(t), expected[t]) << t;
    EXPECT_STREQ(TypeName(13), "?TYPE?");
    EXPECT_STREQ(TypeName(0x7F), "?TYPE?");
}

TEST(ValueText, GoodQualityTodayShowsTimeOnly) {
    HValue h = R64(3.5, TodayAt(10, 15, 20, 0));
    EXPECT_EQ(Full(h.get()), "(10:15:20) 3.5");
    EXPECT_EQ(ValueToText(h.get()), "3.5");
}

TEST(ValueText, OtherQualityAndDayShowBoth) {
    HValue h = R64(3.5, Date(2025, 3, 1, 8, 0, 0, 250), 0);
    EXPECT_EQ(Full(h.get()), "(0; 2025.03.01 08:00:00.250) 3.5");
    EXPECT_EQ(ValueToText(h.get()), "3.5");
}

TEST(ValueText, MillisecondsShownWhenNotZero) {
    HValue today = R64(1, TodayAt(0, 0, 1, 5));
    EXPECT_EQ(Full(today.get()), "(00:00:01.005) 1");
    HValue other = R64(1, Date(2024, 12, 31, 23, 59, 58, 0), 64);
    EXPECT_EQ(Full(other.get()), "(64; 2024.12.31 23:59:58) 1");
}

TEST(ValueText, NullHandleAndNullValue) {
    EXPECT_EQ(Full(nullptr), "<null>");
    EXPECT_EQ(ValueToText(nullptr), "<null>");
    HValue h = HValue::Create();
    EXPECT_EQ(ValueToText(h.get()), "null");
}

TEST(ValueText, Scalars) {
    HValue h = HValue::Create();
    hvSetI8(h.get(), -5);
    EXPECT_EQ(ValueToText(h.get()), "-5");
    hvSetU32(h.get(), 4000000000u);
    EXPECT_EQ(ValueToText(h.get()), "4000000000");
    hvSetR32(h.get(), 1.25f);
    EXPECT_EQ(ValueToText(h.get()), "1.25");
    hvSetR32(h.get(), 1.0f / 3.0f);
    EXPECT_EQ(ValueToText(h.get()), "0.3333333");
    hvSetR64(h.get(), 0.1);
    EXPECT_EQ(ValueToText(h.get()), "0.1");
    hvSetR64(h.get(), 1.0 / 3.0);
    EXPECT_EQ(ValueToText(h.get()), "0.333333333333333");
    hvSetString(h.get(), "abc");
    EXPECT_EQ(ValueToText(h.get()), "'abc'");
    const hvTime t = TimeOf(Date(2020, 2, 29, 12, 30, 45, 7));
    hvSetTime(h.get(), &t);
    EXPECT_EQ(ValueToText(h.get()), "2020.02.29 12:30:45.007");
}

TEST(ValueText, TypedArray) {
    HValue h = HValue::Create();
    ASSERT_TRUE(hvSetType(h.get(), HV_ARRAY | HV_I16, 3));
    hvSetElementI32(h.get(), 0, 1);
    hvSetElementI32(h.get(), 1, -2);
    hvSetElementI32(h.get(), 2, 3);
    EXPECT_EQ(ValueToText(h.get()), "array(3;I16) {1,-2,3}");
    Stamp(h.get(), TodayAt(1, 2, 3, 0));
    EXPECT_EQ(Full(h.get()), "(01:02:03) array(3;I16) {1,-2,3}");
}

TEST(ValueText, StringAndEmptyArrays) {
    HValue h = HValue::Create();
    ASSERT_TRUE(hvSetType(h.get(), HV_ARRAY | HV_STR, 2));
    hvSetElementString(h.get(), 0, "a");
    EXPECT_EQ(ValueToText(h.get()), "array(2;STR) {'a',''}");
    ASSERT_TRUE(hvSetType(h.get(), HV_ARRAY | HV_U8, 0));
    EXPECT_EQ(ValueToText(h.get()), "array(0;U8) {}");
}

TEST(ValueText, ArrayOfValuesShowsBodiesWithoutPrefixes) {
    HValue h = HValue::Create();
    ASSERT_TRUE(hvSetType(h.get(), HV_ARRAY | HV_HVAL, 2));
    hvSetElementR64(h.get(), 0, 2.5);
    hvSetElementString(h.get(), 1, "z");
    Stamp(h.get(), TodayAt(9, 0, 0, 0));
    EXPECT_EQ(Full(h.get()), "(09:00:00) array(2;HVAL) {2.5,'z'}");
}

TEST(ValueText, EmptyList) {
    HValue h = HValue::Create();
    ASSERT_TRUE(hvSetType(h.get(), HV_LIST, 0));
    EXPECT_EQ(ValueToText(h.get()), "list(0) { }");
}

TEST(ValueText, ListItemsCarryTheirOwnPrefixInFullForm) {
    HValue list = HValue::Create();
    ASSERT_TRUE(hvSetType(list.get(), HV_LIST, 0));
    Stamp(list.get(), TodayAt(12, 0, 0, 0));
    HValue first = R64(1, TodayAt(12, 0, 1, 0));
    HValue second = Str("x", Date(2025, 3, 1, 8, 0, 0, 250));
    hvSetQuality(second.get(), 24);
    ASSERT_TRUE(hvListAppend(list.get(), first.get()));
    ASSERT_TRUE(hvListAppend(list.get(), second.get()));
    EXPECT_EQ(ValueToText(list.get()), "list(2) { 1, 'x' }");
    EXPECT_EQ(Full(list.get()), "(12:00:00) list(2) { (12:00:01) 1, (24; 2025.03.01 08:00:00.250) 'x' }");
}

TEST(ValueText, ArrayOfLists) {
    HValue h = HValue::Create();
    ASSERT_TRUE(hvSetType(h.get(), HV_ARRAY | HV_LIST, 2));
    EXPECT_EQ(ValueToText(h.get()), "array(2;LIST) {list(0) { },list(0) { }}");
}

TEST(ValueText, LongTextEndsInDots) {
    HValue h = HValue::Create();
    hvSetString(h.get(), std::string(3000, 'a').c_str());
    const std::string text = ValueToText(h.get());
    EXPECT_EQ(text.size(), kValueTextCapacity);
    EXPECT_EQ(text, "'" + std::string(kValueTextCapacity - 4, 'a') + "...");
}

TEST(ValueText, LongArrayStopsAtTheRoom) {
    HValue h = HValue::Create();
    ASSERT_TRUE(hvSetType(h.get(), HV_ARRAY | HV_U8, 2000));
    const std::string text = ValueToText(h.get());
    std::string expected = "array(2000;U8) {";
    while (expected.size() < kValueTextCapacity) expected += "0,";
    expected.resize(kValueTextCapacity - 3);
    EXPECT_EQ(text, expected + "...");
}

TEST(RequestText, NumbersOnly) {
    EXPECT_EQ(Request(Record(OP_READ_VALUE, 1, 2, 3, 4)), "Tag(1.2.3.4).ReadValue");
}

TEST(RequestText, ControlTagNumberIsUnsigned) {
    EXPECT_EQ(Request(Record(OP_READ_VALUE, -1)), "Tag(65535.0.0.0).ReadValue");
}

TEST(RequestText, NamedBlockWriteWithValue) {
    DriverRequest r = Record(OP_WRITE_BLOCK);
    r.blockSize = 10;
    r.paramDevice = L"D";
    r.paramItem = L"";
    HValue v = R64(3.5, TodayAt(10, 15, 20, 0));
    EXPECT_EQ(Request(r, v.get()), "Tag({D}''[10]).WriteBlock (10:15:20) 3.5");
    r.paramItem = nullptr;
    EXPECT_EQ(Request(r, v.get()), "Tag({D}''[10]).WriteBlock (10:15:20) 3.5");
}

TEST(RequestText, NamedTagsShowNumbersWhenAnyIsSet) {
    DriverRequest r = Record(OP_READ_VALUE, 0, 0, 0, 9);
    r.paramDevice = L"Dev";
    r.paramItem = L"It";
    EXPECT_EQ(Request(r), "Tag({Dev}'It'0.0.0.9).ReadValue");
    r = Record(OP_READ_VALUE);
    r.paramItem = L"It";
    EXPECT_EQ(Request(r), "Tag('It').ReadValue");
    r.paramDevice = L"";
    EXPECT_EQ(Request(r), "Tag('It').ReadValue");
    r = Record(OP_READ_VALUE);
    EXPECT_EQ(Request(r), "Tag(0.0.0.0).ReadValue");
}

TEST(RequestText, ElementAndMaskOperations) {
    DriverRequest r = Record(OP_READ_BLOCK_ELEMENT, 1);
    r.blockSize = 8;
    r.firstElement = 2;
    EXPECT_EQ(Request(r), "Tag(1.0.0.0[8].2).ReadBlockElement");
    r.operation = OP_READ_BLOCK;
    EXPECT_EQ(Request(r), "Tag(1.0.0.0[8]).ReadBlock");

    HValue v = HValue::Create();
    hvSetU16(v.get(), 5);
    Stamp(v.get(), TodayAt(7, 0, 0, 0));
    r.operation = OP_MASK_WRITE_BLOCK_ELEMENT;
    r.mask1 = 0xFF;
    r.mask2 = 0xF00;
    EXPECT_EQ(Request(r, v.get()), "Tag(1.0.0.0[8].2;and=00FF;or=0F00).MaskWriteBlockElement (07:00:00) 5");
    r.operation = OP_MASK_WRITE_VALUE;
    EXPECT_EQ(Request(r, v.get()), "Tag(1.0.0.0;and=00FF;or=0F00).MaskWriteValue (07:00:00) 5");
    r.operation = OP_WRITE_BLOCK_ELEMENT;
    EXPECT_EQ(Request(r, v.get()), "Tag(1.0.0.0[8].2).WriteBlockElement (07:00:00) 5");
    r.operation = OP_WRITE_VALUE;
    EXPECT_EQ(Request(r, nullptr), "Tag(1.0.0.0).WriteValue <null>");
}

TEST(RequestText, UnknownOperation) {
    HValue v = R64(3.5, TodayAt(10, 15, 20, 0));
    DriverRequest r = Record(7, 1, 2, 3, 4);
    EXPECT_EQ(Request(r, v.get()), "Tag(1.2.3.4).<unknown driver service(7,0007)> (10:15:20) 3.5");
    r.operation = 0x41;
    EXPECT_EQ(Request(r, v.get()), "Tag(1.2.3.4).<unknown driver service(65,0041)>");
}

TEST(RequestText, TagObjectAddress) {
    DriverRequest r = Record(OP_READ_VALUE, 1, 2, 3, 4);
    r.tagObject = reinterpret_cast<IUnknown *>(static_cast<uintptr_t>(0x00ABC120));
    EXPECT_EQ(Request(r), "Tag(1.2.3.4.Blob:00ABC120).ReadValue");
}

TEST(RequestText, LongNamesEndInDots) {
    const std::wstring device(2000, L'd');
    DriverRequest r = Record(OP_READ_VALUE);
    r.paramDevice = device.c_str();
    const std::string text = Request(r);
    EXPECT_EQ(text, "Tag({" + std::string(kRequestTextCapacity - 8, 'd') + "...");
}

TEST(TagInfoText, BlockSizeShownFromTwo) {
    TagInfo info{};
    info.n1 = 1;
    info.n2 = 2;
    info.blockSize = 1;
    TagInfoTextBuffer text;
    EXPECT_STREQ(TagInfoText(info, nullptr, nullptr, text), "1.2.0.0");
    info.blockSize = 2;
    EXPECT_STREQ(TagInfoText(info, nullptr, nullptr, text), "1.2.0.0[2]");
    info.n1 = 0;
    info.n2 = 0;
    info.blockSize = 0;
    EXPECT_STREQ(TagInfoText(info, L"D", L"I", text), "{D}'I'");
}

} // namespace
