// The dispatch table the controller calls through. Each operation's slot is
// read from its pointer to member function, then the live table of a device
// made by the plug-in is checked entry by entry against the function that
// should fill the slot, and a few harmless slots are called by number.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "plugin.h"

namespace {

// A pointer to member function under the Itanium C++ ABI: a function pointer or
// a table offset, and a this-adjustment.
struct PmfParts {
  std::uintptr_t ptr;
  std::ptrdiff_t adj;
};

// Slot of a virtual operation, or -1 when the pointer is not virtual.
template <typename Sig, typename Class>
long slot_of(Sig Class::*pmf) {
  static_assert(sizeof pmf == sizeof(PmfParts), "Itanium pointer to member function");
  PmfParts parts;
  std::memcpy(&parts, &pmf, sizeof parts);
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
  // The virtual flag is the low bit of the adjustment (stored doubled); ptr is
  // the byte offset into the table.
  if ((parts.adj & 1) == 0) return -1;
  return static_cast<long>(parts.ptr / sizeof(void*));
#else
  // The virtual flag is the low bit of ptr, which holds 1 + the byte offset.
  if ((parts.ptr & 1) == 0) return -1;
  return static_cast<long>((parts.ptr - 1) / sizeof(void*));
#endif
}

// The explicit signature picks the overload and fails to compile if the
// operation's signature changes.
template <typename Sig>
long device_slot(Sig QX7540PM::*pmf) {
  return slot_of(pmf);
}

struct SlotRow {
  long slot;
  const char* op;
  long decoded;
  /// Symbol of the function that fills the slot, exported by the plug-in or
  /// the framework; null for the header's inline operations, which the
  /// plug-in compiles in but does not export.
  const char* impl;
};

using tab_type = SPModbus::tab_type;
using Controller = std::weak_ptr<ZelController>;
using Children = std::vector<std::shared_ptr<ZelVDevice>>;
// Mangled pieces shared by several symbols.
#define QX_UNI "_ZN13UniDataDeviceI15QX7540PM_Data_t8SPModbusLi5156EE"
#if _GLIBCXX_USE_CXX11_ABI
#define QX_STR "NSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"
#else
#define QX_STR "Ss"  // the old std::string ABI (QX_OLD_STRING_ABI)
#endif

std::vector<SlotRow> device_slots() {
  // clang-format off
  return {
      {0, "Get_Value", device_slot<double(unsigned int, const std::string&) const>(&QX7540PM::Get_Value), "_ZNK8QX7540PM9Get_ValueEjRK" QX_STR},
      {1, "LoadFromCache(string)", device_slot<int(const std::string&)>(&QX7540PM::LoadFromCache), nullptr},
      {2, "LoadFromCache(bytes)", device_slot<int(const unsigned char*, int)>(&QX7540PM::LoadFromCache), QX_UNI "13LoadFromCacheEPKhi"},
      {3, "DataId", device_slot<int() const>(&QX7540PM::DataId), nullptr},
      {4, "DeviceType", device_slot<const std::string&() const>(&QX7540PM::DeviceType), nullptr},
      {5, "DeviceIoControl", device_slot<int(int, const void*, int, void*, int, int&)>(&QX7540PM::DeviceIoControl), "_ZN8QX7540PM15DeviceIoControlEiPKviPviRi"},
      {6, "RoundDone", device_slot<void()>(&QX7540PM::RoundDone), QX_UNI "9RoundDoneEv"},
      {7, "UseControllerDb", device_slot<bool()>(&QX7540PM::UseControllerDb), nullptr},
      {10, "Reset", device_slot<void()>(&QX7540PM::Reset), "_ZN11ZelSPDevice5ResetEv"},
      {11, "InitV", device_slot<bool(ZelVDevice*, unsigned int, const Json::Value&)>(&QX7540PM::InitV), "_ZN10ZelVDevice5InitVEPS_jRKN4Json5ValueE"},
      {12, "Init", device_slot<bool(Controller, unsigned int, const Json::Value&)>(&QX7540PM::Init), "_ZN11ZelSPDevice4InitESt8weak_ptrI13ZelControllerEjRKN4Json5ValueE"},
      {13, "InitSetting", device_slot<bool(const Json::Value&)>(&QX7540PM::InitSetting), "_ZN8QX7540PM11InitSettingERKN4Json5ValueE"},
      {14, "IsSupportDevice", device_slot<bool(const std::string&) const>(&QX7540PM::IsSupportDevice), "_ZNK10ZelVDevice15IsSupportDeviceERK" QX_STR},
      {15, "GetChildVDevice", device_slot<std::shared_ptr<ZelVDevice>(unsigned int)>(&QX7540PM::GetChildVDevice), nullptr},
      {16, "GetAllChildVDevices", device_slot<Children()>(&QX7540PM::GetAllChildVDevices), nullptr},
      {17, "SendSP", device_slot<bool(int, const unsigned char*, unsigned int, bool)>(&QX7540PM::SendSP), "_ZN10ZelVDevice6SendSPEiPKhjb"},
      {18, "SendDelayData", device_slot<bool(int)>(&QX7540PM::SendDelayData), "_ZN10ZelVDevice13SendDelayDataEi"},
      {19, "SendDoData", device_slot<bool(int, char)>(&QX7540PM::SendDoData), "_ZN10ZelVDevice10SendDoDataEic"},
      {20, "ReadDi", device_slot<int(int)>(&QX7540PM::ReadDi), "_ZN10ZelVDevice6ReadDiEi"},
      {21, "ReadAi", device_slot<float(int)>(&QX7540PM::ReadAi), "_ZN10ZelVDevice6ReadAiEi"},
      {22, "Get_SP_Value", device_slot<double(unsigned int, const std::string&)>(&QX7540PM::Get_SP_Value), "_ZN10ZelVDevice12Get_SP_ValueEjRK" QX_STR},
      {23, "RefreshStatus", device_slot<bool()>(&QX7540PM::RefreshStatus), "_ZN8QX7540PM13RefreshStatusEv"},
      {24, "process", device_slot<bool(unsigned char*, unsigned int)>(&QX7540PM::process), "_ZN8SPModbus7processEPhj"},
      {25, "IsProcessing", device_slot<bool()>(&QX7540PM::IsProcessing), "_ZN11ZelSPDevice12IsProcessingEv"},
      {26, "IsStalled", device_slot<bool()>(&QX7540PM::IsStalled), "_ZN11ZelSPDevice9IsStalledEv"},
      {27, "SendData", device_slot<bool(const unsigned char*, unsigned int)>(&QX7540PM::SendData), "_ZN11ZelSPDevice8SendDataEPKhj"},
      {28, "SendParityData", device_slot<bool(const unsigned char*, unsigned int, EnumParity)>(&QX7540PM::SendParityData), "_ZN11ZelSPDevice14SendParityDataEPKhj10EnumParity"},
      {29, "OpenPort", device_slot<bool()>(&QX7540PM::OpenPort), "_ZN11ZelSPDevice8OpenPortEv"},
      {30, "ClosePort", device_slot<void()>(&QX7540PM::ClosePort), "_ZN11ZelSPDevice9ClosePortEv"},
      {31, "process_payload", device_slot<bool(tab_type, unsigned int)>(&QX7540PM::process_payload), "_ZN8QX7540PM15process_payloadEN8SPModbus8tab_typeEj"},
      {32, "on_error", device_slot<bool()>(&QX7540PM::on_error), nullptr},
      {33, "RunCheckThreshold", device_slot<void()>(&QX7540PM::RunCheckThreshold), "_ZN8QX7540PM17RunCheckThresholdEv"},
  };
  // clang-format on
}

#undef QX_UNI
#undef QX_STR

constexpr long kDeviceSlots = 34;
constexpr long kCompleteDestructorSlot = 8;
constexpr long kDeletingDestructorSlot = 9;

// The dispatch table an object points at. Its symbol's first two words are the
// offset to top and the type information; the entries follow.
void* const* table_of(const void* object) {
  void* const* table;
  std::memcpy(&table, object, sizeof table);
  return table;
}

// Address of a function or table as the dynamic linker binds the plug-in's
// references: the loading process's global scope first (the framework, and
// any copy of a template member the process exports itself), then the
// plug-in's own symbols.
void* address_of(const char* name) {
  void* found = dlsym(RTLD_DEFAULT, name);
  return found != nullptr ? found : dlsym(qxtest::Plugin::get().handle(), name);
}

// Base name of the file that holds an address.
std::string file_of(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  const std::string path = info.dli_fname;
  return path.substr(path.rfind('/') + 1);
}

TEST(DispatchSlots, EveryNamedOperationDecodesToItsSlot) {
  const auto rows = device_slots();
  ASSERT_EQ(rows.size(), 32u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.op);
    EXPECT_EQ(row.decoded, row.slot);
  }
  EXPECT_EQ(slot_of(&ZelSPDeviceProvider::create), 2);
}

TEST(DispatchSlots, DeviceTableIsTheExportedOneAndStartsAfterTwoHeaderWords) {
  const qxtest::DevicePtr device = qxtest::make_device();
  const auto* vtable = static_cast<void* const*>(address_of("_ZTV8QX7540PM"));
  ASSERT_NE(vtable, nullptr) << dlerror();
  EXPECT_EQ(table_of(device.get()), vtable + 2);
  EXPECT_EQ(vtable[1], address_of("_ZTI8QX7540PM"));
}

TEST(DispatchSlots, DestructorPairFillsSlotsEightAndNine) {
  const qxtest::DevicePtr device = qxtest::make_device();
  void* const* table = table_of(device.get());
  EXPECT_EQ(table[kCompleteDestructorSlot], address_of("_ZN8QX7540PMD1Ev"));
  EXPECT_EQ(table[kDeletingDestructorSlot], address_of("_ZN8QX7540PMD0Ev"));
}

TEST(DispatchSlots, LiveTableEntriesAreTheExpectedImplementations) {
  const qxtest::DevicePtr device = qxtest::make_device();
  void* const* table = table_of(device.get());
  for (const auto& row : device_slots()) {
    SCOPED_TRACE(row.op);
    ASSERT_LT(row.slot, kDeviceSlots);
    if (row.impl == nullptr) {
      // An inline operation of the framework header: compiled into the plug-in.
      EXPECT_EQ(file_of(table[row.slot]), "qx7540pm.so");
    } else {
      void* expected = address_of(row.impl);
      ASSERT_NE(expected, nullptr) << row.impl;
      EXPECT_EQ(table[row.slot], expected) << row.impl;
    }
  }
}

TEST(DispatchSlots, CallsByNumberReachTheOperation) {
  qxtest::Rig rig;
  rig.device->data_id = 5156;
  rig.device->use_controller_db = true;
  void* const* table = table_of(rig.device.get());
  const VDeviceInterface* self = rig.device.get();

  using DataIdFn = int (*)(const VDeviceInterface*);
  using DeviceTypeFn = const std::string& (*)(const VDeviceInterface*);
  using UseControllerDbFn = bool (*)(VDeviceInterface*);
  using RefreshStatusFn = bool (*)(VDeviceInterface*);

  EXPECT_EQ(reinterpret_cast<DataIdFn>(table[3])(self), 5156);
  EXPECT_EQ(&reinterpret_cast<DeviceTypeFn>(table[4])(self), &rig.device->device_type);
  EXPECT_TRUE(reinterpret_cast<UseControllerDbFn>(table[7])(rig.device.get()));

  // Slot 23 starts a round: the first read is asked for.
  EXPECT_TRUE(reinterpret_cast<RefreshStatusFn>(table[23])(rig.device.get()));
  const auto reads = rig.framework.calls_of(zelfw::Op::kReadRegisters);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].ints, (std::vector<long long>{QX7540PM_BLOCK1_START, QX7540PM_BLOCK1_COUNT}));
}

TEST(DispatchSlots, ProviderTableDispatchesCreate) {
  auto providers = qxtest::Plugin::get().get_providers()();
  ASSERT_EQ(providers.size(), 1u);
  const auto* vtable = static_cast<void* const*>(address_of("_ZTV16QX7540PMProvider"));
  ASSERT_NE(vtable, nullptr) << dlerror();
  void* const* table = table_of(providers.front().get());
  EXPECT_EQ(table, vtable + 2);
  EXPECT_EQ(table[0], address_of("_ZN16QX7540PMProviderD1Ev"));
  EXPECT_EQ(table[1], address_of("_ZN16QX7540PMProviderD0Ev"));
  EXPECT_EQ(table[2], address_of("_ZNK16QX7540PMProvider6createEv"));
}

}  // namespace
