#pragma once

#include <cstdint>
#include <string>

namespace velmora::serial {

// A colour value whose lowest byte is red, then green, then blue.
using TColor = std::uint32_t;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clNavy = 0x800000;
inline constexpr TColor clGray = 0x808080;

enum class TParity { pNone, pOdd, pEven, pMark, pSpace };

enum THWFlowOption : std::uint8_t {
  hwfUseDTR = 1 << 0,
  hwfUseRTS = 1 << 1,
  hwfRequireDSR = 1 << 2,
  hwfRequireCTS = 1 << 3,
};
using THWFlowOptionSet = std::uint8_t;  // a set of THWFlowOption bits

enum class TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };

// Base of every serial component: only a version text that cannot be changed.
class TApdBaseComponent {
 public:
  virtual ~TApdBaseComponent() = default;
  std::string Version() const { return "v4.05"; }
  void SetVersion(const std::string&) {}

  // True while the component is read from a stored form: checked error codes are then returned
  // instead of raised (CheckErrorCode).
  bool Loading() const { return loading_; }
  void SetLoading(bool loading) { loading_ = loading; }

 private:
  bool loading_ = false;
};

}  // namespace velmora::serial
