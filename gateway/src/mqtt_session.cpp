// The MQTT publishing session; see mqtt_session.h.
#include "mqtt_session.h"

#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <fmt/format.h>

namespace tavkin {
namespace {

constexpr std::size_t kLargestPayload = 268'435'455;  // MQTT's largest packet; the library checks the rest
constexpr auto kConnackWait = std::chrono::seconds(10);

// Client ids must be unique on the broker: a second connection with the same id closes
// the first.
std::string next_client_id() {
  static std::atomic<unsigned> sessions{0};
  return fmt::format("tavkin-publish-{}-{}", getpid(), sessions++);
}

}  // namespace

std::unique_ptr<MqttSession> MqttSession::open(const BrokerAddress& address, std::uint16_t in_flight,
                                               std::uint32_t per_topic, std::string& error,
                                               std::chrono::seconds keepalive) {
  static std::once_flag library;
  std::call_once(library, [] { mosquitto_lib_init(); });
  std::unique_ptr<MqttSession> session(new MqttSession());
  session->address_ = address;
  session->per_topic_ = per_topic == 0 ? 1 : per_topic;
  const std::string id = next_client_id();
  session->mosq_ = mosquitto_new(id.c_str(), true, session.get());
  if (session->mosq_ == nullptr) {
    error = "cannot make an MQTT client";
    return nullptr;
  }
  mosquitto_connect_callback_set(session->mosq_, &MqttSession::on_connect);
  mosquitto_publish_callback_set(session->mosq_, &MqttSession::on_publish);
  mosquitto_disconnect_callback_set(session->mosq_, &MqttSession::on_disconnect);
  mosquitto_int_option(session->mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_int_option(session->mosq_, MOSQ_OPT_SEND_MAXIMUM, in_flight == 0 ? 1 : in_flight);
  const int connected =
      mosquitto_connect(session->mosq_, address.host.c_str(), address.port, static_cast<int>(keepalive.count()));
  const auto deadline = std::chrono::steady_clock::now() + kConnackWait;
  int looped = MOSQ_ERR_SUCCESS;
  while (connected == MOSQ_ERR_SUCCESS && session->connack_ < 0 && looped == MOSQ_ERR_SUCCESS &&
         std::chrono::steady_clock::now() < deadline) {
    looped = mosquitto_loop(session->mosq_, 100, 1);
  }
  const std::string where = fmt::format("MQTT broker {}:{}", address.host, address.port);
  if (connected != MOSQ_ERR_SUCCESS || looped != MOSQ_ERR_SUCCESS) {
    error = fmt::format("{}: {}", where, mosquitto_strerror(connected != MOSQ_ERR_SUCCESS ? connected : looped));
  } else if (session->connack_ < 0) {
    error = fmt::format("{}: no CONNACK within {} s", where, kConnackWait.count());
  } else if (session->connack_ != 0) {
    error = fmt::format("{} refused the connection: {}", where, mosquitto_connack_string(session->connack_));
  } else {
    return session;
  }
  return nullptr;
}

MqttSession::~MqttSession() {
  if (mosq_ == nullptr) return;
  if (!broken_) mosquitto_disconnect(mosq_);
  mosquitto_destroy(mosq_);
}

bool MqttSession::publish(std::string_view topic, std::string_view body) {
  if (broken_) return false;
  if (body.size() > kLargestPayload) {
    error_ = fmt::format("a message of {} bytes is larger than MQTT allows", body.size());
    return false;
  }
  std::string topic_text(topic);
  while (topic_in_flight_[topic_text] >= per_topic_) {
    const int code = mosquitto_loop(mosq_, 200, 1);
    if (code != MOSQ_ERR_SUCCESS) return fail(code, "network loop");
    if (broken_) return false;
  }
  int mid = 0;
  const int code = mosquitto_publish(mosq_, &mid, topic_text.c_str(), static_cast<int>(body.size()), body.data(),
                                     1, false);
  if (code != MOSQ_ERR_SUCCESS) return fail(code, "publish");
  ++topic_in_flight_[topic_text];
  in_flight_[mid] = {++published_, std::move(topic_text)};
  return true;
}

BrokerEvent MqttSession::next(std::chrono::milliseconds timeout) {
  BrokerEvent event;
  if (acknowledged_.empty() && !broken_) {
    const int code = mosquitto_loop(mosq_, static_cast<int>(timeout.count()), 1);
    if (code != MOSQ_ERR_SUCCESS) fail(code, "network loop");
  }
  if (!acknowledged_.empty()) {
    event.kind = BrokerEvent::Kind::confirm;
    event.tag = acknowledged_.front();
    acknowledged_.pop_front();
  } else if (broken_) {
    event.kind = BrokerEvent::Kind::closed;
    event.error = error_;
  }
  return event;
}

bool MqttSession::fail(int code, std::string_view what) {
  if (!broken_) {
    error_ = fmt::format("MQTT broker {}:{}: {}: {}", address_.host, address_.port, what,
                         code == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(code));
  }
  broken_ = true;
  return false;
}

void MqttSession::on_connect(mosquitto*, void* self, int code) { static_cast<MqttSession*>(self)->connack_ = code; }

void MqttSession::on_publish(mosquitto*, void* self, int mid) {
  auto& session = *static_cast<MqttSession*>(self);
  const auto found = session.in_flight_.find(mid);
  if (found == session.in_flight_.end()) return;  // a PUBACK repeated by the broker
  session.acknowledged_.push_back(found->second.number);
  const auto topic = session.topic_in_flight_.find(found->second.topic);
  if (--topic->second == 0) session.topic_in_flight_.erase(topic);
  session.in_flight_.erase(found);
}

void MqttSession::on_disconnect(mosquitto*, void* self, int code) {
  auto& session = *static_cast<MqttSession*>(self);
  if (!session.broken_) {
    session.error_ = fmt::format("MQTT broker {}:{}: connection lost ({})", session.address_.host,
                                 session.address_.port, mosquitto_strerror(code));
  }
  session.broken_ = true;
}

}  // namespace tavkin
