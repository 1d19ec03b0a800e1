// The broker connection; see broker.h.
#include "broker.h"

#include <amqp.h>
#include <amqp_framing.h>
#include <amqp_tcp_socket.h>
#include <sys/time.h>

#include <charconv>
#include <fmt/format.h>

namespace tavkin {
namespace {

amqp_bytes_t bytes_of(std::string_view s) { return {s.size(), const_cast<char*>(s.data())}; }
std::string text_of(amqp_bytes_t b) { return {static_cast<const char*>(b.bytes), b.len}; }

std::string reply_text(const amqp_rpc_reply_t& reply) {
  switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL: return "";
    case AMQP_RESPONSE_NONE: return "no reply";
    case AMQP_RESPONSE_LIBRARY_EXCEPTION: return amqp_error_string2(reply.library_error);
    case AMQP_RESPONSE_SERVER_EXCEPTION:
      if (reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
        const auto* m = static_cast<amqp_connection_close_t*>(reply.reply.decoded);
        return fmt::format("connection closed by the broker: {} {}", m->reply_code, text_of(m->reply_text));
      }
      if (reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
        const auto* m = static_cast<amqp_channel_close_t*>(reply.reply.decoded);
        return fmt::format("channel closed by the broker: {} {}", m->reply_code, text_of(m->reply_text));
      }
      return fmt::format("broker error (method {:#x})", reply.reply.id);
  }
  return "unknown reply";
}

}  // namespace

struct BrokerConnection::State {
  amqp_connection_state_t conn = nullptr;
};

std::optional<std::vector<BrokerAddress>> parse_brokers(std::string_view list, std::string& error) {
  std::vector<BrokerAddress> out;
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view entry = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    const std::size_t colon = entry.rfind(':');
    BrokerAddress a;
    a.host = std::string(entry.substr(0, colon));
    if (colon != std::string_view::npos) {
      const std::string_view port = entry.substr(colon + 1);
      const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), a.port);
      if (ec != std::errc{} || end != port.data() + port.size() || a.port <= 0 || a.port > 65535) {
        error = fmt::format("bad broker address \"{}\": the port must be a number from 1 to 65535", entry);
        return std::nullopt;
      }
    }
    if (a.host.empty()) {
      error = fmt::format("bad broker address \"{}\": no host", entry);
      return std::nullopt;
    }
    out.push_back(std::move(a));
  }
  if (out.empty()) {
    error = "no broker address given";
    return std::nullopt;
  }
  return out;
}

BrokerConnection::BrokerConnection(BrokerAddress address) : state_(std::make_unique<State>()), address_(std::move(address)) {}

BrokerConnection::~BrokerConnection() {
  if (state_->conn == nullptr) return;
  if (!broken_) amqp_connection_close(state_->conn, AMQP_REPLY_SUCCESS);
  amqp_destroy_connection(state_->conn);
}

std::unique_ptr<BrokerConnection> BrokerConnection::open(const BrokerAddress& address, std::string& error,
                                                         std::chrono::seconds heartbeat) {
  std::unique_ptr<BrokerConnection> c(new BrokerConnection(address));
  c->state_->conn = amqp_new_connection();
  amqp_socket_t* socket = amqp_tcp_socket_new(c->state_->conn);
  if (socket == nullptr) {
    error = "cannot create a socket";
    return nullptr;
  }
  timeval connect_timeout{5, 0};
  const int status = amqp_socket_open_noblock(socket, address.host.c_str(), address.port, &connect_timeout);
  if (status != AMQP_STATUS_OK) {
    error = fmt::format("cannot reach {}:{}: {}", address.host, address.port, amqp_error_string2(status));
    c->broken_ = true;
    return nullptr;
  }
  const amqp_rpc_reply_t login = amqp_login(c->state_->conn, "/", 0, 1 << 20, static_cast<int>(heartbeat.count()),
                                            AMQP_SASL_METHOD_PLAIN, "guest", "guest");
  if (login.reply_type != AMQP_RESPONSE_NORMAL) {
    error = fmt::format("cannot log in at {}:{}: {}", address.host, address.port, reply_text(login));
    c->broken_ = true;
    return nullptr;
  }
  return c;
}

bool BrokerConnection::check_rpc(const char* what) {
  const amqp_rpc_reply_t reply = amqp_get_rpc_reply(state_->conn);
  if (reply.reply_type == AMQP_RESPONSE_NORMAL) return true;
  error_ = fmt::format("{}: {}", what, reply_text(reply));
  broken_ = true;  // a refused request closes its channel; the gateway starts over
  return false;
}

bool BrokerConnection::check_status(int status, const char* what) {
  if (status == AMQP_STATUS_OK) return true;
  error_ = fmt::format("{}: {}", what, amqp_error_string2(status));
  broken_ = true;
  return false;
}

bool BrokerConnection::open_channel(std::uint16_t channel) {
  amqp_channel_open(state_->conn, channel);
  return check_rpc("channel.open");
}

bool BrokerConnection::prefetch(std::uint16_t channel, std::uint16_t count) {
  amqp_basic_qos(state_->conn, channel, 0, count, false);
  return check_rpc("basic.qos");
}

bool BrokerConnection::confirm_mode(std::uint16_t channel) {
  amqp_confirm_select(state_->conn, channel);
  return check_rpc("confirm.select");
}

bool BrokerConnection::consume(std::uint16_t channel, std::string_view queue, std::string_view consumer_tag) {
  amqp_basic_consume(state_->conn, channel, bytes_of(queue), bytes_of(consumer_tag), false, false, false,
                     amqp_empty_table);
  return check_rpc("basic.consume");
}

bool BrokerConnection::publish(std::uint16_t channel, std::string_view exchange, std::string_view routing_key,
                               std::string_view body, const Headers& headers) {
  amqp_basic_properties_t props{};
  props._flags = AMQP_BASIC_DELIVERY_MODE_FLAG;
  props.delivery_mode = 2;  // persistent
  std::vector<amqp_table_entry_t> entries(headers.size());
  if (!headers.empty()) {
    for (std::size_t i = 0; i < headers.size(); ++i) {
      entries[i].key = bytes_of(headers[i].first);
      entries[i].value.kind = AMQP_FIELD_KIND_UTF8;
      entries[i].value.value.bytes = bytes_of(headers[i].second);
    }
    props._flags |= AMQP_BASIC_HEADERS_FLAG;
    props.headers.num_entries = static_cast<int>(entries.size());
    props.headers.entries = entries.data();
  }
  return check_status(amqp_basic_publish(state_->conn, channel, bytes_of(exchange), bytes_of(routing_key), false,
                                         false, &props, bytes_of(body)),
                      "basic.publish");
}

bool BrokerConnection::ack(std::uint16_t channel, std::uint64_t delivery_tag, bool multiple) {
  return check_status(amqp_basic_ack(state_->conn, channel, delivery_tag, multiple), "basic.ack");
}

std::optional<std::uint32_t> BrokerConnection::queue_depth(std::uint16_t channel, std::string_view queue) {
  const amqp_queue_declare_ok_t* ok =
      amqp_queue_declare(state_->conn, channel, bytes_of(queue), true, false, false, false, amqp_empty_table);
  if (!check_rpc("queue.declare") || ok == nullptr) return std::nullopt;
  return ok->message_count;
}

BrokerEvent BrokerConnection::next(std::chrono::milliseconds timeout) {
  BrokerEvent event;
  // Releasing walks every queued frame once per channel; frames queue up behind a
  // synchronous request (a queue depth) when many deliveries are in flight, so release
  // only when none wait, or each event would cost the whole queue.
  if (amqp_frames_enqueued(state_->conn) == 0) amqp_maybe_release_buffers(state_->conn);
  timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  amqp_frame_t frame;
  const int status = amqp_simple_wait_frame_noblock(state_->conn, &frame, &tv);
  if (status == AMQP_STATUS_TIMEOUT) return event;
  auto closed = [&](std::string why) {
    event.kind = BrokerEvent::Kind::closed;
    event.error = std::move(why);
    error_ = event.error;
    broken_ = true;
    return event;
  };
  if (status != AMQP_STATUS_OK) return closed(amqp_error_string2(status));
  if (frame.frame_type != AMQP_FRAME_METHOD) return event;  // stray content frames: nothing to do
  event.channel = frame.channel;
  switch (frame.payload.method.id) {
    case AMQP_BASIC_DELIVER_METHOD: {
      const auto* d = static_cast<amqp_basic_deliver_t*>(frame.payload.method.decoded);
      event.kind = BrokerEvent::Kind::delivery;
      event.tag = d->delivery_tag;
      event.redelivered = d->redelivered != 0;
      event.consumer_tag = text_of(d->consumer_tag);
      event.routing_key = text_of(d->routing_key);
      amqp_message_t message;
      const amqp_rpc_reply_t reply = amqp_read_message(state_->conn, frame.channel, &message, 0);
      if (reply.reply_type != AMQP_RESPONSE_NORMAL) return closed("reading a message: " + reply_text(reply));
      event.body = text_of(message.body);
      amqp_destroy_message(&message);
      return event;
    }
    case AMQP_BASIC_ACK_METHOD: {
      const auto* a = static_cast<amqp_basic_ack_t*>(frame.payload.method.decoded);
      event.kind = BrokerEvent::Kind::confirm;
      event.tag = a->delivery_tag;
      event.multiple = a->multiple != 0;
      return event;
    }
    case AMQP_BASIC_NACK_METHOD: {
      const auto* n = static_cast<amqp_basic_nack_t*>(frame.payload.method.decoded);
      event.kind = BrokerEvent::Kind::reject;
      event.tag = n->delivery_tag;
      event.multiple = n->multiple != 0;
      return event;
    }
    case AMQP_BASIC_CANCEL_METHOD: {
      const auto* c = static_cast<amqp_basic_cancel_t*>(frame.payload.method.decoded);
      event.kind = BrokerEvent::Kind::cancelled;
      event.consumer_tag = text_of(c->consumer_tag);
      return event;
    }
    case AMQP_CHANNEL_CLOSE_METHOD: {
      const auto* m = static_cast<amqp_channel_close_t*>(frame.payload.method.decoded);
      return closed(fmt::format("channel {} closed by the broker: {} {}", frame.channel, m->reply_code,
                                text_of(m->reply_text)));
    }
    case AMQP_CONNECTION_CLOSE_METHOD: {
      const auto* m = static_cast<amqp_connection_close_t*>(frame.payload.method.decoded);
      return closed(fmt::format("connection closed by the broker: {} {}", m->reply_code, text_of(m->reply_text)));
    }
    default:
      return event;
  }
}

bool BrokerConnection::close_gracefully(std::uint16_t channel, std::uint64_t acknowledge_through) {
  if (state_->conn == nullptr || broken_) return false;
  if (acknowledge_through != 0 && !ack(channel, acknowledge_through, true)) return false;
  return close_gracefully(std::span<const std::uint16_t>(&channel, 1));
}

bool BrokerConnection::close_gracefully(std::span<const std::uint16_t> channels) {
  if (state_->conn == nullptr || broken_) return false;
  bool ok = true;
  for (const std::uint16_t channel : channels) {
    amqp_basic_qos(state_->conn, channel, 0, 1, false);
    ok = check_rpc("basic.qos before closing");
    if (!ok) break;
    const amqp_rpc_reply_t reply = amqp_channel_close(state_->conn, channel, AMQP_REPLY_SUCCESS);
    ok = reply.reply_type == AMQP_RESPONSE_NORMAL;
    if (!ok) {
      error_ = "channel.close: " + reply_text(reply);
      break;
    }
  }
  if (ok) {
    const amqp_rpc_reply_t reply = amqp_connection_close(state_->conn, AMQP_REPLY_SUCCESS);
    if (reply.reply_type != AMQP_RESPONSE_NORMAL) error_ = "connection.close: " + reply_text(reply);
    ok = reply.reply_type == AMQP_RESPONSE_NORMAL;
  }
  amqp_destroy_connection(state_->conn);  // closed, or beyond use: the destructor has nothing left to do
  state_->conn = nullptr;
  broken_ = true;
  return ok;
}

}  // namespace tavkin
