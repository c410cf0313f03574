#include "qx7540pm_provider.h"

#include <utility>

#include "qx7540pm.h"

QX7540PMProvider::~QX7540PMProvider() = default;

ZelSPDevice* QX7540PMProvider::create() const { return new QX7540PM(); }

std::vector<std::shared_ptr<Provider>> get_providers() {
  std::vector<std::shared_ptr<Provider>> providers;
  std::shared_ptr<QX7540PMProvider> provider = std::make_shared<QX7540PMProvider>();
  providers.push_back(std::shared_ptr<Provider>(std::move(provider)));
  return providers;
}
