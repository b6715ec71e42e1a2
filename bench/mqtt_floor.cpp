// qmb_mqtt_floor: the yardstick for the MQTT bridge's CPU per published change. A bare
// libmosquitto program on its own single-threaded loop publishes what the bridge publishes for
// a site of TOPICS points that all change RATE times a second: every 1/RATE s one message per
// topic, QoS 1 and retained, to qormodbus/NODE/SITE/pN, with the bridge's JSON payload of the
// same size ({"value":V,"ts":"...Z","quality":192}, V counting up as the bench device's
// registers do). It then waits for the broker's acknowledgements and reports its own process
// CPU per message, setup excluded.
//
// Usage: qmb_mqtt_floor PORT SECONDS [TOPICS] [RATE] [NODE/SITE] [INFLIGHT]
//        (defaults: 1000 topics, 10 times a second, bench/moving, 20: libmosquitto's own limit
//        of QoS 1 messages sent and not yet acknowledged)
// Prints "floor: N messages in S s (R/s), A acknowledged, payload B bytes, process CPU C s =
// U us per message".
#include <mosquitto.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ProcessCpu.h"

namespace {

double Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The time as the bridge writes it: UTC to the millisecond.
std::string Timestamp() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  tm utc{};
  gmtime_r(&t.tv_sec, &utc);
  char text[40];
  const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03ldZ", t.tv_nsec / 1000000);
  return text;
}

struct Counts {
  bool connected = false;
  bool failed = false;
  unsigned long long acknowledged = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PORT SECONDS [TOPICS] [RATE] [NODE/SITE] [INFLIGHT]\n",
                 argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const double seconds = std::atof(argv[2]);
  const int topics = argc > 3 ? std::atoi(argv[3]) : 1000;
  const double rate = argc > 4 ? std::atof(argv[4]) : 10;
  const std::string prefix = std::string("qormodbus/") + (argc > 5 ? argv[5] : "bench/moving");
  const int inflight = argc > 6 ? std::atoi(argv[6]) : 20;
  if (port <= 0 || seconds <= 0 || topics <= 0 || rate <= 0 || inflight < 0) {
    std::fprintf(stderr, "qmb_mqtt_floor: bad arguments\n");
    return 2;
  }

  mosquitto_lib_init();
  Counts counts;
  mosquitto* client = mosquitto_new("qmb-mqtt-floor", true, &counts);
  if (!client) {
    std::fprintf(stderr, "qmb_mqtt_floor: mosquitto_new failed\n");
    return 1;
  }
  mosquitto_max_inflight_messages_set(client, static_cast<unsigned>(inflight));
  mosquitto_connect_callback_set(client, [](mosquitto*, void* data, int result) {
    auto* c = static_cast<Counts*>(data);
    c->connected = result == 0;
    c->failed = result != 0;
  });
  mosquitto_publish_callback_set(
      client, [](mosquitto*, void* data, int) { ++static_cast<Counts*>(data)->acknowledged; });
  if (const int result = mosquitto_connect(client, "127.0.0.1", port, 30);
      result != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "qmb_mqtt_floor: cannot connect to 127.0.0.1:%d: %s\n", port,
                 mosquitto_strerror(result));
    return 1;
  }
  for (const double until = Now() + 5; !counts.connected && !counts.failed && Now() < until;) {
    mosquitto_loop(client, 100, 1);
  }
  if (!counts.connected) {
    std::fprintf(stderr, "qmb_mqtt_floor: the broker did not accept the connection\n");
    return 1;
  }

  std::vector<std::string> names;
  for (int n = 1; n <= topics; ++n) names.push_back(prefix + "/p" + std::to_string(n));
  const double period = 1 / rate;
  const double cpuStart = qmb::bench::ProcessCpuSeconds();
  const double start = Now();
  double next = start;
  unsigned long long published = 0;
  size_t payloadBytes = 0;
  char payload[128];
  for (long change = 0;; ++change) {
    double now = Now();
    // The bursts keep to a clock of their own, as a device's changes do: a late one does not
    // push back the next.
    while (now < next) {
      mosquitto_loop(client, static_cast<int>((next - now) * 1000) + 1, 1);
      now = Now();
    }
    if (now >= start + seconds) break;
    const std::string ts = Timestamp();
    for (int n = 1; n <= topics; ++n) {
      const int length =
          std::snprintf(payload, sizeof payload, "{\"value\":%ld,\"ts\":\"%s\",\"quality\":192}",
                        (n + change) % 65536, ts.c_str());
      payloadBytes = static_cast<size_t>(length);
      if (mosquitto_publish(client, nullptr, names[n - 1].c_str(), length, payload, 1, true) ==
          MOSQ_ERR_SUCCESS) {
        ++published;
      }
    }
    next += period;
  }
  const double publishing = Now() - start;
  for (const double until = Now() + 10; counts.acknowledged < published && Now() < until;) {
    mosquitto_loop(client, 100, 1);
  }
  const double cpu = qmb::bench::ProcessCpuSeconds() - cpuStart;
  std::printf(
      "floor: %llu messages in %.1f s (%.0f/s), %llu acknowledged, payload %zu bytes, process CPU "
      "%.3f s = %.1f us per message\n",
      published, publishing, static_cast<double>(published) / publishing, counts.acknowledged,
      payloadBytes, cpu, published ? cpu / static_cast<double>(published) * 1e6 : 0.0);
  mosquitto_disconnect(client);
  mosquitto_destroy(client);
  mosquitto_lib_cleanup();
  return counts.acknowledged == published ? 0 : 1;
}
