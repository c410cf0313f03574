// A controller library built with the C++11 std::string ABI.
#include <string>

void take_text(const std::string& text) { static_cast<void>(text.size()); }
