#include "tools/JackClient.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <stdexcept>

#include "platform/midi/JackCycleOrder.h"

namespace velmora::tools {

JackRing MakeJackRing(std::size_t bytes) {
  return std::make_unique<platform::midi::ByteRing>(bytes);
}

JackClient::JackClient(const std::string& name, JackProcessCallback process, void* self)
    : process_(process), processSelf_(self) {
  jack_status_t status{};
  client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
  if (!client_) throw std::runtime_error("cannot open JACK client " + name);
  if (jack_set_process_callback(client_, &JackClient::timedProcess, this) != 0 ||
      jack_set_xrun_callback(client_, &JackClient::onXrun, this) != 0) {
    leave();
    throw std::runtime_error("cannot set up JACK client " + name);
  }
}

JackClient::~JackClient() {
  leave();
}

void JackClient::leave() {
  if (!client_) return;
  jack_deactivate(client_);
  for (jack_port_t* port : ports_) jack_port_unregister(client_, port);
  ports_.clear();
  jack_client_close(client_);
  client_ = nullptr;
}

jack_port_t* JackClient::registerPort(const std::string& name, bool output) {
  jack_port_t* port = jack_port_register(client_, name.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                         output ? JackPortIsOutput : JackPortIsInput, 0);
  if (!port) throw std::runtime_error("cannot register JACK port " + name);
  ports_.push_back(port);
  return port;
}

void JackClient::activate() {
  if (jack_activate(client_) != 0) throw std::runtime_error("cannot activate a JACK client");
}

std::vector<std::string> JackClient::midiPorts() const {
  std::vector<std::string> names;
  if (const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, 0)) {
    for (const char** port = ports; *port; ++port) names.emplace_back(*port);
    jack_free(ports);
  }
  return names;
}

std::vector<std::string> JackClient::connections(const jack_port_t* port) const {
  std::vector<std::string> names;
  if (const char** list = jack_port_get_all_connections(client_, port)) {
    for (const char** name = list; *name; ++name) names.emplace_back(*name);
    jack_free(list);
  }
  return names;
}

bool JackClient::connect(const std::string& from, const std::string& to) const {
  const int result = jack_connect(client_, from.c_str(), to.c_str());
  return result == 0 || result == EEXIST;
}

int JackClient::onXrun(void* self) {
  auto& client = *static_cast<JackClient*>(self);
  client.lastXrun_ = std::chrono::steady_clock::now().time_since_epoch().count();
  ++client.xruns_;
  return 0;
}

int JackClient::timedProcess(jack_nframes_t frames, void* self) {
  auto& client = *static_cast<JackClient*>(self);
  [[maybe_unused]] const platform::midi::JackCycleOrder order;
  return client.timer_.Time([&] { return client.process_(frames, client.processSelf_); });
}

double JackClient::processCpuSeconds() const {
  clockid_t id{};
  timespec ts{};
  if (pthread_getcpuclockid(jack_client_thread_id(client_), &id) != 0 ||
      clock_gettime(id, &ts) != 0) {
    return 0;
  }
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool JackClient::realTime() const {
  int policy = 0;
  sched_param param{};
  return pthread_getschedparam(jack_client_thread_id(client_), &policy, &param) == 0 &&
         (policy == SCHED_FIFO || policy == SCHED_RR);
}

}  // namespace velmora::tools
