// Lists, and the deep semantics of hvCopy and hvDuplicate.
#include "tests/hvcore/hv_test_support.h"

#include <vector>

namespace {

class Lists : public HvTest {};
class Copies : public HvTest {};

std::vector<int32_t> listNumbers(HVALUE list) {
    std::vector<int32_t> out;
    hvPosition pos = nullptr;
    for (HVALUE item = hvListFirst(list, &pos); item; item = hvListNext(list, &pos)) {
        int32_t i = -1;
        hvGetI32(item, &i);
        out.push_back(i);
    }
    return out;
}

TEST_F(Lists, EmptyListHasNoItems) {
    Value list;
    EXPECT_FALSE(hvIsList(list));
    ASSERT_TRUE(hvSetType(list, HV_LIST, 0));
    EXPECT_TRUE(hvIsList(list));
    EXPECT_EQ(hvListCount(list), 0u);
    EXPECT_EQ(hvGetCount(list), 0u);
    hvPosition pos = nullptr;
    EXPECT_EQ(hvListFirst(list, &pos), nullptr);
}

TEST_F(Lists, IterationVisitsItemsInAppendOrder) {
    Value list;
    hvSetType(list, HV_LIST, 0);
    Value item;
    for (int32_t i = 0; i < 5; ++i) {
        hvSetI32(item, i * 11);
        ASSERT_TRUE(hvListAppend(list, item));
    }
    EXPECT_EQ(hvListCount(list), 5u);
    EXPECT_EQ(hvGetCount(list), 5u);
    EXPECT_EQ(listNumbers(list), (std::vector<int32_t>{0, 11, 22, 33, 44}));

    hvPosition pos = nullptr;
    hvListFirst(list, &pos);
    for (int i = 0; i < 4; ++i) ASSERT_NE(hvListNext(list, &pos), nullptr);
    EXPECT_EQ(hvListNext(list, &pos), nullptr);
    EXPECT_EQ(hvListNext(list, &pos), nullptr) << "stays at the end";

    int32_t third = 0;
    ASSERT_TRUE(hvGetElementI32(list, 2, &third)) << "element i of a list is item i";
    EXPECT_EQ(third, 22);
}

TEST_F(Lists, AppendKeepsACopyOfTheItem) {
    Value list;
    hvSetType(list, HV_LIST, 0);
    {
        Value item;
        hvSetI32(item, 5);
        hvSetQuality(item, 3);
        hvSetTimestamp(item, 10.0);
        ASSERT_TRUE(hvListAppend(list, item));
        hvSetI32(item, 6);
        hvPosition pos = nullptr;
        HVALUE stored = hvListFirst(list, &pos);
        ASSERT_NE(stored, nullptr);
        EXPECT_NE(stored, item.get());
        EXPECT_EQ(hvGetQuality(stored), 3u);
        EXPECT_EQ(hvGetTimestamp(stored), 10.0);
    }
    EXPECT_EQ(listNumbers(list), (std::vector<int32_t>{5}));
}

TEST_F(Lists, ItemsAreLiveThroughHvGetElement) {
    Value list;
    hvSetType(list, HV_LIST, 0);
    Value item;
    hvListAppend(list, item);
    HVALUE e = nullptr;
    ASSERT_TRUE(hvGetElement(list, 0, &e));
    hvSetI32(e, 8);
    hvRelease(e);
    EXPECT_EQ(listNumbers(list), (std::vector<int32_t>{8}));
    ASSERT_TRUE(hvSetElementI32(list, 0, 9));
    EXPECT_EQ(listNumbers(list), (std::vector<int32_t>{9}));
    EXPECT_FALSE(hvSetElementI32(list, 1, 9));
}

TEST_F(Lists, AppendOnlyToLists) {
    Value item;
    Value target;
    EXPECT_FALSE(hvListAppend(target, item)) << "null";
    hvSetI32(target, 1);
    EXPECT_FALSE(hvListAppend(target, item));
    hvSetType(target, HV_ARRAY | HV_LIST, 1);
    EXPECT_FALSE(hvListAppend(target, item));
    EXPECT_EQ(hvGetCount(target), 1u);
    hvSetType(target, HV_LIST, 0);
    EXPECT_FALSE(hvListAppend(target, nullptr));
    EXPECT_EQ(hvListCount(target), 0u);
}

TEST_F(Lists, AppendingAListToItselfAddsASnapshot) {
    Value list;
    hvSetType(list, HV_LIST, 0);
    Value item;
    hvSetI32(item, 1);
    hvListAppend(list, item);
    ASSERT_TRUE(hvListAppend(list, list));
    ASSERT_EQ(hvListCount(list), 2u);
    hvPosition pos = nullptr;
    hvListFirst(list, &pos);
    HVALUE inner = hvListNext(list, &pos);
    ASSERT_TRUE(hvIsList(inner));
    EXPECT_EQ(listNumbers(inner), (std::vector<int32_t>{1}));
}

TEST_F(Lists, CountStopsAtTheLimit) {
    Value list;
    hvSetType(list, HV_LIST, 0);
    Value item;
    for (unsigned i = 0; i < HV_MAX_COUNT; ++i) ASSERT_TRUE(hvListAppend(list, item));
    EXPECT_FALSE(hvListAppend(list, item));
    EXPECT_EQ(hvListCount(list), unsigned(HV_MAX_COUNT));
}

TEST_F(Copies, DuplicateIsDeep) {
    Value source;
    buildEverything(source);
    Value copy(hvDuplicate(source));
    ASSERT_NE(copy.get(), nullptr);
    EXPECT_EQ(difference(source, copy), "");

    // Change something three levels down in the copy: the 0x8A array's
    // first element.
    const std::vector<unsigned char> before = flatten(source);
    HVALUE array = nullptr, element = nullptr;
    ASSERT_TRUE(hvGetElement(copy, 13 + HV_HVAL, &array));
    ASSERT_EQ(hvGetType(array), HV_ARRAY | HV_HVAL);
    ASSERT_TRUE(hvGetElement(array, 0, &element));
    hvSetString(element, "changed in the copy");
    hvRelease(element);
    hvRelease(array);
    EXPECT_NE(difference(source, copy), "");
    EXPECT_EQ(flatten(source), before);
}

TEST_F(Copies, CopyReplacesTypeDataQualityAndTimestamp) {
    Value source, target;
    hvSetType(source, HV_ARRAY | HV_STR, 2);
    hvSetElementString(source, 1, "b");
    hvSetQuality(source, 1);
    hvSetTimestamp(source, 2.0);
    hvSetType(target, HV_LIST, 0);
    hvListAppend(target, source);
    ASSERT_TRUE(hvCopy(target, source));
    EXPECT_EQ(difference(source, target), "");
    hvSetElementString(target, 1, "changed");
    const char *s = nullptr;
    hvGetElementString(source, 1, &s);
    EXPECT_STREQ(s, "b");
}

TEST_F(Copies, SelfCopyKeepsTheValue) {
    Value v;
    buildEverything(v);
    const std::vector<unsigned char> before = flatten(v);
    ASSERT_TRUE(hvCopy(v, v));
    EXPECT_EQ(flatten(v), before);
}

TEST_F(Copies, ParentCanBeCopiedIntoItsOwnElement) {
    Value parent;
    hvSetType(parent, HV_ARRAY | HV_HVAL, 2);
    hvSetElementString(parent, 1, "second");
    HVALUE e = nullptr;
    ASSERT_TRUE(hvGetElement(parent, 0, &e));
    Value first(e);
    ASSERT_TRUE(hvCopy(first, parent));
    // first now holds the parent as it was: [null, "second"].
    EXPECT_EQ(hvGetType(first), HV_ARRAY | HV_HVAL);
    const char *s = nullptr;
    ASSERT_TRUE(hvGetElementString(first, 1, &s));
    EXPECT_STREQ(s, "second");
    HVALUE inner = nullptr;
    ASSERT_TRUE(hvGetElement(first, 0, &inner));
    EXPECT_EQ(hvGetType(inner), unsigned(HV_NULL));
    hvRelease(inner);
    ASSERT_TRUE(hvGetElement(parent, 0, &inner));
    EXPECT_EQ(inner, first.get());
    hvRelease(inner);
}

TEST_F(Copies, ElementCanBeCopiedOverItsParent) {
    Value parent;
    hvSetType(parent, HV_LIST, 0);
    Value item;
    hvSetString(item, "only item");
    hvListAppend(parent, item);
    HVALUE e = nullptr;
    ASSERT_TRUE(hvGetElement(parent, 0, &e));
    Value element(e);
    ASSERT_TRUE(hvCopy(parent, element));
    const char *s = nullptr;
    ASSERT_TRUE(hvGetString(parent, &s));
    EXPECT_STREQ(s, "only item");
}

} // namespace
