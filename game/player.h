// A game character: name, statistics, damage roll, printout, level-up and the
// single-key talent menu.
#ifndef LANLINK_GAME_PLAYER_H
#define LANLINK_GAME_PLAYER_H

#include <string>

class Player {
  public:
    // hp starts at maxHp.
    Player(std::string name, int maxHp, int mp, int str, int agi, int exp, int level, int money,
           int talentPoints);

    void setName(std::string name);
    std::string getName() const;
    // Six lines on std::cout, ended with "\n" characters (not flushed).
    void printPlayer() const;
    int getHp() const;
    // hp minus amount, never below 0.
    void decreaseHp(int amount);
    // A random value below the magnitude of (maxHp + str) / 4; 0 when that is 0.
    int doDmg() const;
    bool isAlive() const;
    // Adds to the balance.
    void setMoney(int amount);
    int getMoney() const;
    void increaseExp(int amount);
    int getExp() const;
    // Turns 100 experience into a doubled level and 5 talent points.
    void levelUp(bool& leveledUp);
    // The talent menu: shows `player`, reads keys with getch() and spends this
    // character's points on its maximum hit points.
    void talentsUpdate(Player& player, bool& leveledUp);

  private:
    int maxHp;
    int mp;
    int str;
    int agi;
    int exp;
    int level;
    int money;
    int hp;
    int talentPoints;
    std::string name;
};

#endif  // LANLINK_GAME_PLAYER_H
