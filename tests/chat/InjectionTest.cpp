// Hostile bytes: CR and NUL in a relayed text, control bytes in nicks and lobby names,
// and the helpers that clean names and compare nicks. No other client may ever see a
// line broken or forged by them.
#include "ChatServerFixture.h"

using namespace std::string_literals;

namespace {

class InjectionTest : public ChatServerTest {};

// The name rule: spaces become "_", ":", "@", "!" and bytes below 32 go, nothing else
// changes; nicks compare without regard to ASCII letter case only.
TEST(NameRule, SanitizeNameAndSameNick) {
    std::string name = "my lobby:1@x!\r\n\x01\x1f\x7f\xc3\xa9Z";
    SanitizeName(name);
    EXPECT_EQ(name, "my_lobby1x\x7f\xc3\xa9Z");
    EXPECT_TRUE(SameNick("Bob[1]", "bOB[1]"));
    EXPECT_FALSE(SameNick("bob", "bob "));
    EXPECT_FALSE(SameNick("\xc3\xa9", "\xc3\x89")) << "only ASCII letters fold";
    EXPECT_FALSE(SameNick("[", "{"));
    std::string text = "A  b";
    EXPECT_EQ(SplitWord(text), "A");
    EXPECT_EQ(SplitWord(text), "");
    EXPECT_EQ(text, "b");
    EXPECT_EQ(SplitWord(text), "b");
    EXPECT_EQ(text, "");
}

// CR and NUL inside a PRIVMSG reach the others as spaces, so no client sees a second,
// forged line; other bytes pass unchanged.
TEST_F(InjectionTest, PrivMsgCannotSplitLines) {
    Start();
    TestClient mallory = Registered("mallory");
    TestClient bob = Registered("bob");
    mallory.Send("PRIVMSG #a :hi\r:server 001 bob :forged\0x\x7f\xff\r\n"s);
    EXPECT_EQ(bob.ReadLine(),
              Prefix("mallory") + " PRIVMSG #a :hi :server 001 bob :forged x\x7f\xff");
    EXPECT_TRUE(bob.Silent());
}

// A nick with a control byte is refused like one with a space; a lobby name loses its
// control bytes, so the JOIN lines that others get hold none.
TEST_F(InjectionTest, ControlBytesNeverReachOthersInNamesOrNicks) {
    Store().AllowCreate = true;
    Start();
    TestClient bob = Registered("bob");
    TestClient mallory = Connect();
    mallory.Send("USER m h s :r\r\nNICK eve\rQUIT\r\n");
    EXPECT_EQ(mallory.ReadLine(), "***Error: This nickname is not allowed!");
    EXPECT_TRUE(mallory.WaitClosed());

    TestClient eve = Registered("eve");
    eve.Send("JOIN #x\r\0\x1b[2Jy\r\n"s);
    EXPECT_EQ(bob.ReadLine(), Prefix("eve") + " JOIN :#x[2Jy");
    EXPECT_NE(Store().FindLobby("#x[2Jy"), nullptr);
    EXPECT_TRUE(bob.Silent());
}

}  // namespace
