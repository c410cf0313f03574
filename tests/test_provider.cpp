// Loading the plug-in as the controller does, its entry point and its
// provider: a new provider per call, a new independent device per create().
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <json/value.h>

#include <memory>
#include <string>
#include <vector>

#include "plugin.h"
#include "qxhost/identity.h"
#include "qxhost/version.h"

namespace {

using ProviderList = std::vector<std::shared_ptr<Provider>>;

ProviderList call_get_providers() { return qxtest::Plugin::get().get_providers()(); }

TEST(Provider, EntryPointResolvesWithImmediateBinding) {
  // The shared handle was opened with RTLD_NOW; opening the same file again
  // binds every symbol again and finds the same unmangled entry.
  const qxhost::Plugin again = qxhost::Plugin::open(qxhost::built_plugin_path());
  EXPECT_EQ(again.handle(), qxtest::Plugin::get().handle());
  EXPECT_EQ(again.get_providers(), qxtest::Plugin::get().get_providers());
}

TEST(Provider, EachCallMakesOneNewProviderAndKeepsNoReference) {
  ProviderList first = call_get_providers();
  ProviderList second = call_get_providers();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  ASSERT_NE(first.front(), nullptr);
  EXPECT_NE(first.front().get(), second.front().get());
  // The returned pointer is the only owner: the plug-in keeps nothing.
  EXPECT_EQ(first.front().use_count(), 1);
  EXPECT_EQ(second.front().use_count(), 1);
}

TEST(Provider, ConvertsToTheSerialPortDeviceProvider) {
  ProviderList providers = call_get_providers();
  ASSERT_EQ(providers.size(), 1u);
  std::shared_ptr<ZelSPDeviceProvider> sp =
      std::dynamic_pointer_cast<ZelSPDeviceProvider>(providers.front());
  ASSERT_NE(sp, nullptr);
  EXPECT_EQ(static_cast<void*>(sp.get()), static_cast<void*>(providers.front().get()));
}

TEST(Provider, CreateMakesDistinctDevicesWithDefaults) {
  const std::shared_ptr<ZelSPDeviceProvider> provider = qxtest::Plugin::get().provider();
  qxtest::DevicePtr one(static_cast<QX7540PM*>(provider->create()));
  qxtest::DevicePtr two(static_cast<QX7540PM*>(provider->create()));
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  EXPECT_NE(one.get(), two.get());
  for (const QX7540PM* device : {one.get(), two.get()}) {
    EXPECT_EQ(device->DeviceType(), "qx7540pm");
    EXPECT_EQ(device->mode, 1);
    EXPECT_EQ(device->has_a, 0);
    EXPECT_EQ(device->control_status, -1);
    EXPECT_EQ(device->baud_rate, 9600);
    EXPECT_EQ(qxtest::record_bytes(*device), std::vector<unsigned char>(91, 0));
  }

  // Independent: settings and record of one leave the other untouched.
  zelfw::Framework framework;
  framework.attach(*one);
  Json::Value settings;
  settings["appSetting"]["has_a"] = 1;
  settings["appSetting"]["b_mode"] = 2;
  one->data_id = 77;
  one->InitSetting(settings);
  EXPECT_EQ(one->has_a, 1);
  EXPECT_EQ(two->has_a, 0);
  EXPECT_EQ(two->mode, 1);
  EXPECT_EQ(qxtest::record_bytes(*two), std::vector<unsigned char>(91, 0));
  one.reset();
}

TEST(Provider, DevicesOutliveTheirProvider) {
  qxtest::DevicePtr device;
  std::weak_ptr<ZelSPDeviceProvider> watch;
  {
    const std::shared_ptr<ZelSPDeviceProvider> provider = qxtest::Plugin::get().provider();
    watch = provider;
    device.reset(static_cast<QX7540PM*>(provider->create()));
  }
  ASSERT_TRUE(watch.expired());

  zelfw::Framework framework;
  framework.attach(*device);
  EXPECT_EQ(device->DeviceType(), "qx7540pm");
  EXPECT_TRUE(device->InitSetting(Json::Value(Json::objectValue)));
  EXPECT_TRUE(device->RefreshStatus());
  EXPECT_EQ(framework.calls_of(zelfw::Op::kReadRegisters).size(), 1u);
  device.reset();
}

TEST(Provider, DeviceTypeIsAReferenceToTheMember) {
  const qxtest::DevicePtr device = qxtest::make_device();
  const VDeviceInterface& base = *device;
  EXPECT_EQ(&base.DeviceType(), &device->device_type);
  EXPECT_EQ(base.DeviceType(), "qx7540pm");
  device->device_type = "renamed";
  EXPECT_EQ(base.DeviceType(), "renamed");
}

// The version note and the build-id are read from the file the loader mapped:
// what the bench prints on its first line names the file in use.
TEST(Provider, LoadedPlugInNamesItsVersionAndBuildId) {
  const qxhost::PluginIdentity identity = qxhost::identify(qxtest::Plugin::get());
  EXPECT_EQ(identity.version, qxhost::project_version());
  EXPECT_EQ(identity.build_id.size(), 40u);
  EXPECT_EQ(identity.build_id.find_first_not_of("0123456789abcdef"), std::string::npos)
      << identity.build_id;
  EXPECT_EQ(qxhost::describe(identity),
            "version " + identity.version + ", build-id " + identity.build_id);
}

TEST(Provider, ObjectsWithoutTheNotesSaySo) {
  // The stand-in framework, beside the plug-in, has a build-id but no version note.
  std::string framework = qxhost::built_plugin_path();
  framework = framework.substr(0, framework.rfind('/')) + "/libzelfw.so";
  void* handle = ::dlopen(framework.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr) << framework;
  const qxhost::PluginIdentity identity = qxhost::identify(handle);
  ::dlclose(handle);
  EXPECT_EQ(identity.version, "");
  EXPECT_EQ(identity.build_id.size(), 40u);
  EXPECT_EQ(qxhost::describe(identity), "no version, build-id " + identity.build_id);

  EXPECT_EQ(qxhost::describe(qxhost::identify(nullptr)), "no version, no build-id");
}

}  // namespace
