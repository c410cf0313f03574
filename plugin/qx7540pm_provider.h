// The plug-in's one provider: it makes QX7540PM meters.
#pragma once

#include <memory>
#include <vector>

#include "provider.h"
#include "zel_export.h"

class ZEL_API QX7540PMProvider : public ZelSPDeviceProvider {
 public:
  ~QX7540PMProvider() override;
  /// A new meter device, owned by the caller.
  ZelSPDevice* create() const override;
};

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
/// Entry point the controller looks up after loading the plug-in: one new
/// provider per call, nothing kept.
extern "C" ZEL_API std::vector<std::shared_ptr<Provider>> get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

/// Signature of get_providers, for loaders that look it up with dlsym.
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
