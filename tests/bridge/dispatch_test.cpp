#include "base/mainform.h"
#include "bridge/dispatch.h"

#include <gtest/gtest.h>

using namespace tw;

namespace {

PageMessage Msg(std::string name, std::vector<PageValue> args = {}) { return {std::move(name), std::move(args)}; }

} // namespace

TEST(Dispatch, EachNameBecomesItsWindowMessageAndUnknownNamesAreNotHandled) {
    struct Case {
        const char* name;
        int post;
    } cases[] = {{"native_start_game", MSG_START_GAME},       {"native_clear_cache", MSG_CLEAR_CACHE},
                 {"native_clear_user_cache", MSG_CLEAR_USER_CACHE}, {"native_clear_fonts", MSG_CLEAR_FONTS},
                 {"native_open_url", MSG_OPEN_URL},           {"native_down_addon", MSG_DOWN_ADDON}};
    for (const auto& c : cases) {
        auto r = Dispatch(Msg(c.name, {std::string("extra"), 5.0}));
        EXPECT_TRUE(r.handled) << c.name;
        EXPECT_EQ(r.post, c.post) << c.name;
        EXPECT_EQ(r.command, WindowCommand::None);
    }
    for (const char* name : {"native_get_channel", "Native_Start_Game", "native_start_game ", "", "lblmsg"}) {
        auto r = Dispatch(Msg(name));
        EXPECT_FALSE(r.handled) << name;
        EXPECT_EQ(r.post, 0) << name;
    }
}

TEST(Dispatch, WindowCommandsAreExactAndAlwaysHandled) {
    EXPECT_EQ(Dispatch(Msg("native_system_cmd", {std::string("movewindows")})).command, WindowCommand::Move);
    EXPECT_EQ(Dispatch(Msg("native_system_cmd", {std::string("minwindows")})).command, WindowCommand::Minimize);
    EXPECT_EQ(Dispatch(Msg("native_system_cmd", {std::string("maxwindows")})).command, WindowCommand::MaximizeOrRestore);
    EXPECT_EQ(Dispatch(Msg("native_system_cmd", {std::string("exitapp")})).command, WindowCommand::Close);
    for (PageValue v : {PageValue(std::string("ExitApp")), PageValue(std::string("")), PageValue(std::string("reboot")),
                        PageValue(1.0), PageValue()}) {
        auto r = Dispatch(Msg("native_system_cmd", {v}));
        EXPECT_TRUE(r.handled);
        EXPECT_EQ(r.command, WindowCommand::None);
        EXPECT_EQ(r.post, 0);
    }
    EXPECT_TRUE(Dispatch(Msg("native_system_cmd")).handled);
}

TEST(Dispatch, AddonAndLinkValuesTravelWithTheirOwnResult) {
    auto first = Dispatch(Msg("native_down_addon", {std::string("http://h/a.zip"), std::string("a.zip"),
                                                    std::string("0123456789ABCDEF0123456789ABCDEF"), 7.0, 1.0}));
    auto second = Dispatch(Msg("native_down_addon", {std::string("http://h/b.zip"), std::string("b.zip"),
                                                     std::string("FEDC"), -3.9, 2.5}));
    EXPECT_EQ(first.addon.url, "http://h/a.zip");
    EXPECT_EQ(first.addon.name, "a.zip");
    EXPECT_EQ(first.addon.md5, "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ(first.addon.id, 7);
    EXPECT_EQ(first.addon.type, 1);
    EXPECT_EQ(second.addon.url, "http://h/b.zip");
    EXPECT_EQ(second.addon.id, -3) << "toward zero";
    EXPECT_EQ(second.addon.type, 2);

    // A short list reads as empty text and 0; numbers are not text and text is not a number.
    auto shortList = Dispatch(Msg("native_down_addon", {std::string("http://h/c.zip")}));
    EXPECT_EQ(shortList.post, MSG_DOWN_ADDON);
    EXPECT_EQ(shortList.addon.name, "");
    EXPECT_EQ(shortList.addon.type, 0);
    auto mixed = Dispatch(Msg("native_down_addon", {12.0, true, PageValue(), std::string("7"), 1e12}));
    EXPECT_EQ(mixed.addon.url, "");
    EXPECT_EQ(mixed.addon.id, 0);
    EXPECT_EQ(mixed.addon.type, 2147483647);

    EXPECT_EQ(Dispatch(Msg("native_open_url", {std::string("https://example.com/")})).openUrl, "https://example.com/");
    EXPECT_EQ(Dispatch(Msg("native_open_url")).openUrl, "");
}
