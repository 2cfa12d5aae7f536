// The talent menu with real key bytes: each scenario runs in a child whose
// standard input is a pseudo-terminal; each key is typed only once the text
// before it is on the screen and getch() is waiting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "child.h"
#include "player.h"

namespace {

using std::chrono::milliseconds;
using testsupport::Child;
using testsupport::Input;
using testsupport::plain;

const char* const kTrailer = "--\n";

// One step: wait for `shown`, then type `key` (an empty key hangs the terminal up).
using Steps = std::vector<std::pair<std::string, std::string>>;

struct Outcome {
    std::string menu;     // what the menu printed
    std::string trailer;  // the receiver's count and printout afterwards
};

// Runs `scenario` in a child, types the keys, and then has the child show the
// receiver's talent points and statistics with no keyboard left to read.
Outcome run(const std::function<Player&()>& scenario, const Steps& steps,
            Input input = Input::kTerminal) {
    Child child(
        [&scenario] {
            Player& receiver = scenario();
            std::cout << kTrailer << std::flush;
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            bool flag = true;
            receiver.talentsUpdate(receiver, flag);
            return 0;
        },
        input);
    for (const auto& [shown, key] : steps) {
        EXPECT_TRUE(child.wait_for(shown)) << "waiting for " << shown;
        const bool waiting = testsupport::wait_for_raw(child.terminal(), true);
        EXPECT_TRUE(waiting);
        if (!waiting) {
            // The menu never waits for its key: no use typing the rest, or
            // waiting for a child that may be stuck.
            child.kill_now(SIGKILL);
            break;
        }
        if (key.empty()) {
            child.hang_up();
        } else {
            child.write(key);
        }
    }
    const auto status = child.wait_exit(testsupport::patient());
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    const std::string all = plain(child.output());
    const std::size_t cut = all.find(kTrailer);
    if (cut == std::string::npos) {
        ADD_FAILURE() << "no trailer in: " << all;
        return {all, ""};
    }
    return {all.substr(0, cut), all.substr(cut + 3)};
}

std::string stats(const std::string& name, int hp, int maxHp) {
    return name + "|2|0\nHP:" + std::to_string(hp) + "/" + std::to_string(maxHp) +
           "\nMoney: 75\nMp: 30\nStr: 14\nAgi: 9\n";
}

std::string menu(int points, const std::string& shown_stats) {
    return "You have " + std::to_string(points) + " talent points to use.\n" +
           "Your current stats are: \n" + shown_stats +
           "\n\nWhich would you like to update\n1.Hp\n2.Mp\n3.Str\n4.Agi\n";
}

const char* const kHpPrompt = "How much would you like to add to Hp?\n";
const char* const kWrongKey = "You do not have enough talent points\n";

std::string closing(const std::string& shown_stats) {
    return "You have 0 talent points\nYour current stats are: \n" + shown_stats + "\n\n";
}

std::string none_left(const std::string& shown_stats) {
    return "\nYou have no talent points left.\nYour current stats are:\n\n" + shown_stats;
}

// The trailer's first line: the receiver's points as the menu reports them.
std::string points_line(int points) {
    return "You have " + std::to_string(points) + " talent points to use.\n";
}

Player hero(int points) {
    return Player("Hero", 100, 30, 14, 9, 0, 2, 75, points);
}

// The menu of a living hero with `points`, shown for itself, with the flag set.
std::function<Player&()> menu_on_self(int points) {
    return [p = hero(points)]() mutable -> Player& {
        bool flag = true;
        p.talentsUpdate(p, flag);
        return p;
    };
}

TEST(TalentMenu, SpendingPartOfThePointsOnHp) {
    const Outcome o = run(menu_on_self(5), {{"4.Agi", "1"}, {"Hp?", "3"}});
    EXPECT_EQ(o.menu, menu(5, stats("Hero", 100, 100)) + kHpPrompt);
    EXPECT_EQ(o.trailer.rfind(points_line(2), 0), 0U);
    EXPECT_NE(o.trailer.find("HP:100/130\n"), std::string::npos);
}

TEST(TalentMenu, WrongAmountKeysAreRefusedUntilAGoodOne) {
    const Outcome o = run(menu_on_self(5),
                          {{"4.Agi", "1"}, {"Hp?", "9"}, {"points\r\n", "x"}, {"points\r\n", "5"}});
    EXPECT_EQ(o.menu, menu(5, stats("Hero", 100, 100)) + kHpPrompt + kWrongKey + kWrongKey +
                          none_left(stats("Hero", 100, 150)) + closing(stats("Hero", 100, 150)));
    EXPECT_EQ(o.trailer.rfind("You have 0 talent points to use.\n", 0), 0U);
}

TEST(TalentMenu, OverspendingWarnsAndGoesNegative) {
    const Outcome o = run(menu_on_self(2), {{"4.Agi", "1"}, {"Hp?", "4"}});
    EXPECT_EQ(o.menu, menu(2, stats("Hero", 100, 100)) + kHpPrompt +
                          "You do not have enough talent points.\n");
    EXPECT_EQ(o.trailer.rfind(points_line(-2), 0), 0U);
    EXPECT_NE(o.trailer.find("HP:100/140\n"), std::string::npos);
}

TEST(TalentMenu, OnlyHpSpendsPoints) {
    for (const char* key : {"2", "3", "4", "q"}) {
        if (HasFailure()) {
            break;
        }
        const Outcome o = run(menu_on_self(5), {{"4.Agi", key}});
        EXPECT_EQ(o.menu, menu(5, stats("Hero", 100, 100)) + kWrongKey) << key;
        EXPECT_EQ(o.trailer.rfind(points_line(5), 0), 0U) << key;
    }
}

TEST(TalentMenu, NoMenuWithoutTheFlagOrALivingCharacter) {
    // No key is typed: a read would leave the child waiting and fail the test.
    const Outcome unflagged = run(
        [] {
            static Player p = hero(3);
            static bool flag = false;
            p.talentsUpdate(p, flag);
            return std::ref(p);
        },
        {});
    EXPECT_EQ(unflagged.menu, "");
    const Outcome dead = run(
        [] {
            static Player p = hero(3);
            static Player corpse = hero(0);
            static bool flag = true;
            corpse.decreaseHp(100);
            p.talentsUpdate(corpse, flag);
            return std::ref(p);
        },
        {});
    EXPECT_EQ(dead.menu, "");
    const Outcome dead_without_points = run(
        [] {
            static Player p = hero(0);
            static bool flag = true;
            p.decreaseHp(100);
            p.talentsUpdate(p, flag);
            return std::ref(p);
        },
        {});
    EXPECT_EQ(dead_without_points.menu, closing(stats("Hero", 0, 100)));
}

TEST(TalentMenu, NoPointsPrintsTheStatsTwiceAndReadsNoKey) {
    const Outcome o = run(menu_on_self(0), {});
    EXPECT_EQ(o.menu, "You have 0 talent points to use.\n" + none_left(stats("Hero", 100, 100)) +
                          closing(stats("Hero", 100, 100)));
}

TEST(TalentMenu, TheArgumentIsShownAndTheReceiverChanges) {
    const Outcome o = run(
        [] {
            static Player receiver("Rec", 50, 30, 14, 9, 0, 2, 75, 5);
            static Player shown("Other", 80, 30, 14, 9, 0, 2, 75, 9);
            static bool flag = true;
            receiver.talentsUpdate(shown, flag);
            shown.printPlayer();
            return std::ref(receiver);
        },
        {{"4.Agi", "1"}, {"Hp?", "5"}});
    EXPECT_EQ(o.menu, menu(5, stats("Other", 80, 80)) + kHpPrompt +
                          none_left(stats("Other", 80, 80)) + closing(stats("Other", 80, 80)) +
                          stats("Other", 80, 80));
    EXPECT_NE(o.trailer.find("HP:50/100\n"), std::string::npos);
}

TEST(TalentMenu, EndOfInputInTheAmountLoopLeavesPromptly) {
    const Outcome o = run(menu_on_self(5), {{"4.Agi", "1"}, {"Hp?", ""}}, Input::kTerminalInput);
    EXPECT_EQ(o.menu, menu(5, stats("Hero", 100, 100)) + kHpPrompt + kWrongKey);
    EXPECT_EQ(o.trailer.rfind(points_line(5), 0), 0U);
}

}  // namespace
