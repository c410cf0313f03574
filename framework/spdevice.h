// The framework's serial-port device and its Modbus master.
//
// As in vdevice.h, virtual slot order and member order are the binary contract
// with the controller.
#pragma once

#include <cstdint>
#include <cstdio>

#include "vdevice.h"
#include "zel_export.h"

/// Parity of a serial frame.
enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2 };

/// A device on one of the controller's serial ports.
class ZEL_API ZelSPDevice : public ZelVDevice {
 public:
  ZelSPDevice();
  ~ZelSPDevice() override;

  void Reset() override;
  bool Init(std::weak_ptr<ZelController> controller, unsigned int index,
            const Json::Value& setting) override;

  /// Starts a polling round; called by the framework on its polling interval.
  virtual bool RefreshStatus();
  /// Hands bytes received on the port to the protocol.
  virtual bool process(unsigned char* data, unsigned int size) = 0;
  virtual bool IsProcessing();
  virtual bool IsStalled();
  virtual bool SendData(const unsigned char* data, unsigned int size);
  virtual bool SendParityData(const unsigned char* data, unsigned int size, EnumParity parity);
  /// Opens (or reopens) the device's serial port.
  virtual bool OpenPort();
  virtual void ClosePort();

  int poll_step = 0;
  std::uint8_t device_flag = 0;
  int baud_rate = 9600;
};

/// Largest register count of one Modbus read (function 3).
constexpr int MODBUS_MAX_READ_REGISTERS = 125;

/// A serial-port device spoken to as a Modbus slave through the framework's master.
class ZEL_API SPModbus : public ZelSPDevice {
 public:
  /// Register table a reply came from.
  enum tab_type { TAB_COILS = 0, TAB_DISCRETE_INPUTS = 1, TAB_HOLDING = 2, TAB_INPUT = 3 };

  SPModbus();
  ~SPModbus() override;

  bool InitSetting(const Json::Value& setting) override;
  bool process(unsigned char* data, unsigned int size) override;

  /// Receives one checked reply; its registers are at the start of reg_buffer.
  virtual bool process_payload(tab_type table, unsigned int length) = 0;
  /// Reports one failed exchange (timeout, bad frame, exception, wrong slave).
  virtual bool on_error() {
    // One of the two lines a device writes to standard output, kept as the
    // controller's own devices write it.
    std::puts("SPModbus get error");
    return false;
  }

  /// Asks the slave for holding registers; the reply arrives through
  /// process_payload or on_error, possibly before this call returns.
  bool modbus_read_registers(int start, int count);

  /// Registers of the last reply, native 16-bit words from the first element.
  std::uint16_t reg_buffer[MODBUS_MAX_READ_REGISTERS] = {};
};
