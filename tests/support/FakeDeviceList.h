#pragma once

// The device list of a fake MIDI device: its names, the one chosen, and choosing by number or
// by name with the errors that the real devices raise.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::testing {

// `Id` is the type the device takes its number in.
template <typename Device, typename Id>
class FakeDeviceList : public Device {
 public:
  // `kind` names the device in errors: "MIDI input", "MIDI output".
  explicit FakeDeviceList(std::string kind, std::vector<std::string> list = {})
      : names(std::move(list)), kind_(std::move(kind)) {}

  void SetDeviceID(Id id) override { Choose(id); }
  std::uint16_t DeviceCount() const override { return static_cast<std::uint16_t>(names.size()); }
  std::string ProductName() const override { return Chosen() ? names[selected] : std::string{}; }
  void SetProductName(const std::string& name) override {
    const auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) {
      throw std::runtime_error(kind_ + " device \"" + name + "\" not found");
    }
    selected = static_cast<std::size_t>(found - names.begin());
  }

  std::vector<std::string> names;
  std::size_t selected = 0;

 protected:
  bool Chosen() const { return selected < names.size(); }
  void Choose(std::int64_t id) {
    if (id < 0 || static_cast<std::size_t>(id) >= names.size()) {
      throw std::runtime_error("Invalid " + kind_ + " device ID");
    }
    selected = static_cast<std::size_t>(id);
  }

 private:
  std::string kind_;
};

}  // namespace velmora::testing
