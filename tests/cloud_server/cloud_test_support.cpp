#include "cloud_server/cloud_test_support.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>

#include "base/log.hpp"
#include "cloud_server/secrets.hpp"
#include "cloud_server/sqlite_store.hpp"

namespace nimbrel::cloud::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = beast::http;
namespace websocket = beast::websocket;
namespace json = boost::json;
using tcp = asio::ip::tcp;

namespace {

void limitReads(tcp::socket& socket) {
  timeval limit{20, 0};
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

template <typename Stream>
HttpResult readResponse(Stream& socket) {
  beast::flat_buffer buffer;
  bhttp::response_parser<bhttp::string_body> parser;
  parser.body_limit(64 << 20);
  boost::system::error_code error;
  bhttp::read(socket, buffer, parser, error);
  HttpResult result;
  if (error) return result;
  auto& response = parser.get();
  result.status = static_cast<int>(response.result_int());
  result.body = response.body();
  for (const auto& field : response) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    result.headers[name] = std::string(field.value());
  }
  return result;
}

}  // namespace

json::object HttpResult::json() const {
  boost::system::error_code error;
  auto value = json::parse(body, error);
  return !error && value.is_object() ? value.get_object() : json::object();
}

std::string HttpResult::errorCode() const {
  const auto object = json();
  const auto* error = object.if_contains("error");
  if (!error || !error->is_object()) return "";
  const auto* code = error->get_object().if_contains("code");
  return code && code->is_string() ? std::string(code->get_string()) : "";
}

HttpResult http(std::uint16_t port, const std::string& method, const std::string& target,
                const std::string& body, const std::string& bearer) {
  return httpFrom("127.0.0.1", port, method, target, body, bearer);
}

HttpResult httpFrom(const std::string& source, std::uint16_t port, const std::string& method,
                    const std::string& target, const std::string& body, const std::string& bearer) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.open(tcp::v4());
  socket.bind({asio::ip::make_address(source), 0});
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  limitReads(socket);
  bhttp::request<bhttp::string_body> request{bhttp::string_to_verb(method), target, 11};
  request.set(bhttp::field::host, "127.0.0.1:" + std::to_string(port));
  if (!bearer.empty()) request.set(bhttp::field::authorization, "Bearer " + bearer);
  if (!body.empty()) {
    request.set(bhttp::field::content_type, "application/json");
    request.body() = body;
  }
  request.prepare_payload();
  boost::system::error_code error;
  bhttp::write(socket, request, error);
  return readResponse(socket);
}

HttpResult upgrade(std::uint16_t port, const std::string& target, const std::string& bearer,
                   const std::string& source) {
  std::string raw = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
  if (!bearer.empty()) raw += "Authorization: Bearer " + bearer + "\r\n";
  raw += "\r\n";
  asio::io_context io;
  tcp::socket socket(io);
  socket.open(tcp::v4());
  socket.bind({asio::ip::make_address(source), 0});
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  limitReads(socket);
  boost::system::error_code error;
  asio::write(socket, asio::buffer(raw), error);
  return readResponse(socket);
}

struct IdleConnection::State {
  asio::io_context io;
  tcp::socket socket{io};
};

IdleConnection::IdleConnection(const std::string& source, std::uint16_t port)
    : state_(std::make_unique<State>()) {
  state_->socket.open(tcp::v4());
  state_->socket.bind({asio::ip::make_address(source), 0});
  state_->socket.connect({asio::ip::make_address("127.0.0.1"), port});
}

IdleConnection::~IdleConnection() { close(); }

HttpResult IdleConnection::get(const std::string& target) {
  limitReads(state_->socket);
  bhttp::request<bhttp::string_body> request{bhttp::verb::get, target, 11};
  request.set(bhttp::field::host, "127.0.0.1");
  request.keep_alive(true);
  boost::system::error_code error;
  bhttp::write(state_->socket, request, error);
  return readResponse(state_->socket);
}

void IdleConnection::close() {
  boost::system::error_code ignored;
  state_->socket.close(ignored);
}

HttpResult httpRaw(std::uint16_t port, const std::string& raw) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  limitReads(socket);
  boost::system::error_code error;
  asio::write(socket, asio::buffer(raw), error);
  return readResponse(socket);
}

HttpResult https(std::uint16_t port, const std::string& method, const std::string& target,
                 const std::string& body, const std::string& caFile, const std::string& bearer) {
  asio::io_context io;
  asio::ssl::context context(asio::ssl::context::tls_client);
  context.load_verify_file(caFile);
  context.set_verify_mode(asio::ssl::verify_peer);
  beast::ssl_stream<tcp::socket> stream(io, context);
  stream.set_verify_callback(asio::ssl::host_name_verification("127.0.0.1"));
  stream.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
  limitReads(stream.next_layer());
  stream.handshake(asio::ssl::stream_base::client);
  bhttp::request<bhttp::string_body> request{bhttp::string_to_verb(method), target, 11};
  request.set(bhttp::field::host, "127.0.0.1:" + std::to_string(port));
  if (!bearer.empty()) request.set(bhttp::field::authorization, "Bearer " + bearer);
  request.body() = body;
  request.prepare_payload();
  bhttp::write(stream, request);
  return readResponse(stream);
}

struct WsClient::State {
  asio::io_context io;
  websocket::stream<tcp::socket> ws{io};
  beast::flat_buffer buffer;
};

WsClient::WsClient(std::uint16_t port, const std::string& target, const std::string& bearer,
                   const std::string& source)
    : state_(std::make_unique<State>()) {
  auto& socket = state_->ws.next_layer();
  socket.open(tcp::v4());
  socket.bind({asio::ip::make_address(source), 0});
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  limitReads(socket);
  state_->ws.read_message_max(64 << 20);
  state_->ws.auto_fragment(false);
  if (!bearer.empty()) {
    state_->ws.set_option(websocket::stream_base::decorator(
        [bearer](websocket::request_type& request) {
          request.set(bhttp::field::authorization, "Bearer " + bearer);
        }));
  }
  state_->ws.handshake("127.0.0.1:" + std::to_string(port), target);
}

WsClient::~WsClient() {
  boost::system::error_code ignored;
  state_->ws.next_layer().close(ignored);
}

void WsClient::send(const std::string& bytes, bool text) {
  state_->ws.text(text);
  state_->ws.write(asio::buffer(bytes));
}

WsClient::Message WsClient::read() {
  // Asio's blocking reads wait past SO_RCVTIMEO: the read runs on the client's own io_context
  // for at most 20 s, and a read that gets nothing in that time ends the connection.
  boost::system::error_code error;
  bool done = false;
  state_->buffer.clear();
  state_->ws.async_read(state_->buffer, [&](boost::system::error_code e, std::size_t) {
    error = e;
    done = true;
  });
  state_->io.restart();
  state_->io.run_for(20s);
  if (!done) {
    boost::system::error_code ignored;
    state_->ws.next_layer().close(ignored);
    state_->io.restart();
    state_->io.run();
    ADD_FAILURE() << "nothing arrived on the WebSocket within 20 s";
    throw Closed{0};
  }
  if (error == websocket::error::closed) throw Closed{state_->ws.reason().code};
  if (error) throw Closed{0};
  return Message{state_->ws.got_text(), beast::buffers_to_string(state_->buffer.data())};
}

int WsClient::closeCode() {
  for (;;) {
    try {
      read();
    } catch (const Closed& closed) {
      return closed.code;
    }
  }
}

void WsClient::close(int code) {
  boost::system::error_code ignored;
  state_->ws.close(static_cast<websocket::close_code>(code), ignored);
}

void WsClient::setReceiveBuffer(int bytes) {
  ::setsockopt(state_->ws.next_layer().native_handle(), SOL_SOCKET, SO_RCVBUF, &bytes,
               sizeof bytes);
}

LogWaiter::LogWaiter() {
  setLogSink([this](LogChannel, std::string_view text) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(text);
    changed_.notify_all();
  });
}

LogWaiter::~LogWaiter() { setLogSink({}); }

bool LogWaiter::waitFor(const std::string& text, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    for (const auto& line : lines_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  });
}

std::vector<std::string> LogWaiter::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

Service::Service(Limits limits, std::vector<std::string> accounts) {
  auto store = SqliteStore::open(dir_ / "cloud.db", {});
  for (const auto& name : accounts) {
    tokens_[name] = randomToken();
    store->addAccount(name, name + "@example.org", tokenHash(tokens_[name]), now_);
  }
  CloudServer::Options options;
  options.limits = limits;
  options.now = [this] { return now_.load(); };
  server_ = CloudServer::create(io_.executor(), std::move(store), options);
  server_->start();
}

Service::~Service() {
  std::promise<void> stopped;
  server_->stop([&] { stopped.set_value(); });
  stopped.get_future().wait_for(15s);
  io_.stop();
  server_.reset();
}

Service::Host Service::enrolAndClaim(const std::string& localId, const std::string& account,
                                     const std::string& hostToken) {
  json::object request{{"local_id", localId},
                       {"name", "Desk " + localId},
                       {"os", "linux"},
                       {"version", "1.0.0"}};
  if (!hostToken.empty()) request["host_token"] = hostToken;
  const auto enrolled = http(port(), "POST", "/v1/enroll", json::serialize(request));
  EXPECT_EQ(enrolled.status, 200) << enrolled.body;
  const auto body = enrolled.json();
  const std::string code(body.at("code").as_string());
  const std::string poll = json::serialize(json::object{{"poll_token", body.at("poll_token")}});
  const auto claimed = http(port(), "POST", "/v1/claim",
                            json::serialize(json::object{{"code", code}}), accountToken(account));
  EXPECT_EQ(claimed.status, 200) << claimed.body;
  const auto polled = http(port(), "POST", "/v1/enroll/poll", poll);
  EXPECT_EQ(polled.status, 200) << polled.body;
  const auto result = polled.json();
  return Host{std::string(result.at("host_id").as_string()),
              std::string(result.at("host_token").as_string())};
}

std::string Service::relayToken(const std::string& hostToken) {
  const auto answer = http(port(), "POST", "/v1/host/relay-token",
                           R"({"name":"Desk","version":"1.0.0"})", hostToken);
  EXPECT_EQ(answer.status, 200) << answer.body;
  const auto body = answer.json();
  return body.contains("token") ? std::string(body.at("token").as_string()) : "";
}

std::string Service::ticket(const std::string& hostId, const std::string& account) {
  const auto answer =
      http(port(), "POST", "/v1/hosts/" + hostId + "/ticket", "", accountToken(account));
  EXPECT_EQ(answer.status, 200) << answer.body;
  const auto body = answer.json();
  return body.contains("ticket") ? std::string(body.at("ticket").as_string()) : "";
}

std::unique_ptr<WsClient> RelayHost::acceptSession() {
  const auto message = control.read();
  const auto value = json::parse(message.bytes).as_object();
  EXPECT_EQ(value.at("t").as_string(), "incoming");
  const std::string sid(value.at("sid").as_string());
  return std::make_unique<WsClient>(port_, "/v2/host/session/" + sid, token_);
}

}  // namespace nimbrel::cloud::test
