// A program as the zips must never hold one: its manifest names the other
// processor and it needs the C++ runtime DLL beside it.
#include <iostream>
#include <string>

int main(int argc, char**) {
  std::cout << std::string(static_cast<std::size_t>(argc), 'x') << '\n';
  return 0;
}
