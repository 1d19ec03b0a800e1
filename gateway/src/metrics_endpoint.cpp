// The gateway's /metrics endpoint; see metrics_endpoint.h for its thread rule.
// libmicrohttpd: a C library without exceptions that runs, and on request stops, its own polling thread.
#include "metrics_endpoint.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include <fmt/format.h>

#include "metrics_text.h"

namespace tavkin {
namespace {

MHD_Result reply(MHD_Connection* connection, unsigned status, std::string_view body, std::string_view type) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, std::string(type).c_str());
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

// Runs on the HTTP thread.
MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, std::size_t* upload_size, void**) {
  constexpr std::string_view kText = "text/plain; charset=utf-8";
  const std::string_view verb(method);
  if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
    return reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n", kText);
  }
  if (*upload_size != 0) return MHD_NO;
  if (std::string_view(url) != "/metrics") return reply(connection, MHD_HTTP_NOT_FOUND, "see /metrics\n", kText);
  const auto snapshot = static_cast<const MetricsEndpoint*>(cls)->latest();
  if (!snapshot) return reply(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "starting\n", kText);
  return reply(connection, MHD_HTTP_OK, metrics_text(*snapshot), kMetricsContentType);
}

}  // namespace

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::start(const std::string& address, std::uint16_t port,
                                                        std::string& error) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int status = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found); status != 0) {
    error = fmt::format("--metrics-address {}: {}", address, gai_strerror(status));
    return nullptr;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, &freeaddrinfo);
  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint());
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL;
  if (found->ai_family == AF_INET6) flags |= MHD_USE_IPv6;
  errno = 0;
  endpoint->daemon_ = MHD_start_daemon(flags, port, nullptr, nullptr, &answer, endpoint.get(),
                                       MHD_OPTION_SOCK_ADDR, found->ai_addr,
                                       MHD_OPTION_CONNECTION_LIMIT, 16u,
                                       MHD_OPTION_CONNECTION_TIMEOUT, 10u,
                                       MHD_OPTION_END);
  if (endpoint->daemon_ == nullptr) {
    error = fmt::format("cannot serve metrics on {}:{}{}", address, port,
                        errno != 0 ? fmt::format(": {}", std::strerror(errno)) : std::string());
    return nullptr;
  }
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

void MetricsEndpoint::publish(GatewaySnapshot snapshot) {
  auto next = std::make_shared<const GatewaySnapshot>(std::move(snapshot));
  const std::lock_guard lock(mutex_);
  latest_.swap(next);  // the old snapshot is freed outside the lock, with `next`
}

std::shared_ptr<const GatewaySnapshot> MetricsEndpoint::latest() const {
  const std::lock_guard lock(mutex_);
  return latest_;
}

}  // namespace tavkin
