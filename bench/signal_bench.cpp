// What sending values as signals costs the server, per value: the typed interface's Changed
// signal, one per subscription and interval carrying every value that changed, beside one
// PropertiesChanged signal per value (a design with a property per point). Server and subscriber
// are two sd-bus connections over a socket pair; the server's building and sending is timed, the
// subscriber's reading is not.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr int kValues = 500;
const char* const kPath = "/QorModBus/Modbus1/site/1/sub/1";

sd_bus* Open(int fd, bool server) {
  sd_bus* bus = nullptr;
  sd_id128_t id{};
  if (sd_bus_new(&bus) < 0 || sd_bus_set_fd(bus, fd, fd) < 0) std::abort();
  if (server && (sd_id128_randomize(&id) < 0 || sd_bus_set_server(bus, 1, id) < 0)) std::abort();
  if (sd_bus_set_anonymous(bus, 1) < 0 || sd_bus_start(bus) < 0) std::abort();
  return bus;
}

struct Pair {
  Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) < 0) std::abort();
    subscriber = Open(fds[0], false);
    server = Open(fds[1], true);
    // The handshake: both ends run until the subscriber's connection is up.
    while (sd_bus_is_ready(subscriber) <= 0) {
      sd_bus_process(server, nullptr);
      sd_bus_process(subscriber, nullptr);
    }
  }
  ~Pair() {
    sd_bus_flush_close_unref(subscriber);
    sd_bus_flush_close_unref(server);
  }
  // The subscriber reads every signal the server sent (untimed).
  void Drain() {
    while (sd_bus_process(subscriber, nullptr) > 0) {
    }
  }
  sd_bus* server;
  sd_bus* subscriber;
};

void Send(sd_bus_message* m, sd_bus* bus) {
  if (sd_bus_send(bus, m, nullptr) < 0) std::abort();
  sd_bus_message_unref(m);
  sd_bus_flush(bus);
}

// One Changed(a(uvtus)) with every value.
void BM_ChangedBatched(benchmark::State& state) {
  Pair pair;
  for (auto _ : state) {
    sd_bus_message* m = nullptr;
    sd_bus_message_new_signal(pair.server, &m, kPath, "QorModBus.Modbus1.Subscription", "Changed");
    sd_bus_message_open_container(m, 'a', "(uvtus)");
    for (uint32_t i = 0; i < kValues; ++i)
      sd_bus_message_append(m, "(uvtus)", i, "q", static_cast<uint16_t>(i), uint64_t{1}, 192u, "");
    sd_bus_message_close_container(m);
    Send(m, pair.server);
    state.PauseTiming();
    pair.Drain();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_ChangedBatched);

// One PropertiesChanged(sa{sv}as) per value.
void BM_PropertiesChangedPerValue(benchmark::State& state) {
  Pair pair;
  for (auto _ : state) {
    for (int i = 0; i < kValues; ++i) {
      sd_bus_message* m = nullptr;
      const std::string path = "/QorModBus/Modbus1/site/1/point/" + std::to_string(i);
      sd_bus_message_new_signal(pair.server, &m, path.c_str(), "org.freedesktop.DBus.Properties",
                                "PropertiesChanged");
      sd_bus_message_append(m, "sa{sv}as", "QorModBus.Point", 1, "Value", "q",
                            static_cast<uint16_t>(i), 0);
      Send(m, pair.server);
    }
    state.PauseTiming();
    pair.Drain();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_PropertiesChangedPerValue);

}  // namespace
