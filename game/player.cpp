#include "player.h"

#include <climits>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "keyboard.h"

namespace {

constexpr int kExpPerLevel = 100;
constexpr int kTalentPointsPerLevel = 5;
constexpr int kMaxHpPerTalentPoint = 10;
constexpr const char* kNotEnough = "You do not have enough talent points\n";

// Every sum and difference of two ints fits a long long; the stored result is
// held at the int limits instead of overflowing.
int saturate(long long value) {
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

// a + b, held at the int limits.
int add_saturating(int a, long long b) {
    return saturate(a + b);
}

// The amount chosen with keys '1' to '5', or 0 when no key can arrive.
int read_amount() {
    for (;;) {
        const int key = getch();
        if (key >= '1' && key <= '5') {
            return key - '0';
        }
        std::cout << kNotEnough;
        if (key == -1) {
            return 0;  // end of input: asking again would never end
        }
    }
}

}  // namespace

Player::Player(std::string name, int maxHp, int mp, int str, int agi, int exp, int level, int money,
               int talentPoints)
    : maxHp(maxHp),
      mp(mp),
      str(str),
      agi(agi),
      exp(exp),
      level(level),
      money(money),
      hp(maxHp),
      talentPoints(talentPoints),
      name(std::move(name)) {}

void Player::setName(std::string name) {
    this->name = std::move(name);
}

std::string Player::getName() const {
    return name;
}

void Player::printPlayer() const {
    std::cout << name << '|' << level << '|' << exp << '\n'
              << "HP:" << hp << '/' << maxHp << '\n'
              << "Money: " << money << '\n'
              << "Mp: " << mp << '\n'
              << "Str: " << str << '\n'
              << "Agi: " << agi << '\n';
}

int Player::getHp() const {
    return hp;
}

void Player::decreaseHp(int amount) {
    hp = add_saturating(hp, -static_cast<long long>(amount));  // saturating
    if (hp < 0) {
        hp = 0;
    }
}

int Player::doDmg() const {
    const int base = add_saturating(maxHp, str) / 4;  // saturating
    const int roll = std::rand();
    if (base == 0) {
        return 0;  // nothing to divide by: no damage
    }
    return roll % base;
}

bool Player::isAlive() const {
    return hp != 0;
}

void Player::setMoney(int amount) {
    money = add_saturating(money, amount);  // saturating
}

int Player::getMoney() const {
    return money;
}

void Player::increaseExp(int amount) {
    exp = add_saturating(exp, amount);  // saturating
}

int Player::getExp() const {
    return exp;
}

void Player::levelUp(bool& leveledUp) {
    if (exp < kExpPerLevel) {
        // Printed exactly: 100 minus a very negative exp does not fit an int.
        std::cout << static_cast<long long>(kExpPerLevel) - exp << " exp points to next level."
                  << std::endl;
        leveledUp = false;
        return;
    }
    exp -= kExpPerLevel;
    level = add_saturating(level, level);                                // saturating
    talentPoints = add_saturating(talentPoints, kTalentPointsPerLevel);  // saturating
    leveledUp = true;
}

void Player::talentsUpdate(Player& player, bool& leveledUp) {
    if (player.isAlive() && leveledUp) {
        std::cout << "You have " << talentPoints << " talent points to use." << std::endl;
        if (talentPoints != 0) {
            std::cout << "Your current stats are: \n";
            player.printPlayer();
            std::cout << "\n\n";
            std::cout << "Which would you like to update" << std::endl;
            std::cout << "1.Hp\n"
                      << "2.Mp\n"
                      << "3.Str\n"
                      << "4.Agi\n";
            if (getch() == '1') {
                std::cout << "How much would you like to add to Hp?" << std::endl;
                const int amount = read_amount();
                if (amount > 0) {
                    if (talentPoints < amount) {
                        std::cout << "You do not have enough talent points.\n";
                    }
                    // saturating
                    talentPoints = add_saturating(talentPoints, -static_cast<long long>(amount));
                    maxHp = add_saturating(maxHp,
                                           static_cast<long long>(kMaxHpPerTalentPoint) * amount);
                }
            } else {
                std::cout << kNotEnough;
            }
        }
        if (talentPoints == 0) {
            std::cout << "\nYou have no talent points left.\n"
                      << "Your current stats are:\n\n";
            player.printPlayer();
        }
    }
    if (talentPoints == 0) {
        std::cout << "You have " << talentPoints << " talent points" << std::endl;
        std::cout << "Your current stats are: \n";
        player.printPlayer();
        std::cout << "\n\n";
    }
}
