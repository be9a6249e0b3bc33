#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

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

// A method pointer: the code to run and what it runs on. It is assigned when its code is set.
// Copies share one target, so a copy compares equal to its original; two methods built from the
// same member function (or the same lambda expression) have the same code, whatever the object.
template <class Signature>
class TMethod;

template <class R, class... Args>
class TMethod<R(Args...)> {
 public:
  TMethod() = default;
  TMethod(std::nullptr_t) {}

  template <class T>
  TMethod(T* object, R (T::*member)(Args...))
      : target_(std::make_shared<std::function<R(Args...)>>(
            [object, member](Args... args) { return (object->*member)(args...); })),
        code_(&typeid(T)),
        object_(object) {
    static_assert(sizeof(member) <= sizeof(memberBytes_));
    std::memcpy(memberBytes_.data(), &member, sizeof(member));
  }

  // Any callable; its type stands for its code.
  template <class F>
  requires(std::is_invocable_r_v<R, F&, Args...> && !std::is_same_v<std::decay_t<F>, TMethod> &&
           !std::is_same_v<std::decay_t<F>, std::nullptr_t>) TMethod(F callable)
      : target_(std::make_shared<std::function<R(Args...)>>(std::move(callable))),
        code_(&typeid(F)) {}

  explicit operator bool() const { return target_ != nullptr; }
  R operator()(Args... args) const { return (*target_)(std::forward<Args>(args)...); }

  bool SameCode(const TMethod& other) const {
    return code_ && other.code_ && *code_ == *other.code_ && memberBytes_ == other.memberBytes_;
  }
  const void* Object() const { return object_; }
  friend bool operator==(const TMethod& a, const TMethod& b) { return a.target_ == b.target_; }

 private:
  std::shared_ptr<std::function<R(Args...)>> target_;
  const std::type_info* code_ = nullptr;
  const void* object_ = nullptr;
  std::array<unsigned char, 2 * sizeof(void*)> memberBytes_{};
};

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
