#include "platform/midi/JackLibrary.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

// Hidden: the jack_* definitions below are this program's own. Exported, they would stand in
// for the loaded library's calls to itself.
#pragma GCC visibility push(hidden)
#include <jack/jack.h>
#include <jack/midiport.h>

namespace velmora::platform::midi {

namespace {

// clang-format off
#define VELMORA_JACK_FUNCTIONS(X) \
  X(jack_client_open) X(jack_client_close) X(jack_activate) X(jack_deactivate) \
  X(jack_get_client_name) X(jack_on_shutdown) X(jack_on_info_shutdown) \
  X(jack_set_thread_init_callback) X(jack_set_process_callback) X(jack_set_xrun_callback) \
  X(jack_set_client_registration_callback) X(jack_midi_max_event_size) \
  X(jack_set_port_connect_callback) X(jack_set_port_registration_callback) \
  X(jack_set_port_rename_callback) X(jack_port_register) X(jack_port_unregister) \
  X(jack_port_name) X(jack_port_get_buffer) X(jack_port_connected) X(jack_port_connected_to) \
  X(jack_port_get_all_connections) X(jack_port_by_name) X(jack_port_disconnect) X(jack_connect) \
  X(jack_disconnect) X(jack_get_ports) X(jack_free) X(jack_get_sample_rate) \
  X(jack_get_buffer_size) X(jack_client_thread_id) X(jack_set_error_function) \
  X(jack_set_info_function) X(jack_get_version_string) X(jack_midi_clear_buffer) \
  X(jack_midi_get_event_count) X(jack_midi_event_get) X(jack_midi_event_reserve) \
  X(jack_midi_event_write) \
  X(jack_get_time) X(jack_get_cycle_times) X(jack_set_latency_callback) \
  X(jack_port_set_latency_range) X(jack_port_get_latency_range) X(jack_recompute_total_latencies)
// clang-format on

// One library's entry points; never unloaded once loaded.
struct Api {
  std::string path;
  void* handle = nullptr;
#define VELMORA_JACK_POINTER(name) decltype(&::name) name = nullptr;
  VELMORA_JACK_FUNCTIONS(VELMORA_JACK_POINTER)
#undef VELMORA_JACK_POINTER
};

using MessageFunction = void (*)(const char*);

// Where PipeWire keeps its libjack, the Debian path first.
constexpr const char* kPipeWireJack[] = {
#ifdef VELMORA_PIPEWIRE_JACK
    VELMORA_PIPEWIRE_JACK,
#endif
    "/usr/lib64/pipewire-0.3/jack/libjack.so.0",
    "/usr/lib/pipewire-0.3/jack/libjack.so.0",
};

// The socket of the PipeWire daemon that PipeWire's libjack would talk to.
std::string PipeWireSocket() {
  const char* remote = std::getenv("PIPEWIRE_REMOTE");
  const std::string name = remote != nullptr && *remote != '\0' ? remote : "pipewire-0";
  if (name.front() == '/') return name;
  const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
  if (dir == nullptr || *dir == '\0') dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir == nullptr || *dir == '\0') return {};
  return std::string(dir) + "/" + name;
}

// The socket of the jackd server that jackd's libjack would talk to.
std::string JackdSocket() {
  const char* server = std::getenv("JACK_DEFAULT_SERVER");
  return std::string("/dev/shm/jack_") +
         (server != nullptr && *server != '\0' ? server : "default") + "_" +
         std::to_string(getuid()) + "_0";
}

bool Answers(const std::string& path) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answered =
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answered;
}

// The libraries loaded in this process. libjack is process-wide by nature, so this is too.
class Libraries {
 public:
  static Libraries& Get() {
    static Libraries libraries;
    return libraries;
  }

  // Any thread, JACK's process thread included (lock-free once a library is in use): the
  // library of the open clients, or of the last one.
  const Api& Current() {
    if (const Api* api = current_.load(std::memory_order_acquire)) return *api;
    std::lock_guard lock(mutex_);
    return ChooseLocked();
  }

  jack_client_t* Open(const char* name, jack_options_t options, jack_status_t* status) {
    std::lock_guard lock(mutex_);
    // Another server may answer now than when the last client opened.
    const Api& api = openClients_ == 0 ? ChooseLocked() : *current_.load();
    if (api.handle == nullptr) {
      if (status != nullptr) *status = static_cast<jack_status_t>(JackFailure | JackServerFailed);
      return nullptr;
    }
    jack_client_t* client = api.jack_client_open(name, options, status);
    if (client != nullptr) ++openClients_;
    return client;
  }
  int Close(jack_client_t* client) {
    const int result = Current().jack_client_close(client);
    std::lock_guard lock(mutex_);
    --openClients_;
    return result;
  }

  void SetMessages(MessageFunction error, MessageFunction info) {
    std::lock_guard lock(mutex_);
    if (error != nullptr) error_ = error;
    if (info != nullptr) info_ = info;
    for (const Api& api : loaded_) ApplyMessages(api);
  }

 private:
  // jackd's library while a jackd answers: on a PipeWire desktop, a jackd runs only because
  // its user started it. Else PipeWire's while its daemon answers. Else jackd's again, which
  // keeps asking. "libjack.so.0" is whichever the library path gives, PipeWire's under pw-jack.
  const Api& ChooseLocked() {
    const Api* chosen = nullptr;
    if (!Answers(JackdSocket()) && Answers(PipeWireSocket())) {
      for (const char* path : kPipeWireJack) {
        if ((chosen = LoadLocked(path)) != nullptr) break;
      }
    }
    if (chosen == nullptr) chosen = LoadLocked("libjack.so.0");
    if (chosen == nullptr) return none_;
    current_.store(chosen, std::memory_order_release);
    return *chosen;
  }

  const Api* LoadLocked(const std::string& path) {
    for (const Api& api : loaded_) {
      if (api.path == path) return &api;
    }
    // The library's calls to its own functions must reach its own, not those of the jackd
    // libjack that RtMidi brings into the process. The sanitizers' run times refuse deep
    // binding; they run on jackd alone.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int kDeep = 0;
#else
    constexpr int kDeep = RTLD_DEEPBIND;
#endif
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | kDeep);
    if (handle == nullptr) return nullptr;
    Api api;
    api.path = path;
    api.handle = handle;
    bool whole = true;
#define VELMORA_JACK_RESOLVE(name)                                      \
  api.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
  whole = whole && api.name != nullptr;
    VELMORA_JACK_FUNCTIONS(VELMORA_JACK_RESOLVE)
#undef VELMORA_JACK_RESOLVE
    if (!whole) {
      dlclose(handle);
      return nullptr;
    }
    loaded_.push_back(std::move(api));
    ApplyMessages(loaded_.back());
    return &loaded_.back();
  }

  void ApplyMessages(const Api& api) const {
    if (error_ != nullptr) api.jack_set_error_function(error_);
    if (info_ != nullptr) api.jack_set_info_function(info_);
  }

  // Guards everything below; `current_` is written under it and read without.
  std::mutex mutex_;
  std::deque<Api> loaded_;  // a deque: the addresses stay
  std::atomic<const Api*> current_{nullptr};
  int openClients_ = 0;
  MessageFunction error_ = nullptr;
  MessageFunction info_ = nullptr;
  const Api none_{};  // no libjack at all: every call fails or gives nothing
};

const Api& Jack() {
  return Libraries::Get().Current();
}

}  // namespace

std::string JackServerName() {
  const Api& api = Jack();
  if (api.handle == nullptr) return {};
  const std::string version = api.jack_get_version_string();
  // PipeWire's: "3.0.0.0 (using PipeWire 0.3.65)".
  const auto pipeWire = version.find("PipeWire");
  if (pipeWire == std::string::npos) return "jackd " + version;
  std::string name = version.substr(pipeWire);
  while (!name.empty() && (name.back() == ')' || name.back() == ' ')) name.pop_back();
  return name;
}

}  // namespace velmora::platform::midi

using velmora::platform::midi::Jack;
using velmora::platform::midi::Libraries;

// ---- the calls our code makes, forwarded ---------------------------------------------------

extern "C" {

jack_client_t* jack_client_open(const char* name, jack_options_t options, jack_status_t* status,
                                ...) {
  return Libraries::Get().Open(name, options, status);
}
int jack_client_close(jack_client_t* client) {
  return Libraries::Get().Close(client);
}
int jack_activate(jack_client_t* client) {
  return Jack().jack_activate ? Jack().jack_activate(client) : -1;
}
int jack_deactivate(jack_client_t* client) {
  return Jack().jack_deactivate(client);
}
char* jack_get_client_name(jack_client_t* client) {
  return Jack().jack_get_client_name(client);
}
void jack_on_shutdown(jack_client_t* client, JackShutdownCallback callback, void* arg) {
  Jack().jack_on_shutdown(client, callback, arg);
}
void jack_on_info_shutdown(jack_client_t* client, JackInfoShutdownCallback callback, void* arg) {
  Jack().jack_on_info_shutdown(client, callback, arg);
}
int jack_set_thread_init_callback(jack_client_t* client, JackThreadInitCallback callback,
                                  void* arg) {
  return Jack().jack_set_thread_init_callback(client, callback, arg);
}
int jack_set_process_callback(jack_client_t* client, JackProcessCallback callback, void* arg) {
  return Jack().jack_set_process_callback(client, callback, arg);
}
int jack_set_xrun_callback(jack_client_t* client, JackXRunCallback callback, void* arg) {
  return Jack().jack_set_xrun_callback(client, callback, arg);
}
int jack_set_port_connect_callback(jack_client_t* client, JackPortConnectCallback callback,
                                   void* arg) {
  return Jack().jack_set_port_connect_callback(client, callback, arg);
}
int jack_set_port_registration_callback(jack_client_t* client,
                                        JackPortRegistrationCallback callback, void* arg) {
  return Jack().jack_set_port_registration_callback(client, callback, arg);
}
int jack_set_port_rename_callback(jack_client_t* client, JackPortRenameCallback callback,
                                  void* arg) {
  return Jack().jack_set_port_rename_callback(client, callback, arg);
}
int jack_set_client_registration_callback(jack_client_t* client,
                                          JackClientRegistrationCallback callback, void* arg) {
  return Jack().jack_set_client_registration_callback(client, callback, arg);
}
jack_port_t* jack_port_register(jack_client_t* client, const char* name, const char* type,
                                unsigned long flags, unsigned long size) {
  return Jack().jack_port_register(client, name, type, flags, size);
}
int jack_port_unregister(jack_client_t* client, jack_port_t* port) {
  return Jack().jack_port_unregister(client, port);
}
const char* jack_port_name(const jack_port_t* port) {
  return Jack().jack_port_name(port);
}
void* jack_port_get_buffer(jack_port_t* port, jack_nframes_t frames) {
  return Jack().jack_port_get_buffer(port, frames);
}
int jack_port_connected(const jack_port_t* port) {
  return Jack().jack_port_connected(port);
}
int jack_port_connected_to(const jack_port_t* port, const char* name) {
  return Jack().jack_port_connected_to(port, name);
}
const char** jack_port_get_all_connections(const jack_client_t* client, const jack_port_t* port) {
  return Jack().jack_port_get_all_connections(client, port);
}
jack_port_t* jack_port_by_name(jack_client_t* client, const char* name) {
  return Jack().jack_port_by_name(client, name);
}
int jack_port_disconnect(jack_client_t* client, jack_port_t* port) {
  return Jack().jack_port_disconnect(client, port);
}
int jack_connect(jack_client_t* client, const char* source, const char* destination) {
  return Jack().jack_connect(client, source, destination);
}
int jack_disconnect(jack_client_t* client, const char* source, const char* destination) {
  return Jack().jack_disconnect(client, source, destination);
}
const char** jack_get_ports(jack_client_t* client, const char* name, const char* type,
                            unsigned long flags) {
  return Jack().jack_get_ports(client, name, type, flags);
}
void jack_free(void* pointer) {
  Jack().jack_free(pointer);
}
jack_nframes_t jack_get_sample_rate(jack_client_t* client) {
  return Jack().jack_get_sample_rate(client);
}
jack_nframes_t jack_get_buffer_size(jack_client_t* client) {
  return Jack().jack_get_buffer_size(client);
}
jack_native_thread_t jack_client_thread_id(jack_client_t* client) {
  return Jack().jack_client_thread_id(client);
}
void jack_set_error_function(void (*function)(const char*)) {
  Libraries::Get().SetMessages(function, nullptr);
}
void jack_set_info_function(void (*function)(const char*)) {
  Libraries::Get().SetMessages(nullptr, function);
}
const char* jack_get_version_string(void) {
  return Jack().jack_get_version_string ? Jack().jack_get_version_string() : "";
}
void jack_midi_clear_buffer(void* buffer) {
  Jack().jack_midi_clear_buffer(buffer);
}
uint32_t jack_midi_get_event_count(void* buffer) {
  return Jack().jack_midi_get_event_count(buffer);
}
int jack_midi_event_get(jack_midi_event_t* event, void* buffer, uint32_t index) {
  return Jack().jack_midi_event_get(event, buffer, index);
}
jack_midi_data_t* jack_midi_event_reserve(void* buffer, jack_nframes_t time, size_t size) {
  return Jack().jack_midi_event_reserve(buffer, time, size);
}
int jack_midi_event_write(void* buffer, jack_nframes_t time, const jack_midi_data_t* data,
                          size_t size) {
  return Jack().jack_midi_event_write(buffer, time, data, size);
}
size_t jack_midi_max_event_size(void* buffer) {
  return Jack().jack_midi_max_event_size(buffer);
}
jack_time_t jack_get_time(void) {
  if (Jack().jack_get_time) return Jack().jack_get_time();
  // No library yet: the same monotonic clock that both libjacks count.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<jack_time_t>(now.tv_sec) * 1'000'000 +
         static_cast<jack_time_t>(now.tv_nsec) / 1000;
}
int jack_get_cycle_times(const jack_client_t* client, jack_nframes_t* current_frames,
                         jack_time_t* current_usecs, jack_time_t* next_usecs, float* period_usecs) {
  return Jack().jack_get_cycle_times(client, current_frames, current_usecs, next_usecs,
                                     period_usecs);
}
int jack_set_latency_callback(jack_client_t* client, JackLatencyCallback callback, void* arg) {
  return Jack().jack_set_latency_callback(client, callback, arg);
}
void jack_port_set_latency_range(jack_port_t* port, jack_latency_callback_mode_t mode,
                                 jack_latency_range_t* range) {
  Jack().jack_port_set_latency_range(port, mode, range);
}
void jack_port_get_latency_range(jack_port_t* port, jack_latency_callback_mode_t mode,
                                 jack_latency_range_t* range) {
  Jack().jack_port_get_latency_range(port, mode, range);
}
int jack_recompute_total_latencies(jack_client_t* client) {
  return Jack().jack_recompute_total_latencies(client);
}

}  // extern "C"

#pragma GCC visibility pop
