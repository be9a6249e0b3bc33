#include "serial/PacketEngine.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>

#include "serial/ComPort.h"
#include "serial/Errors.h"
#include "serial/dispatcher/Dispatcher.h"

namespace velmora::serial {

namespace {

constexpr std::size_t kBufferStep = 8192;
constexpr std::uint16_t kPacketLogType = 18;

std::uint8_t Upper(std::uint8_t b) {
  return (b >= 'a' && b <= 'z') ? b - ('a' - 'A') : b;
}

[[noreturn]] void RaiseInvalid(std::int32_t code) {
  throw EInvalidProperty(code);
}

}  // namespace

// ---- TPacketPattern ------------------------------------------------------------------------

TPacketPattern::TPacketPattern(const std::string& text, bool upper) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool wild = false;
    if (c == '\\') {
      if (++i == text.size()) break;  // a lone backslash at the end is dropped
      c = text[i];
    } else if (c == '?') {
      wild = true;
    }
    if (upper) c = static_cast<char>(Upper(static_cast<std::uint8_t>(c)));
    chars_.push_back(c);
    wild_.push_back(wild);
  }
}

bool TPacketPattern::Matches(std::size_t k, std::uint8_t b, bool ignoreCase) const {
  if (wild_[k]) return true;
  const auto c = static_cast<std::uint8_t>(chars_[k]);
  return ignoreCase ? Upper(b) == c : b == c;
}

bool TPacketPattern::MatchesPrefix(const std::uint8_t* first, std::size_t n,
                                   bool ignoreCase) const {
  for (std::size_t k = 0; k < n; ++k) {
    if (!Matches(k, first[k], ignoreCase)) return false;
  }
  return true;
}

// ---- TApdDataPacket ------------------------------------------------------------------------

TApdDataPacket::TApdDataPacket() = default;

TApdDataPacket::~TApdDataPacket() {
  try {
    SetComPort(nullptr);
  } catch (...) {  // a destructor never throws; the timer hand-back is all that can fail here
  }
}

void TApdDataPacket::SetEnabled(bool value) {
  if (value == enabled_) return;
  if (value) {
    Arm();
  } else {
    Disarm();
  }
  enabled_ = value;
}

void TApdDataPacket::SetEndCond(TPacketEndSet value) {
  const bool was = enabled_;
  SetEnabled(false);
  endCond_ = value;
  SetEnabled(was);
}

void TApdDataPacket::SetEndString(const std::string& value) {
  const bool was = enabled_;
  SetEnabled(false);
  endString_ = value;
  SetEnabled(was);
}

void TApdDataPacket::SetComPort(TApdCustomComPort* port) {
  if (port == comPort_) return;
  if (comPort_ && manager_) manager_->Remove(*this);
  comPort_ = port;
  if (port) {
    auto* manager = PacketManagerList().GetPortManager(*port);
    if (!manager) manager = &PacketManagerList().Create(*port);
    manager->Add(*this);
  }
}

void TApdDataPacket::ResetMatch() {
  sizeLimit_ = packetSize_ > 0 ? static_cast<std::size_t>(packetSize_) : 0;
  startIndex_ = 1;
  endIndex_ = 1;
  startPos_ = -1;
}

void TApdDataPacket::Arm() {
  if (!manager_ || !manager_->Enabled()) {
    ResetMatch();
    return;
  }
  if (manager_->InEvent()) {
    enablePending_ = true;
    return;
  }
  Log(plEnable);
  if (startCond_ == TPacketStartCond::scString) {
    Log(plStartStr, startString_);
    start_ = TPacketPattern(startString_, ignoreCase_);
    // A lone backslash prepares to nothing: as empty as an empty string for the matching.
    if (start_.Empty()) RaiseInvalid(-5501);
    if ((endCond_ & ecPacketSize) && static_cast<std::int64_t>(start_.Length()) > packetSize_)
      RaiseInvalid(-5502);
  } else if (endCond_ == 0) {
    RaiseInvalid(-5503);
  }
  if (endCond_ & ecString) {
    Log(plEndStr, endString_);
    end_ = TPacketPattern(endString_, ignoreCase_);
    if (end_.Empty()) RaiseInvalid(-5504);
  }
  // A negative size is refused as zero is: either would complete empty packets without end.
  if ((endCond_ & ecPacketSize) && packetSize_ <= 0) RaiseInvalid(-5505);
  // Every check passed: only now does the state move, so a failed arm leaves the packet idle.
  ResetMatch();
  if (startCond_ == TPacketStartCond::scString) {
    SetPacketState(TPacketState::pstWaiting);
  } else if (manager_->Collector() && manager_->Collector() != this) {
    startPending_ = true;
  } else {
    SetPacketState(TPacketState::pstCollecting);
  }
}

void TApdDataPacket::Disarm() {
  if (!enablePending_ && !startPending_ && state_ == TPacketState::pstIdle) return;
  enablePending_ = false;
  startPending_ = false;
  if (manager_) {
    SetPacketState(TPacketState::pstIdle);
    Log(plDisable);
  }
}

void TApdDataPacket::SetPacketState(TPacketState state) {
  if (state == TPacketState::pstCollecting) {
    manager_->collector_ = this;
    if (timeOut_ != 0 && manager_->timeoutTrigger_ != 0) {
      if (auto* d = comPort_->CurrentDispatcher()) {
        d->SetTimerTrigger(manager_->timeoutTrigger_, timeOut_, true);
        timerRunning_ = true;
      }
    }
    holdsTimer_ = true;
    state_ = state;
    // Another packet's partial match ends here.
    // By index: a packet that is re-armed may change the list, and a copy per byte costs.
    for (std::size_t i = 0; i < manager_->packets_.size(); ++i) {
      auto* other = manager_->packets_[i];
      if (other != this && other->enabled_ && other->comPort_) {
        other->Disarm();
        other->Arm();
      }
    }
  } else {
    state_ = state;
    if (holdsTimer_) {
      holdsTimer_ = false;
      if (manager_->collector_ == this) manager_->collector_ = nullptr;
      // A time-out that never ran is not stopped: that would take the dispatcher's lock for
      // every byte of a packet without one.
      if (manager_->timeoutTrigger_ != 0 && timerRunning_) {
        timerRunning_ = false;
        if (auto* d = comPort_->CurrentDispatcher())
          CheckErrorCode(this, d->SetTimerTrigger(manager_->timeoutTrigger_, 0, false));
      }
      manager_->ProcessData(0);
    }
  }
  Log(state == TPacketState::pstIdle      ? plIdle
      : state == TPacketState::pstWaiting ? plWaiting
                                          : plCollecting);
}

void TApdDataPacket::OfferBytes(std::size_t s) {
  if (!enabled_) return;
  auto& held = manager_->held_;
  while (s < held.size()) {
    const std::uint8_t b = held[s];
    if (state_ == TPacketState::pstIdle) {
      if (!startPending_) return;
      startPending_ = false;
      SetPacketState(TPacketState::pstCollecting);
    }
    if (state_ == TPacketState::pstWaiting) {
      if (start_.Matches(startIndex_ - 1, b, ignoreCase_)) {
        if (startPos_ < 0) startPos_ = static_cast<std::ptrdiff_t>(s);
        if (startIndex_ == start_.Length()) {
          const std::size_t size = s - static_cast<std::size_t>(startPos_) + 1;
          if (endCond_ == 0 || ((endCond_ & ecPacketSize) && size >= sizeLimit_)) {
            Complete(size, false);
            return;
          }
          SetPacketState(TPacketState::pstCollecting);
        } else {
          ++startIndex_;
        }
        ++s;
      } else if (startPos_ >= 0) {
        s = static_cast<std::size_t>(startPos_) + 1;
        startIndex_ = 1;
        startPos_ = -1;
      } else {
        ++s;
      }
      continue;
    }
    // Collecting.
    if (startPos_ < 0) startPos_ = static_cast<std::ptrdiff_t>(s);
    const std::size_t size = s - static_cast<std::size_t>(startPos_) + 1;
    if ((endCond_ & ecPacketSize) && size >= sizeLimit_) {
      Complete(size, false);
      return;
    }
    if (endCond_ & ecString) {
      if (end_.Matches(endIndex_ - 1, b, ignoreCase_)) {
        ++endIndex_;
      } else {
        EndMatchAfterMismatch(s);
      }
      if (endIndex_ > end_.Length()) {
        Complete(size, true);
        return;
      }
    }
    ++s;
  }
}

// The longest start of the end pattern that the collected bytes up to s end with, so that
// "AB" is found in "AAB" however the bytes arrive.
void TApdDataPacket::EndMatchAfterMismatch(std::size_t s) {
  const auto* held = manager_->held_.data();
  const std::size_t collected = s - static_cast<std::size_t>(startPos_) + 1;
  std::size_t m = std::min(endIndex_ - 1, collected);
  for (; m > 0; --m) {
    if (end_.MatchesPrefix(held + s + 1 - m, m, ignoreCase_)) break;
  }
  endIndex_ = m + 1;
}

void TApdDataPacket::Complete(std::size_t size, bool byString) {
  auto& manager = *manager_;
  const auto startPos = static_cast<std::size_t>(startPos_);
  const std::size_t found = size;
  manager.Lock();
  try {
    SetEnabled(false);
    std::size_t first = startPos;
    std::size_t delivered = size;
    if (startCond_ == TPacketStartCond::scString && !includeStrings_) {
      first += std::min(start_.Length(), delivered);
      delivered -= std::min(start_.Length(), delivered);
    }
    if (byString && !includeStrings_) delivered -= std::min(end_.Length(), delivered);
    const std::uint8_t* data = manager.held_.data() + first;
    Log(plStringPacket);
    Log(byString ? plStringPacket : plSizePacket, data, delivered);
    try {
      if (OnPacket) OnPacket(*this, data, static_cast<std::int32_t>(delivered));
      if (OnStringPacket)
        OnStringPacket(*this, std::string(reinterpret_cast<const char*>(data), delivered));
    } catch (...) {
      manager.Report(std::current_exception());
    }
    manager.RemoveFront(startPos + found);
    ++manager.completions_;
    // The handler may have detached (or freed) this packet: then nothing of it is touched.
    const bool attached =
        std::find(manager.packets_.begin(), manager.packets_.end(), this) != manager.packets_.end();
    if (attached && autoEnable_) SetEnabled(true);
  } catch (...) {
    manager.Unlock();
    throw;
  }
  manager.Unlock();
}

void TApdDataPacket::TimedOut() {
  auto& manager = *manager_;
  manager.Lock();
  try {
    Log(plTimeout);
    SetEnabled(false);
    try {
      if (OnTimeout) OnTimeout(*this);
    } catch (...) {
      manager.Report(std::current_exception());
    }
    const bool attached =
        std::find(manager.packets_.begin(), manager.packets_.end(), this) != manager.packets_.end();
    if (!attached || FlushOnTimeout) manager.RemoveFront(manager.held_.size());
    ++manager.completions_;
  } catch (...) {
    manager.Unlock();
    throw;
  }
  manager.Unlock();
}

void TApdDataPacket::Log(std::uint16_t subtype, const std::string& bytes) {
  Log(subtype, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void TApdDataPacket::Log(std::uint16_t subtype, const std::uint8_t* data, std::size_t size) {
  if (!comPort_) return;
  auto* d = comPort_->CurrentDispatcher();
  if (!d || !d->Logging()) return;
  const auto type = static_cast<std::uint8_t>(kPacketLogType);
  const auto sub = static_cast<std::uint8_t>(subtype);
  if (size > 0) {
    d->AddLogEntry(type, sub, static_cast<std::uint32_t>(size), data, 0);
  } else {
    const std::string text = "Packet:" + Name;
    d->AddLogEntry(type, sub, static_cast<std::uint32_t>(text.size()), text.data(), 0);
  }
}

// ---- TApdDataPacketManager -----------------------------------------------------------------

// Bytes read by the dispatch thread, waiting in arrival order for the UI thread. Two buffers
// change hands between the threads, so that steady traffic allocates nothing.
class TApdDataPacketManager::Inbox {
 public:
  // Dispatch thread. The bytes now waiting, and whether none were before.
  std::pair<std::size_t, bool> Add(const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard lock(mutex_);
    const bool first = bytes_.empty();
    bytes_.insert(bytes_.end(), bytes, bytes + count);
    return {bytes_.size(), first};
  }
  // UI thread. Everything waiting, in `into` (whose own buffer goes back for the next bytes);
  // false when nothing waited.
  bool Take(std::vector<std::uint8_t>& into) {
    into.clear();
    std::lock_guard lock(mutex_);
    into.swap(bytes_);
    return !into.empty();
  }

 private:
  std::mutex mutex_;  // guards bytes_: the dispatch thread adds, the UI thread takes
  std::vector<std::uint8_t> bytes_;
};

// What the dispatch thread calls. It takes the announced bytes into the manager's inbox and
// tells the manager's window. It touches nothing else of the manager, and the port keeps it
// alive as long as the dispatcher can call it.
struct TApdDataPacketManager::Relay {
  // Beyond this many bytes waiting, the relay waits for the UI thread to take them, so that a
  // stalled UI thread holds the reading back instead of piling bytes up.
  static constexpr std::size_t kInboxLimit = 64 * 1024;

  TApdBaseDispatcher* dispatcher;
  platform::WindowRef window;
  std::shared_ptr<Inbox> inbox;
  std::vector<std::uint8_t> scratch{};  // dispatch thread: what GetBlock reads into

  static void Handle(void* object, std::uint32_t msg, std::uint32_t wParam, std::int32_t) {
    auto& self = *static_cast<Relay*>(object);
    if (msg == apw_TriggerAvail && wParam > 0) {
      if (self.scratch.size() < wParam) self.scratch.resize(wParam);
      const auto got = self.dispatcher->GetBlock(self.scratch.data(), wParam);
      if (got <= 0) return;
      // Posted, not sent: the dispatch thread goes on reading while the UI thread delivers,
      // and one wake-up of the UI thread serves every block that came meanwhile.
      const auto [waiting, first] =
          self.inbox->Add(self.scratch.data(), static_cast<std::size_t>(got));
      if (waiting > kInboxLimit) {
        self.window.send(kDataMessage);
      } else if (first) {
        self.window.post(kDataMessage);
      }
    } else if (msg == apw_TriggerTimer) {
      self.window.send(kTimerMessage, wParam, 0);
    }
  }
};

TApdDataPacketManager::TApdDataPacketManager(TApdCustomComPort& port)
    : port_(port), portAlive_(port.Lifetime()), inbox_(std::make_shared<Inbox>()) {
  port_.AddPortCallbackEx(TPortCallbackEx(this, &TApdDataPacketManager::PortCallbackEx));
  window_ = std::make_unique<platform::MessageWindow>(
      [this](const platform::Message& message) { return HandleMessage(message); });
  SetEnabled(port_.Open());
}

TApdDataPacketManager::~TApdDataPacketManager() {
  destroying_ = true;
  // A port destroyed before its manager was freed (the free message not handled yet) took its
  // dispatcher and callbacks with it.
  if (portAlive_.expired()) return;
  try {
    SetEnabled(false);
  } catch (...) {  // the dispatcher refused to give the trigger back; it goes with the port
  }
  port_.RemovePortCallbackEx(TPortCallbackEx(this, &TApdDataPacketManager::PortCallbackEx));
}

void TApdDataPacketManager::SetEnabled(bool value) {
  if (value) {
    if (!installed_) {
      auto& d = port_.RequireDispatcher();
      auto relay = std::make_shared<Relay>(Relay{&d, window_->ref(), inbox_});
      port_.KeepWithDispatcher(relay);
      d.AddEventHandler(TApdEventHandler{&Relay::Handle, relay.get()});
      installed_ = true;
      timeoutTrigger_ = static_cast<std::uint16_t>(CheckErrorCode(nullptr, d.AddTimerTrigger()));
    }
    enabled_ = true;
    return;
  }
  if (installed_) {
    if (auto* d = port_.CurrentDispatcher()) {
      const auto trigger = timeoutTrigger_;
      timeoutTrigger_ = 0;
      d->RemoveEventHandler(&Relay::Handle);
      if (trigger != 0) d->RemoveTrigger(trigger);
    }
    timeoutTrigger_ = 0;
  }
  installed_ = false;
  enabled_ = false;
  FreeBuffer();
}

void TApdDataPacketManager::Add(TApdDataPacket& packet) {
  packets_.push_back(&packet);
  packet.manager_ = this;
}

void TApdDataPacketManager::Remove(TApdDataPacket& packet) {
  if (!inEvent_) packet.Disarm();
  std::erase(packets_, &packet);
  if (collector_ == &packet) collector_ = nullptr;
  packet.manager_ = nullptr;
  packet.holdsTimer_ = false;
  packet.timerRunning_ = false;
  packet.state_ = TPacketState::pstIdle;
  if (packets_.empty() && !destroying_ && !freePosted_) {
    freePosted_ = true;
    window_->post(kFreeMessage);
  }
}

void TApdDataPacketManager::PortCallbackEx(TApdCustomComPort&, TPortCallbackKind kind) {
  if (kind == TPortCallbackKind::pckOpen) {
    SetEnabled(true);
    for (auto* packet : std::vector<TApdDataPacket*>(packets_)) {
      if (packet->enabled_) packet->Arm();
    }
  } else {
    DeliverInbox();  // what was read before the close belongs to this session
    for (auto* packet : std::vector<TApdDataPacket*>(packets_)) packet->Disarm();
    SetEnabled(false);
  }
}

void TApdDataPacketManager::DeliverInbox() {
  // A handler that processes messages meanwhile delivers the next bytes through Receive, which
  // keeps them in order; such a nested call finds the spare buffer taken and makes its own.
  std::vector<std::uint8_t> block;
  block.swap(spare_);
  while (inbox_->Take(block)) Receive(block.data(), block.size());
  block.swap(spare_);
}

std::intptr_t TApdDataPacketManager::HandleMessage(const platform::Message& message) {
  switch (message.id) {
    case kDataMessage:
      DeliverInbox();
      return 0;
    case kTimerMessage:
      DeliverInbox();  // bytes read before the time-out come first
      Timer(static_cast<std::uint16_t>(message.wParam));
      return 0;
    case kFreeMessage:
      if (inEvent_) {
        window_->post(kFreeMessage);
      } else if (packets_.empty()) {
        PacketManagerList().Release(*this);  // frees this manager and its window
      } else {
        freePosted_ = false;  // a packet came back meanwhile
      }
      return 0;
    case 17:  // may the session end
      return 1;
    default:
      return 0;
  }
}

void TApdDataPacketManager::Receive(const std::uint8_t* bytes, std::size_t count) {
  if (!enabled_ || count == 0) return;
  if (inEvent_) {
    // Never move the buffer under a handler that reads it.
    incoming_.insert(incoming_.end(), bytes, bytes + count);
    return;
  }
  const std::size_t start = held_.size();
  while (start + count >= capacity_) capacity_ += kBufferStep;
  held_.reserve(capacity_);
  held_.insert(held_.end(), bytes, bytes + count);
  ProcessData(start);
}

void TApdDataPacketManager::Timer(std::uint16_t handle) {
  if (!enabled_ || handle == 0 || handle != timeoutTrigger_ || !collector_) return;
  try {
    collector_->TimedOut();
  } catch (...) {
    Report(std::current_exception());
  }
}

// Runs the offering rounds in one loop: work deferred by a delivery (the re-arm, the rest of the
// block) is picked up here instead of one stack level deeper per packet.
void TApdDataPacketManager::ProcessData(std::size_t start) {
  if (inEvent_ || processing_) {
    pendingPos_ = dataPending_ ? std::min(pendingPos_, start) : start;
    dataPending_ = true;
    return;
  }
  processing_ = true;
  pendingPos_ = start;
  dataPending_ = true;
  try {
    while (dataPending_ && !inEvent_) {
      dataPending_ = false;
      OfferRound(pendingPos_);
      if (dataPending_ || inEvent_) continue;
      if (!incoming_.empty()) {
        std::vector<std::uint8_t> more;
        more.swap(incoming_);
        pendingPos_ = held_.size();
        dataPending_ = true;
        while (held_.size() + more.size() >= capacity_) capacity_ += kBufferStep;
        held_.reserve(capacity_);
        held_.insert(held_.end(), more.begin(), more.end());
      }
    }
  } catch (...) {
    processing_ = false;
    throw;
  }
  processing_ = false;
}

void TApdDataPacketManager::OfferRound(std::size_t start) {
  if (held_.empty()) return;
  const auto before = completions_;
  if (collector_) {
    collector_->OfferBytes(start);
  } else {
    for (std::size_t i = 0; i < packets_.size(); ++i) {
      packets_[i]->OfferBytes(start);
      if (collector_ || held_.empty() || completions_ != before) break;
    }
  }
  if (completions_ != before) {
    // A delivery removed bytes and re-armed every packet: what remains is scanned from the front.
    if (!held_.empty()) {
      pendingPos_ = dataPending_ ? std::min<std::size_t>(pendingPos_, 0) : 0;
      dataPending_ = true;
    }
    return;
  }
  if (collector_ || held_.empty()) return;
  const bool partial = std::any_of(packets_.begin(), packets_.end(), [](auto* p) {
    return p->enabled_ && p->state_ != TPacketState::pstIdle && p->startPos_ >= 0;
  });
  if (!partial) FreeBuffer();
}

// Both run once per packet delivered (once per byte for packets of one byte): they walk the
// list by index rather than copy it.
void TApdDataPacketManager::Lock() {
  inEvent_ = true;
  for (std::size_t i = 0; i < packets_.size(); ++i) {
    if (packets_[i]->enabled_) packets_[i]->Disarm();
  }
}

void TApdDataPacketManager::Unlock() {
  inEvent_ = false;
  for (std::size_t i = 0; i < packets_.size(); ++i) {
    auto* packet = packets_[i];
    if (!packet->enabled_) continue;
    try {
      packet->enablePending_ = false;
      packet->Arm();
    } catch (...) {
      packet->enabled_ = false;
      Report(std::current_exception());
    }
  }
  if (dataPending_ && !held_.empty()) {
    dataPending_ = false;
    ProcessData(pendingPos_);
  } else if (!incoming_.empty()) {
    ProcessData(held_.size());
  }
}

void TApdDataPacketManager::RemoveFront(std::size_t count) {
  count = std::min(count, held_.size());
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
  if (held_.empty()) FreeBuffer();
}

void TApdDataPacketManager::FreeBuffer() {
  held_.clear();
  // One step's worth stays allocated: a buffer freed after every packet would be taken again
  // for the next.
  if (held_.capacity() > kBufferStep) held_.shrink_to_fit();
  capacity_ = 0;
  dataPending_ = false;
}

void TApdDataPacketManager::Report(std::exception_ptr error) const {
  platform::MessagePump::current().reportError(error);
}

// ---- TApdDataPacketManagerList -------------------------------------------------------------

TApdDataPacketManager* TApdDataPacketManagerList::GetPortManager(
    const TApdCustomComPort& port) const {
  for (const auto& manager : managers_) {
    // A manager whose port is gone waits for its free message; a new port may sit at the
    // same address and needs a manager of its own.
    if (&manager->Port() == &port && manager->PortAlive()) return manager.get();
  }
  return nullptr;
}

TApdDataPacketManager& TApdDataPacketManagerList::Create(TApdCustomComPort& port) {
  managers_.push_back(std::make_unique<TApdDataPacketManager>(port));
  return *managers_.back();
}

void TApdDataPacketManagerList::Release(TApdDataPacketManager& manager) {
  auto it = std::find_if(managers_.begin(), managers_.end(),
                         [&](const auto& m) { return m.get() == &manager; });
  if (it == managers_.end()) return;
  auto owned = std::move(*it);
  managers_.erase(it);
  owned.reset();
}

TApdDataPacketManagerList& PacketManagerList() {
  static TApdDataPacketManagerList list;
  return list;
}

}  // namespace velmora::serial
