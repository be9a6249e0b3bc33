#pragma once

// Writes the remembered choices on a thread of its own, so that a slow disk (each save ends with
// an fsync) never holds the thread that forwards. Saves coalesce: of the choices that wait, only
// the latest is written. What waits is written before the saver goes, at the program's end.

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/Settings.h"
#include "platform/MessagePump.h"

namespace velmora::core {

class SettingsSaver {
 public:
  // Writes `choices` to `file`; raises when it cannot.
  using Write =
      std::function<void(const std::filesystem::path& file, const RememberedChoices& choices)>;

  // Created on the thread that saves (it runs a message pump): `problem` is called there with
  // one log line when a save fails.
  SettingsSaver(std::filesystem::path file, std::function<void(const std::string&)> problem,
                Write write = SaveSettings);
  // Writes what waits, then ends the worker.
  ~SettingsSaver();
  SettingsSaver(const SettingsSaver&) = delete;
  SettingsSaver& operator=(const SettingsSaver&) = delete;

  // Returns at once; the worker writes the latest choices given.
  void Save(const RememberedChoices& choices);

 private:
  void work();

  const std::filesystem::path file_;
  const std::function<void(const std::string&)> problem_;  // the saving thread's
  const Write write_;                                      // the worker's
  // Guards the three fields below: set by the saving thread, taken by the worker.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<RememberedChoices> waiting_;
  bool stop_ = false;
  std::string failure_;           // the worker's last failure, not yet told
  platform::MessageWindow told_;  // the saving thread's: the worker posts a failure to it
  const platform::WindowRef toldRef_;
  std::thread worker_;  // last: runs on everything above
};

}  // namespace velmora::core
