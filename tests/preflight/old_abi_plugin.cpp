// A plug-in built with the old std::string ABI: it passes a string on to the
// controller, which was built with the C++11 one.
#include <string>

void take_text(const std::string& text);

void pass_text_on(const std::string& text) { take_text(text); }
