// Uses the installed C++ wrapper: a filter over a base table and its SQL.
#include <dfq.hpp>

#include <iostream>

int main() {
  try {
    dfq::Dag dag;
    const auto sales = dag.table("sales");
    const auto big = dag.filter(sales, "amount > 100", {"big", "work"});
    for (const auto &statement : dag.statements(big)) std::cout << statement.sql << "\n";
    return 0;
  } catch (const dfq::Error &e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
}
