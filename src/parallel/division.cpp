#include "parallel/division.hpp"

namespace zelto {

std::vector<std::pair<std::size_t, std::size_t>> no_steal_leaves(std::size_t n,
                                                                  std::size_t threads) {
  std::vector<std::pair<std::size_t, std::size_t>> leaves;
  auto leaf = [&](std::size_t begin, std::size_t end) {
    leaves.emplace_back(begin, end);
    return 0;
  };
  auto combine = [](int, int) { return 0; };
  detail::Division<decltype(leaf), decltype(combine)> division{leaf, combine, threads};
  division.here<int>(0, n, threads, false, true);
  return leaves;
}

}  // namespace zelto
