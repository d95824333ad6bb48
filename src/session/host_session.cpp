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
#include "boost/await_on.hpp"
#include "net/task_completion.hpp"
#include "net/websocket_transport.hpp"
#include "session/protocol.hpp"

// g++ 12 reports Asio's coroutine frame allocator as mismatched new/delete (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace nimbrel {

namespace json = boost::json;

namespace {

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

Point HostSession::mapPoint(protocol::NormalisedPoint at) const {
  const Rect b = currentMonitor().bounds;
  auto clamp = [](double v) { return !(v > 0) ? 0.0 : std::min(v, 0.9999); };
  return {b.x + clamp(at.x) * b.width, b.y + clamp(at.y) * b.height};
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
  const std::optional<protocol::Command> command = protocol::parseCommand(message);
  if (!command) co_return;  // unknown, or ignored as a whole
  // One branch per command; the awaiting ones (replies, the clipboard) come after the visit.
  enum class Then { nothing, info, clip, pong } then = Then::nothing;
  std::visit(
      [&](const auto& c) {
        using namespace protocol;
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, Ack>) {
          streamer_->ack(c.id);
        } else if constexpr (std::is_same_v<T, View>) {
          streamer_->setView(c.x, c.y, c.w, c.h, c.pw, c.ph);
        } else if constexpr (std::is_same_v<T, Move>) {
          streamer_->poke();
          const Point p = mapPoint(c.at);
          queueInput([p](InputBackend& in) { in.move(p.x, p.y); });
        } else if constexpr (std::is_same_v<T, Press> || std::is_same_v<T, Click>) {
          streamer_->poke();
          if (c.at) {
            const Point p = mapPoint(*c.at);
            queueInput([p](InputBackend& in) { in.move(p.x, p.y); });
          }
          if constexpr (std::is_same_v<T, Press>) {
            queueInput([b = c.button, down = c.down](InputBackend& in) { in.button(b, down); });
          } else {
            for (int i = 0; i < c.count; ++i) {
              queueInput([b = c.button](InputBackend& in) { in.button(b, true); });
              queueInput([b = c.button](InputBackend& in) { in.button(b, false); });
            }
          }
        } else if constexpr (std::is_same_v<T, Scroll>) {
          streamer_->poke();
          queueInput([dx = c.dx, dy = c.dy](InputBackend& in) { in.scroll(dx, dy); });
        } else if constexpr (std::is_same_v<T, Text>) {
          streamer_->poke();
          queueInput([text = c.text](InputBackend& in) { in.text(text); });
        } else if constexpr (std::is_same_v<T, Key>) {
          streamer_->poke();
          queueInput([key = c](InputBackend& in) { in.key(key.name, key.mods, key.action); });
        } else if constexpr (std::is_same_v<T, StreamOn>) {
          streamer_->setEnabled(c.on);
        } else if constexpr (std::is_same_v<T, Quality>) {
          streamer_->setProfile(c.profile);
        } else if constexpr (std::is_same_v<T, Refresh>) {
          streamer_->refresh();
        } else if constexpr (std::is_same_v<T, SelectMonitor>) {
          {
            std::lock_guard lock(stateLock_);
            if (c.index < 0 || c.index >= static_cast<long long>(monitors_.size())) return;
            monitorIndex_ = static_cast<int>(c.index);
          }
          streamer_->refresh();
          pointerWake_->set();  // the cursor is now relative to another monitor
          then = Then::info;
        } else if constexpr (std::is_same_v<T, CaretWatch>) {
          {
            std::lock_guard lock(stateLock_);
            caretWatch_ = c.on;
          }
          pointerWake_->set();
        } else if constexpr (std::is_same_v<T, GetClip>) {
          then = Then::clip;
        } else if constexpr (std::is_same_v<T, SetClip>) {
          asio::post(auxQueue_, [input = setup_.input, text = c.text] { input->setClip(text); });
        } else {
          static_assert(std::is_same_v<T, Ping>);
          then = Then::pong;
        }
      },
      *command);

  if (then == Then::info) {
    json::object info = infoMessage();
    co_await reply(info);
  } else if (then == Then::clip) {
    const std::string text =
        co_await awaitOn(auxQueue_, clipboardOf(setup_.input));
    // Named before use: clang 14 ends temporaries in coroutine expressions too early.
    json::object clip = protocol::clipMessage(text);
    co_await reply(clip);
  } else if (then == Then::pong) {
    json::object pong = protocol::pongMessage(std::get<protocol::Ping>(*command).ts);
    co_await reply(pong);
  }
}

asio::awaitable<void> HostSession::run() {
  auto self = shared_from_this();
  auto admitted = co_await admitClient(setup_.transport, setup_.identity.secret,
                                       setup_.identity.hostID, setup_.via, setup_.handshake);
  if (!admitted) co_return;
  if (setup_.onAuthenticated) setup_.onAuthenticated();
  channel_ = admitted->channel;
  sender_ = std::make_shared<SecureSender>(channel_, setup_.transport);
  clientName_ = protocol::clientName(admitted->hello);
  logLine("session started: " + clientName_ + " via " + setup_.via);

  std::vector<Monitor> listed;
  try {
    listed = co_await setup_.source->monitors();
  } catch (const std::exception&) {
    listed.clear();  // the system's displays below
  }
  if (listed.empty()) {
    // Asking the system may wait on the desktop: done on the auxiliary strand.
    listed = co_await awaitOn(auxQueue_, fallbackMonitorsOf(setup_.fallbackMonitors));
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
  options.png = has("png");
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
      json::object cursor = protocol::cursorMessage(*point, currentMonitor().bounds);
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
      const auto caret = co_await awaitOn(auxQueue_, caretOf(setup_.input));
      json::object message = protocol::caretMessage(caret, currentMonitor().bounds);
      if (!lastCaret || message != *lastCaret) {
        co_await reply(message);
        lastCaret = std::move(message);
      }
      lastCaretCheck = now;
    }
  }
}

}  // namespace nimbrel
