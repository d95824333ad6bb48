#include "session/host_session.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>

#include <charconv>
#include <cmath>

#include "base/byte_count.hpp"
#include "base/clock.hpp"
#include "base/log.hpp"
#include "base/graphemes.hpp"
#include "base/utf8.hpp"
#include "net/task_completion.hpp"
#include "net/websocket_transport.hpp"
#include "stream/adaptation.hpp"

// g++ 12 reports Asio's coroutine frame allocator as mismatched new/delete (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace nimbrel {

namespace json = boost::json;

namespace {

// A number as clients send it: a JSON number, or a text holding a decimal number; else 0.
double readNumber(const json::object& message, std::string_view key) {
  const json::value* value = message.if_contains(key);
  if (!value) return 0;
  if (value->is_double()) return value->get_double();
  if (value->is_int64()) return static_cast<double>(value->get_int64());
  if (value->is_uint64()) return static_cast<double>(value->get_uint64());
  if (!value->is_string()) return 0;
  std::string_view text = value->get_string();
  if (text.starts_with('+')) text.remove_prefix(1);
  double number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end == text.data() + text.size() && !text.empty() ? number : 0;
}

// An integer command argument: nothing when the number is not finite or does not fit.
std::optional<long long> readInteger(const json::object& message, std::string_view key) {
  const double number = readNumber(message, key);
  if (!std::isfinite(number) || number >= 9223372036854775808.0 || number < -9223372036854775808.0) {
    return std::nullopt;
  }
  return static_cast<long long>(number);
}

std::string readText(const json::object& message, std::string_view key, std::string fallback) {
  const json::value* value = message.if_contains(key);
  return value && value->is_string() ? std::string(value->get_string()) : std::move(fallback);
}

bool readBool(const json::object& message, std::string_view key, bool fallback) {
  const json::value* value = message.if_contains(key);
  return value && value->is_bool() ? value->get_bool() : fallback;
}

// "n" of a click: an integral number, else nothing.
std::optional<long long> integralValue(const json::value* value) {
  if (!value) return std::nullopt;
  if (value->is_int64()) return value->get_int64();
  if (value->is_uint64()) return static_cast<long long>(std::min<std::uint64_t>(value->get_uint64(), 3));
  if (value->is_double() && std::trunc(value->get_double()) == value->get_double() &&
      std::abs(value->get_double()) < 1e15) {
    return static_cast<long long>(value->get_double());
  }
  return std::nullopt;
}

asio::awaitable<bool> cancelled() {
  const auto state = co_await asio::this_coro::cancellation_state;
  co_return state.cancelled() != asio::cancellation_type::none;
}

asio::awaitable<std::string> clipboardOf(std::shared_ptr<InputBackend> input) {
  co_return input->getClip();
}

asio::awaitable<std::vector<Monitor>> fallbackMonitorsOf(
    std::function<std::vector<Monitor>()> list) {
  co_return list();
}

asio::awaitable<std::optional<Rect>> caretOf(std::shared_ptr<InputBackend> input) {
  co_return input->caret();
}

asio::awaitable<void> stopSource(std::shared_ptr<ScreenSource> source) { co_await source->stop(); }

asio::awaitable<void> runStreamer(std::shared_ptr<Streamer> streamer) { co_await streamer->run(); }

asio::awaitable<void> runPointerLoop([[maybe_unused]] std::shared_ptr<HostSession> keepAlive,
                                     asio::awaitable<void> loop) {
  co_await std::move(loop);
}

// A task that can be cancelled once, safely even after it has finished: its completion and the
// cancellation both run on its executor, and a finished task's slot is never signalled.
struct Stoppable {
  asio::any_io_executor executor;
  std::shared_ptr<asio::cancellation_signal> signal;
  std::shared_ptr<bool> finished;

  void stop() const {
    asio::post(executor, [signal = signal, finished = finished] {
      if (!*finished) signal->emit(asio::cancellation_type::terminal);
    });
  }
};

Stoppable spawnStoppable(asio::any_io_executor executor, asio::awaitable<void> task,
                         std::string name) {
  Stoppable stoppable{executor, std::make_shared<asio::cancellation_signal>(),
                      std::make_shared<bool>(false)};
  asio::co_spawn(executor, std::move(task),
                 asio::bind_cancellation_slot(
                     stoppable.signal->slot(),
                     [signal = stoppable.signal, finished = stoppable.finished,
                      escape = LogEscape(std::move(name))](std::exception_ptr error) {
                       *finished = true;
                       escape.report(error);
                     }));
  return stoppable;
}

json::object cursorMessage(double x, double y, bool visible) {
  return {{"t", "cursor"}, {"x", x}, {"y", y}, {"vis", visible}};
}

json::object caretMessage(const std::optional<Rect>& caret, const Rect& bounds) {
  if (!caret) return {{"t", "caret"}, {"none", true}};
  return {{"t", "caret"},
          {"x", roundTo((caret->x - bounds.x) / bounds.width, 5)},
          {"y", roundTo((caret->y - bounds.y) / bounds.height, 5)},
          {"w", roundTo(caret->width / bounds.width, 5)},
          {"h", roundTo(caret->height / bounds.height, 5)}};
}

}  // namespace

std::vector<Monitor> HostSession::defaultFallbackMonitors() {
  return {Monitor{0, 0, Rect{0, 0, 1600, 1000}, 1600, 1000, true}};
}

std::shared_ptr<HostSession> HostSession::create(Setup setup) {
  return std::make_shared<HostSession>(Private{}, std::move(setup));
}

HostSession::HostSession(Private, Setup setup)
    : setup_(std::move(setup)),
      inputQueue_(asio::make_strand(setup_.workers)),
      auxQueue_(asio::make_strand(setup_.workers)),
      pointerWake_(AsyncEvent::create(auxQueue_)) {
  if (!setup_.fallbackMonitors) setup_.fallbackMonitors = defaultFallbackMonitors;
}

Monitor HostSession::currentMonitor() const {
  std::lock_guard lock(stateLock_);
  if (monitors_.empty()) return defaultFallbackMonitors().front();
  return monitors_[std::min<std::size_t>(static_cast<std::size_t>(monitorIndex_), monitors_.size() - 1)];
}

json::object HostSession::infoMessage() const {
  std::lock_guard lock(stateLock_);
  json::array monitors;
  for (const Monitor& m : monitors_) monitors.push_back(m.info());
  return {{"t", "info"},
          {"host", setup_.identity.name},
          {"hid", setup_.identity.hostID},
          {"os", setup_.input->osName()},
          {"monitors", std::move(monitors)},
          {"monitor", monitorIndex_},
          {"via", setup_.via}};
}

Point HostSession::mapPoint(const json::object& message) const {
  const Rect b = currentMonitor().bounds;
  auto clamp = [](double v) { return !(v > 0) ? 0.0 : std::min(v, 0.9999); };
  return {b.x + clamp(readNumber(message, "x")) * b.width,
          b.y + clamp(readNumber(message, "y")) * b.height};
}

void HostSession::queueInput(std::function<void(InputBackend&)> work) {
  asio::post(inputQueue_, [input = setup_.input, work = std::move(work)] {
    try {
      work(*input);
    } catch (const std::exception& e) {
      logLine(std::string("input failed: ") + e.what());
    }
  });
}

asio::awaitable<void> HostSession::reply(const json::object& message) {
  try {
    co_await sender_->sendJSON(message);
  } catch (const std::exception&) {
    // A reply that cannot be sent is dropped; the receive loop notices a dead socket itself.
  }
}

asio::awaitable<void> HostSession::handle(const json::object& message) {
  const std::string type = readText(message, "t", "");
  if (type == "ack") {
    if (auto id = readInteger(message, "id")) streamer_->ack(*id);
  } else if (type == "view") {
    streamer_->setView(readNumber(message, "x"), readNumber(message, "y"), readNumber(message, "w"),
                       readNumber(message, "h"), readNumber(message, "pw"), readNumber(message, "ph"));
  } else if (type == "move") {
    streamer_->poke();
    const Point p = mapPoint(message);
    queueInput([p](InputBackend& in) { in.move(p.x, p.y); });
  } else if (type == "btn" || type == "click") {
    const auto button = mouseButtonFrom(readText(message, "b", type == "click" ? "left" : ""));
    if (!button) co_return;
    streamer_->poke();
    if (message.contains("x")) {
      const Point p = mapPoint(message);
      queueInput([p](InputBackend& in) { in.move(p.x, p.y); });
    }
    if (type == "btn") {
      const bool down = readBool(message, "down", false);
      queueInput([b = *button, down](InputBackend& in) { in.button(b, down); });
    } else {
      const long long count = std::clamp<long long>(integralValue(message.if_contains("n")).value_or(1), 1, 3);
      for (long long i = 0; i < count; ++i) {
        queueInput([b = *button](InputBackend& in) { in.button(b, true); });
        queueInput([b = *button](InputBackend& in) { in.button(b, false); });
      }
    }
  } else if (type == "scroll") {
    streamer_->poke();
    const double dx = readNumber(message, "dx"), dy = readNumber(message, "dy");
    queueInput([dx, dy](InputBackend& in) { in.scroll(dx, dy); });
  } else if (type == "text") {
    streamer_->poke();
    std::string text = prefixCharacters(readText(message, "s", ""), 20000);
    queueInput([text = std::move(text)](InputBackend& in) { in.text(text); });
  } else if (type == "key") {
    streamer_->poke();
    std::vector<std::string> mods;
    if (const json::value* list = message.if_contains("mods"); list && list->is_array()) {
      for (const json::value& entry : list->get_array()) {
        if (entry.is_string() && mods.size() < 5) mods.emplace_back(entry.get_string());
      }
    }
    queueInput([key = readText(message, "k", ""), mods = std::move(mods),
                action = readText(message, "a", "press")](InputBackend& in) {
      in.key(key, mods, action);
    });
  } else if (type == "stream") {
    streamer_->setEnabled(readBool(message, "on", true));
  } else if (type == "quality") {
    streamer_->setProfile(readText(message, "q", "auto"));
  } else if (type == "refresh") {
    streamer_->refresh();
  } else if (type == "mon") {
    const auto index = readInteger(message, "i").value_or(-1);
    {
      std::lock_guard lock(stateLock_);
      if (index < 0 || index >= static_cast<long long>(monitors_.size())) co_return;
      monitorIndex_ = static_cast<int>(index);
    }
    streamer_->refresh();
    pointerWake_->set();  // the cursor is now relative to another monitor
    json::object info = infoMessage();
    co_await reply(info);
  } else if (type == "caretwatch") {
    {
      std::lock_guard lock(stateLock_);
      caretWatch_ = readBool(message, "on", false);
    }
    pointerWake_->set();
  } else if (type == "getclip") {
    const std::string text =
        co_await asio::co_spawn(auxQueue_, clipboardOf(setup_.input), asio::use_awaitable);
    // Named before it goes into the initializer list: clang 14 ends such temporaries too early
    // inside coroutines.
    const std::string cut = prefixCharacters(text, 100000);
    json::object clip{{"t", "clip"}, {"text", cut}};
    co_await reply(clip);
  } else if (type == "setclip") {
    asio::post(auxQueue_, [input = setup_.input, text = readText(message, "text", "")] {
      input->setClip(text);
    });
  } else if (type == "ping") {
    const json::value* ts = message.if_contains("ts");
    const json::value stamp = ts ? *ts : json::value(nullptr);
    json::object pong{{"t", "pong"}, {"ts", stamp}};
    co_await reply(pong);
  }
}

asio::awaitable<void> HostSession::run() {
  auto self = shared_from_this();
  auto admitted = co_await admitClient(setup_.transport, setup_.identity.secret,
                                       setup_.identity.hostID, setup_.via, setup_.handshake);
  if (!admitted) co_return;
  channel_ = admitted->channel;
  sender_ = std::make_shared<SecureSender>(channel_, setup_.transport);
  clientName_ = prefixCharacters(readText(admitted->hello, "name", "phone"), 64);
  logLine("session started: " + clientName_ + " via " + setup_.via);

  std::vector<Monitor> listed;
  try {
    listed = co_await setup_.source->monitors();
  } catch (const std::exception&) {
    listed.clear();  // the system's displays below
  }
  if (listed.empty()) {
    // Asking the system may wait on the desktop: done on the auxiliary strand.
    listed = co_await asio::co_spawn(auxQueue_, fallbackMonitorsOf(setup_.fallbackMonitors),
                                     asio::use_awaitable);
  }
  {
    std::lock_guard lock(stateLock_);
    monitors_ = std::move(listed);
    const auto primary = std::find_if(monitors_.begin(), monitors_.end(),
                                      [](const Monitor& m) { return m.primary; });
    monitorIndex_ = primary == monitors_.end() ? 0 : static_cast<int>(primary - monitors_.begin());
  }

  std::vector<std::string> caps;
  if (const json::value* list = admitted->hello.if_contains("caps"); list && list->is_array()) {
    for (const json::value& cap : list->get_array()) {
      if (cap.is_string()) caps.emplace_back(cap.get_string());
    }
  }
  auto has = [&](const char* cap) { return std::find(caps.begin(), caps.end(), cap) != caps.end(); };
  Streamer::Options options;
  options.patches = has("patch");
  options.format = has("heic") ? ImageFormat::heic : ImageFormat::jpeg;
  options.encodeExecutor = setup_.workers;
  const std::weak_ptr<HostSession> weak = self;
  const auto executor = co_await asio::this_coro::executor;
  streamer_ = Streamer::create(
      executor, setup_.source,
      [weak]() -> asio::awaitable<Monitor> {
        if (auto session = weak.lock()) co_return session->currentMonitor();
        co_return defaultFallbackMonitors().front();
      },
      [sender = sender_](json::object header, Bytes data) -> asio::awaitable<void> {
        co_await sender->sendFrame(header, data);
      },
      [sender = sender_](json::object stats) -> asio::awaitable<void> {
        co_await sender->sendJSON(stats);
      },
      options);

  json::object info = infoMessage();
  co_await reply(info);

  // Two tasks of their own, cancelled at teardown; each keeps what it runs alive.
  const Stoppable streamerTask =
      spawnStoppable(streamer_->executor(), runStreamer(streamer_), "the screen stream of " + clientName_);
  const Stoppable pointerTask =
      spawnStoppable(executor, runPointerLoop(self, pointerLoop()), "the pointer feedback of " + clientName_);

  for (;;) {
    if (co_await cancelled()) break;
    std::optional<WebSocketMessage> received;
    try {
      received = co_await setup_.transport->receiveFrame();
    } catch (const std::exception&) {
      break;  // the peer closed, the network failed or the connection was cancelled
    }
    if (received->kind == WebSocketMessage::Kind::text) continue;
    Bytes plaintext;
    try {
      plaintext = channel_->open(received->data);
    } catch (const ChannelError&) {
      break;
    }
    if (plaintext.empty() || plaintext[0] != 0x01) continue;
    boost::system::error_code error;
    json::value value = json::parse(asText(ByteView(plaintext).subspan(1)), error);
    if (error || !value.is_object()) continue;
    co_await handle(value.get_object());
  }

  // Teardown: stop both loops, release held input, stop capture, close the socket.
  streamerTask.stop();
  pointerTask.stop();
  streamer_->releaseWaiters();
  pointerWake_->releaseWaiters();
  logLine("session ended: " + clientName_ + " (sent " + fileStyleByteCount(streamer_->totalBytes()) + ")");
  queueInput([](InputBackend& in) { in.releaseAll(); });
  spawnLogged(executor, stopSource(setup_.source), "stopping the screen capture of " + clientName_);
  setup_.transport->close();
}

asio::awaitable<void> HostSession::pointerLoop() {
  // The back-end says where the pointer is whenever it moves; the loop sleeps in between, so a
  // resting pointer costs nothing. Cursor messages go out on change, at most 60 a second; the
  // caret is looked up about three times a second while the client watches it.
  constexpr double cursorInterval = 1.0 / 60;
  constexpr double caretInterval = 0.3;
  struct Latest {
    std::mutex lock;
    std::optional<Point> point;
  };
  const auto latest = std::make_shared<Latest>();
  const std::shared_ptr<AsyncEvent> wake = pointerWake_;
  setup_.input->setPointerListener([latest, wake](Point p) {
    {
      const std::lock_guard guard(latest->lock);
      latest->point = p;
    }
    wake->set();
  });
  struct StopListening {
    InputBackend& input;
    ~StopListening() { input.setPointerListener(nullptr); }
  } stopListening{*setup_.input};

  std::optional<json::object> lastCursor;
  std::optional<json::object> lastCaret;
  double lastCursorSent = -cursorInterval;
  double lastCaretCheck = 0;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  while (!co_await cancelled()) {
    bool watching;
    {
      std::lock_guard lock(stateLock_);
      watching = caretWatch_;
    }
    std::optional<double> timeout;
    if (watching) timeout = std::max(0.0, lastCaretCheck + caretInterval - uptimeSeconds());
    co_await wake->wait(timeout);
    wake->reset();
    if (co_await cancelled()) break;

    std::optional<Point> point;
    {
      const std::lock_guard guard(latest->lock);
      point = latest->point;
    }
    if (point) {
      const Rect bounds = currentMonitor().bounds;
      json::object cursor = cursorMessage(roundTo((point->x - bounds.x) / bounds.width, 5),
                                          roundTo((point->y - bounds.y) / bounds.height, 5),
                                          bounds.contains(*point));
      if (!lastCursor || cursor != *lastCursor) {
        const double wait = lastCursorSent + cursorInterval - uptimeSeconds();
        if (wait > 0) {
          // Too soon after the last one: send the newest position once the interval is over.
          timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double>(wait)));
          co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
          wake->set();
          continue;
        }
        co_await reply(cursor);
        lastCursor = std::move(cursor);
        lastCursorSent = uptimeSeconds();
      }
    }
    const double now = uptimeSeconds();
    if (watching && now - lastCaretCheck >= caretInterval) {
      const auto caret =
          co_await asio::co_spawn(auxQueue_, caretOf(setup_.input), asio::use_awaitable);
      json::object message = caretMessage(caret, currentMonitor().bounds);
      if (!lastCaret || message != *lastCaret) {
        co_await reply(message);
        lastCaret = std::move(message);
      }
      lastCaretCheck = now;
    }
  }
}

}  // namespace nimbrel
