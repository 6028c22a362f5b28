// A good file as damaged disks and careless programs leave it: every truncation, then copies with
// one to four bytes set to random values (a fixed seed, so a failure repeats).
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace tvrn::test {

inline constexpr int kFlippedCopies = 400;

inline std::vector<std::string> damagedCopies(const std::string& good) {
  std::vector<std::string> copies;
  for (std::size_t length = 0; length < good.size(); ++length)
    copies.push_back(good.substr(0, length));
  std::mt19937 random(20261207);
  std::uniform_int_distribution<std::size_t> position(0, good.size() - 1);
  std::uniform_int_distribution<int> byte(0, 255), flips(1, 4);
  for (int copy = 0; copy < kFlippedCopies; ++copy) {
    std::string damaged = good;
    for (int flip = flips(random); flip > 0; --flip) {
      damaged[position(random)] = static_cast<char>(byte(random));
    }
    copies.push_back(std::move(damaged));
  }
  return copies;
}

}  // namespace tvrn::test
