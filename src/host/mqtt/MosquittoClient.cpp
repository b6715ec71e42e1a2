#include "host/mqtt/MosquittoClient.h"

#include <mosquitto.h>

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace qmb {

namespace {

std::string ErrorText(int rc, const std::string& detail = {}) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  // "A TLS error occurred." alone does not tell a certificate that failed verification from a
  // broker that speaks no TLS: the library's own error line does.
  if (rc == MOSQ_ERR_TLS && !detail.empty()) return mosquitto_strerror(rc) + (" " + detail);
  return mosquitto_strerror(rc);
}

}  // namespace

MosquittoClient::MosquittoClient(MessageLoop& loop, const MqttBrokerConfig& broker,
                                 std::string willTopic, std::string willPayload)
    : loop_(loop),
      broker_(broker),
      willTopic_(std::move(willTopic)),
      willPayload_(std::move(willPayload)) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { mosquitto_lib_init(); });
  keepalive_ = loop_.CreateTimer(1000, [this] {
    if (!handle_ || !attempting_) return;
    mosquitto_loop_misc(handle_);
    Settle();
  });
}

MosquittoClient::~MosquittoClient() {
  *alive_ = false;
  watch_.reset();
  if (handle_) mosquitto_destroy(handle_);
}

bool MosquittoClient::Prepare(std::string& error) {
  watch_.reset();
  if (handle_) mosquitto_destroy(handle_);
  handle_ = mosquitto_new(broker_.clientId.c_str(), true, this);
  if (!handle_) {
    error = "cannot make an MQTT client: " + std::string(std::strerror(errno));
    return false;
  }
  mosquitto_int_option(handle_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(handle_, &MosquittoClient::OnConnect);
  mosquitto_disconnect_callback_set(handle_, &MosquittoClient::OnDisconnect);
  mosquitto_publish_callback_set(handle_, &MosquittoClient::OnPublish);
  mosquitto_message_callback_set(handle_, &MosquittoClient::OnMessageArrived);
  mosquitto_log_callback_set(handle_, [](mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text) static_cast<MosquittoClient*>(self)->libraryError_ = text;
  });
  unconfirmed_ = 0;
  libraryError_.clear();
  int rc = mosquitto_will_set(handle_, willTopic_.c_str(), static_cast<int>(willPayload_.size()),
                              willPayload_.data(), 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !broker_.username.empty())
    rc = mosquitto_username_pw_set(handle_, broker_.username.c_str(),
                                   broker_.password.empty() ? nullptr : broker_.password.c_str());
  if (rc == MOSQ_ERR_SUCCESS && broker_.tls)
    rc = mosquitto_tls_set(handle_, broker_.caFile.empty() ? nullptr : broker_.caFile.c_str(),
                           broker_.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr,
                           nullptr);
  if (rc != MOSQ_ERR_SUCCESS) {
    error = "cannot set up the MQTT client: " + ErrorText(rc);
    return false;
  }
  return true;
}

bool MosquittoClient::Connect(std::string& error) {
  if (!Prepare(error)) return false;
  refusal_.clear();
  const int rc = mosquitto_connect_async(handle_, broker_.host.c_str(), broker_.port,
                                         static_cast<int>(broker_.keepaliveSeconds));
  if (rc != MOSQ_ERR_SUCCESS) {
    error = ErrorText(rc);
    return false;
  }
  const int fd = mosquitto_socket(handle_);
  if (fd < 0) {
    error = "no socket";
    return false;
  }
  attempting_ = true;
  writeWatched_ = false;
  watch_ = loop_.WatchFd(
      fd,
      [this] {
        if (!handle_) return;
        const int rc = mosquitto_loop_read(handle_, 1);
        if (rc != MOSQ_ERR_SUCCESS)
          return Lost(refusal_.empty() ? ErrorText(rc, libraryError_) : refusal_);
        Settle();
      },
      [this] {
        if (!handle_) return;
        const int rc = mosquitto_loop_write(handle_, 1);
        if (rc != MOSQ_ERR_SUCCESS) return Lost(ErrorText(rc, libraryError_));
        Settle();
      });
  keepalive_->Start();
  Settle();
  return true;
}

void MosquittoClient::Settle() {
  if (!handle_ || !watch_) return;
  if (mosquitto_socket(handle_) < 0) return Lost(refusal_.empty() ? "connection closed" : refusal_);
  // Changing the watch costs a system call: only when the want changes, not per message.
  const bool wanted = mosquitto_want_write(handle_);
  if (wanted != writeWatched_) watch_->SetWriteWatch(writeWatched_ = wanted);
}

void MosquittoClient::Lost(const std::string& why) {
  if (!attempting_) return;
  attempting_ = false;
  connected_ = false;
  keepalive_->Stop();
  // The watch may be the one calling: let it go once its call is over.
  loop_.Post([this, alive = alive_, why] {
    if (!*alive || attempting_) return;
    watch_.reset();
    if (OnDisconnected) OnDisconnected(why);
  });
}

void MosquittoClient::Disconnect() {
  if (!handle_ || !attempting_) return;
  attempting_ = false;
  keepalive_->Stop();
  // The broker confirms what was sent (the last "offline" above all) before the DISCONNECT:
  // a socket closed with a confirmation unread in it is reset, the broker loses the DISCONNECT
  // and publishes the last will after all. A second at the most: the program is ending.
  const int64_t until = loop_.MonotonicMs() + kGoodbyeMs;
  while (connected_ && unconfirmed_ > 0 && mosquitto_socket(handle_) >= 0) {
    if (mosquitto_want_write(handle_) && mosquitto_loop_write(handle_, 1) != MOSQ_ERR_SUCCESS)
      break;
    const int64_t left = until - loop_.MonotonicMs();
    pollfd ready{mosquitto_socket(handle_), POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0 ||
        mosquitto_loop_read(handle_, 1) != MOSQ_ERR_SUCCESS)
      break;
  }
  connected_ = false;
  mosquitto_disconnect(handle_);
  // What was queued (the last messages, the DISCONNECT itself) goes out now: the caller is
  // usually on its way out of the program.
  for (int i = 0; i < 50 && mosquitto_want_write(handle_) && mosquitto_socket(handle_) >= 0; ++i)
    if (mosquitto_loop_write(handle_, 1) != MOSQ_ERR_SUCCESS) break;
  watch_.reset();
}

int MosquittoClient::Publish(const std::string& topic, const std::string& payload, int qos,
                             bool retain) {
  if (!handle_ || !connected_) return 0;
  int id = 0;
  const int rc = mosquitto_publish(handle_, &id, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) return 0;
  if (qos > 0) ++unconfirmed_;
  Settle();
  return id == 0 ? -1 : id;
}

bool MosquittoClient::Subscribe(const std::string& pattern, int qos) {
  if (!handle_ || !connected_) return false;
  const bool done = mosquitto_subscribe(handle_, nullptr, pattern.c_str(), qos) == MOSQ_ERR_SUCCESS;
  Settle();
  return done;
}

void MosquittoClient::OnConnect(mosquitto*, void* self, int rc) {
  auto* client = static_cast<MosquittoClient*>(self);
  if (rc != 0) {
    client->refusal_ = std::string("the broker refused: ") + mosquitto_connack_string(rc);
    return;
  }
  client->connected_ = true;
  if (client->OnConnected) client->OnConnected();
}

void MosquittoClient::OnDisconnect(mosquitto*, void* self, int rc) {
  auto* client = static_cast<MosquittoClient*>(self);
  if (client->attempting_)
    client->Lost(!client->refusal_.empty() ? client->refusal_
                 : rc == 0                 ? std::string("the broker closed the connection")
                                           : ErrorText(rc, client->libraryError_));
}

void MosquittoClient::OnPublish(mosquitto*, void* self, int mid) {
  auto* client = static_cast<MosquittoClient*>(self);
  if (client->unconfirmed_ > 0) --client->unconfirmed_;
  if (client->OnPublished) client->OnPublished(mid);
}

void MosquittoClient::OnMessageArrived(mosquitto*, void* self, const mosquitto_message* message) {
  auto* client = static_cast<MosquittoClient*>(self);
  if (!client->OnMessage || !message->topic) return;
  Message copy;
  copy.topic = message->topic;
  if (message->payload && message->payloadlen > 0)
    copy.payload.assign(static_cast<const char*>(message->payload),
                        static_cast<size_t>(message->payloadlen));
  copy.retained = message->retain;
  client->OnMessage(copy);
}

}  // namespace qmb
