#include "component/unknown_base.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "component/string_setter.h"

namespace asynframe {
namespace {

TEST(StringArrayEx, OwnedCopiesAreZeroTerminated) {
    const std::vector<std::string> source = {"first", "", "third"};
    STRING_ARRAY_EX array(source, true);
    ASSERT_EQ(array.count, 3u);
    ASSERT_NE(array.items, nullptr);
    EXPECT_EQ(array.items[0].length, 5u);
    EXPECT_STREQ(array.items[0].text, "first");
    EXPECT_NE(array.items[0].text, source[0].data());
    EXPECT_EQ(array.items[1].length, 0u);
    EXPECT_EQ(array.items[1].text, nullptr);
    EXPECT_EQ(array.items[2].length, 5u);
    EXPECT_STREQ(array.items[2].text, "third");
}

TEST(StringArrayEx, BorrowedItemsPointIntoTheSource) {
    const std::vector<std::string> source = {"abc", "", "de"};
    {
        STRING_ARRAY_EX array(source, false);
        ASSERT_EQ(array.count, 3u);
        EXPECT_EQ(array.items[0].text, source[0].data());
        EXPECT_EQ(array.items[0].length, 3u);
        EXPECT_EQ(array.items[1].text, nullptr);
        EXPECT_EQ(array.items[2].text, source[2].data());
    }
    EXPECT_EQ(source[0], "abc");  // the record's end left the source alone

    STRING_ARRAY_EX empty({}, true);
    EXPECT_EQ(empty.count, 0u);
    EXPECT_EQ(empty.items, nullptr);
}

TEST(StringSetter, SetsEmptiesAndAnswersItsInterfaces) {
    std::string text = "old";
    auto* setter = new CStringSetter(text);
    IStringSetter* face = setter;
    EXPECT_EQ(face->SetString(5, "hello world"), S_OK);
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(face->SetString(3, std::string("a\0b", 3).c_str()), S_OK);
    EXPECT_EQ(text, std::string("a\0b", 3));
    EXPECT_EQ(face->SetString(0, nullptr), S_OK);
    EXPECT_EQ(text, "");
    EXPECT_EQ(face->SetString(2, nullptr), E_POINTER);

    void* object = nullptr;
    EXPECT_EQ(face->QueryInterface(IID_IUnknown, &object), S_OK);
    EXPECT_EQ(object, static_cast<void*>(face));
    EXPECT_EQ(face->QueryInterface(IID_IStringSetter, &object), S_OK);
    EXPECT_EQ(face->QueryInterface(IID_IStringArraySetter, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(face->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(face->Release(), 2u);
    EXPECT_EQ(face->Release(), 1u);

    const long before = live_component_objects();
    EXPECT_EQ(face->Release(), 0u);  // destroyed without an assertion
    EXPECT_EQ(live_component_objects(), before - 1);
}

TEST(StringArraySetter, CopiesTheItems) {
    std::vector<std::string> list = {"stale"};
    auto* setter = new CStringArraySetter(list);
    {
        const std::vector<std::string> source = {"one", "", "three"};
        STRING_ARRAY_EX array(source, true);
        EXPECT_EQ(setter->SetArray(array), S_OK);
    }
    EXPECT_EQ(list, (std::vector<std::string>{"one", "", "three"}));
    EXPECT_EQ(setter->SetArray(tagSTRING_ARRAY{0, nullptr}), S_OK);
    EXPECT_TRUE(list.empty());

    list = {"kept"};
    tagSTRING_ITEM broken[2] = {{1, "x"}, {4, nullptr}};
    EXPECT_EQ(setter->SetArray(tagSTRING_ARRAY{2, broken}), E_POINTER);
    EXPECT_EQ(setter->SetArray(tagSTRING_ARRAY{1, nullptr}), E_POINTER);
    EXPECT_EQ(list, std::vector<std::string>{"kept"});

    void* object = nullptr;
    EXPECT_EQ(setter->QueryInterface(IID_IStringArraySetter, &object), S_OK);
    EXPECT_EQ(setter->QueryInterface(IID_IStringSetter, &object), E_NOINTERFACE);
    setter->Release();
    EXPECT_EQ(setter->Release(), 0u);
}

class shared_object final : public CUnknownMultiThread {
public:
    shared_object() : CUnknownMultiThread("shared_object") {}
};

TEST(UnknownMultiThread, CountsAcrossThreads) {
    auto* object = new shared_object;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([object] {
            for (int i = 0; i < 10000; ++i) {
                object->internal_add_ref();
                object->internal_release();
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(object->reference_count(), 1);
    EXPECT_EQ(object->internal_release(), 0u);
}

// The program's file name as the assertion names it.
#if defined(_WIN32)
#define program_name "test_frame\\.exe"
#else
#define program_name "test_frame"
#endif

TEST(UnknownBaseDeathTest, DeletingWithReferencesLeftFiresTheAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string text;
    EXPECT_DEATH(
        {
            auto* setter = new CStringSetter(text);
            setter->AddRef();
            delete setter;
        },
        "CUnknownSingleThread .*,m_dwRef == 1\\) not true, detail: CStringSetter@" program_name " file: UnknownBase "
        "line: 28");
    EXPECT_DEATH(
        {
            auto* object = new shared_object;
            object->internal_add_ref();
            delete object;
        },
        "CUnknownMultiThread .*,m_dwRef == 1\\) not true, detail: shared_object@" program_name " file: UnknownBase "
        "line: 49");
}

}  // namespace
}  // namespace asynframe
