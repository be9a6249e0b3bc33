// Our JACK back end on the JACK server that the test fixture started, with a JACK peer at the
// far side, or a second service of ours where both ends must be ours.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>

#include "platform/midi/JackMidiService.h"
#include "support/Wait.h"
#include "support/XrunRetry.h"
#include "tools/JackPeer.h"

namespace pm = velmora::platform::midi;
using velmora::testing::RetryOnXrun;
using velmora::testing::WaitUntil;
using velmora::tools::JackPeer;
using Bytes = JackPeer::Bytes;
using namespace std::chrono_literals;

namespace {

constexpr auto kExchangeBound = 5s;

// What a device's callback received, on the service's thread.
struct Received {
  std::mutex mutex;
  std::vector<std::uint32_t> shorts;  // MIM_DATA, packed
  std::vector<Bytes> longs;           // MIM_LONGDATA
  int lost = 0;                       // MM_DEVICELOST

  static void Callback(void*, std::uint32_t message, std::uintptr_t instance, std::uintptr_t param1,
                       std::uintptr_t) {
    auto& self = *reinterpret_cast<Received*>(instance);
    std::lock_guard lock(self.mutex);
    if (message == pm::MIM_DATA) self.shorts.push_back(static_cast<std::uint32_t>(param1));
    if (message == pm::MIM_LONGDATA) {
      const auto* header = reinterpret_cast<const pm::MIDIHDR*>(param1);
      self.longs.emplace_back(header->lpData, header->lpData + header->dwBytesRecorded);
    }
    if (message == pm::MM_DEVICELOST) ++self.lost;
  }
  template <typename F>
  auto With(F f) {
    std::lock_guard lock(mutex);
    return f(*this);
  }
};

Bytes Sysex(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7 + 3) % 127);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

std::vector<std::string> Names(pm::JackMidiService& service, bool input) {
  std::vector<std::string> names;
  const std::uint32_t count = input ? service.midiInGetNumDevs() : service.midiOutGetNumDevs();
  for (std::uint32_t id = 0; id < count; ++id) {
    pm::MIDIOUTCAPSA out{};
    pm::MIDIINCAPSA in{};
    const auto result = input ? service.midiInGetDevCapsA(id, &in, sizeof in)
                              : service.midiOutGetDevCapsA(id, &out, sizeof out);
    if (result == pm::MMSYSERR_NOERROR) names.emplace_back(input ? in.szPname : out.szPname);
  }
  return names;
}

// PipeWire shows a port of another client a little after it was registered: waited for.
std::uint32_t IdOf(pm::JackMidiService& service, bool input, const std::string& name) {
  std::vector<std::string> names;
  const auto found = [&] { return std::find(names.begin(), names.end(), name); };
  EXPECT_TRUE(WaitUntil([&] {
    names = Names(service, input);
    return found() != names.end();
  })) << name;
  return static_cast<std::uint32_t>(found() - names.begin());
}

// An input of `service` from `source`, started, with one buffer for a system-exclusive
// message of the largest size.
class OpenInput {
 public:
  OpenInput(pm::JackMidiService& service, const std::string& source) : service_(service) {
    EXPECT_EQ(
        service.midiInOpen(&handle_, IdOf(service, true, source), &Received::Callback,
                           reinterpret_cast<std::uintptr_t>(&received), pm::CALLBACK_FUNCTION),
        pm::MMSYSERR_NOERROR);
    header_.lpData = buffer_.data();
    header_.dwBufferLength = static_cast<std::uint32_t>(buffer_.size());
    EXPECT_EQ(service.midiInPrepareHeader(handle_, &header_, sizeof header_), 0u);
    EXPECT_EQ(service.midiInStart(handle_), 0u);
  }
  ~OpenInput() {
    service_.midiInReset(handle_);
    service_.midiInUnprepareHeader(handle_, &header_, sizeof header_);
    EXPECT_EQ(service_.midiInClose(handle_), pm::MMSYSERR_NOERROR);
  }
  void Requeue() { service_.midiInAddBuffer(handle_, &header_, sizeof header_); }
  Received received;

 private:
  pm::JackMidiService& service_;
  pm::HMIDIIN handle_ = nullptr;
  std::vector<char> buffer_ = std::vector<char>(pm::JackMidiService::kMaxMessage);
  pm::MIDIHDR header_;
};

class OpenOutput {
 public:
  OpenOutput(pm::JackMidiService& service, const std::string& destination) : service_(service) {
    EXPECT_EQ(
        service.midiOutOpen(&handle, IdOf(service, false, destination), &Received::Callback,
                            reinterpret_cast<std::uintptr_t>(&received), pm::CALLBACK_FUNCTION),
        pm::MMSYSERR_NOERROR);
  }
  ~OpenOutput() { EXPECT_EQ(service_.midiOutClose(handle), pm::MMSYSERR_NOERROR); }
  pm::MMRESULT SendLong(const Bytes& bytes) {
    Bytes copy = bytes;
    pm::MIDIHDR header;
    header.lpData = reinterpret_cast<char*>(copy.data());
    header.dwBufferLength = static_cast<std::uint32_t>(copy.size());
    service_.midiOutPrepareHeader(handle, &header, sizeof header);
    const auto result = service_.midiOutLongMsg(handle, &header, sizeof header);
    service_.midiOutUnprepareHeader(handle, &header, sizeof header);
    return result;
  }
  pm::HMIDIOUT handle = nullptr;
  Received received;

 private:
  pm::JackMidiService& service_;
};

class JackService : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    peer = std::make_unique<JackPeer>("jpeer-" + std::to_string(++serial));
    service = std::make_unique<pm::JackMidiService>();
    ASSERT_TRUE(service->Connected());
  }
  void TearDown() override {
    if (service) {
      EXPECT_EQ(service->Refused(), 0u);
    }
  }

  std::unique_ptr<JackPeer> peer;
  std::unique_ptr<pm::JackMidiService> service;
};

TEST_F(JackService, ListsOtherClientsPortsByDirectionAndNamesItsOwnStably) {
  EXPECT_EQ(IdOf(*service, true, peer->outPortName()), IdOf(*service, true, peer->outPortName()));
  const auto inputs = Names(*service, true);
  const auto outputs = Names(*service, false);
  EXPECT_EQ(std::count(inputs.begin(), inputs.end(), peer->inPortName()), 0);
  EXPECT_EQ(std::count(outputs.begin(), outputs.end(), peer->outPortName()), 0);

  const std::string own = service->ClientName() + ":";
  constexpr const char* kOwn[] = {"midi_out", "midi_out_2", "midi_in"};
  {
    OpenOutput first(*service, peer->inPortName());
    OpenOutput second(*service, peer->inPortName());
    OpenInput input(*service, peer->outPortName());
    // Another client of PipeWire sees a new port a little later.
    EXPECT_TRUE(WaitUntil([&] {
      const auto ports = peer->midiPorts();
      return std::all_of(std::begin(kOwn), std::end(kOwn), [&](const char* name) {
        return std::find(ports.begin(), ports.end(), own + name) != ports.end();
      });
    })) << "not all of midi_out, midi_out_2, midi_in";
    for (const bool direction : {true, false}) {
      for (const auto& name : Names(*service, direction)) EXPECT_NE(name.rfind(own, 0), 0u) << name;
    }
    EXPECT_TRUE(WaitUntil([&] { return peer->inConnected() && peer->outConnected(); }));
  }
  // A closed device's name is free again, and its port is linked to nothing.
  OpenOutput again(*service, peer->inPortName());
  // JACK's graph shows a new link from its next cycle on.
  const std::vector<std::string> linked{own + "midi_out"};
  EXPECT_TRUE(WaitUntil([&] { return peer->connections(false) == linked; }));
}

// The process callback times each of its runs; a reset starts the figures afresh.
TEST_F(JackService, TimesEveryRunOfItsProcessCallbackAndStartsAfreshOnReset) {
  const auto times = [&] { return service->ProcessCallbackTimes().value_or(pm::ProcessTimes{}); };
  ASSERT_TRUE(service->ProcessCallbackTimes().has_value());
  ASSERT_TRUE(WaitUntil([&] { return times().cycles >= 200; }));
  const pm::ProcessTimes before = times();
  EXPECT_GT(before.longestNs, 0u);
  EXPECT_LE(before.overBudget, before.cycles);
  service->ResetProcessCallbackTimes();
  const pm::ProcessTimes after = times();
  // A cycle running meanwhile may count on either side of the reset.
  EXPECT_LT(after.cycles, before.cycles);
  EXPECT_TRUE(WaitUntil([&] { return times().cycles > 0 && times().longestNs > 0; }));
}

// RtMidi freed a port's ring while its process callback could still run, one crash in tens.
TEST_F(JackService, AnOutputOpenedAndClosedAThousandTimesWhileMidiFlowsNeverCrashes) {
  OpenInput input(*service, peer->outPortName());
  std::size_t played = 0;
  for (int i = 0; i < 1000; ++i) {
    if (peer->send({0x90, static_cast<std::uint8_t>(i % 128), 0x40})) ++played;
    OpenOutput output(*service, peer->inPortName());
    ASSERT_EQ(service->midiOutShortMsg(output.handle, 0x403C90), pm::MMSYSERR_NOERROR);
  }
  EXPECT_GT(played, 0u);
  EXPECT_TRUE(
      WaitUntil([&] { return input.received.With([](auto& r) { return !r.shorts.empty(); }); }));
  EXPECT_TRUE(peer->receive(kExchangeBound).has_value());
}

TEST_F(JackService, ALongestSysexCrossesWholeBothWays) {
  // A second service of ours listens, so that both ends of the largest message are ours.
  pm::JackMidiService listener("velmora-listener");
  OpenInput input(listener, peer->outPortName());
  OpenOutput toListener(*service, listener.ClientName() + ":midi_in");
  OpenOutput toPeer(*service, peer->inPortName());
  const Bytes sysex = Sysex(pm::JackMidiService::kMaxMessage);

  RetryOnXrun(
      [&] { return service->Xruns(); },
      [&] {
        input.received.With([](auto& r) { return r.longs.clear(), 0; });
        input.Requeue();  // refused while still queued after an attempt that lost the message
        EXPECT_EQ(toListener.SendLong(sysex), pm::MMSYSERR_NOERROR);
        EXPECT_EQ(toPeer.SendLong(sysex), pm::MMSYSERR_NOERROR);
        // The peer gets it in parts, each as large as a port buffer takes.
        Bytes joined;
        while (joined.empty() || joined.back() != 0xF7) {
          auto part = peer->receive(kExchangeBound);
          if (!part) return false;
          joined.insert(joined.end(), part->begin(), part->end());
        }
        if (joined != sysex) return false;  // a part lost in a late cycle: RetryOnXrun judges
        const bool whole =
            WaitUntil([&] { return input.received.With([](auto& r) { return !r.longs.empty(); }); },
                      kExchangeBound);
        if (!whole) return false;
        input.received.With([&](auto& r) {
          EXPECT_EQ(r.longs.size(), 1u);
          EXPECT_EQ(r.longs.front(), sysex);
          return 0;
        });
        return true;
      });
  EXPECT_EQ(listener.Refused(), 0u);
}

TEST_F(JackService, ABurstLargerThanACycleArrivesWholeAndInOrder) {
  pm::JackMidiService listener("velmora-listener");
  OpenInput input(listener, peer->outPortName());
  OpenOutput output(*service, listener.ClientName() + ":midi_in");
  // A cycle carries about 1360 short messages (each costed as PipeWire stores it): three
  // cycles' worth, few enough that a slow build (sanitizers) passes without an xrun. Never
  // velocity 0: PipeWire turns a Note On without velocity into a Note Off of velocity 64.
  constexpr std::uint32_t kCount = 3000;
  const auto message = [](std::uint32_t i) {
    return 0x90u | ((i % 128) << 8) | ((i / 128 + 1) << 16);
  };

  RetryOnXrun([&] { return service->Xruns(); },
              [&] {
                input.received.With([](auto& r) { return r.shorts.clear(), 0; });
                for (std::uint32_t i = 0; i < kCount; ++i) {
                  EXPECT_EQ(service->midiOutShortMsg(output.handle, message(i)),
                            pm::MMSYSERR_NOERROR);
                }
                const auto all = [&] {
                  return input.received.With([](auto& r) { return r.shorts.size(); });
                };
                if (!WaitUntil([&] { return all() >= kCount; }, kExchangeBound)) return false;
                input.received.With([&](auto& r) {
                  EXPECT_EQ(r.shorts.size(), kCount);
                  for (std::uint32_t i = 0; i < kCount && i < r.shorts.size(); ++i) {
                    if (r.shorts[i] != message(i)) {
                      ADD_FAILURE() << "message " << i << " is " << std::hex << r.shorts[i];
                      break;
                    }
                  }
                  return 0;
                });
                return true;
              });
  EXPECT_EQ(listener.Refused(), 0u);
}

TEST_F(JackService, InputTakenOnTheCallersThreadRingsItsDescriptorAndWaitsForTheCaller) {
  const int ready = service->CallerDeliversInput();
  ASSERT_GE(ready, 0);
  OpenInput input(*service, peer->outPortName());
  // Controller 123 (all notes off) only makes sure the link carries: PipeWire makes a link in
  // its own time after jack_connect has returned. It is left out of what is compared.
  constexpr std::uint32_t kProbe = 0x007BB0;
  const auto shorts = [&] {
    return input.received.With([](auto& r) {
      std::vector<std::uint32_t> heard;
      std::copy_if(r.shorts.begin(), r.shorts.end(), std::back_inserter(heard),
                   [](std::uint32_t m) { return m != kProbe; });
      return heard;
    });
  };
  ASSERT_TRUE(WaitUntil([&] {
    peer->send({0xB0, 0x7B, 0x00});
    pollfd rung{ready, POLLIN, 0};
    if (poll(&rung, 1, 20) == 1) service->DeliverInput();
    return input.received.With([](auto& r) { return !r.shorts.empty(); });
  }));
  RetryOnXrun([&] { return service->Xruns(); },
              [&] {
                input.received.With([](auto& r) { return r.shorts.clear(), 0; });
                peer->send({0x90, 0x3C, 0x40});
                peer->send({0x80, 0x3C, 0x00});
                pollfd rung{ready, POLLIN, 0};
                if (poll(&rung, 1, 3000) != 1) return false;
                // Rung, and no thread of the service's hands it over meanwhile.
                EXPECT_TRUE(shorts().empty());
                const auto deadline = std::chrono::steady_clock::now() + kExchangeBound;
                while (shorts().size() < 2 && std::chrono::steady_clock::now() < deadline) {
                  if (poll(&rung, 1, 100) == 1) service->DeliverInput();
                }
                return shorts() == std::vector<std::uint32_t>{0x403C90, 0x003C80};
              });
}

TEST_F(JackService, APeerThatLeavesLosesTheDevicesOpenOnIt) {
  OpenInput input(*service, peer->outPortName());
  OpenOutput output(*service, peer->inPortName());
  peer->leave();
  const auto lost = [](Received& received) {
    return received.With([](auto& r) { return r.lost; });
  };
  EXPECT_TRUE(WaitUntil([&] { return lost(input.received) == 1 && lost(output.received) == 1; }));
  const auto inputs = Names(*service, true);
  EXPECT_EQ(std::find(inputs.begin(), inputs.end(), peer->outPortName()), inputs.end());
}

// jackd lists a client's ports from their registration but links them only once the client is
// active: an open in between finds the port missing, while the service is there. PipeWire links
// them at once.
TEST_F(JackService, APortListedButNotYetLinkableIsNotFoundWhileTheServiceIsThere) {
  const pm::MMRESULT expected = service->Name().find("PipeWire") != std::string::npos
                                    ? pm::MMSYSERR_NOERROR
                                    : pm::MIDIERR_NODEVICE;
  jack_status_t status{};
  jack_client_t* idle = jack_client_open("jidle", JackNoStartServer, &status);
  ASSERT_NE(idle, nullptr);
  const std::string client = jack_get_client_name(idle);
  ASSERT_NE(jack_port_register(idle, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0), nullptr);
  ASSERT_NE(jack_port_register(idle, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0), nullptr);
  const auto ignore = [](void*, std::uint32_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {};
  pm::HMIDIIN in = nullptr;
  EXPECT_EQ(service->midiInOpen(&in, IdOf(*service, true, client + ":out"), ignore, 0,
                                pm::CALLBACK_FUNCTION),
            expected);
  pm::HMIDIOUT out = nullptr;
  EXPECT_EQ(service->midiOutOpen(&out, IdOf(*service, false, client + ":in"), ignore, 0,
                                 pm::CALLBACK_FUNCTION),
            expected);
  if (in != nullptr) {
    EXPECT_EQ(service->midiInClose(in), pm::MMSYSERR_NOERROR);
  }
  if (out != nullptr) {
    EXPECT_EQ(service->midiOutClose(out), pm::MMSYSERR_NOERROR);
  }
  jack_client_close(idle);
}

// What the live lists are built on: a port that comes and one that goes each raise
// ports-changed on the service's thread, and the lists follow.
TEST_F(JackService, APortThatComesAndGoesRaisesPortsChangedAndTheListsFollow) {
  std::atomic<int> changes{0};
  service->SetPortsChangedCallback([&] { ++changes; });
  const auto listed = [&](const std::string& name) {
    const auto names = Names(*service, true);
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  int before = changes.load();
  auto other = std::make_unique<JackPeer>("jcome", JackPeer::Ports::OutOnly);
  const std::string name = other->outPortName();
  EXPECT_TRUE(WaitUntil([&] { return changes.load() > before && listed(name); }));
  before = changes.load();
  other->leave();
  EXPECT_TRUE(WaitUntil([&] { return changes.load() > before && !listed(name); }));
  service->SetPortsChangedCallback({});
  before = changes.load();
  other.reset();
  JackPeer again("jcome2", JackPeer::Ports::OutOnly);
  EXPECT_TRUE(WaitUntil([&] { return listed(again.outPortName()); }));
  EXPECT_EQ(changes.load(), before);  // taken away: never raised again
}

}  // namespace

TEST_F(JackService, ItsPortsReportTheCycleItAddsWhenExactAndUpToOneWhenFast) {
  OpenInput input(*service, peer->outPortName());
  OpenOutput output(*service, peer->inPortName());
  velmora::tools::JackClient reader(
      "jlatency", [](jack_nframes_t, void*) { return 0; }, nullptr);
  const std::string ours = service->ClientName() + ":";
  const auto range = [&](const std::string& port, jack_latency_callback_mode_t mode) {
    jack_latency_range_t latency{};
    jack_port_get_latency_range(jack_port_by_name(reader.get(), port.c_str()), mode, &latency);
    const jack_nframes_t min = latency.min, max = latency.max;  // a packed struct's fields
    return std::pair{min, max};
  };
  const jack_nframes_t cycle = jack_get_buffer_size(reader.get());
  // PipeWire's cycle times do not place events: they go at once there, exact or not.
  const bool placed = service->Name().find("PipeWire") == std::string::npos;
  for (const bool exact : {true, false}) {
    service->SetExactTiming(exact);
    const std::pair<jack_nframes_t, jack_nframes_t> expected{exact && placed ? cycle : 0u, cycle};
    // What reaches our input plays on the line later; what we send was heard there before.
    EXPECT_TRUE(WaitUntil([&] { return range(ours + "midi_in", JackPlaybackLatency) == expected; },
                          kExchangeBound))
        << "exact " << exact;
    EXPECT_TRUE(WaitUntil([&] { return range(ours + "midi_out", JackCaptureLatency) == expected; },
                          kExchangeBound))
        << "exact " << exact;
  }
}
