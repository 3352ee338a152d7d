// The host helpers: the reference-holding pointer, the table-driven IUnknown
// and the map-backed settings provider, seen through the interfaces the
// library calls.
#include "asynframe/com_helpers.h"

#include <gtest/gtest.h>

#include <string>

#include "asynframe/asynframe.h"

namespace asynframe {
namespace {

// Counts live instances so that a missed or extra Release shows.
class counted final : public com_interfaces<counted, IAsynTimerEvents, IAsynMessageEvents>, public atomic_ref_count {
public:
    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynTimerEvents>,
                                       interface_entry<IID_IAsynTimerEvents, IAsynTimerEvents>,
                                       interface_entry<IID_IAsynMessageEvents, IAsynMessageEvents>>;
    explicit counted(int& alive) : _alive(alive) { ++_alive; }
    HRESULT ASYNFRAME_STDCALL OnTimer(DWORD) override { return S_OK; }
    HRESULT ASYNFRAME_STDCALL OnMessage(DWORD, DWORD, DWORD) override { return S_OK; }
    HRESULT ASYNFRAME_STDCALL OnMessageCanceled(DWORD, DWORD, DWORD) override { return S_OK; }

private:
    ~counted() override { --_alive; }
    int& _alive;
};

TEST(RefPtr, OwnsExactlyOneReferencePerHolder) {
    int alive = 0;
    {
        ref_ptr<counted> first(new counted(alive));  // adopts the creation reference
        EXPECT_EQ(first->references(), 1u);
        ref_ptr<counted> copy = first;
        EXPECT_EQ(first->references(), 2u);
        ref_ptr<counted> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(first->references(), 2u);
        moved.reset();
        EXPECT_EQ(first->references(), 1u);

        ref_ptr<counted> shared = ref_ptr<counted>::share(first.get());
        EXPECT_EQ(first->references(), 2u);
        counted* raw = shared.detach();
        EXPECT_EQ(first->references(), 2u);
        shared.attach(raw);  // takes the detached reference back
        EXPECT_EQ(first->references(), 2u);
        EXPECT_EQ(shared, first);
    }
    EXPECT_EQ(alive, 0);
}

TEST(RefPtr, PutReleasesWhatItHeldAndReceivesAnOutParameter) {
    int alive = 0;
    ref_ptr<counted> holder(new counted(alive));
    ref_ptr<IAsynMessageEvents> messages;
    ASSERT_EQ(holder->QueryInterface(IID_IAsynMessageEvents, messages.put_void()), S_OK);
    EXPECT_EQ(holder->references(), 2u);
    // A second query into the same pointer lets go of the first answer.
    ASSERT_EQ(holder->QueryInterface(IID_IAsynMessageEvents, messages.put_void()), S_OK);
    EXPECT_EQ(holder->references(), 2u);
    holder.reset();
    EXPECT_EQ(alive, 1);
    messages.reset();
    EXPECT_EQ(alive, 0);
}

TEST(InterfaceTable, AnswersEachRowWithItsFaceAndRefusesTheRest) {
    int alive = 0;
    ref_ptr<counted> object(new counted(alive));
    void* face = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, &face), S_OK);
    EXPECT_EQ(face, static_cast<IAsynTimerEvents*>(object.get()));
    static_cast<IUnknown*>(face)->Release();
    ASSERT_EQ(object->QueryInterface(IID_IAsynMessageEvents, &face), S_OK);
    EXPECT_EQ(face, static_cast<IAsynMessageEvents*>(object.get()));
    // Either face releases the same count.
    EXPECT_EQ(static_cast<IAsynMessageEvents*>(face)->Release(), 1u);

    face = &alive;
    EXPECT_EQ(object->QueryInterface(IID_IAsynFrameEvents, &face), E_NOINTERFACE);
    EXPECT_EQ(face, nullptr);
    EXPECT_EQ(object->QueryInterface(IID_IAsynTimerEvents, nullptr), E_POINTER);
    EXPECT_EQ(object->references(), 1u);
}

TEST(MapSettings, ReadsTextsIntegersAndBooleansBySectionAndKey) {
    map_settings settings;
    settings.set("system", "name", "frame");
    settings.set("system", "count", std::uint32_t{42});
    settings.set("system", "broken", "42x");
    settings.set_boolean("system", "flag", true);
    ISettingsProvider* provider = &settings;

    text_receiver received;
    ASSERT_EQ(provider->GetString(6, "system", 4, "name", &received), S_OK);
    EXPECT_EQ(received.text, "frame");
    UINT value = 7;
    ASSERT_EQ(provider->GetInteger(6, "system", 5, "count", &value), S_OK);
    EXPECT_EQ(value, 42u);
    ASSERT_EQ(provider->GetBoolean(6, "system", 4, "flag", &value), S_OK);
    EXPECT_EQ(value, 1u);
    // Keys are counted texts: "flags" is not "flag".
    EXPECT_EQ(provider->GetBoolean(6, "system", 5, "flags", &value), E_FAIL);
    EXPECT_EQ(provider->GetInteger(6, "system", 6, "broken", &value), E_FAIL);
    EXPECT_EQ(provider->GetInteger(5, "other", 5, "count", &value), E_FAIL);
    EXPECT_EQ(provider->SetInteger(6, "system", 5, "count", 1), E_NOTIMPL);
    settings.erase("system", "count");
    EXPECT_EQ(provider->GetInteger(6, "system", 5, "count", &value), E_FAIL);

    void* face = nullptr;
    ASSERT_EQ(provider->QueryInterface(IID_ISettingsProvider, &face), S_OK);
    EXPECT_EQ(face, provider);
    provider->Release();
    EXPECT_EQ(settings.references(), 1u);
}

TEST(TextReceiver, TellsAnEmptyAnswerFromNoneAndRefusesALengthWithoutBytes) {
    text_receiver receiver;
    IStringSetter* setter = &receiver;
    EXPECT_FALSE(receiver.received);
    EXPECT_EQ(setter->SetString(3, nullptr), E_INVALIDARG);
    EXPECT_FALSE(receiver.received);
    EXPECT_EQ(setter->SetString(0, nullptr), S_OK);
    EXPECT_TRUE(receiver.received);
    EXPECT_EQ(receiver.text, "");
    EXPECT_EQ(setter->SetString(4, "host!"), S_OK);
    EXPECT_EQ(receiver.text, "host");
}

}  // namespace
}  // namespace asynframe
