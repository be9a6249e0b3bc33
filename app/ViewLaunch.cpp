#include "app/ViewLaunch.h"

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "app/Launch.h"
#include "core/CommandLine.h"
#include "platform/midi/InputOnPumpThread.h"
#include "ui/BridgeSession.h"

namespace velmora::app {

namespace {

// The hand-over between the two threads: the bridge thread offers its link once its model
// exists, or finishes without one (a listing, a bad option); the view thread waits for either.
class Handover {
 public:
  // Bridge thread.
  void Offer(ui::ViewLink& link) {
    const std::lock_guard lock(mutex_);
    link_ = &link;
    changed_.notify_all();
  }
  void Finish(int status) {
    const std::lock_guard lock(mutex_);
    status_ = status;
    finished_ = true;
    link_ = nullptr;
    changed_.notify_all();
  }
  // View thread: the link, or null when the bridge finished without one.
  ui::ViewLink* Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return link_ != nullptr || finished_; });
    return link_;
  }
  int Status() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return finished_; });
    return status_;
  }

 private:
  std::mutex mutex_;  // guards the three fields below
  std::condition_variable changed_;
  ui::ViewLink* link_ = nullptr;
  bool finished_ = false;
  int status_ = 1;
};

}  // namespace

int LaunchWithView(const std::vector<std::string>& args, const std::string& program,
                   const View& view, const std::function<void(const std::string& line)>& refused,
                   const std::function<void(const std::string& line)>& failed,
                   const ViewProblem& problem) {
  const core::ParsedCommandLine parsed = core::ParseCommandLine(args);
  const core::CommandLine& options = parsed.options;
  if (!parsed.error.empty() || options.help || options.version || options.list ||
      options.listProfiles || options.headless) {
    const int status = Launch(args, program, nullptr);
    if (!parsed.error.empty() && !options.headless && failed) failed(program + ": " + parsed.error);
    return status;
  }
  if (const std::string line = problem ? problem() : std::string{}; !line.empty()) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), line.c_str());
    return 1;
  }
  Handover handover;
  std::string refusal;  // written by the bridge thread before it finishes, read after
  std::string failure;  // likewise
  std::thread bridgeThread([&] {
#ifndef _WIN32
    // Named, so that per-thread figures (top -H, /proc/PID/task) tell it from the view's.
    pthread_setname_np(pthread_self(), "bridge");
#endif
    int status = 1;
    try {
      status = Launch(
          args, program,
          [&handover](core::Bridge& bridge, core::SettingsStore& settings,
                      platform::midi::MidiService& midi) {
            platform::midi::InputOnPumpThread midiInput(midi);
            return ui::RunBridgeSession(
                bridge, settings, [&handover](ui::ViewLink& link) { handover.Offer(link); },
                [&midi] { return midi.ExactTimingInForce(); });
          },
          [&refusal](const std::string& line) { refusal = line; },
          [&failure](const std::string& line) { failure = line; });
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s: %s\n", program.c_str(), error.what());
    }
    handover.Finish(status);
  });
  if (ui::ViewLink* link = handover.Wait()) {
    // However the view ends, the bridge is asked to close and told the view is gone.
    struct Leave {
      ui::ViewLink& link;
      ~Leave() {
        link.Post(ui::Action(ui::Action::Kind::Close));
        link.ViewGone();
      }
    } leave{*link};
    view(*link);
  }
  const int status = handover.Status();
  bridgeThread.join();
  if (!refusal.empty() && refused) refused(refusal);
  if (!failure.empty() && failed) failed(failure);
  return status;
}

}  // namespace velmora::app
