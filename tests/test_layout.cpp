// The record's byte layout and the order of the members the controller reads.
// The record is a storage and wire format; the members are read by the
// controller's framework at fixed offsets, so both must hold on every target.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin.h"

namespace {

static_assert(sizeof(QX7540PM_Data_t) == 91, "record is 91 packed bytes");
static_assert(alignof(QX7540PM_Data_t) == 1, "record is packed");
static_assert(offsetof(QX7540PM_Data_t, device_data_id) == 0, "identifier first");
static_assert(offsetof(QX7540PM_Data_t, block1) == 4, "registers 0..31 at 4");
static_assert(offsetof(QX7540PM_Data_t, block2) == 68, "registers 33..40 at 68");
static_assert(offsetof(QX7540PM_Data_t, year) == 84, "time stamp at 84");
static_assert(offsetof(QX7540PM_Data_t, second) == 90, "time stamp ends the record");
static_assert(sizeof(ttime_t) == 7 && alignof(ttime_t) == 1, "ttime_t is 7 packed bytes");
static_assert(sizeof(std::uint16_t) * QX7540PM_BLOCK1_COUNT == 64, "block1 is 32 words");
static_assert(sizeof(std::uint16_t) * QX7540PM_BLOCK2_COUNT == 16, "block2 is 8 words");
static_assert(sizeof(SPModbus::reg_buffer) >= 125 * sizeof(std::uint16_t),
              "reg_buffer holds the largest Modbus read");

struct FieldRow {
  const char* field;
  std::size_t offset;
  std::size_t size;
  std::size_t expected_offset;
  std::size_t expected_size;
};

#define QX_FIELD(type, member, off, len) \
  FieldRow { #member, offsetof(type, member), sizeof(type::member), off, len }

TEST(RecordLayout, FieldsSitAtTheirFixedOffsets) {
  const std::vector<FieldRow> rows = {
      QX_FIELD(QX7540PM_Data_t, device_data_id, 0, 4),
      QX_FIELD(QX7540PM_Data_t, block1, 4, 64),
      QX_FIELD(QX7540PM_Data_t, block2, 68, 16),
      QX_FIELD(QX7540PM_Data_t, year, 84, 2),
      QX_FIELD(QX7540PM_Data_t, month, 86, 1),
      QX_FIELD(QX7540PM_Data_t, day, 87, 1),
      QX_FIELD(QX7540PM_Data_t, hour, 88, 1),
      QX_FIELD(QX7540PM_Data_t, minute, 89, 1),
      QX_FIELD(QX7540PM_Data_t, second, 90, 1),
      QX_FIELD(ttime_t, year, 0, 2),
      QX_FIELD(ttime_t, month, 2, 1),
      QX_FIELD(ttime_t, day, 3, 1),
      QX_FIELD(ttime_t, hour, 4, 1),
      QX_FIELD(ttime_t, minute, 5, 1),
      QX_FIELD(ttime_t, second, 6, 1),
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.field);
    EXPECT_EQ(row.offset, row.expected_offset);
    EXPECT_EQ(row.size, row.expected_size);
  }
  EXPECT_EQ(sizeof(QX7540PM_Data_t), 91u);
  EXPECT_EQ(sizeof(ttime_t), 7u);
}

#undef QX_FIELD

TEST(RecordLayout, TargetPointerSizeLeavesTheRecordAt91Bytes) {
#if defined(__mips__)
  EXPECT_EQ(sizeof(void*), 4u);
  EXPECT_EQ(__BYTE_ORDER__, __ORDER_LITTLE_ENDIAN__);
#elif defined(__x86_64__)
  EXPECT_EQ(sizeof(void*), 8u);
#endif
  EXPECT_EQ(sizeof(QX7540PM_Data_t), 91u);
  EXPECT_EQ(QX7540PM_RECORD_SIZE, 91u);
}

// Offsets are taken on a device the plug-in built, relative to the object's
// start, so they are the ones the controller reads.
struct MemberRow {
  const char* name;
  std::ptrdiff_t offset;
  std::size_t size;
};

template <typename T>
MemberRow member(const char* name, const QX7540PM& device, const T& m) {
  const auto* base = reinterpret_cast<const char*>(static_cast<const VDeviceInterface*>(&device));
  return MemberRow{name, reinterpret_cast<const char*>(&m) - base, sizeof(T)};
}

TEST(ClassLayout, MembersFollowDeclarationOrderDownTheChain) {
  const qxtest::DevicePtr device = qxtest::make_device();
  const QX7540PM& d = *device;
  const std::vector<MemberRow> rows = {
      // VDeviceInterface
      member("data_id", d, d.data_id),
      member("device_type", d, d.device_type),
      member("use_controller_db", d, d.use_controller_db),
      // ZelVDevice
      member("status_word", d, d.status_word),
      member("last_update", d, d.last_update),
      member("data_ready", d, d.data_ready),
      member("rule_values", d, d.rule_values),
      member("report_flag", d, d.report_flag),
      member("ao_names", d, d.ao_names),
      member("ao_values", d, d.ao_values),
      // ZelSPDevice
      member("poll_step", d, d.poll_step),
      member("device_flag", d, d.device_flag),
      member("baud_rate", d, d.baud_rate),
      // SPModbus
      member("reg_buffer", d, d.reg_buffer),
      // UniDataDevice
      member("raw_data", d, d.raw_data),
      member("mode", d, d.mode),
      member("snapshot_time", d, d.snapshot_time),
      member("snapshot_mutex", d, d.snapshot_mutex),
      member("snapshot", d, d.snapshot),
      member("completed_data", d, d.completed_data),
      member("published_data", d, d.published_data),
      member("state_mutex", d, d.state_mutex),
      member("rounds", d, d.rounds),
      // QX7540PM
      member("has_a", d, d.has_a),
      member("has_b", d, d.has_b),
      member("has_c", d, d.has_c),
      member("control_status", d, d.control_status),
      // Ours, after every member the controller reads, so that none of those moves.
      member("snapshot_text", d, d.snapshot_text),
  };
  // The dispatch pointer comes first and is shared by the whole chain.
  EXPECT_GE(rows.front().offset, static_cast<std::ptrdiff_t>(sizeof(void*)));
  for (std::size_t i = 1; i < rows.size(); ++i) {
    SCOPED_TRACE(std::string(rows[i - 1].name) + " before " + rows[i].name);
    // Strictly after the end of the previous member: in order and not overlapping.
    EXPECT_GE(rows[i].offset, rows[i - 1].offset + static_cast<std::ptrdiff_t>(rows[i - 1].size));
  }
  EXPECT_LE(rows.back().offset + static_cast<std::ptrdiff_t>(rows.back().size),
            static_cast<std::ptrdiff_t>(sizeof(QX7540PM)));
}

}  // namespace
