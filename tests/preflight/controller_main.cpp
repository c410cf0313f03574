// A controller program built with the controller's SDK (scripts/stages/55-sdk.sh):
// it carries jsoncpp and the framework library, as the controller does.
#include <json/value.h>

int main() {
  Json::Value setting(Json::objectValue);
  return setting.isObject() ? 0 : 1;
}
