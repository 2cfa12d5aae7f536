#include "player.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <set>

#include "capture.h"

namespace {

using testsupport::Capture;

Player hero() {
    return Player("Hero", 120, 30, 14, 9, 40, 1, 75, 0);
}

TEST(PlayerRecord, StartsAtFullHpAndPrintsSixLines) {
    Player p = hero();
    EXPECT_EQ(p.getHp(), 120);
    p.decreaseHp(25);
    Capture out(1);
    p.printPlayer();
    const std::string first = out.text();
    EXPECT_EQ(first, "Hero|1|40\nHP:95/120\nMoney: 75\nMp: 30\nStr: 14\nAgi: 9\n");

    Player nameless("", -5, -1, 0, 0, -7, 0, -3, 0);
    EXPECT_TRUE(nameless.isAlive());  // negative hp counts as alive
    nameless.printPlayer();
    EXPECT_EQ(out.text().substr(first.size()),
              "|0|-7\nHP:-5/-5\nMoney: -3\nMp: -1\nStr: 0\nAgi: 0\n");
}

TEST(PlayerRecord, NameIsCopiedInAndOut) {
    Player p = hero();
    p.setName("Zed");
    std::string copy = p.getName();
    copy[0] = 'Q';
    EXPECT_EQ(p.getName(), "Zed");
}

TEST(PlayerHp, FloorsAtZeroWithoutACeiling) {
    Player p("P", 100, 0, 0, 0, 0, 1, 0, 0);
    p.decreaseHp(30);
    EXPECT_EQ(p.getHp(), 70);
    p.decreaseHp(100);
    EXPECT_EQ(p.getHp(), 0);
    EXPECT_FALSE(p.isAlive());
    p.decreaseHp(0);
    EXPECT_EQ(p.getHp(), 0);
    p.decreaseHp(-20);
    EXPECT_EQ(p.getHp(), 20);
    EXPECT_TRUE(p.isAlive());
    p.decreaseHp(-125);
    EXPECT_EQ(p.getHp(), 145);  // above maxHp
}

TEST(PlayerHp, SaturatesAtTheIntLimits) {
    Player p("P", INT_MAX, 0, 0, 0, 0, 1, 0, 0);
    p.decreaseHp(INT_MIN);
    EXPECT_EQ(p.getHp(), INT_MAX);
    p.decreaseHp(INT_MAX);
    EXPECT_EQ(p.getHp(), 0);
    Player low("L", INT_MIN, 0, 0, 0, 0, 1, 0, 0);
    low.decreaseHp(INT_MAX);
    EXPECT_EQ(low.getHp(), 0);
}

TEST(PlayerMoneyAndExp, AddWithSaturation) {
    Player p("P", 1, 0, 0, 0, 0, 1, 10, 0);
    p.setMoney(50);
    p.setMoney(50);
    EXPECT_EQ(p.getMoney(), 110);
    p.setMoney(-200);
    EXPECT_EQ(p.getMoney(), -90);
    p.setMoney(INT_MIN);
    EXPECT_EQ(p.getMoney(), INT_MIN);
    p.increaseExp(-10);
    EXPECT_EQ(p.getExp(), -10);
    p.increaseExp(INT_MAX);
    p.increaseExp(INT_MAX);
    EXPECT_EQ(p.getExp(), INT_MAX);
}

TEST(PlayerDamage, StaysBelowTheBase) {
    std::set<int> seen;
    const Player strong("S", 100, 0, 20, 0, 0, 1, 0, 0);  // base 30
    for (int i = 0; i < 5000; ++i) {
        const int d = strong.doDmg();
        ASSERT_GE(d, 0);
        ASSERT_LE(d, 29);
        seen.insert(d);
    }
    EXPECT_EQ(seen.size(), 30U);
    const Player base_one("B", 5, 0, 2, 0, 0, 1, 0, 0);
    const Player negative("N", -40, 0, 0, 0, 0, 1, 0, 0);  // base -10
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(base_one.doDmg(), 0);
        const int d = negative.doDmg();
        ASSERT_GE(d, 0);
        ASSERT_LE(d, 9);
    }
    for (const int sum : {-3, 0, 3}) {
        EXPECT_EQ(Player("Z", sum, 0, 0, 0, 0, 1, 0, 0).doDmg(), 0);
    }
    EXPECT_LT(Player("M", INT_MAX, 0, INT_MAX, 0, 0, 1, 0, 0).doDmg(), INT_MAX / 4);
}

TEST(PlayerLevelUp, BelowAHundredReportsWhatIsMissing) {
    Capture out(1);
    Player p("P", 1, 0, 0, 0, 99, 1, 0, 0);
    bool leveled = true;
    p.levelUp(leveled);
    EXPECT_FALSE(leveled);
    EXPECT_EQ(p.getExp(), 99);
    Player behind("P", 1, 0, 0, 0, -10, 1, 0, 0);
    behind.levelUp(leveled);
    Player far("P", 1, 0, 0, 0, INT_MIN, 1, 0, 0);
    far.levelUp(leveled);
    EXPECT_EQ(out.text(),
              "1 exp points to next level.\n110 exp points to next level.\n2147483748 exp points "
              "to next level.\n");
}

TEST(PlayerLevelUp, OneLevelPerCallDoublingTheLevel) {
    Capture out(1);
    Player p("P", 1, 0, 0, 0, 250, 3, 0, 0);
    bool leveled = false;
    p.levelUp(leveled);
    EXPECT_TRUE(leveled);
    EXPECT_EQ(p.getExp(), 150);
    p.levelUp(leveled);
    EXPECT_TRUE(leveled);
    EXPECT_EQ(p.getExp(), 50);
    EXPECT_EQ(out.text(), "");
    p.levelUp(leveled);
    EXPECT_FALSE(leveled);
    EXPECT_EQ(out.text(), "50 exp points to next level.\n");
    p.printPlayer();
    EXPECT_NE(out.text().find("P|12|50\n"), std::string::npos);

    Player zero("Z", 1, 0, 0, 0, 100, 0, 0, 0);
    zero.levelUp(leveled);
    Player top("T", 1, 0, 0, 0, 100, INT_MAX / 2 + 1, 0, INT_MAX);
    top.levelUp(leveled);
    zero.printPlayer();
    top.printPlayer();
    EXPECT_NE(out.text().find("Z|0|0\n"), std::string::npos);
    EXPECT_NE(out.text().find("T|2147483647|0\n"), std::string::npos);
}

}  // namespace
