#include "core/SettingsSaver.h"

#include <exception>
#include <utility>

namespace velmora::core {

namespace {
constexpr std::uint32_t kFailed = platform::WM_USER + 0x190;
}

SettingsSaver::SettingsSaver(std::filesystem::path file,
                             std::function<void(const std::string&)> problem, Write write)
    : file_(std::move(file)),
      problem_(std::move(problem)),
      write_(std::move(write)),
      told_([this](const platform::Message&) -> std::intptr_t {
        std::string line;
        {
          const std::lock_guard lock(mutex_);
          line = std::exchange(failure_, {});
        }
        if (!line.empty() && problem_) problem_(line);
        return 0;
      }),
      toldRef_(told_.ref()),
      worker_([this] { work(); }) {}

SettingsSaver::~SettingsSaver() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void SettingsSaver::Save(const RememberedChoices& choices) {
  {
    const std::lock_guard lock(mutex_);
    waiting_ = choices;
  }
  wake_.notify_one();
}

void SettingsSaver::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || waiting_; });
    if (!waiting_) return;  // stopping, nothing left
    const RememberedChoices choices = std::move(*waiting_);
    waiting_.reset();
    lock.unlock();
    std::string failure;
    try {
      write_(file_, choices);
    } catch (const std::exception& error) {
      failure = std::string("Réglages non enregistrés : ") + error.what();
    }
    lock.lock();
    if (!failure.empty()) {
      failure_ = std::move(failure);
      toldRef_.post(kFailed);
    }
  }
}

}  // namespace velmora::core
